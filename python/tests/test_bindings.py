"""The ctypes declarations against sadclink.h, and the library loaded through
them. None of these needs an instrument."""
import ctypes
import os
import re
import shutil
import subprocess

import pytest

import sadclink
from sadclink import DeviceRecord, SadclinkError
from sadclink._library import RecordPtr

# --- The record -------------------------------------------------------------------


def offsets_from_compiler(header, tmp_path):
    """{field: (offset, size)} as the C compiler lays out the header's record."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        pytest.skip("no C compiler to lay out the header's record")
    lines = [f'printf("%s %zu %zu\\n", "{f}", offsetof(DeviceRecord, {f}), '
             f'sizeof(((DeviceRecord *)0)->{f}));' for f in sadclink.FIELD_NAMES]
    source = tmp_path / "offsets.c"
    source.write_text("#include <stddef.h>\n#include <stdio.h>\n#include \"sadclink.h\"\n"
                      "int main(void) {\n" + "\n".join(lines)
                      + '\nprintf("sizeof %zu 0\\n", sizeof(DeviceRecord));\nreturn 0;\n}\n')
    program = tmp_path / "offsets"
    subprocess.run([cc, "-std=c11", "-I", str(header.parent), str(source), "-o", str(program)], check=True)
    out = subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout
    return {name: (int(off), int(size)) for name, off, size in (line.split() for line in out.splitlines())}


def offsets_from_asserts(header, tmp_path):
    """{field: (offset, None)} from the header's own static assertions."""
    text = header.read_text()
    found = {m.group(1): (int(m.group(2)), None)
             for m in re.finditer(r"offsetof\(DeviceRecord,\s*(\w+)\)\s*==\s*(\d+)", text)}
    size = re.search(r"sizeof\(DeviceRecord\)\s*==\s*(\d+)", text)
    found["sizeof"] = (int(size.group(1)), None)
    return found


@pytest.mark.parametrize("source", [offsets_from_compiler, offsets_from_asserts],
                         ids=["compiler", "header-asserts"])
def test_record_layout_matches_the_header(source, header, tmp_path):
    expected = source(header, tmp_path)
    assert expected.pop("sizeof")[0] == ctypes.sizeof(DeviceRecord) == 96
    ours = sadclink.field_layout()
    wrong = {name: (ours.get(name), at) for name, at in expected.items()
             if ours.get(name) is None or ours[name][0] != at[0]
             or (at[1] is not None and ours[name][1] != at[1])}
    assert not wrong, f"(ctypes offset, size) vs header: {wrong}"


def test_every_field_of_the_header_is_declared(header):
    body = re.search(r"typedef struct DeviceRecord \{(.*)\} DeviceRecord;", header.read_text(), re.S).group(1)
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    names = re.findall(r"^\s*(?:u?int(?:8|16|32)_t|double|float)\s+(\w+)\s*(?:\[\s*\d+\s*\])?\s*;",
                       body, re.M)
    assert sorted(names) == sorted(sadclink.FIELD_NAMES)


def test_error_code_overlays_reserved3():
    # ErrorCode is written whole: its upper two bytes are Reserved3.
    rec = DeviceRecord()
    rec.ErrorCode = 0x0A0B0C0D
    assert (list(rec.ErrorCodeLow), list(rec.Reserved3)) == ([0x0D, 0x0C], [0x0B, 0x0A])
    assert bytes(rec)[56:60] == b"\x0d\x0c\x0b\x0a"


# --- The 26 functions ------------------------------------------------------------

C_TYPES = {
    "SadcStatus": ctypes.c_int16, "int16_t": ctypes.c_int16, "int32_t": ctypes.c_int32,
    "double": ctypes.c_double, "void": None, "SadcHandle": ctypes.c_void_p,
    "DeviceRecord *": RecordPtr, "int32_t *": ctypes.POINTER(ctypes.c_int32),
    "double *": ctypes.POINTER(ctypes.c_double), "SadcHandle *": ctypes.POINTER(ctypes.c_void_p),
}


