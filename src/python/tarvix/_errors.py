"""The module's errors: what restoring a compressed file can end with.

tarvix._tarvix raises them through make_error(); tarvix re-exports them.
"""

from __future__ import annotations

import enum

from . import _tarvix

TYPE_CHECKING = False  # as in tarvix._interface
if TYPE_CHECKING:
    from typing import Any, Optional, Tuple


class Status(enum.IntEnum):
    """How restoring a compressed file ended (tarvix_status in C)."""

    OK = 0
    NOT_COMPRESSED = 1  # the file does not open with the file magic
    CUT_SHORT = 2  # the end of the file cuts a record short
    BAD_LENGTH = 3  # a length field of 0, or above the longest block data
    BAD_BLOCK_DATA = 4  # the block decoder refuses a record's block data
    OUTPUT_TOO_SMALL = 5  # not raised by this module
    MISUSE = 6  # not raised by this module
    READ_FAILED = 7  # not raised by this module: a file that cannot be read raises its own error


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
        super().__init__("%s: %s" % (status.name, _tarvix.status_string(status)))
        self.status = status
        self.restored = restored

    def __reduce__(self) -> Tuple[Any, ...]:
        # OSError would rebuild the error from its message alone.
        return type(self), (self.status, self.restored)


class CutShortError(Error, EOFError):
    """The compressed file ends inside a record (Status.CUT_SHORT)."""


def make_error(status: int, restored: Optional[bytes] = None) -> Error:
    """The error for a status, CutShortError for a file cut short."""
    kind = CutShortError if status == Status.CUT_SHORT else Error
    return kind(status, restored or b"")


for _public in (Status, Error, CutShortError):
    _public.__module__ = "tarvix"  # where pickle and help() find them
