"""Instrument.scan over a stand-in for the library that keeps the scan buffer
as the header describes: GetOneScan appends one scan (lead byte removed in
modes 1 and 2), Gconv and RemoveFromBuffer take elements off the head. It
shows how the Pythonic layer walks the buffer, stops the stream and reports
failures, without an instrument."""
import re

import pytest

import sadclink
from sadclink import SadclinkError
from sadclink import instrument as instrument_module


class BufferLibrary:
    def __init__(self, scans, fail_at=None, error_code=2, check=1):
        self.scans = list(scans)   # each a list of bytes as the instrument sends them
        self.fail_at, self.error_code, self.check = fail_at, error_code, check
        self.count = 0             # the library's ScanCount
        self.calls = []

    def CheckScanTime(self, rec, longest, shortest):
        longest._obj.value, shortest._obj.value = 3386.0, 0.25
        return self.check

    def StartScanning(self, rec):
        self.calls.append("StartScanning")
        self.count = 0
        return 1

    def GetOneScan(self, rec, buf):
        r = rec._obj
        if len(self.calls) - 1 == self.fail_at or not self.scans:
            r.ErrorCode = self.error_code
            return 0
        self.calls.append("GetOneScan")
        for byte in self.scans.pop(0):
            buf[self.count] = byte
            self.count += 1
        if r.ScanMode != 0:
            if buf[0] != 0xF0:
                r.ErrorCode = 1
                return 0
            self.RemoveFromBuffer(1, buf)
        return 1

    def Gconv(self, rec, buf):
        r = rec._obj
        r.Counts = buf[0] + 256 * buf[1] + (65536 * buf[2] if r.ConvBytes == 3 else 0)
        self.RemoveFromBuffer(r.ConvBytes, buf)
        r.ScaledValue = self.Counts2Volts(r.Counts, r.ConvBytes, r.Bipolar)

    def RemoveFromBuffer(self, count, buf):
        if count >= self.count:
            self.count = 0
            return
        for i in range(self.count - count):
            buf[i] = buf[i + count]
        self.count -= count

    def Counts2Volts(self, counts, conv_bytes, bipolar):
        return counts * 0.0002980232 * (256 if conv_bytes == 2 else 1)

    def StopScanning(self, rec):
        self.calls.append("StopScanning")
        return 1


def scan_bytes(counts, conv_bytes=3, lead=True, extra=0x55):
    out = [0xF0] if lead else []
    for c in counts:
        out += [(c >> (8 * i)) & 0xFF for i in range(conv_bytes)]
    return out + ([extra] if lead else [])


@pytest.mark.parametrize("mode, channels, per_scan", [(1, 4, 4), (2, 4, 6), (0, 4, 1), (7, 3, 3)])
def test_each_scan_becomes_one_row(mode, channels, per_scan):
    sent = [[1000 * s + c for c in range(per_scan)] for s in range(3)]
    lib = BufferLibrary([scan_bytes(row, lead=mode != 0) for row in sent])
    inst = sadclink.Instrument(scan_mode=mode, channels=channels, lib=lib)
    data = inst.scan(3, raw=True)
    assert data.shape == (3, per_scan)
    assert data.tolist() == sent
    assert lib.count == 0, "the scan's further byte was left in the buffer"
    assert lib.calls == ["StartScanning"] + ["GetOneScan"] * 3 + ["StopScanning"]


def test_values_are_scaled_floats():
    lib = BufferLibrary([scan_bytes([2**23, 0, 2**24 - 1, 1])])
    data = sadclink.Instrument(lib=lib).scan(1)
    assert data.dtype.kind == "f"
    assert data[0].tolist() == pytest.approx([2500.0, 0.0, 4999.9993, 0.0003], abs=1e-3)


@pytest.mark.parametrize("code, words", [(2, "ScanTime + 2 s"), (3, "InQueueSize - 10"), (1, "lead byte")])
def test_a_failed_scan_raises_and_still_stops(code, words):
    lib = BufferLibrary([scan_bytes([1, 2, 3, 4])] * 3, fail_at=2, error_code=code)
    with pytest.raises(SadclinkError, match=f"^GetOneScan failed: .*{re.escape(words)}") as err:
        sadclink.Instrument(lib=lib).scan(3)
    assert err.value.error_code == code
    assert lib.calls[-1] == "StopScanning"


def test_an_interval_that_does_not_fit_is_reported_before_starting():
    lib = BufferLibrary([], check=0)
    with pytest.raises(SadclinkError, match=r"^CheckScanTime failed: .* outside 0.25 \.\. 3386 s"):
        sadclink.Instrument(scan_interval=0.01, lib=lib).scan(1)
    assert lib.calls == []


def test_closing_the_generator_stops_the_stream():
    lib = BufferLibrary([scan_bytes([1, 2, 3, 4])] * 5)
    scans = sadclink.Instrument(lib=lib).iter_scans()
    next(scans)
    scans.close()
    assert lib.calls == ["StartScanning", "GetOneScan", "StopScanning"]


def test_without_numpy_scans_are_lists(monkeypatch):
    monkeypatch.setattr(instrument_module, "numpy", None)
    lib = BufferLibrary([scan_bytes([5, 6, 7, 8])] * 2)
    assert sadclink.Instrument(lib=lib).scan(2, raw=True) == [[5, 6, 7, 8], [5, 6, 7, 8]]
