"""A Pythonic layer over the 26 functions: one Instrument, used in a with block."""
import ctypes
import os
import shutil
import tempfile

from . import _library
from ._record import DeviceRecord

try:
    import numpy
except ImportError:  # scans come back as lists of lists
    numpy = None

#: Line speeds by SpeedIndex.
BAUD_RATES = (9600, 4800, 2400, 1200, 600, 300)

#: Causes stored in ErrorCode by GetOneScan.
SCAN_ERRORS = {
    1: "the scan did not begin with the lead byte 0xF0",
    2: "the scan was not complete within ScanTime + 2 s; the library has signed on again",
    3: "the serial driver holds more than InQueueSize - 10 bytes; nothing was read",
    10: "the scan was not complete within ScanTime + 2 s; the library has signed on again",
}

# In scan modes 1 and 2 each scan holds one byte besides its conversions; the
# instrument sends it after them, so the conversions start at the head of the
# buffer once the library has removed the lead byte.
_EXTRA_BYTE_FIRST = False


class SadclinkError(RuntimeError):
    """A function of the library returned the failure status 0.

    ``function`` is the library function's name, ``error_code`` the record's
    ErrorCode where that function stores a cause (else None).
    """

    def __init__(self, function, message, error_code=None):
        super().__init__(f"{function} failed: {message}")
        self.function = function
        self.error_code = error_code


def _port_number(port):
    """'COM3' or 3 -> the record's ComPort, 2."""
    if isinstance(port, str):
        name = port.upper()
        if not name.startswith("COM") or not name[3:].isdigit():
            raise ValueError(f"port must be a name COM1 .. COM16, not {port!r}")
        number = int(name[3:])
    else:
        number = int(port)
    if not 1 <= number <= 16:
        raise ValueError(f"port must be COM1 .. COM16, not COM{number}")
    return number - 1


