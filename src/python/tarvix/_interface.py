"""The module's interface, as Python's bz2 and lzma modules have it, over the
extension tarvix._tarvix; tarvix re-exports it.

The coders and the whole-buffer functions are the extension's own. The file
layer here keeps no state of its own that must agree with a coder's: the
extension's Writer and Reader hold the bytes not yet written or not yet
restored, and the position, and move them within one call, so that a
KeyboardInterrupt that falls between two calls finds the object as if the
last call had been made in full or not at all.
"""

from __future__ import annotations

import io
import os

from . import _tarvix
from ._errors import CutShortError, Error, Status
from ._tarvix import Compressor, Decompressor, compress, decompress

# The typing module costs a third of this module's import, and only the type
# checker needs it: with the annotations left unevaluated, nothing else does.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Literal, Optional, Protocol, Tuple, Union, overload

    from _typeshed import ReadableBuffer, StrOrBytesPath, WriteableBuffer
else:
    def overload(function: object) -> None:  # as typing's: the last definition stands
        return None

__all__ = ["Compressor", "CutShortError", "Decompressor", "Error", "Status", "TarvixFile",
           "compress", "decompress", "open"]

# The buffer of a file being read: restored bytes per read from the core.
_CHUNK_SIZE = 128 * 1024


if TYPE_CHECKING:
    class _ReadableFile(Protocol):
        def read(self, size: int, /) -> Optional[bytes]: ...

    class _WritableFile(Protocol):
        def write(self, data: ReadableBuffer, /) -> Optional[int]: ...


def _reading_method(fp: Any) -> Literal["readinto", "read1", "read"]:
    """How the Reader reads fp: into its own buffer from an OS file or a
    BytesIO, whose reads either read or raise having read nothing; with read1
    from io's buffered files, which then never lose what they buffered when
    the raw file under them raises; else with read."""
    if type(fp) in (io.FileIO, io.BytesIO):
        return "readinto"
    if type(fp) in (io.BufferedReader, io.BufferedRandom):
        return "read1"
    return "read"


class _Reader(io.RawIOBase):
    """Restores a compressed file as it is read: the raw layer under a
    TarvixFile's io.BufferedReader, over the extension's Reader, which keeps
    the input and the position. A seek walks the records to the one that
    holds its target, sizing each without restoring it, and restores on from
    there: forward from the nearest record the reader knows, and backward
    too."""

    def __init__(self, fp: Any, threads: int) -> None:
        super().__init__()
        self._fp = fp
        self._core = _tarvix.Reader(fp, threads=threads, fetch=_reading_method(fp))

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return bool(self._fp.seekable())

    def readinto(self, buffer: WriteableBuffer) -> Optional[int]:
        return self._core.readinto(buffer)

    def readall(self) -> Optional[bytes]:  # type: ignore[override]
        return self._core.readall()

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        # Every check comes before the position moves. A negative position is
        # refused; a seek back before the start, or forward past the end,
        # stops there, as gzip's does.
        core = self._core
        if whence == io.SEEK_SET:
            if offset < 0:
                raise ValueError("tarvix: negative seek position %d" % offset)
            target = offset
        elif whence == io.SEEK_CUR:
            target = max(0, core.position + offset)
        elif whence == io.SEEK_END:
            size = core.size if core.size >= 0 else core.walk_size()
            target = max(0, size + offset)
        else:
            raise ValueError("tarvix: invalid whence (%r)" % (whence,))
        return core.seek_to(target)

    def learn(self, record: Tuple[int, int, int, int, int, int]) -> None:
        """Keeps a record of this file that walk() gave, to seek from."""
        self._core.learn(record)

    def tell(self) -> int:
        return self._core.position

    def close(self) -> None:
        if hasattr(self, "_core"):  # not when __init__ failed
            self._core.close()
        super().close()


_MODES = {"": "rb", "r": "rb", "rb": "rb", "w": "wb", "wb": "wb", "x": "xb", "xb": "xb",
          "a": "ab", "ab": "ab"}


