"""The module's interface, as Python's bz2 and lzma modules have it, over the
ctypes layer tarvix._native; tarvix re-exports it."""

from __future__ import annotations

import builtins
import enum
import errno
import io
import os
import threading

from . import _native

# The typing module costs a third of this module's import, and only the type
# checker needs it: with the annotations left unevaluated, nothing else does.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Any, List, Literal, Optional, Protocol, Tuple, Union, overload

    from _typeshed import ReadableBuffer, StrOrBytesPath, WriteableBuffer
else:
    def overload(function: object) -> None:  # as typing's: the last definition stands
        return None

# Compressed bytes read from the file per call, at least; and the source
# bytes given to the compressor per call, at most: many blocks for its threads,
# and a bound on the compressed bytes held at once.
_CHUNK_SIZE = 128 * 1024
_SLICE_SIZE = 1024 * 1024
# Restored bytes per call into the library when the whole file is read.
_WHOLE_READ_ROOM = 4 * 1024 * 1024


if TYPE_CHECKING:
    class _ReadableFile(Protocol):
        def read(self, size: int, /) -> Optional[bytes]: ...

    class _WritableFile(Protocol):
        def write(self, data: ReadableBuffer, /) -> Optional[int]: ...


class Status(enum.IntEnum):
    """How restoring a compressed file ended (tarvix_status in C)."""

    OK = 0
    NOT_COMPRESSED = 1  # the file does not open with the file magic
    CUT_SHORT = 2  # the end of the file cuts a record short
    BAD_LENGTH = 3  # a length field of 0, or above the longest block data
    BAD_BLOCK_DATA = 4  # the block decoder refuses a record's block data
    OUTPUT_TOO_SMALL = 5  # not raised by this module
    MISUSE = 6  # not raised by this module


class Error(OSError, ValueError):
    """A compressed file that cannot be restored in full.

    It is an OSError, as gzip.BadGzipFile is, and a ValueError, as it was
    before. str(error) names the status, as in "BAD_LENGTH: ...".
    error.status is the Status; error.restored holds the bytes of the whole
    blocks before the fault that the raising call restored (decompress():
    all of them, which is what the tool leaves in its target). A file cut
    short raises CutShortError, which is also an EOFError.
    """

    status: Status
    restored: bytes

    def __init__(self, status: int, restored: bytes = b"") -> None:
        status = Status(status)
        super().__init__("%s: %s" % (status.name, _native.status_string(status)))
        self.status = status
        self.restored = restored

    def __reduce__(self) -> Tuple[Any, ...]:
        # OSError would rebuild the error from its message alone.
        return type(self), (self.status, self.restored)


class CutShortError(Error, EOFError):
    """The compressed file ends inside a record (Status.CUT_SHORT)."""


def _error(status: int, restored: bytes = b"") -> Error:
    kind = CutShortError if status == Status.CUT_SHORT else Error
    return kind(status, restored)


def _check_threads(threads: int) -> int:
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError("tarvix: threads must be an int, not %s" % type(threads).__name__)
    if not 1 <= threads <= 64:
        raise ValueError("tarvix: threads must be 1 to 64, not %d" % threads)
    return threads