def header_prototypes(header):
    """[(ordinal, name, result, [argument types])] from the header's declarations,
    each preceded by its ordinal in a comment."""
    text = header.read_text()
    found = []
    pattern = r"/\* (\d+):(?:(?!\*/).)*\*/\s*SADC_API\s+(.+?)\s+SADC_CALL\s+(\w+)\((.*?)\);"
    for m in re.finditer(pattern, text, re.S):
        ordinal, result, name, args = int(m.group(1)), m.group(2), m.group(3), m.group(4).strip()
        argtypes = []
        if args != "void":
            for arg in args.split(","):
                ctype = re.sub(r"\s*\b\w+$", "", arg.strip())  # drop the parameter name
                argtypes.append(C_TYPES[re.sub(r"\s*\*", " *", ctype)])
        found.append((ordinal, name, C_TYPES[result], argtypes))
    return found


def test_prototypes_match_the_header(header):
    declared = header_prototypes(header)
    assert len(declared) == 26
    for ours, theirs in zip(sadclink.PROTOTYPES, declared):
        assert ours == theirs, f"ours {ours} / header {theirs}"


def library_is_stub(lib):
    # Counts2Volts(0, 3, 1) is exactly -5000 in a built library.
    return lib.Counts2Volts(0, 3, 1) == 0.0


@pytest.mark.parametrize("counts, conv_bytes, bipolar, expected", [
    (2**24 - 1, 3, 0, 4999.9993),
    (0, 3, 1, -5000.0),
    (2**23, 3, 1, -0.0004),        # the scale constant is a little below 5000 / 2^24
    (65535, 2, 0, 4999.9233),      # 16-bit words are placed on the 24-bit scale
    (65535, 1, 0, 65535 * 0.0002980232),  # only 2 applies the factor 256
    (2**23, 3, -1, -0.0004),       # any nonzero bipolar selects bipolar
])
def test_counts2volts(lib, counts, conv_bytes, bipolar, expected):
    if library_is_stub(lib):
        pytest.skip("this library's Counts2Volts is not built yet")
    assert lib.Counts2Volts(counts, conv_bytes, bipolar) == pytest.approx(expected, abs=5e-5)


def test_handle_round_trip(lib):
    # The handle travels pointer-sized both ways, through the result and the out slot.
    out = ctypes.c_void_p(0)
    before = lib.GetComHandle(ctypes.byref(out))
    try:
        lib.SetComHandle(0x12345678)
        out.value = 0
        assert lib.GetComHandle(ctypes.byref(out)) == 0x12345678
        assert out.value == 0x12345678
    finally:
        lib.SetComHandle(before)
    assert lib.GetComHandle(None) == before


def test_sign_on_without_an_instrument_fails_cleanly(lib, no_ports):
    rec = DeviceRecord(ComPort=2, DataRate=100.0, Gain=1, ConvBytes=3, AvgCount=1,
                       InQueueSize=4096, OutQueueSize=4096)
    assert lib.SignOn(ctypes.byref(rec)) == 0
    out = ctypes.c_void_p(0)
    assert lib.GetComHandle(ctypes.byref(out)) == sadclink.INVALID_HANDLE
    assert out.value == sadclink.INVALID_HANDLE


# --- The Pythonic layer without an instrument -----------------------------------


def test_instrument_that_does_not_sign_on_raises(no_ports):
    with pytest.raises(SadclinkError, match=r"^SignOn failed: no instrument signed on at COM3 at 9600 baud") as err:
        with sadclink.Instrument("COM3"):
            pytest.fail("the block ran without an instrument")
    assert err.value.function == "SignOn"


def test_instrument_on_a_device_restores_the_ports_folder(no_ports, tmp_path):
    missing = tmp_path / "no-such-tty"
    with pytest.raises(SadclinkError, match=re.escape(f"COM1 ({missing})")):
        sadclink.Instrument(device=str(missing)).open()
    assert os.environ["SADCLINK_PORTS"] == str(no_ports)
    assert list(no_ports.iterdir()) == []


@pytest.mark.parametrize("port, com_port", [("COM1", 0), ("com2", 1), ("COM16", 15), (16, 15), (1, 0)])
def test_port_names(port, com_port):
    assert sadclink.Instrument(port).record.ComPort == com_port


@pytest.mark.parametrize("port", ["COM0", "COM17", "LPT1", "COM", "COMx", 0, 17])
def test_bad_port_names_are_refused(port):
    with pytest.raises(ValueError):
        sadclink.Instrument(port)
