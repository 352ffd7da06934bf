"""tarvix: compress data into the tarvix file format, or restore it.

    >>> import tarvix
    >>> packed = tarvix.compress(b"abcabcabc" * 1000)
    >>> tarvix.decompress(packed) == b"abcabcabc" * 1000
    True
    >>> with tarvix.open("notes.txt.tvx", "wb") as f:
    ...     f.write(b"some text\\n")
    10

compress() and decompress() work on bytes in memory; open() gives a
streaming binary file object that reads or writes a compressed file in
bounded memory. Everything written is byte for byte what the tarvix tool
writes, and everything read restores as the tool restores it. A compressed
file that cannot be restored in full raises tarvix.Error.

The module is a thin layer over the C interface of the shared library
libtarvix.so.1 (<tarvix/tarvix.h>), loaded with ctypes; the environment
variable TARVIX_LIBRARY may name the library's file instead. The library
releases Python's global lock while it codes, so distinct calls may run on
distinct threads at the same time.
"""

import builtins
import ctypes
import errno
import enum
import io
import os
import sys

from ._version import __version__

__all__ = ["Error", "Status", "compress", "decompress", "open", "__version__"]

# Bytes read or written per call into the library by the streaming objects:
# the memory they hold, besides the coder's own (about 16 KiB).
_CHUNK_SIZE = 128 * 1024


def _load_library():
    path = os.environ.get("TARVIX_LIBRARY")
    if path:
        names = [path]
    elif sys.platform == "win32":
        names = ["libtarvix.dll", "tarvix.dll"]
    elif sys.platform == "darwin":
        names = ["libtarvix.1.dylib"]
    else:
        names = ["libtarvix.so.1"]
    failures = []
    for name in names:
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            failures.append(str(error))
    raise ImportError(
        "tarvix: cannot load the tarvix library (%s). Install it (Debian: libtarvix1), "
        "or name its directory in LD_LIBRARY_PATH, or its file in TARVIX_LIBRARY."
        % "; ".join(failures))


