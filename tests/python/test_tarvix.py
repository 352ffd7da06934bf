"""Tests of the Python module tarvix: the tool's exact bytes through every kind
of buffer and file object, every fault, bounded memory, and the behaviour it
shares with Python's gzip module.

Run by CTest with the module and library of the build tree; TARVIX_TOOL names
the tool whose output is the reference, TARVIX_DATAGEN the generator of the
test data.
"""

import array
import contextlib
import copy
import errno
import gzip
import io
import multiprocessing
import os
import pickle
import signal
import stat
import subprocess
import sys
import tempfile
import time
import tracemalloc
import types
import unittest
from typing import Any, Callable, Dict, List, Optional, Tuple

import tarvix
from tarvix import _tarvix
from tarvix.__main__ import main as command_line

MAGIC = b"\xD8\xC7\xB6\xA5"
BLOCK = 8192


def sample(size: int, seed: int = 1) -> bytes:
    """Stretches of text, runs, noise and more, so that every kind of item occurs."""
    return subprocess.run([os.environ["TARVIX_DATAGEN"], "mixed", str(size), str(seed)],
                          stdout=subprocess.PIPE, check=True).stdout


class ToolBytes(unittest.TestCase):
    """What the module writes and reads is what the tool writes and reads."""

    SIZES = [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 3 * BLOCK + 5, 300_000]
    work: tempfile.TemporaryDirectory[str]
    sources: Dict[int, bytes]
    tool_files: Dict[int, bytes]

    @classmethod
    def setUpClass(cls) -> None:
        cls.work = tempfile.TemporaryDirectory()
        cls.sources = {size: sample(size) for size in cls.SIZES}
        cls.tool_files = {}
        tool = os.environ.get("TARVIX_TOOL")
        if not tool:
            raise unittest.SkipTest("TARVIX_TOOL names no tool to compare with")
        for size, data in cls.sources.items():
            source = os.path.join(cls.work.name, "%d" % size)
            with open(source, "wb") as f:
                f.write(data)
            subprocess.run([tool, source, source + ".tvx"], check=True, stdout=subprocess.DEVNULL)
            with open(source + ".tvx", "rb") as f:
                cls.tool_files[size] = f.read()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.work.cleanup()

    def test_compress_and_decompress_every_kind_of_buffer(self) -> None:
        kinds: List[Callable[[bytes], Any]] = [
            bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b)),
            lambda b: memoryview(b"ab" + b)[2:], lambda b: array.array("B", b)]
        for size, data in self.sources.items():
            tool_file = self.tool_files[size]
            for kind in kinds:
                with self.subTest(size=size, kind=kind):
                    self.assertEqual(tarvix.compress(kind(data)), tool_file)
                    self.assertEqual(tarvix.decompress(kind(tool_file)), data)

    def test_the_same_bytes_on_any_threads(self) -> None:
        data, tool_file = self.sources[300_000], self.tool_files[300_000]
        for threads in (0, 1, 2, 5, 64):
            with self.subTest(threads=threads):
                self.assertEqual(tarvix.compress(data, threads=threads), tool_file)
                self.assertEqual(tarvix.decompress(tool_file, threads=threads), data)
                compressor = tarvix.Compressor(threads=threads)
                pieces = [compressor.compress(data[i:i + 1000]) for i in range(0, 300_000, 1000)]
                self.assertEqual(b"".join(pieces) + compressor.flush(), tool_file)

    def test_open_writes_and_reads_in_any_pieces(self) -> None:
        for size in (0, BLOCK + 1, 300_000):
            data, tool_file = self.sources[size], self.tool_files[size]
            path = os.path.join(self.work.name, "open-%d.tvx" % size)
            with self.subTest(size=size):
                with tarvix.open(path, "wb") as f:
                    for start in range(0, size, 1000):
                        f.write(data[start:start + 1000])
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), tool_file)

                # A file object in place of a path, either way.
                buffer = io.BytesIO()
                with tarvix.open(buffer, "wb") as f:
                    f.write(memoryview(data))
                    self.assertFalse(buffer.closed)
                self.assertEqual(buffer.getvalue(), tool_file)

                with tarvix.open(path, "rb") as f:
                    pieces = iter(lambda: f.read(777), b"")
                    self.assertEqual(b"".join(pieces), data)
                with tarvix.open(io.BytesIO(tool_file)) as f:
                    self.assertEqual(f.read(), data)
                with open(path, "rb") as buffered, tarvix.open(buffered) as f:
                    self.assertEqual(f.read(), data)

                # On threads, the same bytes both ways.
                buffer = io.BytesIO()
                with tarvix.open(buffer, "wb", threads=3) as f:
                    f.write(data)
                self.assertEqual(buffer.getvalue(), tool_file)
                with tarvix.open(io.BytesIO(tool_file), "rb", threads=3) as f:
                    self.assertEqual(f.read(), data)