class Compressor:
    """Compresses data incrementally, as bz2.BZ2Compressor does.

    compress() takes source bytes and returns the compressed bytes that are
    ready; flush() ends the file and returns the rest. The pieces joined are
    what tarvix.compress() returns for the source joined. threads (1 to 64)
    codes the whole blocks of each call on that many threads, with the same
    bytes.
    """

    def __init__(self, *, threads: int = 1) -> None:
        self._coder = _native.Compressor(_check_threads(threads))
        self._area = _native.Area()
        self._flushed = False
        # One thread at a time in the coder and its area, as C asks.
        self._lock = threading.Lock()

    def compress(self, data: ReadableBuffer) -> bytes:
        """Returns the compressed bytes made of `data` and what came before.

        Less than a block of the source may be held back until the next call.
        """
        source = _native.Input(data)
        return self._compress(source, 0, source.size)

    def _compress(self, source: _native.Input, start: int, stop: int) -> bytes:
        """compress() of the bytes of source from start to stop."""
        with self._lock:
            if self._flushed:
                raise ValueError("tarvix: compress() after flush()")
            return self._code(source, start, stop, end=False)

    def flush(self) -> bytes:
        """Ends the file and returns its last compressed bytes; the compressor
        takes no more data."""
        with self._lock:
            if self._flushed:
                raise ValueError("tarvix: repeated call to flush()")
            self._flushed = True
            try:
                return self._code(_native.Input(b""), 0, 0, end=True)
            finally:
                self._coder.close()

    def _code(self, source: _native.Input, start: int, stop: int, end: bool) -> bytes:
        """Codes the bytes of source from start to stop, then ends the file if
        `end`, into one area."""
        room = _native.compress_room(stop - start)
        out = self._area.reserve(room)
        pieces = []
        taken, filled = start, 0
        held = 1
        while taken < stop or (end and held):
            if filled == room:  # not met with the room above, but safe
                pieces.append(self._area.take(filled))
                out, filled = self._area.reserve(room), 0
            if taken < stop:
                status, used, written = self._coder.code(
                    source.at(taken), stop - taken, out + filled, room - filled)
                assert status == _native.OK
                taken += used
            else:
                _, written, held = self._coder.end(out + filled, room - filled)
            filled += written
        pieces.append(self._area.take(filled))
        return b"".join(pieces)


class Decompressor:
    """Restores a compressed file incrementally, as bz2.BZ2Decompressor does.

    Compressed files one after another restore as the concatenation of their
    sources. The format has no end mark, so flush() says where the file
    ends: it returns the last restored bytes, or raises CutShortError when
    the file ends inside a record. eof is True once flush() has been called;
    unused_data is always b"", since whatever follows the end of one file
    is read as the next. threads (1 to 64) decodes the whole records of each
    call on that many threads, with the same bytes and outcome.
    """

    def __init__(self, *, threads: int = 1) -> None:
        self._coder = _native.Restorer(_check_threads(threads))
        self._area = _native.Area()
        self._input = _native.Input(b"")  # bytes not yet taken by the restorer
        self._used = 0
        self.needs_input = True
        self.eof = False
        self.unused_data = b""
        self._lock = threading.Lock()  # as Compressor's

    def decompress(self, data: ReadableBuffer, max_length: int = -1) -> bytes:
        """Restores `data` after the compressed bytes before it.

        Returns at most max_length bytes if it is not negative; needs_input
        is then False if more may be restored without more data (call with
        b""). Raises Error at a fault, with error.restored holding the bytes
        restored by this call before the fault.
        """
        with self._lock:
            if self.eof:
                raise EOFError("tarvix: decompress() after flush()")
            if self._used < self._input.size:
                data = self._input.rest(self._used) + memoryview(data).tobytes()
            self._input = _native.Input(data)
            self._used = 0
            try:
                return self._restore(max_length)
            finally:
                if self._used < self._input.size:
                    # Kept in bytes of its own: the caller may change `data` later.
                    self._input = _native.Input(self._input.rest(self._used))
                    self._used = 0

    def _restore(self, max_length: int) -> bytes:
        pieces = []
        total = 0
        self.needs_input = True
        while max_length < 0 or total < max_length:
            rest = self._input.size - self._used
            room = max(_CHUNK_SIZE, min(4 * rest, _WHOLE_READ_ROOM))
            if max_length >= 0:
                room = min(room, max_length - total)
            status, used, written = self._coder.code(
                self._input.at(self._used), rest,
                self._area.reserve(room), room)
            self._used += used
            pieces.append(self._area.take(written))
            total += written
            if status != _native.OK:
                raise _error(status, b"".join(pieces))
            if written < room and self._used == self._input.size:
                return b"".join(pieces)
        # Stopped by max_length: more may be there without more input.
        self.needs_input = False
        return b"".join(pieces)

    def flush(self) -> bytes:
        """Ends the file: returns the rest of its restored bytes, or raises
        Error (CutShortError for a file cut short) with them in .restored."""
        with self._lock:
            if self.eof:
                raise ValueError("tarvix: repeated call to flush()")
            try:
                pieces = [self._restore(-1)] if self._used < self._input.size else []
                room = _native.BLOCK_SIZE
                while True:
                    status, written, held = self._coder.end(self._area.reserve(room), room)
                    pieces.append(self._area.take(written))
                    if not held:
                        break
            finally:
                self._coder.close()
                self.eof, self.needs_input = True, False
            if status != _native.OK:
                raise _error(status, b"".join(pieces))
            return b"".join(pieces)


