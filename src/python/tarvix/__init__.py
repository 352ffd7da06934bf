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

Blocks are independent, and every block that compress mode writes but the
last holds BLOCK_SIZE bytes: TarvixFile.seek() walks the records to the one
that holds its target, restoring none of those it passes; compress(...,
header=False) gives the records of one stretch of a source alone, and
join() joins such parts, compressed apart (on the cores of a machine, or
the workers of a cluster), into exactly the file of the whole. Where fsspec
is installed, "tvx" is one of its compressions, inferred for names ending
in .tvx; tarvix.dask reads compressed files in partitions for Dask.

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
from ._parts import BLOCK_SIZE, MAGIC, join
from ._version import __version__
from . import _fsspec

__all__ = ["BLOCK_SIZE", "Compressor", "CutShortError", "Decompressor", "Error", "MAGIC", "Status",
           "TarvixFile", "compress", "decompress", "join", "open", "__version__"]

_fsspec.install()

# The submodules are the implementation: dir(tarvix) shows the interface.
del _errors, _fsspec, _interface, _parts, _tarvix, _version  # type: ignore[name-defined]