class Faults(unittest.TestCase):
    """Every fault raises Error with its status, after the blocks before it."""

    def test_each_fault_names_its_status(self) -> None:
        noise = bytes((i * 7919 + (i >> 3) * 104729) >> 5 & 0xFF for i in range(BLOCK))
        good = tarvix.compress(noise)
        cases = [
            ("empty file", b"", tarvix.Status.NOT_COMPRESSED, b""),
            ("no magic", b"abcdefgh", tarvix.Status.NOT_COMPRESSED, b""),
            ("cut inside block data", good[:-1], tarvix.Status.CUT_SHORT, b""),
            ("length field 0", good + b"\x00\x00\x80", tarvix.Status.BAD_LENGTH, noise),
            # A copy item first: a match 1 byte back in an empty block.
            ("bad block data", good + b"\x05\x00\x40\x80\x00\x00\x10",
             tarvix.Status.BAD_BLOCK_DATA, noise),
        ]
        for name, file, status, restored in cases:
            with self.subTest(name):
                with self.assertRaises(tarvix.Error) as raised:
                    tarvix.decompress(file)
                self.assertIsInstance(raised.exception, ValueError)
                self.assertEqual(raised.exception.status, status)
                self.assertTrue(str(raised.exception).startswith(status.name + ": "))
                self.assertEqual(raised.exception.restored, restored)

                # read1() gives the blocks before the fault, then raises.
                got = bytearray()
                with tarvix.open(io.BytesIO(file)) as f:
                    with self.assertRaises(tarvix.Error) as raised:
                        while True:
                            piece = f.read1(1 << 20)
                            self.assertTrue(piece)
                            got += piece
                    self.assertEqual(raised.exception.status, status)
                self.assertEqual(got, restored)

    def test_misuse(self) -> None:
        with self.assertRaises(ValueError):
            tarvix.open(io.BytesIO(), "rw")
        for data in ("text", memoryview(b"not contiguous")[::2]):
            with self.subTest(data=data), self.assertRaises(TypeError):
                tarvix.compress(data)  # type: ignore[arg-type]
        cases: List[Tuple[Any, type]] = [(65, ValueError), (-1, ValueError),
                                         ("2", TypeError), (2.0, TypeError)]
        for threads, error in cases:
            with self.subTest(threads=threads), self.assertRaises(error):
                tarvix.open(io.BytesIO(), "wb", threads=threads)
        # A file object that writes into the file it is written by: refused,
        # where waiting for the file would wait for ever.
        echo = PieceSink()
        f = tarvix.TarvixFile(echo, "wb")
        setattr(echo, "write", f.write)
        with self.assertRaises(RuntimeError):
            f.write(sample(2 * BLOCK))
        self.assertRaises(OSError, f.close)

    def test_a_raw_file_that_takes_little_at_a_time(self) -> None:
        raw = PieceSink(most=1000)
        data = sample(300_000)
        with tarvix.open(raw, "wb") as f:
            f.write(data)
        self.assertEqual(bytes(raw.taken), tarvix.compress(data))