def compress(data: ReadableBuffer, *, threads: int = 1) -> bytes:
    """Returns the compressed file of the bytes-like object `data` as bytes:
    byte for byte what the tool writes."""
    compressor = Compressor(threads=threads)
    return compressor.compress(data) + compressor.flush()


def decompress(data: ReadableBuffer, *, threads: int = 1) -> bytes:
    """Returns the source restored from the compressed file in `data` as bytes;
    compressed files one after another restore as the concatenation of their
    sources.

    Raises Error when the file cannot be restored in full, with every whole
    block before the fault in error.restored. The output grows with what is
    restored, never with what the length fields promise.
    """
    decompressor = Decompressor(threads=threads)
    restored = decompressor.decompress(data)
    try:
        return restored + decompressor.flush()
    except Error as error:
        error.restored = restored + error.restored
        raise


class _Reader(io.RawIOBase):
    """Restores a compressed file as it is read: the raw layer under a
    TarvixFile's io.BufferedReader. Seeking is emulated as gzip does it:
    forward by restoring on, backward by starting again."""

    def __init__(self, fp: Any, threads: int) -> None:
        super().__init__()
        self._fp = fp
        self._restorer = _native.Restorer(threads)
        # The file's bytes are read into this, where the file can (readinto).
        self._buffer = bytearray()
        self._rewind_state()

    def _rewind_state(self) -> None:
        self._input = _native.Input(b"")
        self._used = 0
        self._ending = False  # the file has ended, or met a fault
        self._status: Optional[int] = None  # the outcome, once all is given out
        self._pos = 0
        self._size = -1

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return bool(self._fp.seekable())

    def readinto(self, buffer: WriteableBuffer) -> Optional[int]:
        out = _native.Output(buffer)
        return self._restore(out.address, out.size) if out.size else 0

    def readall(self) -> Optional[bytes]:  # type: ignore[override]
        # In large pieces, so that the restorer's threads have many records.
        area = _native.Area()
        pieces: List[bytes] = []
        while True:
            count = self._restore(area.reserve(_WHOLE_READ_ROOM), _WHOLE_READ_ROOM)
            if count is None and not pieces:
                return None
            if not count:
                return b"".join(pieces)
            pieces.append(area.take(count))

    def _restore(self, out: Optional[int], room: int) -> Optional[int]:
        """Restores up to `room` bytes at `out` and returns the count: 0 at the
        end, None when a non-blocking file has no bytes yet. At a fault it
        gives every block before it, then raises."""
        while not self._ending:
            if self._used == self._input.size:
                # As much of the file as room to restore into, since a file
                # restores to at least about its own size: the output then
                # fills, and read1() and read() return pieces of the size asked.
                if self._read_file(min(max(_CHUNK_SIZE, room), _SLICE_SIZE)) is None:
                    return None
                if not self._input.size:
                    self._ending = True
                    break
            status, used, written = self._restorer.code(
                self._input.at(self._used), self._input.size - self._used, out, room)
            self._used += used
            if written:
                self._pos += written
                return written
            self._ending = status != _native.OK
        if self._status is None:
            status, written, held = self._restorer.end(out, room)
            if not held:
                self._status = status
            if written:
                self._pos += written
                return written
        if self._status:
            raise _error(self._status)
        self._size = self._pos
        return 0

    def _read_file(self, size: int) -> Optional[int]:
        """Reads up to `size` bytes of the file as the input: into the reader's
        own buffer where the file can (a buffered or an OS file: a raw file
        class may lack readinto), else as new bytes. Returns the count, or
        None from a non-blocking file."""
        if not isinstance(self._fp, (io.BufferedIOBase, io.FileIO)):
            data = self._fp.read(size)
            if data is not None:
                self._input, self._used = _native.Input(data), 0
            return None if data is None else len(data)
        if len(self._buffer) < size:
            self._input = _native.Input(b"")  # lets go of the old buffer
            self._buffer = bytearray(size)
        count: Optional[int] = self._fp.readinto(memoryview(self._buffer)[:size])
        if count is not None:
            self._input, self._used = _native.Input(memoryview(self._buffer)[:count]), 0
        return count

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            if self._size < 0:
                self.readall()
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError("tarvix: invalid whence (%r)" % (whence,))
        if offset < self._pos:
            self._fp.seek(0)
            self._restorer.reset()
            self._rewind_state()
        skip = bytearray(min(offset - self._pos, _CHUNK_SIZE))
        while self._pos < offset:
            if not self.readinto(memoryview(skip)[:offset - self._pos]):
                break
        return self._pos

    def tell(self) -> int:
        return self._pos

    def close(self) -> None:
        if hasattr(self, "_restorer"):  # not when __init__ failed
            self._restorer.close()
        super().close()