class Instrument:
    """One instrument on one serial port.

    >>> with Instrument("COM1") as inst:
    ...     print(inst.version, inst.read(0))

    ``port`` is a name "COM1" to "COM16" (or its number 1 to 16). On Linux and
    macOS COMn is the entry COMn of the folder in $SADCLINK_PORTS; ``device``
    (a path such as /dev/ttyUSB0 or a pseudo-terminal of sadc-sim) instead
    links a private folder to that device for as long as the instrument is
    open. Values are in the unit of the 5000 full scale (0..5000 unipolar,
    -5000..+5000 bipolar). ``rate`` is the converter's output rate in Hz
    (the achieved rate is in ``rate`` after sign-on), ``bits`` 24 or 16,
    ``average`` the conversions averaged into one reading, ``filter`` the
    settling selection 0, 1 or 2. ``scan_interval`` (seconds), ``channels``
    (conversions per scan) and ``scan_mode`` set up scanning; the instrument's
    scan timer is loaded at sign-on, with the six ``scan_config`` bytes
    (default: first channel 0, ``channels`` conversions, 0, 0, 0, 0).
    """

    def __init__(self, port="COM1", *, device=None, speed=9600, rate=100.0, gain=1,
                 bipolar=False, bits=24, average=1, filter=2, scan_interval=0.5,
                 channels=4, scan_mode=1, scan_config=None,
                 counter_preset=0, mode_bits=0, queue_size=4096, lib=None):
        if speed not in BAUD_RATES:
            raise ValueError(f"speed must be one of {BAUD_RATES}, not {speed}")
        if bits not in (16, 24):
            raise ValueError(f"bits must be 16 or 24, not {bits}")
        if scan_config is None:
            # The instrument's set-up bytes: the first channel of a scan, the
            # conversions in it, the further byte's choice, then mode 2's two
            # extra channels.
            scan_config = (0, channels, 0, 0, 0, 0)
        if len(scan_config) != 6:
            raise ValueError("scan_config holds six values")
        if device is not None and os.name == "nt":
            raise ValueError("device= names a POSIX device; on Windows give the port, e.g. 'COM3'")
        self._lib = lib if lib is not None else _library.library()
        self._device = device
        self._ports_dir = None
        self._saved_ports = None
        self.is_open = False
        self.record = r = DeviceRecord()
        r.ComPort = _port_number(port)
        r.SpeedIndex = BAUD_RATES.index(speed)
        r.DataRate = rate
        r.Gain = gain
        r.ModeBits = mode_bits
        r.ConvBytes = bits // 8
        r.Bipolar = 1 if bipolar else 0
        r.AvgCount = average
        r.FilterSel = filter
        r.ScanTime = scan_interval
        r.NumChans = channels
        r.ScanMode = scan_mode
        for i, value in enumerate(scan_config):
            r.ScanConfig[i] = value
        r.CounterPreset = counter_preset
        r.InQueueSize = queue_size
        r.OutQueueSize = queue_size

    # --- Opening and closing ---------------------------------------------------------
    @property
    def port(self):
        return f"COM{self.record.ComPort + 1}"

    def open(self):
        """Sign on: open the port, agree the line speed, download the set-up."""
        if self._device is not None and self._ports_dir is None:
            self._link_device()
        if not self._lib.SignOn(ctypes.byref(self.record)):
            self._unlink_device()
            where = f"{self.port} ({self._device})" if self._device else self.port
            raise SadclinkError("SignOn", f"no instrument signed on at {where} at "
                                f"{BAUD_RATES[self.record.SpeedIndex]} baud (port missing or busy, "
                                "no answer to the wake-up, or a set-up echo that differed)")
        self.is_open = True
        return self

    def close(self):
        """Send the stop command and close the port."""
        if self.is_open:
            self._lib.CloseDevice()
            self.is_open = False
        self._unlink_device()

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    def _link_device(self):
        # The library names ports COMn: a private folder whose COMn is the device.
        self._ports_dir = tempfile.mkdtemp(prefix="sadclink-ports-")
        os.symlink(os.path.abspath(self._device), os.path.join(self._ports_dir, self.port))
        self._saved_ports = os.environ.get("SADCLINK_PORTS")
        os.environ["SADCLINK_PORTS"] = self._ports_dir

    def _unlink_device(self):
        if self._ports_dir is None:
            return
        if self._saved_ports is None:
            os.environ.pop("SADCLINK_PORTS", None)
        else:
            os.environ["SADCLINK_PORTS"] = self._saved_ports
        shutil.rmtree(self._ports_dir, ignore_errors=True)
        self._ports_dir = None

    def _check(self, function, status, message):
        if not status:
            raise SadclinkError(function, message)

    # --- What sign-on found ----------------------------------------------------------
    @property
    def version(self):
        """Firmware version as last read (sign-on reads it)."""
        return self.record.Version

    @property
    def rate(self):
        """The converter's output rate in Hz: after sign-on, the achieved one."""
        return self.record.DataRate

    @property
    def mode_bytes(self):
        """The converter's mode bytes (high, middle, low)."""
        r = self.record
        return (r.ModeHigh, r.ModeMid, r.ModeLow)

    @property
    def scan_interval(self):
        """Scan interval in seconds (rounded to the scan clock by check_scan_time)."""
        return self.record.ScanTime

    # --- Commands ---------------------------------------------------------------------
    def read_version(self):
        self._check("GetVer", self._lib.GetVer(ctypes.byref(self.record)), "no version reply")
        return self.record.Version

    def digital_inputs(self):
        """The eight digital input lines, as a number 0..255."""
        self._check("GetDigIn", self._lib.GetDigIn(ctypes.byref(self.record)),
                    "no digital input reply")
        return self.record.DigIn

    def set_digital_outputs(self, value):
        """Set the eight digital output lines to the low 8 bits of value."""
        self._check("SetDigOut", self._lib.SetDigOut(int(value)), "not sent")

    def select(self, channel, code=0):
        """Select channel (0..15) and the low code bits for what follows."""
        if not 0 <= channel <= 15 or not 0 <= code <= 15:
            raise ValueError("channel and code are 0..15")
        self.record.Channel = channel
        self.record.Code = code
        self._check("SetChanCode", self._lib.SetChanCode(ctypes.byref(self.record)), "not sent")

    def read(self, channel=None, *, raw=False):
        """One conversion: the scaled value, or with raw=True the counts.
        Selects channel first when one is given."""
        if channel is not None:
            self.select(channel, self.record.Code)
        r = self.record
        r.ErrorCode = 0  # the library writes it on failure only
        if not self._lib.GetConversion(ctypes.byref(r)):
            code = r.ErrorCode
            if code == 1:
                cause = "the conversion's data bytes did not all arrive in time"
            else:
                cause = f"the instrument did not echo 0x81 (the byte in its place: 0x{code & 0xFF:02X})"
            raise SadclinkError("GetConversion", cause, code)
        return r.Counts if raw else r.ScaledValue

    def counts_to_value(self, counts):
        """Scale raw counts with this set-up's word length and polarity."""
        return self._lib.Counts2Volts(int(counts), self.record.ConvBytes, self.record.Bipolar)

    def checksum_ok(self):
        """Whether the instrument's running checksum matches the bytes received."""
        return bool(self._lib.GetCheckSum())

    def set_filter(self, value):
        self._check("SetFilter", self._lib.SetFilter(int(value)), "the frame was not written")

    def send_mode(self, *, rate=None, gain=None, bipolar=None, bits=None):
        """Change the converter set-up and load it (SendADMode)."""
        r = self.record
        if rate is not None:
            r.DataRate = rate
        if gain is not None:
            r.Gain = gain
        if bipolar is not None:
            r.Bipolar = 1 if bipolar else 0
        if bits is not None:
            r.ConvBytes = bits // 8
        self._check("SendADMode", self._lib.SendADMode(ctypes.byref(r)),
                    "the instrument did not echo the mode bytes")

    def calibrate_offset(self, channel=None):
        if channel is not None:
            self.record.Channel = channel
        self._check("OffsetCal", self._lib.OffsetCal(ctypes.byref(self.record)),
                    "the calibration was not acknowledged")

    def calibrate_full_scale(self, channel=None):
        if channel is not None:
            self.record.Channel = channel
        self._check("FullScaleCal", self._lib.FullScaleCal(ctypes.byref(self.record)),
                    "the calibration was not acknowledged")

    def calibrate_system(self):
        self._check("SysCal", self._lib.SysCal(ctypes.byref(self.record)),
                    "the system calibration was not acknowledged")

    def write_counter(self, counter, value):
        if counter not in (0, 1, 2):
            raise ValueError("counter is 0, 1 or 2")
        self._check("WriteCntr", self._lib.WriteCntr(ctypes.byref(self.record), counter, int(value)),
                    "the counter frames were not written")

    def sleep(self):
        """Send the instrument to sleep."""
        self._check("GotoSleep", self._lib.GotoSleep(), "the instrument did not answer 0x80")

    # --- Scanning ---------------------------------------------------------------------
    def check_scan_time(self):
        """Round the scan interval to the scan clock and check it against the
        limits of this set-up. Returns (interval, shortest, longest) in seconds;
        raises SadclinkError when the interval does not fit."""
        longest, shortest = ctypes.c_double(), ctypes.c_double()
        result = self._lib.CheckScanTime(ctypes.byref(self.record), ctypes.byref(longest),
                                         ctypes.byref(shortest))
        if result == 0:
            raise SadclinkError("CheckScanTime",
                                f"a scan interval of {self.record.ScanTime:.6g} s lies outside "
                                f"{shortest.value:.6g} .. {longest.value:.6g} s for this set-up")
        return self.record.ScanTime, shortest.value, longest.value

    def conversions_per_scan(self):
        r = self.record
        if r.ScanMode == 0:
            return 1
        return r.NumChans + (2 if r.ScanMode == 2 else 0)

    def _bytes_per_scan(self):
        r = self.record
        if r.ScanMode == 0:
            return r.ConvBytes
        return self.conversions_per_scan() * r.ConvBytes + 2

    def iter_scans(self, count=None, *, raw=False):
        """Scan and yield each scan's conversions as a list (values, or counts
        with raw=True). Scanning stops when count scans are read, on an
        error, or when the generator is closed."""
        r = self.record
        lib = self._lib
        self.check_scan_time()
        per_scan = self.conversions_per_scan()
        buffer = (ctypes.c_int32 * (self._bytes_per_scan() + 16))()
        self._check("StartScanning", lib.StartScanning(ctypes.byref(r)),
                    "the instrument did not echo the start command")
        try:
            n = 0
            while count is None or n < count:
                r.ErrorCode = 0
                if not lib.GetOneScan(ctypes.byref(r), buffer):
                    code = r.ErrorCode
                    raise SadclinkError("GetOneScan", SCAN_ERRORS.get(code, f"error code {code}"), code)
                if r.ScanMode != 0 and _EXTRA_BYTE_FIRST:
                    lib.RemoveFromBuffer(1, buffer)
                row = []
                for _ in range(per_scan):
                    lib.Gconv(ctypes.byref(r), buffer)
                    row.append(r.Counts if raw else r.ScaledValue)
                lib.RemoveFromBuffer(len(buffer), buffer)  # the scan's further byte
                n += 1
                yield row
        except BaseException:
            # Stopped by an error, Ctrl-C or the caller closing the generator:
            # stop the stream all the same; the first failure is the one reported.
            lib.StopScanning(ctypes.byref(r))
            raise
        if not lib.StopScanning(ctypes.byref(r)):
            raise SadclinkError("StopScanning", "the instrument did not end its stream with 0x8A")

    def scan(self, count, *, raw=False):
        """count scans: a NumPy array of shape (count, conversions per scan)
        (float values, or int counts with raw=True); lists without NumPy."""
        rows = list(self.iter_scans(count, raw=raw))
        if numpy is None:
            return rows
        dtype = numpy.int32 if raw else numpy.float64
        return numpy.array(rows, dtype=dtype).reshape(len(rows), self.conversions_per_scan())