class Incremental(unittest.TestCase):
    """Compressor and Decompressor give compress()'s and decompress()'s bytes
    for any split, as bz2's objects do."""

    def test_any_split_any_threads(self) -> None:
        data = sample(5 * BLOCK + 77)
        file = tarvix.compress(data)
        for piece, threads in ((1000, 1), (BLOCK, 1), (3 * BLOCK + 1, 3), (len(data), 2)):
            with self.subTest(piece=piece, threads=threads):
                compressor = tarvix.Compressor(threads=threads)
                parts = [compressor.compress(data[i:i + piece])
                         for i in range(0, len(data), piece)]
                self.assertEqual(b"".join(parts) + compressor.flush(), file)
                # Pieces of the file, out in at most `piece // 3` bytes a call.
                decompressor = tarvix.Decompressor(threads=threads)
                restored = bytearray()
                for i in range(0, len(file), piece):
                    restored += decompressor.decompress(bytearray(file[i:i + piece]), piece // 3)
                    while not decompressor.needs_input:
                        restored += decompressor.decompress(b"", piece // 3)
                self.assertFalse(decompressor.eof)
                restored += decompressor.flush()
                self.assertEqual((restored, decompressor.eof, decompressor.unused_data),
                                 (data, True, b""))
                for call in (compressor.flush, decompressor.flush,
                             lambda: compressor.compress(b"x")):
                    self.assertRaises(ValueError, call)
                self.assertRaises(EOFError, decompressor.decompress, b"")

    def test_concatenated_files_restore_as_gzip_does(self) -> None:
        first, second = sample(BLOCK + 3, 1), sample(100, 2)
        for module in (gzip, tarvix):
            with self.subTest(module=module.__name__):
                both = module.compress(first) + module.compress(second)
                self.assertEqual(module.decompress(both), first + second)
                with module.open(io.BytesIO(both)) as f:
                    self.assertEqual(f.read(), first + second)

    def test_max_length_moves_each_input_byte_a_bounded_number_of_times(self) -> None:
        # The input not yet taken stays in the decompressor, which moves it
        # only to make room: drawing the output in small pieces is linear.
        data = sample(256 * BLOCK)
        file = tarvix.compress(data)
        for piece, max_length in ((len(file), BLOCK), (1000, 100), (BLOCK, 3 * BLOCK)):
            with self.subTest(piece=piece, max_length=max_length):
                decompressor = tarvix.Decompressor(threads=2)
                restored = bytearray()
                for i in range(0, len(file), piece):
                    restored += decompressor.decompress(file[i:i + piece], max_length)
                    while not decompressor.needs_input:
                        restored += decompressor.decompress(b"", max_length)
                self.assertEqual(restored + decompressor.flush(), data)
                self.assertLessEqual(decompressor._input_copied, 2 * len(file))

    def test_the_cut_file_error_comes_from_flush_with_what_is_left(self) -> None:
        data = sample(3 * BLOCK)
        decompressor = tarvix.Decompressor()
        restored = decompressor.decompress(tarvix.compress(data)[:-10])
        with self.assertRaises(EOFError) as raised:
            decompressor.flush()
        assert isinstance(raised.exception, tarvix.CutShortError)
        self.assertEqual(restored + raised.exception.restored, data[:2 * BLOCK])


def gzip_and_tarvix(test: Callable[[types.ModuleType, str], object]) -> Dict[str, object]:
    """The outcome of test(module, path) for each module: its result, or the
    kinds of error it raised, so that the two can be compared."""
    outcomes: Dict[str, object] = {}
    with tempfile.TemporaryDirectory() as work:
        for module in (gzip, tarvix):
            path = os.path.join(work, module.__name__)
            try:
                outcomes[module.__name__] = test(module, path)
            except Exception as error:
                kinds = (OSError, EOFError, ValueError, TypeError, io.UnsupportedOperation)
                outcomes[module.__name__] = [k.__name__ for k in kinds if isinstance(error, k)]
    return outcomes


class AsGzip(unittest.TestCase):
    """Where gzip and tarvix share a meaning, they behave alike."""

    OLD, NEW = sample(BLOCK + 1, 3), "new line\nand é\n"

    def test_modes(self) -> None:
        # Each mode on a path that holds OLD compressed, or on none: what is
        # read, or what the file reads back as after NEW is written.
        for mode in ("r", "rb", "rt", "w", "wb", "wt", "x", "xb", "xt", "a", "ab", "at"):
            for exists in (True, False):
                def use(module: types.ModuleType, path: str) -> object:
                    if exists:
                        with module.open(path, "wb") as f:
                            f.write(self.OLD)
                    text = "t" in mode
                    kwargs = {"encoding": "utf-8"} if text else {}
                    with module.open(path, mode, **kwargs) as f:
                        self.assertIsInstance(f, io.TextIOWrapper if text else io.BufferedIOBase)
                        if mode.startswith("r"):
                            return f.read()
                        f.write(self.NEW if text else self.NEW.encode())
                    with module.open(path) as f:
                        return f.read()

                with self.subTest(mode=mode, exists=exists):
                    outcomes = gzip_and_tarvix(use)
                    self.assertEqual(outcomes["tarvix"], outcomes["gzip"])

    def test_errors(self) -> None:
        def cut(module: types.ModuleType, path: str) -> object:
            with module.open(io.BytesIO(module.compress(self.OLD)[:-20])) as f:
                return f.read()

        def reading(module: types.ModuleType, path: str) -> Any:
            with module.open(path, "wb") as f:
                f.write(self.OLD)
            return module.open(path)

        def closed(module: types.ModuleType, path: str) -> Any:
            f = reading(module, path)
            f.close()
            return f

        cases: Dict[str, Callable[[types.ModuleType, str], object]] = {
            "cut short": cut,
            "not compressed": lambda m, p: m.decompress(b"not compressed at all"),
            "damaged in a file": lambda m, p: m.open(io.BytesIO(b"\x00" * 100)).read(),
            "text mode with b": lambda m, p: m.open(p, "wtb"),
            "encoding in binary mode": lambda m, p: m.open(p, "wb", encoding="utf-8"),
            "newline in binary mode": lambda m, p: m.open(p, "wb", newline="\n"),
            "a float for a file": lambda m, p: m.open(3.5),
            "no fileno": lambda m, p: m.open(io.BytesIO(m.compress(b""))).fileno(),
            "write when reading": lambda m, p: reading(m, p).write(b"x"),
            "read when writing": lambda m, p: m.open(p, "wb").read(),
            "read when closed": lambda m, p: closed(m, p).read(),
            "x on a file that exists": lambda m, p: (reading(m, p), m.open(p, "xb")),
            "text to a binary file": lambda m, p: m.open(p, "wb").write("text"),
        }
        for name, case in cases.items():
            with self.subTest(name):
                # Whatever catches gzip's error catches tarvix's.
                gzip_kinds, tarvix_kinds = gzip_and_tarvix(case).values()
                assert isinstance(gzip_kinds, list) and isinstance(tarvix_kinds, list)
                self.assertLessEqual(set(gzip_kinds), set(tarvix_kinds), name)

    def test_seek_tell_peek_readline(self) -> None:
        lines = b"".join(b"line %d\n" % i for i in range(3000))
        steps: List[Callable[[Any], object]] = [
            lambda f: f.seek(100), lambda f: f.read(10), lambda f: f.tell(),
            lambda f: f.seek(-5, io.SEEK_CUR), lambda f: f.readline(),
            lambda f: f.peek(1)[:1], lambda f: f.seek(-20, io.SEEK_END), lambda f: list(f),
            lambda f: f.seek(7), lambda f: f.read1(5), lambda f: f.seek(BLOCK * 2 + 5),
            lambda f: f.readline(), lambda f: f.seek(0), lambda f: len(f.read()),
            lambda f: f.tell(), lambda f: f.seekable(),
        ]

        def run(module: types.ModuleType, path: str) -> object:
            with module.open(io.BytesIO(module.compress(lines))) as f:
                return [step(f) for step in steps]

        outcomes = gzip_and_tarvix(run)
        self.assertEqual(outcomes["tarvix"], outcomes["gzip"])


class Seeking(unittest.TestCase):
    """seek() checks its arguments before it moves, and then lands where
    gzip's does; a refused seek keeps the position."""

    def test_seek_from_each_origin(self) -> None:
        data = sample(5 * BLOCK)
        size = len(data)
        cases: List[Tuple[int, Any, int, Any]] = [  # from, offset, whence; the position, or error
            (500, -10, io.SEEK_SET, ValueError),
            (500, 1.5, io.SEEK_SET, TypeError),
            (500, 0, 7, ValueError),
            (3 * BLOCK, 7, io.SEEK_SET, 7),  # backward: restored again from the start
            (500, 2 * size, io.SEEK_SET, size),
            (500, -10, io.SEEK_CUR, 490),
            (500, -600, io.SEEK_CUR, 0),
            (500, -5, io.SEEK_END, size - 5),
            (500, -2 * size, io.SEEK_END, 0),
            (500, 10, io.SEEK_END, size),
        ]
        for start, offset, whence, outcome in cases:
            with self.subTest(start=start, offset=offset, whence=whence):
                with tarvix.open(io.BytesIO(tarvix.compress(data))) as f:
                    f.seek(start)
                    if isinstance(outcome, type):
                        self.assertRaises(outcome, f.seek, offset, whence)
                        outcome = start
                    else:
                        self.assertEqual(f.seek(offset, whence), outcome)
                    self.assertEqual((f.tell(), f.read(99)), (outcome, data[outcome:outcome + 99]))


def records(data: bytes) -> bytes:
    """The records of data's compressed file, without the magic."""
    return tarvix.compress(data, header=False)


class Records(unittest.TestCase):
    """Seeks walk the records, on files of every writer's shape; parts made
    apart join to the bytes of the whole."""

    whole: bytes
    shapes: Dict[str, Tuple[bytes, bytes]]  # a file, and what it restores to

    @classmethod
    def setUpClass(cls) -> None:
        cls.whole = sample(40 * BLOCK + 123)
        a, b = cls.whole[:1000], cls.whole[1000:]
        cls.shapes = {
            "one file": (tarvix.compress(cls.whole), cls.whole),
            "files one after another": (tarvix.compress(a) + tarvix.compress(b), cls.whole),
            "a short block in the middle": (MAGIC + records(a) + records(b), cls.whole),
            "empty blocks among them": (MAGIC + records(a) + b"\x01\x00\x40" * 9 + records(b),
                                        cls.whole),
        }

    def test_seeks_land_where_restoring_does(self) -> None:
        size = len(self.whole)
        seeks = [(300_000, io.SEEK_SET), (10, io.SEEK_SET), (-5000, io.SEEK_END),
                 (BLOCK, io.SEEK_SET), (-BLOCK, io.SEEK_CUR), (size + 9, io.SEEK_SET),
                 (0, io.SEEK_END), (12 * BLOCK - 1, io.SEEK_SET)]
        with tempfile.TemporaryDirectory() as folder:
            for name, (file, restored) in self.shapes.items():
                path = os.path.join(folder, "f.tvx")
                with open(path, "wb") as f:
                    f.write(file)
                # Read by its descriptor, and through a file object's own seek.
                sources: List[Any] = [path, io.BytesIO(file)]
                for source in sources:
                    with self.subTest(name), tarvix.open(source) as f:
                        for offset, whence in seeks:
                            expected = {io.SEEK_SET: 0, io.SEEK_CUR: f.tell(),
                                        io.SEEK_END: size}[whence] + offset
                            expected = min(max(expected, 0), size)
                            self.assertEqual(f.seek(offset, whence), expected)
                            self.assertEqual(f.read(2000), restored[expected:expected + 2000])

    def test_a_seek_meets_a_fault_where_reading_does(self) -> None:
        file = tarvix.compress(self.whole)
        cut = file[:len(file) // 2]
        with tarvix.open(io.BytesIO(cut)) as f:
            self.assertEqual(f.seek(BLOCK), BLOCK)  # before the fault
            with self.assertRaises(tarvix.CutShortError):
                f.seek(0, io.SEEK_END)
            self.assertEqual(f.tell(), BLOCK)  # the size is not known, the position stays
            with self.assertRaises(tarvix.CutShortError):
                f.seek(len(self.whole) - 10)

    def test_walk_sizes_without_restoring(self) -> None:
        for name, (file, restored) in self.shapes.items():
            with self.subTest(name):
                status, last = _tarvix.walk(file)
                self.assertEqual((status, last[2] + last[5]), (0, len(restored)))
                status, found = _tarvix.walk(io.BytesIO(file), 300_000)
                self.assertLessEqual(found[2], 300_000)
                self.assertLess(300_000, found[2] + found[5])

    def test_records_alone(self) -> None:
        data = self.whole
        self.assertEqual(tarvix.compress(data, header=False), tarvix.compress(data)[4:])
        compressor = tarvix.Compressor(header=False, threads=2)
        pieces = [compressor.compress(data[:2 * BLOCK]), compressor.compress(data[2 * BLOCK:])]
        self.assertEqual(b"".join(pieces) + compressor.flush(), tarvix.compress(data)[4:])
        compressor = tarvix.Compressor(header=False)
        compressor.compress(b"short")
        with self.assertRaises(ValueError):  # a piece after a short one
            compressor.compress(b"more")
        self.assertEqual(compressor.flush(), tarvix.compress(b"short")[4:])

    def test_join(self) -> None:
        data, file = self.whole, tarvix.compress(self.whole)
        cut = [0, 8 * BLOCK, 16 * BLOCK, 16 * BLOCK, len(data)]
        stretches = [data[start:end] for start, end in zip(cut, cut[1:])]
        cases: List[Tuple[str, List[Any], Any]] = [
            ("records alone", [records(part) for part in stretches], file),
            ("whole files", [tarvix.compress(part) for part in stretches], file),
            ("file objects", [io.BytesIO(records(part)) for part in stretches], file),
            ("a short block in the middle", [records(data[:100]), records(data[100:])],
             ValueError),
            ("a damaged part", [records(stretches[0])[:-1], records(stretches[1])],
             tarvix.CutShortError),
        ]
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "joined.tvx")
            for name, parts, outcome in cases:
                with self.subTest(name):
                    if isinstance(outcome, bytes):
                        self.assertEqual(tarvix.join(parts, out), len(outcome))
                        with open(out, "rb") as f:
                            self.assertEqual(f.read(), outcome)
                        continue
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(out)
                    with self.assertRaises(outcome):
                        tarvix.join(parts, out)
                    self.assertEqual(os.listdir(folder), [])  # nothing left behind

    def test_fsspec_knows_tvx(self) -> None:
        try:
            import fsspec
        except ImportError:
            self.skipTest("fsspec is not installed")
        self.assertEqual(fsspec.utils.infer_compression("a.csv.tvx"), "tvx")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.tvx")
            with fsspec.open(path, "wb", compression="infer") as f:
                f.write(self.whole)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), tarvix.compress(self.whole))
        # Imported before tarvix, or after it.
        for order in ("import fsspec, tarvix", "import tarvix, fsspec"):
            with self.subTest(order):
                found = subprocess.run(
                    [sys.executable, "-c", order + "; print(fsspec.utils.infer_compression('a.tvx'))"],
                    capture_output=True, check=True).stdout
                self.assertEqual(found, b"tvx\n")


