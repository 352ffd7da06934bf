"""Parts of one compressed file, made apart and joined: join(), over the
walk of tarvix._tarvix; tarvix re-exports it."""

from __future__ import annotations

import io
import os
import secrets

from . import _tarvix
from ._errors import Status, make_error

TYPE_CHECKING = False  # as in tarvix._interface
if TYPE_CHECKING:
    from typing import IO, Any, Iterable, Iterator, Optional, Tuple, Union

    from _typeshed import ReadableBuffer, StrOrBytesPath

    Part = Union[str, os.PathLike[str], ReadableBuffer, IO[bytes]]

# The most source bytes in one block: every part but the last restores to
# whole blocks of this many bytes.
BLOCK_SIZE = 8192
# The file magic, the first four bytes of every compressed file.
MAGIC = b"\xD8\xC7\xB6\xA5"

_COPY_SIZE = 1 << 20
_SHORT_IN_THE_MIDDLE = ("tarvix: %r would leave a short block in the middle (every part but the "
                        "last must restore to whole blocks of 8192 bytes)")


def _name_of(part: Any, number: int) -> str:
    if isinstance(part, (str, os.PathLike)):
        return os.fsdecode(part)
    return str(getattr(part, "name", "part %d" % number))


class _Opened:
    """A part as the walk and the copy read it: its bytes, or a file object
    at the part's start."""

    def __init__(self, part: Any) -> None:
        self.file: Optional[IO[bytes]] = None
        self.owned = False
        self.data: Optional[memoryview] = None
        if isinstance(part, (str, os.PathLike)):
            self.file, self.owned = io.FileIO(part, "r"), True
        elif hasattr(part, "read"):
            self.file = part
        else:
            self.data = memoryview(part).cast("B")
        self.origin = self.file.tell() if self.file is not None else 0

    def head(self) -> bytes:
        """The part's first four bytes (fewer if it is shorter)."""
        if self.data is not None:
            return bytes(self.data[:len(MAGIC)])
        assert self.file is not None
        self.file.seek(self.origin)
        return self.file.read(len(MAGIC)) or b""

    def walk(self, threads: int) -> Tuple[int, Tuple[int, int, int, int, int, int]]:
        if self.data is not None:
            return _tarvix.walk(self.data, records=True, threads=threads)
        assert self.file is not None
        if self.origin != 0:
            raise ValueError("tarvix: a part given as a file object must be read from its start")
        return _tarvix.walk(self.file, records=True, threads=threads)

    def pieces(self, start: int, end: int) -> Iterator[bytes]:
        """The part's bytes from start to end, in pieces."""
        if self.data is not None:
            for at in range(start, end, _COPY_SIZE):
                yield bytes(self.data[at:min(at + _COPY_SIZE, end)])
            return
        assert self.file is not None
        self.file.seek(self.origin + start)
        while start < end:
            piece = self.file.read(min(_COPY_SIZE, end - start))
            if not piece:
                raise make_error(Status.CUT_SHORT)  # shorter now than when it was walked
            start += len(piece)
            yield piece

    def close(self) -> None:
        if self.owned and self.file is not None:
            self.file.close()


def _write_parts(parts: Iterable[Part], out: IO[bytes], threads: int) -> int:
    out.write(MAGIC)
    written = len(MAGIC)
    short: Optional[str] = None  # a part before that ended in a short block
    for number, part in enumerate(parts):
        name = _name_of(part, number)
        opened = _Opened(part)
        try:
            status, record = opened.walk(threads)
            if status != Status.OK:
                error = make_error(status)
                error.filename = name
                raise error
            _, index, restored_offset, _, data_size, restored_size = record
            if data_size == 0:
                continue  # no records: nothing to add
            if short is not None:
                raise ValueError(_SHORT_IN_THE_MIDDLE % short)
            if restored_offset != index * BLOCK_SIZE:
                raise ValueError(_SHORT_IN_THE_MIDDLE % name)
            short = name if restored_size != BLOCK_SIZE else None
            start = len(MAGIC) if opened.head() == MAGIC else 0
            for piece in opened.pieces(start, record[0] + 2 + data_size):
                out.write(piece)
                written += len(piece)
        finally:
            opened.close()
    return written


def join(parts: Iterable[Part], out: Union[StrOrBytesPath, IO[bytes]], *,
         threads: int = 0) -> int:
    """Writes one compressed file from parts compressed from stretches of one
    source, in order, and returns its size in bytes: byte for byte what
    compressing the whole source gives.

    Each part is a path (str or os.PathLike), a bytes-like object (bytes
    among them) or a binary file object at its start, holding either records alone (compress(..., header=False),
    Compressor(header=False)) or a whole compressed file, whose magic is
    dropped. Every part but the last must restore to whole blocks of
    BLOCK_SIZE bytes, as a source cut at multiples of BLOCK_SIZE gives: a
    part that would leave a short block in the middle raises ValueError, and
    a damaged one Error (with its name as error.filename); parts are read by
    a walk over their records, restoring nothing (on threads threads).

    out is a path, written under a temporary name in its folder and renamed
    onto it only once whole (nothing is left behind on failure), or a binary
    file object, written as it goes.
    """
    _tarvix.thread_count(threads)  # refused before anything is touched
    if not isinstance(out, (str, bytes, os.PathLike)):
        return _write_parts(parts, out, threads)
    target = os.fsdecode(out)
    folder, base = os.path.split(target)
    temporary = os.path.join(folder, ".%s.%s" % (base, secrets.token_hex(4)))
    # A new file's mode, as the umask makes it.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0),
                 0o666)
    try:
        with io.FileIO(fd, "w") as file:
            written = _write_parts(parts, file, threads)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return written
