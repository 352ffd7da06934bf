"""tarvix: compress data into the tarvix file format, or restore it.

    >>> import tarvix
    >>> packed = tarvix.compress(b"abcabcabc" * 1000)
    >>> tarvix.decompress(packed) == b"abcabcabc" * 1000
    True
    >>> with tarvix.open("notes.txt.tvx", "wt", encoding="utf-8") as f:
    ...     f.write("some text\\n")
    10

As Python's bz2 and lzma modules: compress() and decompress() work on bytes
in memory; Compressor and Decompressor code incrementally; open() gives a
TarvixFile, a binary file object that reads or writes a compressed file in
bounded memory, or a text file around one. Everything written is byte for
byte what the tarvix tool writes; compressed files one after another restore
as the concatenation of their sources. A compressed file that cannot be
restored in full raises tarvix.Error, an OSError (CutShortError, also an
EOFError, when the file is cut short). python3 -m tarvix compresses and
restores files from the command line.

The module is a thin layer over the C interface of the shared library
libtarvix.so.1 (<tarvix/tarvix.h>), loaded with ctypes: the one installed
beside the module, else the system's; the environment variable
TARVIX_LIBRARY may name the library's file instead. The library releases
Python's global lock while it codes, so distinct objects may code on
distinct threads at the same time.
"""

from ._interface import (
    Compressor,
    CutShortError,
    Decompressor,
    Error,
    Status,
    TarvixFile,
    compress,
    decompress,
    open,
)
from ._version import __version__

__all__ = ["Compressor", "CutShortError", "Decompressor", "Error", "Status", "TarvixFile",
           "compress", "decompress", "open", "__version__"]

# The submodules are the implementation: dir(tarvix) shows the interface.
del _interface, _location, _native, _version  # type: ignore[name-defined]
