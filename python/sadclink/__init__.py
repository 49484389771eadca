"""sadclink for Python: the instrument library over ctypes.

Two layers:

- ``Instrument``, used in a ``with`` block, whose methods return values and
  raise ``SadclinkError`` when the library reports a failure::

      import sadclink
      with sadclink.Instrument("COM1") as inst:
          print(inst.version, inst.read(channel=0))
          data = inst.scan(10)          # NumPy array, one row per scan

- the library itself, ``sadclink.library()``, with the 26 functions declared
  with their exact argument and result types, and ``DeviceRecord``, the
  96-byte record as a ctypes structure packed to 2.

The library is looked for in $SADCLINK_LIBRARY, then where this package was
installed with it, then in the package's own folder, then on the system.
"""
from ._library import INVALID_HANDLE, PROTOTYPES, candidates, library, load
from ._record import FIELD_NAMES, RECORD_SIZE, DeviceRecord, field_layout
from .instrument import BAUD_RATES, SCAN_ERRORS, Instrument, SadclinkError

__version__ = "1.0.0"

__all__ = [
    "BAUD_RATES", "DeviceRecord", "FIELD_NAMES", "INVALID_HANDLE", "Instrument", "PROTOTYPES",
    "RECORD_SIZE", "SCAN_ERRORS", "SadclinkError", "candidates", "field_layout", "library", "load",
]