class Errors(unittest.TestCase):
    """Errors are caught as gzip's are, and cross copies, pickles and processes."""

    def test_every_copy_keeps_the_kind_status_and_bytes(self) -> None:
        errors = [tarvix.Error(tarvix.Status.BAD_LENGTH, b"abc"),
                  tarvix.CutShortError(tarvix.Status.CUT_SHORT)]
        for error in errors:
            duplicates: List[Callable[[tarvix.Error], Any]] = [
                copy.copy, copy.deepcopy, lambda e: pickle.loads(pickle.dumps(e))]
            for duplicate in duplicates:
                with self.subTest(error=error, duplicate=duplicate):
                    twin = duplicate(error)
                    self.assertEqual((type(twin), twin.status, twin.restored, str(twin)),
                                     (type(error), error.status, error.restored, str(error)))

    def test_a_fault_crosses_a_process_pool(self) -> None:
        damaged = tarvix.compress(sample(BLOCK * 2))[:-1]
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            with self.assertRaises(tarvix.CutShortError) as raised:
                pool.apply_async(tarvix.decompress, (damaged,)).get(timeout=60)
        self.assertEqual(raised.exception.restored, sample(BLOCK * 2)[:BLOCK])


class PieceSink(io.RawIOBase):
    """A raw file in Python that takes at most `most` bytes a call (all if
    None), 4096 at a time: an interrupt may fall when it has taken part."""

    def __init__(self, most: Optional[int] = None) -> None:
        super().__init__()
        self.most, self.taken = most, bytearray()

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data)[:self.most]
        for start in range(0, len(view), 4096):
            self.taken += view[start:start + 4096]
        return len(view)


