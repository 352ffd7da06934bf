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

The coders are the tarvix library's own, built into the extension
tarvix._tarvix. They release Python's global lock while they code, so
distinct objects may code on distinct threads at the same time, and they
code on every core the process may use unless threads says otherwise.
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
del _errors, _interface, _tarvix, _version  # type: ignore[name-defined]