def _declare(lib):
    size_t, void_p, size_p = ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)
    c_int = ctypes.c_int
    prototypes = {
        "tarvix_compress_bound": (size_t, [size_t]),
        "tarvix_compress": (size_t, [void_p, size_t, void_p, size_t]),
        "tarvix_status_string": (ctypes.c_char_p, [c_int]),
        "tarvix_version_string": (ctypes.c_char_p, []),
        "tarvix_compressor_create_threaded": (void_p, [ctypes.c_uint]),
        "tarvix_compressor_free": (None, [void_p]),
        "tarvix_compressor_compress": (c_int, [void_p, void_p, size_t, size_p, void_p, size_t,
                                               size_p]),
        "tarvix_compressor_end": (c_int, [void_p, void_p, size_t, size_p, size_p]),
        "tarvix_restorer_create_threaded": (void_p, [ctypes.c_uint]),
        "tarvix_restorer_free": (None, [void_p]),
        "tarvix_restorer_restore": (c_int, [void_p, void_p, size_t, size_p, void_p, size_t,
                                            size_p]),
        "tarvix_restorer_end": (c_int, [void_p, void_p, size_t, size_p, size_p]),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _declare(_load_library())


class Status(enum.IntEnum):
    """How restoring a compressed file ended (tarvix_status in C)."""

    OK = 0
    NOT_COMPRESSED = 1  # the file does not open with the file magic
    CUT_SHORT = 2  # the end of the file cuts a record's block data short
    BAD_LENGTH = 3  # a length field of 0, or above the longest block data
    BAD_BLOCK_DATA = 4  # the block decoder refuses a record's block data
    OUTPUT_TOO_SMALL = 5  # not raised by this module


class Error(ValueError):
    """A compressed file that cannot be restored in full.

    str(error) names the status, as in "CUT_SHORT: the compressed file is cut
    short". error.status is the Status; error.restored holds the bytes of the
    whole blocks before the fault (decompress() only, else b""), which is what
    the tool leaves in its target.
    """

    def __init__(self, status, restored=b""):
        status = Status(status)
        description = _lib.tarvix_status_string(status).decode("ascii")
        super().__init__("%s: %s" % (status.name, description))
        self.status = status
        self.restored = restored


def _input(data):
    """(owner, address, size) of the bytes of a bytes-like object.

    bytes and writable buffers are used where they lie; other read-only
    buffers are copied once. owner must live while address is used.
    """
    if isinstance(data, bytes):
        return data, ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, len(data)
    view = memoryview(data)
    if not view.c_contiguous:
        raise TypeError("tarvix: a bytes-like object must be contiguous")
    view = view.cast("B")
    if view.readonly:
        return _input(view.tobytes())
    if not view.nbytes:
        return view, None, 0
    array = (ctypes.c_char * view.nbytes).from_buffer(view)
    return array, ctypes.addressof(array), view.nbytes


def _output(view):
    """(owner, address, size) of a writable buffer, used where it lies."""
    view = memoryview(view).cast("B")
    if not view.nbytes:
        return view, None, 0
    array = (ctypes.c_char * view.nbytes).from_buffer(view)
    return array, ctypes.addressof(array), view.nbytes


def compress(data):
    """Returns the compressed file of the bytes-like object `data` as bytes."""
    owner, address, size = _input(data)
    bound = _lib.tarvix_compress_bound(size)
    if bound == ctypes.c_size_t(-1).value:
        raise MemoryError("tarvix: the data is too large to compress in memory")
    file = ctypes.create_string_buffer(bound)
    length = _lib.tarvix_compress(address, size, file, bound)
    assert length, "tarvix_compress refused its bound"
    return ctypes.string_at(file, length)


class _Coder:
    """A streaming coder of the C interface, freed by close() or when it goes."""

    def __init__(self, kind, threads):
        self._free = getattr(_lib, "tarvix_%s_free" % kind)
        self._handle = None
        self._handle = getattr(_lib, "tarvix_%s_create_threaded" % kind)(threads)
        if not self._handle:
            raise MemoryError("tarvix: no memory for a %s" % kind)
        self._used = ctypes.c_size_t()
        self._written = ctypes.c_size_t()
        self._held = ctypes.c_size_t()

    def close(self):
        if self._handle:
            self._free(self._handle)
            self._handle = None

    __del__ = close


class _Compressor(_Coder):
    """A tarvix_compressor: source bytes in, a compressed file out."""

    def __init__(self, threads=1):
        super().__init__("compressor", threads)

    def compress(self, address, size, out_address, out_size):
        """Returns (input bytes used, output bytes written)."""
        _lib.tarvix_compressor_compress(self._handle, address, size, self._used, out_address,
                                        out_size, self._written)
        return self._used.value, self._written.value

    def finish(self, out_address, out_size):
        """Returns (done, output bytes written)."""
        _lib.tarvix_compressor_end(self._handle, out_address, out_size, self._written, self._held)
        return not self._held.value, self._written.value


class _Restorer(_Coder):
    """A tarvix_restorer: a compressed file in, its source out."""

    def __init__(self, threads=1):
        super().__init__("restorer", threads)

    def restore(self, address, size, out_address, out_size):
        """Returns (status, input bytes used, output bytes written)."""
        status = _lib.tarvix_restorer_restore(self._handle, address, size, self._used,
                                              out_address, out_size, self._written)
        return status, self._used.value, self._written.value

    def finish(self, out_address, out_size):
        """Returns (status, output bytes written, whether output is still held)."""
        status = _lib.tarvix_restorer_end(self._handle, out_address, out_size, self._written,
                                          self._held)
        return status, self._written.value, bool(self._held.value)


def decompress(data):
    """Returns the source restored from the compressed file in `data` as bytes.

    Raises Error when the file cannot be restored in full. The output grows
    with what is restored, never with what the length fields promise.
    """
    owner, address, size = _input(data)
    restorer = _Restorer()
    out = ctypes.create_string_buffer(max(min(4 * size, 64 * _CHUNK_SIZE), _CHUNK_SIZE))
    out_size = len(out)
    pieces = []
    used = 0
    while used < size:
        status, taken, written = restorer.restore(address + used, size - used, out, out_size)
        used += taken
        pieces.append(ctypes.string_at(out, written))
        if status != Status.OK:
            break
    while True:
        status, written, held = restorer.finish(out, out_size)
        pieces.append(ctypes.string_at(out, written))
        if not held:
            break
    restorer.close()
    restored = b"".join(pieces)
    if status != Status.OK:
        raise Error(status, restored)
    return restored


class _RawReader(io.RawIOBase):
    """Restores a compressed file as it is read, in bounded memory."""

    def __init__(self, file, owns_file, name, threads):
        super().__init__()
        self._file = file
        self._owns_file = owns_file
        self.name = name
        self.mode = "rb"
        self._input, self._input_address, self._input_size = _input(b"")
        self._input_used = 0
        self._status = None  # the status of finish(), once the input has ended
        self._restorer = None
        self._restorer = _Restorer(threads)

    def readable(self):
        return True

    def readinto(self, buffer):
        owner, address, size = _output(buffer)
        if not size:
            return 0
        while self._status is None:
            if self._input_used == self._input_size:
                self._input, self._input_address, self._input_size = _input(
                    bytes(self._file.read(_CHUNK_SIZE)))
                self._input_used = 0
                if not self._input_size:
                    break
            status, taken, written = self._restorer.restore(
                self._input_address + self._input_used, self._input_size - self._input_used,
                address, size)
            self._input_used += taken
            if written:
                return written
            if status != Status.OK:
                break
        # The input has ended, or the restorer has met a fault: it gives out
        # what it holds, then the outcome.
        status, written, _ = self._restorer.finish(address, size)
        self._status = status
        if written:
            return written
        if status != Status.OK:
            raise Error(status)
        return 0

    def close(self):
        if not self.closed:
            try:
                if self._restorer is not None:
                    self._restorer.close()
                if self._owns_file:
                    self._file.close()
            finally:
                super().close()


class _RawWriter(io.RawIOBase):
    """Compresses what is written into a compressed file, in bounded memory."""

    def __init__(self, file, owns_file, name, mode, threads):
        super().__init__()
        self._file = file
        self._owns_file = owns_file
        self.name = name
        self.mode = mode
        self._out = ctypes.create_string_buffer(_CHUNK_SIZE)
        self._out_view = memoryview(self._out).cast("B")
        self._compressor = None
        self._compressor = _Compressor(threads)

    def writable(self):
        return True

    def write(self, data):
        if self.closed:
            raise ValueError("tarvix: write to a closed file")
        owner, address, size = _input(data)
        used = 0
        while used < size:
            taken, written = self._compressor.compress(address + used, size - used, self._out,
                                                       len(self._out))
            used += taken
            self._write_all(self._out_view[:written])
        return size

    def _write_all(self, view):
        # A raw file object may take fewer bytes than it is given.
        while view:
            taken = self._file.write(view)
            if taken is None:  # a non-blocking file that would block
                raise BlockingIOError(errno.EAGAIN, "tarvix: the file takes no bytes now")
            view = view[taken:]

    def close(self):
        if self.closed:
            return
        try:
            done = self._compressor is None
            while not done:
                done, written = self._compressor.finish(self._out, len(self._out))
                self._write_all(self._out_view[:written])
            self._file.flush()
        finally:
            if self._compressor is not None:
                self._compressor.close()
            try:
                if self._owns_file:
                    self._file.close()
            finally:
                super().close()


def open(file, mode="rb", threads=1):
    """Opens a compressed file as a binary file object.

    file is a path (str, bytes or os.PathLike) or a binary file object.
    mode "rb" (or "r") restores the compressed file as it is read; a file that
    cannot be restored in full raises Error from the read that reaches the
    fault. read1() gives every byte before the fault first (other reads drop
    what the raising call had gathered, as Python's buffered files do). mode
    "wb" (or "w") compresses what is written, and "xb" (or "x") does so into a
    file that must not exist yet;
    close the object (or leave a with block) to write the end of the file.
    Memory use stays bounded whatever the file's size. threads (1 to 64)
    codes the blocks of each large read or write on that many threads, with
    the same bytes and outcome as on one.
    """
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError("tarvix: threads must be an int, not %s" % type(threads).__name__)
    if not 1 <= threads <= 64:
        raise ValueError("tarvix: threads must be 1 to 64, not %d" % threads)
    modes = {"r": "rb", "rb": "rb", "w": "wb", "wb": "wb", "x": "xb", "xb": "xb"}
    if mode not in modes:
        raise ValueError("tarvix: mode must be 'rb', 'wb' or 'xb', not %r" % (mode,))
    mode = modes[mode]
    if isinstance(file, (str, bytes, os.PathLike)):
        name = file
        file = builtins.open(file, mode)
        owns_file = True
    elif hasattr(file, "read" if mode == "rb" else "write"):
        name = getattr(file, "name", "")
        owns_file = False
    else:
        raise TypeError("tarvix: file must be a path or a binary file object")
    try:
        if mode == "rb":
            return io.BufferedReader(_RawReader(file, owns_file, name, threads), _CHUNK_SIZE)
        return io.BufferedWriter(_RawWriter(file, owns_file, name, mode, threads), _CHUNK_SIZE)
    except BaseException:
        if owns_file:
            file.close()
        raise