class Sink(io.RawIOBase):
    """A raw file that fails once, at its `at`-th write, in the way named."""

    def __init__(self, at: int, failure: str) -> None:
        super().__init__()
        self.at, self.failure, self.taken = at, failure, bytearray()

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> Optional[int]:
        self.at -= 1
        if self.at == 0:
            if self.failure == "none taken":
                return None
            if self.failure == "part taken":
                self.taken += bytes(data[:100])
                raise BlockingIOError(errno.EAGAIN, "full", min(100, len(data)))
            failures: Dict[str, BaseException] = {
                "disk full": OSError(errno.ENOSPC, "full"), "interrupt": KeyboardInterrupt()}
            raise failures[self.failure]
        self.taken += bytes(data)
        return len(data)


def write_all(f: Any, data: bytes, piece: int) -> Optional[BaseException]:
    """Writes data into f in pieces and closes it, going on from tell() after
    a KeyboardInterrupt or a failure of the file object (from
    characters_written after a BlockingIOError) as a program that loses
    nothing does; on to close() once writing fails in the same place twice.
    Returns the error with which close() refused the file, or None."""
    done, failed_at = 0, -1
    while not f.closed:
        try:
            if done < len(data):
                done += f.write(data[done:done + piece])
            else:
                f.close()
        except BlockingIOError as error:
            done += error.characters_written
            assert f.tell() == done
        except (OSError, KeyboardInterrupt) as error:
            if f.closed:
                return error if isinstance(error, OSError) else None
            done = f.tell()
            if isinstance(error, OSError):
                done, failed_at = (len(data) if done == failed_at else done), done
    return None


def refused_by_every_reader(file: bytes) -> bool:
    """Whether decompress(), a TarvixFile and the tool all refuse the file."""
    try:
        tarvix.decompress(file)
        return False
    except tarvix.Error:
        pass
    try:
        with tarvix.open(io.BytesIO(file)) as f:
            f.read()
        return False
    except tarvix.Error:
        pass
    tool = os.environ.get("TARVIX_TOOL")
    if tool and file.startswith(MAGIC):  # the tool compresses other files
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "refused.tvx")
            with open(path, "wb") as out:
                out.write(file)
            ran = subprocess.run([tool, path, path + ".out"], stdout=subprocess.DEVNULL)
            return ran.returncode == 7
    return True


class ExactFile:
    """The extension's Writer over a file object that raises only having
    written nothing, as TarvixFile has it over an io.FileIO."""

    def __init__(self, fp: Any) -> None:
        self.core = _tarvix.Writer(fp, threads=2, exact=True, raw=True)
        self.write, self.closed = self.core.write, False

    def tell(self) -> int:
        return self.core.taken

    def close(self) -> None:
        self.core.end()
        self.closed = True


