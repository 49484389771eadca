#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: a sound record and call
sequences through every export. Run from the repository root."""
import os
import struct

OPS = ["SignOn", "RemoteAvg", "FullScaleCal", "OffsetCal", "SysCal", "Counts2Volts",
       "GetDigIn", "SetDigOut", "GetVer", "GetConversion", "SetChanCode", "StartScanning",
       "GetOneScan", "StopScanning", "Gconv", "RemoveFromBuffer", "SetFilter", "SendADMode",
       "GetCheckSum", "CloseDevice", "GotoSleep", "WriteCntr", "FilterDelay", "CheckScanTime",
       "GetComHandle", "SetComHandle", "PokeRecord", "PortFault", "PassTime", "Noise"]


def record(com=1, scan_time=0.25, chans=2, mode=1, conv=3, bipolar=1, filt=2, gain=1,
           rate=100.0, speed=0, preset=0, avg=8, version=0):
    r = struct.pack("<hdhh6h2shhhhid4shhihhfhhhh2shiIii",
                    com, scan_time, chans, mode, *([0] * 6), b"RR", 0, version, 0, 0, 0, 0.0,
                    b"RRRR", conv, bipolar, 0, filt, gain, rate, 0, 0, 0, speed, b"RR", 0,
                    preset, avg, 1024, 1024)
    assert len(r) == 96
    return r


def calls(*items):
    out = bytearray()
    for item in items:
        name, args = (item, b"") if isinstance(item, str) else (item[0], item[1])
        out.append(OPS.index(name))
        out += args
    return bytes([len(items)]) + bytes(out)


def i32(v): return struct.pack("<i", v)
def i16(v): return struct.pack("<h", v)


EXPORTS = {
    "commands": (0, record(), calls("SignOn", "GetVer", "GetDigIn", ("SetDigOut", i32(0x55)),
                                    "SetChanCode", "GetConversion", "GetCheckSum",
                                    ("SetFilter", i16(3)), "CloseDevice", "CloseDevice"), b""),
    "scanning": (0, record(), calls("SignOn", "CheckScanTime", "StartScanning", "GetOneScan",
                                    "Gconv", ("RemoveFromBuffer", i32(100)), "GetOneScan",
                                    "Gconv", "Gconv", ("RemoveFromBuffer", i32(100)),
                                    "StopScanning", "GetCheckSum"), b""),
    "scan_mode0": (0, record(mode=0, conv=2, scan_time=0.01), calls(
        "SignOn", "StartScanning", "GetOneScan", "Gconv", "GetOneScan", "Gconv", "StopScanning"), b""),
    "scan_mode2": (0, record(mode=2, chans=4, scan_time=0.5, filt=1), calls(
        "SignOn", "StartScanning", "GetOneScan", ("RemoveFromBuffer", i32(1000)), "GetOneScan",
        "StopScanning"), b""),
    "converter": (0, record(gain=8), calls("SignOn", "SendADMode", "OffsetCal", "FullScaleCal",
                                          "SysCal", "RemoteAvg", ("WriteCntr", i32(1) + i32(0x1234)),
                                          "GotoSleep", ("FilterDelay", i16(1)), "GetComHandle",
                                          ("SetComHandle", b"\x01" + i32(0))), b""),
    # A silent instrument (every answer is "silence"), then a scan time-out.
    "silent": (0, record(), calls("SignOn", "StartScanning", "GetOneScan", "GetVer"), b"\x04" * 64),
    "faults": (0, record(), calls("SignOn", ("PortFault", b"\x00"), "GetVer", ("PortFault", b"\x00"),
                                  ("Noise", b"\x03\x86\x10\x87"), "GetVer", ("PassTime", i16(500)),
                                  ("PortFault", b"\x01"), "SignOn", ("PortFault", b"\x01"), "SignOn"),
               bytes([0x07, 0x02, 0x55, 0x66, 0x0d, 0x80, 0x05, 0x00, 0x20])),
    "wrap": (3, record(avg=0xFFFFFFFF), calls("SignOn", "GetVer", ("PokeRecord", b"\x54\x08"), "SignOn",
                                              "GetVer"), b""),
}

COMPUTE = {
    "valid": record() + i32(0x800000) + i16(3) + i16(1),
    "slow": record(rate=5.0, gain=3, avg=100, speed=5, filt=0) + i32(65535) + i16(2) + i16(0),
    "zero_rate": record(rate=0.0, avg=0, mode=2, chans=1000, preset=-1, version=101) + i32(-1) + i16(2) + i16(-1),
    "fast": record(rate=19531.25, gain=256, mode=0, scan_time=0.0) + i32(0x7FFFFFFF) + i16(0) + i16(0),
}


def main():
    for name, (flags, rec, seq, tape) in EXPORTS.items():
        os.makedirs("fuzz/corpus/fuzz_exports", exist_ok=True)
        with open(f"fuzz/corpus/fuzz_exports/{name}", "wb") as f:
            f.write(bytes([flags]) + rec + seq + tape)
    for name, data in COMPUTE.items():
        os.makedirs("fuzz/corpus/fuzz_compute", exist_ok=True)
        with open(f"fuzz/corpus/fuzz_compute/{name}", "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
