"""The ctypes layer: loads libtarvix and gives its C interface typed names.

Nothing here is part of the module's interface; tarvix._interface builds on it.
"""

from __future__ import annotations

import ctypes
import os
import sys

from . import _location

TYPE_CHECKING = False  # as in tarvix._interface
if TYPE_CHECKING:
    from typing import Any, Callable, Optional, Tuple

    from _typeshed import ReadableBuffer, WriteableBuffer

# The C interface's status of success (TARVIX_OK).
OK = 0
# The most source bytes in one block (TARVIX_MAX_BLOCK_SIZE).
BLOCK_SIZE = 8192
# Output space per block with which a coder writes straight into the output:
# a compressor needs a block and 8 bytes, a restorer a block.
_RECORD_ROOM = BLOCK_SIZE + 8
# The largest area of its own that an Area keeps between uses.
_KEPT_AREA = 4 << 20


def _library_names() -> list[str]:
    """The files to try, in order: TARVIX_LIBRARY, the install's, the system's."""
    override = os.environ.get("TARVIX_LIBRARY")
    if override:
        return [override]
    names = []
    if _location.LIBRARY is not None:
        here = os.path.dirname(os.path.abspath(__file__))
        beside = os.path.normpath(os.path.join(here, _location.LIBRARY))
        if os.path.exists(beside):
            names.append(beside)
    if sys.platform == "win32":
        names += ["libtarvix.dll", "tarvix.dll"]
    elif sys.platform == "darwin":
        names.append("libtarvix.1.dylib")
    else:
        names.append("libtarvix.so.1")
    return names