class Recovery(unittest.TestCase):
    """A failure of the file object loses nothing: writing on from tell()
    (or from characters_written) gives the file of the whole data. A file
    object that may have taken part of a write that raised leaves a file
    that close() refuses, and so does every reader."""

    def test_a_failing_sink(self) -> None:
        data = sample((1 << 20) + 3 * BLOCK + 5)  # two writes, and a block for close()
        file = tarvix.compress(data)
        cases = [  # the failure; whether it took nothing (an OS file); the file then whole
            ("none taken", False, True), ("part taken", False, True), ("disk full", True, True),
            ("interrupt", True, True), ("disk full", False, False), ("interrupt", False, False)]
        for failure, exact, whole in cases:
            for at in (1, 2, 3):
                with self.subTest(failure=failure, exact=exact, at=at):
                    sink = Sink(at, failure)
                    f = ExactFile(sink) if exact else tarvix.TarvixFile(sink, "wb", threads=2)
                    error = write_all(f, data, len(data))
                    if whole:
                        self.assertEqual((error, bytes(sink.taken)), (None, file))
                    else:
                        self.assertIsInstance(error, OSError)
                        self.assertTrue(refused_by_every_reader(bytes(sink.taken)))

    def test_a_non_blocking_source(self) -> None:
        class Trickle(io.RawIOBase):
            """Gives 1000 bytes, then nothing yet, in turn."""

            def __init__(self, file: bytes) -> None:
                super().__init__()
                self.file, self.turn = file, 0

            def readable(self) -> bool:
                return True

            def read(self, size: int = -1) -> Optional[bytes]:
                self.turn += 1
                if self.turn % 2:
                    return None
                piece, self.file = self.file[:1000], self.file[1000:]
                return piece

        data = sample(3 * BLOCK)
        reads: List[Callable[[tarvix.TarvixFile], Optional[bytes]]] = [
            lambda f: f.read(5000), lambda f: f.read()]
        for read in reads:
            with self.subTest(read=read), tarvix.open(Trickle(tarvix.compress(data))) as f:
                pieces, nothing_yet = [], 0
                while (piece := read(f)) != b"":
                    if piece is None:
                        nothing_yet += 1
                    else:
                        pieces.append(piece)
                self.assertEqual(b"".join(pieces), data)
                self.assertGreater(nothing_yet, 0)


class AtBoundary:
    """Raises KeyboardInterrupt at the `at`-th call boundary met in its
    blocks: a call or a return of a Python function, or of a C one called
    from Python, where a signal's handler may run."""

    def __init__(self, at: int) -> None:
        self.at, self.fired, self.started = at, False, 0.0

    def __enter__(self) -> None:
        self.started = self.started or time.perf_counter()
        if not self.fired:
            sys.setprofile(self.profile)

    def __exit__(self, *exception: object) -> None:
        sys.setprofile(None)

    def profile(self, frame: object, event: str, arg: object) -> None:
        self.at -= 1
        if self.at == 0:
            sys.setprofile(None)
            self.fired = True
            raise KeyboardInterrupt

    def stop(self) -> None:
        self.took = time.perf_counter() - self.started


class AtTime:
    """Raises KeyboardInterrupt from SIGALRM, `delay` seconds after its first
    block begins, if it comes inside one of its blocks."""

    armed: Optional["AtTime"] = None

    def __init__(self, delay: float) -> None:
        self.delay, self.fired, self.started = delay, False, False

    @classmethod
    def alarm(cls, signal_number: int, frame: object) -> None:
        armed, cls.armed = cls.armed, None
        if armed is not None:
            armed.fired = True
            raise KeyboardInterrupt

    def __enter__(self) -> None:
        if not self.started:
            self.started = True
            signal.setitimer(signal.ITIMER_REAL, self.delay)
        if not self.fired:
            AtTime.armed = self

    def __exit__(self, *exception: object) -> None:
        AtTime.armed = None

    def stop(self) -> None:
        signal.setitimer(signal.ITIMER_REAL, 0)
        AtTime.armed = None


class Interrupted:
    """A file object whose every call runs in a block of `interrupt`, where
    a KeyboardInterrupt may come."""

    def __init__(self, f: Any, interrupt: Any) -> None:
        self._f, self._interrupt = f, interrupt

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._f, name)
        if not callable(attribute):
            return attribute

        def call(*args: Any) -> Any:
            with self._interrupt:
                return attribute(*args)
        return call