class TarvixFile(io.BufferedIOBase):
    """A compressed file as a binary file object, as bz2.BZ2File is.

    filename is a path (str, bytes or os.PathLike) or a binary file object.
    mode "r" (or "rb", the default) restores the file as it is read; seek()
    on a seekable file walks its records to the one that holds the target,
    restoring none of those it passes, forward and backward, and
    seek(0, io.SEEK_END) tells the restored size so; a file that cannot be
    restored in full raises Error from the read or seek that reaches the
    fault (read1() gives every byte before it first). "w" (or
    "wb") compresses what is written into the file, "x" (or "xb") into a new
    file, and "a" (or "ab") appends a new compressed file, which reads back
    after the old one; close it (or leave a with block) to end it. Memory
    stays bounded whatever the file's size. threads (1 to 64; 0, the default:
    every core the process may use, at most 16) codes the blocks of each
    large read or write on that many threads, with the same bytes and outcome.

    A file named by its path is an unbuffered OS file. When the file object
    raises in a write (a full disk, Ctrl-C), the compressed bytes it has not
    taken are kept and go first at the next write(), flush() or close(), so
    nothing is lost from the middle; tell() counts the source bytes taken. A
    non-blocking file that takes no more raises BlockingIOError with
    characters_written, the bytes of the data taken, as io.BufferedWriter
    does. A file object other than an OS file may raise having written part of
    what it was given: the file is then damaged, later writes raise, and
    close() ends it with bytes that no reader restores, and raises. A close()
    that raises otherwise leaves the file open, with nothing lost: close it
    again.
    """

    def __init__(self, filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
                 mode: str = "r", *, threads: int = 0) -> None:
        self._fp: Any = None
        self._owns_fp = False
        self._buffer: Optional[io.BufferedReader] = None
        self._writer: Optional[_tarvix.Writer] = None
        threads = _tarvix.thread_count(threads)  # refused before any file is touched
        if mode not in _MODES:
            raise ValueError("tarvix: invalid mode %r" % (mode,))
        self.mode = _MODES[mode]
        if isinstance(filename, (str, bytes, os.PathLike)):
            self.name: Union[str, bytes] = os.fspath(filename)
            self._fp = io.FileIO(filename, self.mode[0])
            self._owns_fp = True
        elif hasattr(filename, "read" if self.mode == "rb" else "write"):
            self.name = getattr(filename, "name", "")
            self._fp = filename
        else:
            raise TypeError("tarvix: filename must be a str, bytes, file or PathLike object")
        try:
            if self.mode == "rb":
                self._buffer = io.BufferedReader(_Reader(self._fp, threads), _CHUNK_SIZE)
            else:
                self._writer = _tarvix.Writer(self._fp, threads=threads,
                                              exact=type(self._fp) is io.FileIO,
                                              raw=isinstance(self._fp, io.RawIOBase))
        except BaseException:
            self._release()
            raise

    def close(self) -> None:
        """Ends a file being written, and closes the file object if it was
        opened here. Calling it again does nothing."""
        # Each step may be done again, and the file counts as closed only
        # after the last: a close() cut short by an interrupt is done in full
        # by the next one.
        if self.closed:
            return
        try:
            if self._writer is not None:
                self._writer.end()
                if not getattr(self._fp, "closed", False):
                    self._fp.flush()
        except BaseException:
            if self._writer is not None and not self._writer.ended:
                raise  # nothing is lost: the file stays open, to be closed again
            self._release()
            raise
        self._release()

    def _release(self) -> None:
        if self._buffer is not None:
            self._buffer.close()
        if self._owns_fp:
            self._fp.close()
        self._fp = None
        self._buffer = self._writer = None

    @property
    def closed(self) -> bool:
        return self._fp is None

    def _check_not_closed(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def _check_can_read(self) -> io.BufferedReader:
        self._check_not_closed()
        if self._buffer is None:
            raise io.UnsupportedOperation("File not open for reading")
        return self._buffer

    def _check_can_write(self) -> _tarvix.Writer:
        self._check_not_closed()
        if self._writer is None:
            raise io.UnsupportedOperation("File not open for writing")
        return self._writer

    def fileno(self) -> int:
        """The file descriptor of the file object, where it has one."""
        self._check_not_closed()
        return int(self._fp.fileno())

    def readable(self) -> bool:
        self._check_not_closed()
        return self._buffer is not None

    def writable(self) -> bool:
        self._check_not_closed()
        return self._writer is not None

    def seekable(self) -> bool:
        return self.readable() and self._check_can_read().seekable()

    def read(self, size: Optional[int] = -1) -> bytes:
        """Restores up to size bytes, or all that is left if size is negative
        (on the threads, in large pieces)."""
        return self._check_can_read().read(size)

    def read1(self, size: int = -1) -> bytes:
        """Restores up to size bytes (a buffer's worth if negative) with at
        most one read from the file object."""
        return self._check_can_read().read1(_CHUNK_SIZE if size < 0 else size)

    def readinto(self, buffer: WriteableBuffer) -> int:
        return self._check_can_read().readinto(buffer)

    def readinto1(self, buffer: WriteableBuffer) -> int:
        return self._check_can_read().readinto1(buffer)

    def readline(self, size: Optional[int] = -1) -> bytes:
        return self._check_can_read().readline(size)

    def peek(self, size: int = 0) -> bytes:
        """Returns restored bytes ahead without moving on: at least one unless
        at the end."""
        return self._check_can_read().peek(size)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves in the restored bytes of a file being read, by a walk over
        its records where that is cheaper than restoring on. A negative
        position raises ValueError, and the position stays."""
        if not self.seekable():
            raise io.UnsupportedOperation("tarvix: seeking needs a seekable file being read")
        return self._check_can_read().seek(offset, whence)

    def _learn(self, record: Tuple[int, int, int, int, int, int]) -> None:
        """Keeps a record of this file that tarvix._tarvix.walk() gave: a seek
        walks on from it (tarvix.dask hands each task the record of its
        partition)."""
        raw = self._check_can_read().raw
        assert isinstance(raw, _Reader)
        raw.learn(record)

    def tell(self) -> int:
        """The position in the restored bytes, or the source bytes written."""
        if self._buffer is not None:
            return self._buffer.tell()
        return self._check_can_write().taken

    def write(self, data: ReadableBuffer) -> int:
        """Compresses data and writes what is ready; returns its length."""
        return self._check_can_write().write(data)

    def flush(self) -> None:
        """Writes the compressed bytes made so far, then flushes the file
        object; the block being filled stays until more data or close()."""
        self._check_not_closed()
        if self._writer is not None:
            self._writer.flush()
            self._fp.flush()


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
         mode: Literal["", "r", "rb", "w", "wb", "x", "xb", "a", "ab"] = "rb", *,
         threads: int = 0, encoding: None = None, errors: None = None,
         newline: None = None) -> TarvixFile: ...


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
         mode: Literal["rt", "wt", "xt", "at"], *, threads: int = 0,
         encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> io.TextIOWrapper: ...


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile], mode: str, *,
         threads: int = 0, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TarvixFile, io.TextIOWrapper]: ...


def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile], mode: str = "rb", *,
         threads: int = 0, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TarvixFile, io.TextIOWrapper]:
    """Opens a compressed file in binary or text mode, as bz2.open() does.

    mode is "r", "rb", "w", "wb", "x", "xb", "a" or "ab" for a TarvixFile
    (see there; encoding, errors and newline must then be None), or "rt",
    "wt", "xt" or "at" for an io.TextIOWrapper around one, with the given
    encoding, errors and newline.
    """
    if "t" in mode:
        if "b" in mode:
            raise ValueError("tarvix: invalid mode %r" % (mode,))
    else:
        for name, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            if value is not None:
                raise ValueError("tarvix: argument %r not supported in binary mode" % name)
    binary = TarvixFile(filename, mode.replace("t", ""), threads=threads)
    if "t" in mode:
        return io.TextIOWrapper(binary, encoding, errors, newline)  # type: ignore[arg-type]
    return binary


TarvixFile.__module__ = "tarvix"  # where pickle and help() find it