def _load_library() -> ctypes.CDLL:
    failures = []
    for name in _library_names():
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            failures.append(str(error))
    raise ImportError(
        "tarvix: cannot load the tarvix library (%s). Install it (Debian: libtarvix1), "
        "or name its directory in LD_LIBRARY_PATH, or its file in TARVIX_LIBRARY."
        % "; ".join(failures))


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    size_t, void_p, size_p = ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)
    c_int, c_uint = ctypes.c_int, ctypes.c_uint
    coding = [void_p, void_p, size_t, size_p, void_p, size_t, size_p]
    ending = [void_p, void_p, size_t, size_p, size_p]
    prototypes: dict[str, Tuple[Any, list[Any]]] = {
        "tarvix_status_string": (ctypes.c_char_p, [c_int]),
        "tarvix_compressor_create_threaded": (void_p, [c_uint]),
        "tarvix_compressor_free": (None, [void_p]),
        "tarvix_compressor_compress": (c_int, coding),
        "tarvix_compressor_end": (c_int, ending),
        "tarvix_restorer_create_threaded": (void_p, [c_uint]),
        "tarvix_restorer_free": (None, [void_p]),
        "tarvix_restorer_set_concatenated": (None, [void_p, c_int]),
        "tarvix_restorer_restore": (c_int, coding),
        "tarvix_restorer_end": (c_int, ending),
        "tarvix_restorer_reset": (None, [void_p]),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _declare(_load_library())


def status_string(status: int) -> str:
    """tarvix_status_string(): the English description of a status."""
    text: bytes = _lib.tarvix_status_string(status)
    return text.decode("ascii")


def compress_room(size: int) -> int:
    """Output space in which a compressor codes `size` more source bytes in
    one call, the block it holds and the magic included, every block straight
    into the output (and so, with threads, all of them together)."""
    return 4 + (size // BLOCK_SIZE + 2) * _RECORD_ROOM


class Input:
    """The bytes of a bytes-like object, where the library can read them.

    bytes, whole views of bytes and writable buffers are used where they lie;
    other read-only buffers are copied once. The object holds what address
    points into.
    """

    __slots__ = ("_owner", "address", "size")

    def __init__(self, data: ReadableBuffer) -> None:
        if isinstance(data, bytes):
            whole = data
        else:
            view = memoryview(data)
            if not view.c_contiguous:
                raise TypeError("tarvix: a bytes-like object must be contiguous")
            if not view.readonly:
                self._owner, self.address, self.size = _address(view.cast("B"))
                return
            whole = view.obj if isinstance(view.obj, bytes) else b""
            if len(whole) != view.nbytes:
                whole = view.tobytes()
        self._owner = whole
        self.address = ctypes.cast(ctypes.c_char_p(whole), ctypes.c_void_p).value
        self.size = len(whole)

    def at(self, offset: int) -> Optional[int]:
        """The address of the byte at offset, or None for an empty object."""
        return None if self.address is None else self.address + offset

    def rest(self, offset: int) -> bytes:
        """The bytes from offset on, copied."""
        return ctypes.string_at(self.at(offset) or 0, self.size - offset)


def _address(view: memoryview) -> Tuple[object, Optional[int], int]:
    if not view.nbytes:
        return view, None, 0
    array = (ctypes.c_char * view.nbytes).from_buffer(view)
    return array, ctypes.addressof(array), view.nbytes


class Output:
    """A writable buffer where the library can write, used where it lies."""

    __slots__ = ("_owner", "address", "size")

    def __init__(self, buffer: WriteableBuffer) -> None:
        view = memoryview(buffer).cast("B")
        self._owner, self.address, self.size = _address(view)


class Area:
    """Memory of this layer's own that the library writes into and the caller
    reads as bytes; it grows on demand and keeps its size."""

    __slots__ = ("_buffer", "size")

    def __init__(self) -> None:
        self._buffer = ctypes.create_string_buffer(0)
        self.size = 0

    def reserve(self, size: int) -> int:
        """Makes the area at least size bytes long and returns its address."""
        if size > self.size:
            self._buffer = ctypes.create_string_buffer(size)
            self.size = size
        return ctypes.addressof(self._buffer)

    def take(self, count: int) -> bytes:
        """The first count bytes of the area, as bytes. An area grown past
        _KEPT_AREA is let go."""
        taken = ctypes.string_at(self._buffer, count)
        if self.size > _KEPT_AREA:
            self._buffer = ctypes.create_string_buffer(0)
            self.size = 0
        return taken


class _Coder:
    """A streaming coder of the C interface, freed by close() or when it goes.

    Each call returns what the C call set in its size_t results.
    """

    _KIND = ""  # compressor or restorer
    _CODE = ""  # compress or restore

    def __init__(self, threads: int) -> None:
        self._handle: Optional[int] = None
        self._free: Callable[[int], None] = getattr(_lib, "tarvix_%s_free" % self._KIND)
        self._code = getattr(_lib, "tarvix_%s_%s" % (self._KIND, self._CODE))
        self._end = getattr(_lib, "tarvix_%s_end" % self._KIND)
        self._handle = getattr(_lib, "tarvix_%s_create_threaded" % self._KIND)(threads)
        if not self._handle:
            raise MemoryError("tarvix: no memory for a %s" % self._KIND)
        self._used = ctypes.c_size_t()
        self._written = ctypes.c_size_t()
        self._held = ctypes.c_size_t()

    def code(self, address: Optional[int], size: int, out: Optional[int],
             out_size: int) -> Tuple[int, int, int]:
        """*_compress() or *_restore(): (status, input used, output written)."""
        status: int = self._code(self._handle, address, size, self._used, out, out_size,
                                 self._written)
        return status, self._used.value, self._written.value

    def end(self, out: Optional[int], out_size: int) -> Tuple[int, int, int]:
        """*_end(): (status, output written, bytes still held)."""
        status: int = self._end(self._handle, out, out_size, self._written, self._held)
        return status, self._written.value, self._held.value

    def close(self) -> None:
        if self._handle:
            self._free(self._handle)
            self._handle = None

    __del__ = close


class Compressor(_Coder):
    """A tarvix_compressor: source bytes in, a compressed file out."""

    _KIND = "compressor"
    _CODE = "compress"


class Restorer(_Coder):
    """A tarvix_restorer that reads compressed files one after another as one."""

    _KIND = "restorer"
    _CODE = "restore"

    def __init__(self, threads: int) -> None:
        super().__init__(threads)
        _lib.tarvix_restorer_set_concatenated(self._handle, 1)

    def reset(self) -> None:
        """tarvix_restorer_reset(): ready for a new file, from its start."""
        _lib.tarvix_restorer_reset(self._handle)