_MODES = {"": "rb", "r": "rb", "rb": "rb", "w": "wb", "wb": "wb", "x": "xb", "xb": "xb",
          "a": "ab", "ab": "ab"}


class TarvixFile(io.BufferedIOBase):
    """A compressed file as a binary file object, as bz2.BZ2File is.

    filename is a path (str, bytes or os.PathLike) or a binary file object.
    mode "r" (or "rb", the default) restores the file as it is read; seek()
    is emulated, forward by restoring on and backward by starting again, and
    a file that cannot be restored in full raises Error from the read that
    reaches the fault (read1() gives every byte before it first). "w" (or
    "wb") compresses what is written into the file, "x" (or "xb") into a new
    file, and "a" (or "ab") appends a new compressed file, which reads back
    after the old one; close it (or leave a with block) to end it. Memory
    stays bounded whatever the file's size. threads (1 to 64) codes the blocks
    of each large read or write on that many threads, with the same bytes and
    outcome.

    When the file object raises in a write (a full disk, Ctrl-C), the
    compressed bytes it has not taken are kept and go first at the next
    write(), flush() or close(), so nothing is lost from the middle; tell()
    counts the source bytes taken. A non-blocking file that takes no more
    raises BlockingIOError with characters_written, the bytes of the data
    taken, as io.BufferedWriter does.
    """

    def __init__(self, filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
                 mode: str = "r", *, threads: int = 1) -> None:
        self._fp: Any = None
        self._owns_fp = False
        self._buffer: Optional[io.BufferedReader] = None
        self._compressor: Optional[Compressor] = None
        _check_threads(threads)
        if mode not in _MODES:
            raise ValueError("tarvix: invalid mode %r" % (mode,))
        self.mode = _MODES[mode]
        # Compressed bytes made and not yet written.
        self._pending: Union[bytes, memoryview] = b""
        self._pos = 0  # in writing, the source bytes taken
        if isinstance(filename, (str, bytes, os.PathLike)):
            self.name: Union[str, bytes] = os.fspath(filename)
            self._fp = builtins.open(filename, self.mode)
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
                self._compressor = Compressor(threads=threads)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Ends a file being written, and closes the file object if it was
        opened here. Calling it again does nothing."""
        if self.closed:
            return
        try:
            if self._buffer is not None:
                self._buffer.close()
            elif self._compressor is not None:
                self._write_pending()
                self._pending = self._compressor.flush()
                self._write_pending()
                self._fp.flush()
        finally:
            try:
                if self._owns_fp:
                    self._fp.close()
            finally:
                self._fp = self._buffer = self._compressor = None
                super().close()

    def _check_not_closed(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def _check_can_read(self) -> io.BufferedReader:
        self._check_not_closed()
        if self._buffer is None:
            raise io.UnsupportedOperation("File not open for reading")
        return self._buffer

    def _check_can_write(self) -> Compressor:
        self._check_not_closed()
        if self._compressor is None:
            raise io.UnsupportedOperation("File not open for writing")
        return self._compressor

    def fileno(self) -> int:
        """The file descriptor of the file object, where it has one."""
        self._check_not_closed()
        return int(self._fp.fileno())

    def readable(self) -> bool:
        self._check_not_closed()
        return self._buffer is not None

    def writable(self) -> bool:
        self._check_not_closed()
        return self._compressor is not None

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
        """Moves in the restored bytes of a file being read; emulated, so a
        seek backward restores again from the start."""
        if not self.seekable():
            raise io.UnsupportedOperation("tarvix: seeking needs a seekable file being read")
        return self._check_can_read().seek(offset, whence)

    def tell(self) -> int:
        """The position in the restored bytes, or the source bytes written."""
        if self._buffer is not None:
            return self._buffer.tell()
        self._check_can_write()
        return self._pos

    def write(self, data: ReadableBuffer) -> int:
        """Compresses data and writes what is ready; returns its length."""
        compressor = self._check_can_write()
        source = _native.Input(data)
        self._write_pending()
        for start in range(0, source.size, _SLICE_SIZE):
            stop = min(start + _SLICE_SIZE, source.size)
            self._pending = compressor._compress(source, start, stop)
            self._pos += stop - start
            self._write_pending(stop)
        return source.size

    def flush(self) -> None:
        """Writes the compressed bytes made so far, then flushes the file
        object; the block being filled stays until more data or close()."""
        if self._compressor is not None:
            self._write_pending()
            self._fp.flush()
        super().flush()  # raises on a closed file

    def _write_pending(self, taken: int = 0) -> None:
        """Writes out the compressed bytes made and not yet written. When the
        file object raises, what it has not taken stays pending; `taken` is
        the count of the caller's data that the pending bytes hold."""
        while self._pending:
            try:
                count = self._fp.write(self._pending)
            except BlockingIOError as error:
                self._pending = memoryview(self._pending)[error.characters_written:]
                raise BlockingIOError(error.errno, error.strerror, taken) from None
            if count is None:
                if isinstance(self._fp, io.RawIOBase):  # a non-blocking file is full
                    raise BlockingIOError(errno.EAGAIN, "tarvix: the file takes no bytes now",
                                          taken)
                count = len(self._pending)  # a file object that returns nothing
            self._pending = memoryview(self._pending)[count:] if count < len(self._pending) else b""


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
         mode: Literal["", "r", "rb", "w", "wb", "x", "xb", "a", "ab"] = "rb", *,
         threads: int = 1, encoding: None = None, errors: None = None,
         newline: None = None) -> TarvixFile: ...


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile],
         mode: Literal["rt", "wt", "xt", "at"], *, threads: int = 1,
         encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> io.TextIOWrapper: ...


@overload
def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile], mode: str, *,
         threads: int = 1, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TarvixFile, io.TextIOWrapper]: ...


def open(filename: Union[StrOrBytesPath, _ReadableFile, _WritableFile], mode: str = "rb", *,
         threads: int = 1, encoding: Optional[str] = None, errors: Optional[str] = None,
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


for _public in (Status, Error, CutShortError, Compressor, Decompressor, TarvixFile):
    _public.__module__ = "tarvix"  # where pickle and help() find them