@unittest.skipUnless(hasattr(signal, "setitimer"), "no SIGALRM")
class Interrupts(unittest.TestCase):
    """A KeyboardInterrupt anywhere in writing or reading leaves the file
    object as if the call it fell in had been made or not, tell() saying
    which, or, writing to a file object that may take part of a write (not
    an OS file), a file that close() refuses and so does every reader:
    never one that restores as sound to other bytes. The interrupts come at
    every call boundary in turn, then from SIGALRM at times spread over the
    run; TARVIX_INTERRUPTS sets how many of those (200 for the full sweep)."""

    data: bytes
    work: tempfile.TemporaryDirectory[str]
    previous: Any

    @classmethod
    def setUpClass(cls) -> None:
        cls.data = sample(200_000)
        cls.work = tempfile.TemporaryDirectory()
        cls.previous = signal.signal(signal.SIGALRM, AtTime.alarm)

    @classmethod
    def tearDownClass(cls) -> None:
        signal.signal(signal.SIGALRM, cls.previous)
        cls.work.cleanup()

    def written(self, target: str, interrupt: Any, data: bytes) -> str:
        """Writes data to a path or a PieceSink through an interrupt; the
        outcome: the file exact, refused, or wrong."""
        path = os.path.join(self.work.name, "written.tvx")
        sink = PieceSink()
        f = tarvix.open(path if target == "path" else sink, "wb")
        try:
            error = write_all(Interrupted(f, interrupt), data, 16_000)
        finally:
            interrupt.stop()
        if target == "path":
            with open(path, "rb") as written:
                file = written.read()
        else:
            file = bytes(sink.taken)
        if error is None:
            return "exact" if tarvix.decompress(file) == data else "wrong"
        return "refused" if refused_by_every_reader(file) else "wrong"

    def read(self, interrupt: Any, data: bytes) -> str:
        """Reads data back in pieces, seeking back and forth, through an
        interrupt; after it, the file object must read the source from tell()
        on, and then reads on from where the reader was."""
        path = os.path.join(self.work.name, "read.tvx")
        with open(path, "wb") as out:
            out.write(tarvix.compress(data))
        with tarvix.open(path) as opened:
            f = Interrupted(opened, interrupt)
            position, step = 0, 0
            try:
                while position < len(data):
                    try:
                        step += 1
                        if step % 3 == 0:
                            f.seek(-5000, io.SEEK_CUR)  # backward, restored again
                            f.seek(position)
                        piece = f.read(7_000)
                        if not piece or piece != data[position:position + len(piece)]:
                            return "wrong"
                        position += len(piece)
                    except KeyboardInterrupt:
                        at = f.tell()
                        if f.read(100) != data[at:at + 100]:
                            return "wrong"
                        f.seek(position)
            finally:
                interrupt.stop()
            return "exact" if opened.read() == b"" else "wrong"

    def test_at_every_call_boundary(self) -> None:
        data = self.data[:40_000]
        for name, run in self.runs(data):
            with self.subTest(name):
                counter = AtBoundary(0)  # counts the boundaries, never fires
                self.assertEqual(run(counter), "exact")
                outcomes = self.sweep(run, AtBoundary, -counter.at, -counter.at)
                self.check(name, outcomes)
                self.assertEqual(sum(outcomes.values()), -counter.at)

    def test_at_times_spread_over_a_run(self) -> None:
        count = int(os.environ.get("TARVIX_INTERRUPTS", "10"))
        for name, run in self.runs(self.data):
            with self.subTest(name):
                clock = AtBoundary(0)  # times the calls, never fires
                self.assertEqual(run(clock), "exact")
                # Offsets spread evenly over the calls' time, run on until
                # `count` have fallen inside a call.
                outcomes = self.sweep(run, lambda i: AtTime(clock.took * (i * 0.618034 % 1)),
                                      count, 10 * count)
                self.check(name, outcomes)

    def runs(self, data: bytes) -> List[Tuple[str, Callable[[Any], str]]]:
        return [("write to a path", lambda i: self.written("path", i, data)),
                ("write to a Python file", lambda i: self.written("sink", i, data)),
                ("read", lambda i: self.read(i, data))]

    def sweep(self, run: Callable[[Any], str], interrupt: Callable[[int], Any], fired: int,
              tries: int) -> Dict[str, int]:
        """The outcomes of run(interrupt(i)), for i = 1, 2, ..., whose
        interrupt fired, until `fired` of them have or `tries` runs are done."""
        outcomes: Dict[str, int] = {}
        for i in range(1, tries + 1):
            if sum(outcomes.values()) == fired:
                break
            at = interrupt(i)
            outcome = run(at)
            if at.fired:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
        if "TARVIX_INTERRUPTS" in os.environ:
            print("\n%s, %d runs: %s" % (type(at).__name__, i, outcomes), file=sys.stderr)
        return outcomes

    def check(self, name: str, outcomes: Dict[str, int]) -> None:
        self.assertNotIn("wrong", outcomes)
        if not name.endswith("Python file"):
            self.assertEqual(list(outcomes), ["exact"] if outcomes else [])  # never refused


