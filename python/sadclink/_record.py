"""The DeviceRecord: the 96-byte parameter and result block, packed to 2."""
import ctypes
from ctypes import c_double, c_float, c_int16, c_int32, c_uint8, c_uint32

RECORD_SIZE = 96


class _ErrorCodeBytes(ctypes.Structure):
    _pack_ = 2
    _fields_ = [
        ("ErrorCodeLow", c_uint8 * 2),
        # The upper half of ErrorCode: the library writes ErrorCode whole, so
        # these two bytes are not free for application data.
        ("Reserved3", c_uint8 * 2),
    ]


class _ErrorCodeUnion(ctypes.Union):
    _pack_ = 2
    _anonymous_ = ("_bytes",)
    _fields_ = [("ErrorCode", c_int32), ("_bytes", _ErrorCodeBytes)]


class DeviceRecord(ctypes.Structure):
    """The caller-owned record that most functions take a pointer to.

    Field names, types and offsets are those of ``DeviceRecord`` in
    sadclink.h; ScanTime sits at offset 2, hence the packing of 2.
    """

    _pack_ = 2
    _anonymous_ = ("_error",)
    _fields_ = [
        ("ComPort", c_int16),          # 0
        ("ScanTime", c_double),        # 2
        ("NumChans", c_int16),         # 10
        ("ScanMode", c_int16),         # 12
        ("ScanConfig", c_int16 * 6),   # 14
        ("Reserved1", c_uint8 * 2),    # 26
        ("DigIn", c_int16),            # 28
        ("Version", c_int16),          # 30
        ("Channel", c_int16),          # 32
        ("Code", c_int16),             # 34
        ("Counts", c_int32),           # 36
        ("ScaledValue", c_double),     # 40
        ("Reserved2", c_uint8 * 4),    # 48
        ("ConvBytes", c_int16),        # 52
        ("Bipolar", c_int16),          # 54
        ("_error", _ErrorCodeUnion),   # 56: ErrorCode, Reserved3 at 58
        ("FilterSel", c_int16),        # 60
        ("Gain", c_int16),             # 62
        ("DataRate", c_float),         # 64
        ("ModeLow", c_int16),          # 68
        ("ModeMid", c_int16),          # 70
        ("ModeHigh", c_int16),         # 72
        ("SpeedIndex", c_int16),       # 74
        ("Reserved4", c_uint8 * 2),    # 76
        ("ModeBits", c_int16),         # 78
        ("CounterPreset", c_int32),    # 80
        ("AvgCount", c_uint32),        # 84
        ("OutQueueSize", c_int32),     # 88
        ("InQueueSize", c_int32),      # 92
    ]

    def __repr__(self):
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in FIELD_NAMES
                          if not name.startswith("Reserved") and name not in ("ScanConfig", "ErrorCodeLow"))
        return f"DeviceRecord({shown}, ScanConfig={list(self.ScanConfig)})"


# Every named field, the members of the ErrorCode union included, in offset order.
FIELD_NAMES = [
    "ComPort", "ScanTime", "NumChans", "ScanMode", "ScanConfig", "Reserved1", "DigIn",
    "Version", "Channel", "Code", "Counts", "ScaledValue", "Reserved2", "ConvBytes",
    "Bipolar", "ErrorCode", "ErrorCodeLow", "Reserved3", "FilterSel", "Gain", "DataRate",
    "ModeLow", "ModeMid", "ModeHigh", "SpeedIndex", "Reserved4", "ModeBits",
    "CounterPreset", "AvgCount", "OutQueueSize", "InQueueSize",
]


def field_layout():
    """{name: (offset, size)} of every named field, as ctypes lays it out."""
    return {name: (getattr(DeviceRecord, name).offset, getattr(DeviceRecord, name).size)
            for name in FIELD_NAMES}
