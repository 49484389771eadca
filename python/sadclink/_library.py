"""Loading the library and declaring its 26 functions for ctypes."""
import ctypes
import ctypes.util
import os
import pathlib
import struct
import sys
from ctypes import POINTER, c_double, c_int16, c_int32, c_void_p

from ._record import DeviceRecord

SadcStatus = c_int16
RecordPtr = POINTER(DeviceRecord)
ScanBufferPtr = POINTER(c_int32)

#: A closed port slot: every bit of the pointer-sized handle set.
INVALID_HANDLE = ctypes.c_void_p(-1).value

# (ordinal, name, result, argument types), as declared in sadclink.h.
PROTOTYPES = [
    (1, "SignOn", SadcStatus, [RecordPtr]),
    (2, "RemoteAvg", SadcStatus, [RecordPtr]),
    (3, "FullScaleCal", SadcStatus, [RecordPtr]),
    (4, "OffsetCal", SadcStatus, [RecordPtr]),
    (5, "SysCal", SadcStatus, [RecordPtr]),
    (6, "Counts2Volts", c_double, [c_int32, c_int16, c_int16]),
    (7, "GetDigIn", SadcStatus, [RecordPtr]),
    (8, "SetDigOut", SadcStatus, [c_int32]),
    (9, "GetVer", SadcStatus, [RecordPtr]),
    (10, "GetConversion", SadcStatus, [RecordPtr]),
    (11, "SetChanCode", SadcStatus, [RecordPtr]),
    (12, "StartScanning", SadcStatus, [RecordPtr]),
    (13, "GetOneScan", SadcStatus, [RecordPtr, ScanBufferPtr]),
    (14, "StopScanning", SadcStatus, [RecordPtr]),
    (15, "Gconv", None, [RecordPtr, ScanBufferPtr]),
    (16, "RemoveFromBuffer", None, [c_int32, ScanBufferPtr]),
    (17, "SetFilter", SadcStatus, [c_int16]),
    (18, "SendADMode", SadcStatus, [RecordPtr]),
    (19, "GetCheckSum", SadcStatus, []),
    (20, "CloseDevice", SadcStatus, []),
    (21, "GotoSleep", SadcStatus, []),
    (22, "WriteCntr", SadcStatus, [RecordPtr, c_int32, c_int32]),
    (23, "FilterDelay", c_int32, [c_int16]),
    (24, "CheckScanTime", c_int16, [RecordPtr, POINTER(c_double), POINTER(c_double)]),
    (25, "GetComHandle", c_void_p, [POINTER(c_void_p)]),
    (26, "SetComHandle", None, [c_void_p]),
]

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent


def _file_names():
    if os.name == "nt":
        return ["SADCLINK.dll"]
    if sys.platform == "darwin":
        return ["libsadclink.1.dylib", "libsadclink.dylib"]
    return ["libsadclink.so.1", "libsadclink.so"]


def _installed_dirs():
    """The library's folder as recorded at installation, and the package's own."""
    dirs = []
    try:
        from ._location import LIBRARY_DIRS
    except ImportError:
        LIBRARY_DIRS = {}
    bits = str(struct.calcsize("P") * 8)
    if bits in LIBRARY_DIRS:
        dirs.append((_PACKAGE_DIR / LIBRARY_DIRS[bits]).resolve())
    dirs.append(_PACKAGE_DIR)
    return dirs


def candidates():
    """Where the library is looked for, in order: SADCLINK_LIBRARY, the
    installation this package belongs to, the package's folder, the system."""
    found = []
    env = os.environ.get("SADCLINK_LIBRARY")
    if env:
        return [env]
    for folder in _installed_dirs():
        for name in _file_names():
            path = folder / name
            if path.exists():
                found.append(str(path))
    system = ctypes.util.find_library("sadclink") or ctypes.util.find_library("SADCLINK")
    if system:
        found.append(system)
    found.extend(_file_names())  # the loader's own search path
    return found


def declare(lib):
    """Give each of the 26 functions its exact result and argument types."""
    for _, name, restype, argtypes in PROTOTYPES:
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def load(path=None):
    """Load the library (stdcall WinDLL on Windows, CDLL elsewhere) and declare
    its functions. Raises OSError naming every place it looked."""
    loader = ctypes.WinDLL if os.name == "nt" else ctypes.CDLL
    tried = [path] if path else candidates()
    errors = []
    for candidate in tried:
        try:
            lib = loader(candidate)
        except OSError as exc:
            errors.append(f"{candidate}: {exc}")
            continue
        return declare(lib)
    raise OSError("the sadclink library was not found; set SADCLINK_LIBRARY to its path. Tried:\n  "
                  + "\n  ".join(errors))


_lib = None


def library():
    """The library of this process, loaded on first use."""
    global _lib
    if _lib is None:
        _lib = load()
    return _lib