class Module(unittest.TestCase):
    """What the module shows, and python3 -m tarvix."""

    def run_python(self, *args: str, stdin: bytes = b"") -> "subprocess.CompletedProcess[bytes]":
        return subprocess.run([sys.executable, *args], input=stdin, capture_output=True,
                              check=False)

    def test_dir_shows_the_interface(self) -> None:
        # tarvix.dask shows once it has been imported (by test_dask.py).
        shown = [name for name in dir(tarvix) if not name.startswith("__") and name != "dask"]
        self.assertEqual(sorted(shown + ["__version__"]), sorted(tarvix.__all__))

    def test_command_line(self) -> None:
        data = sample(BLOCK * 3 + 1)
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "a")
            with open(path, "wb") as f:
                f.write(data)
            cases = [  # arguments, standard input; exit status, standard output
                (["-m", "tarvix", path], b"", 0, b""),
                (["-m", "tarvix", "-d", "-c", path + ".tvx"], b"", 0, data),
                (["-m", "tarvix"], data, 0, tarvix.compress(data)),
                (["-m", "tarvix", "-d", "-"], tarvix.compress(data)[:-1], 1, data[:BLOCK * 3]),
                (["-m", "tarvix", "-d", path], b"", 1, b""),  # no .tvx
            ]
            for args, stdin, status, stdout in cases:
                with self.subTest(args=args):
                    ran = self.run_python(*args, stdin=stdin)
                    self.assertEqual((ran.returncode, ran.stdout), (status, stdout), ran.stderr)
                    self.assertEqual(bool(ran.stderr), bool(status))
            os.remove(path)
            self.assertEqual(self.run_python("-m", "tarvix", "-d", path + ".tvx").returncode, 0)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)

    def test_command_line_file_rules(self) -> None:
        # As tvx's: a target takes its name only once whole, with the source's
        # mode and time; nothing that exists is replaced without -f, the
        # source never, and a failure leaves everything as it was.
        data = sample(BLOCK * 3 + 1)
        packed = tarvix.compress(data)
        with tempfile.TemporaryDirectory() as work:
            def path(name: str) -> str:
                return os.path.join(work, name)

            for name, content in (("a", data), ("b", b"kept"), ("b.tvx", packed[:-1]), ("c", data)):
                with open(path(name), "wb") as out:
                    out.write(content)
            os.chmod(path("a"), 0o640)
            os.utime(path("a"), ns=(10**18, 10**18))
            os.symlink("c", path("c.tvx"))
            cases: List[Tuple[List[str], int, Optional[Tuple[str, str]], Dict[str, bytes]]] = [
                # arguments; exit status, the file and reason it names; files after
                (["a"], 0, None, {"a.tvx": packed}),
                (["a"], 1, ("a.tvx", "File exists"), {"a.tvx": packed}),
                (["-f", "a"], 0, None, {"a.tvx": packed}),
                (["-d", "a.tvx"], 1, ("a", "File exists"), {"a": data}),
                (["-d", "-f", "b.tvx"], 1, ("b.tvx", "CUT_SHORT: the compressed file is cut short"),
                 {"b": b"kept"}),
                (["-f", "c"], 1, ("c.tvx", "is the source file itself"), {"c": data}),
                (["a.tvx"], 1, ("a.tvx", "already ends in .tvx: not compressed again (use -f to "
                                "force)"), {}),
            ]
            for args, status, failure, files in cases:
                with self.subTest(args=args):
                    stderr = io.StringIO()
                    with contextlib.redirect_stderr(stderr):
                        ran = command_line([a if a.startswith("-") else path(a) for a in args])
                    message = "python3 -m tarvix: %s: %s\n" % (path(failure[0]), failure[1]) \
                        if failure else ""
                    self.assertEqual((ran, stderr.getvalue()), (status, message))
                    for name, content in files.items():
                        with open(path(name), "rb") as f:
                            self.assertEqual(f.read(), content)
            made = os.stat(path("a.tvx"))
            self.assertEqual((stat.S_IMODE(made.st_mode), made.st_mtime_ns), (0o640, 10**18))
            self.assertEqual([name for name in os.listdir(work) if name.startswith(".")], [])


class Memory(unittest.TestCase):
    """Memory stays bounded, whatever the file's size or its length fields say."""

    def setUp(self) -> None:
        tracemalloc.start()
        self.addCleanup(tracemalloc.stop)

    def peak_during(self, action: Callable[[], object]) -> int:
        tracemalloc.reset_peak()
        start = tracemalloc.get_traced_memory()[0]
        action()
        return tracemalloc.get_traced_memory()[1] - start

    def test_streams_of_16_mib(self) -> None:
        piece = sample(64 * 1024)
        twice = piece * 2
        buffer = bytearray(len(piece))
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "big.tvx")

            def write() -> None:
                with tarvix.open(path, "wb") as f:
                    for _ in range(256):
                        f.write(piece)

            def read() -> None:
                with tarvix.open(path, "rb") as f:
                    total = 0
                    while True:
                        count = f.readinto(buffer)
                        if not count:
                            break
                        offset = total % len(piece)
                        self.assertEqual(buffer[:count], twice[offset:offset + count])
                        total += count
                self.assertEqual(total, 256 * len(piece))

            self.assertLess(self.peak_during(write), 1 << 20)
            self.assertLess(self.peak_during(read), 1 << 20)

    def test_decompress_fills_one_bytes_object(self) -> None:
        # Sized from the length fields: the tool's files are restored in
        # place, with no memory beside the result. Files whose length fields
        # promise more still restore to exactly their bytes.
        block = sample(BLOCK)
        short, whole = tarvix.compress(b"abc" * 30)[4:], tarvix.compress(block)[4:]
        cases = [  # file; its source; whether the output is all the memory used
            ("the tool's", tarvix.compress(block * 40 + b"end"), block * 40 + b"end", True),
            ("two", tarvix.compress(block) + tarvix.compress(block[:99]), block + block[:99], True),
            ("a byte after", tarvix.compress(block) + b"\x07", block, True),
            ("a short block first", MAGIC + short + whole, b"abc" * 30 + block, False),
            ("empty blocks and file", MAGIC + b"\x01\x00\x40" * 5 + whole + MAGIC, block, True),
        ]
        for name, file, source, in_place in cases:
            with self.subTest(name):
                result: List[bytes] = []
                peak = self.peak_during(lambda: result.append(tarvix.decompress(file)))
                self.assertEqual(result, [source])
                self.assertLess(peak, len(source) + (1000 if in_place else 2 * BLOCK + 1000))

    def test_decompress_grows_with_what_it_restores(self) -> None:
        # 100000 records of a 1-byte block data, each an empty block, that
        # the length fields alone would count as 800 MB.
        file = MAGIC + b"\x01\x00\x40" * 100_000
        result: List[bytes] = []
        self.assertLess(self.peak_during(lambda: result.append(tarvix.decompress(file))), 4 << 20)
        self.assertEqual(result, [b""])


class Version(unittest.TestCase):
    def test_version_is_the_projects(self) -> None:
        self.assertEqual(tarvix.__version__, os.environ.get("TARVIX_VERSION", tarvix.__version__))


if __name__ == "__main__":
    unittest.main()
