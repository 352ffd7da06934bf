"""Tests of the Python module tarvix: the tool's exact bytes through every kind
of buffer and file object, every fault, and bounded memory.

Run by CTest with the module and library of the build tree; TARVIX_TOOL names
the tool whose output is the reference, TARVIX_DATAGEN the generator of the
test data.
"""

import io
import os
import subprocess
import tempfile
import tracemalloc
import unittest

import tarvix

MAGIC = b"\xD8\xC7\xB6\xA5"
BLOCK = 8192


def sample(size, seed=1):
    """Stretches of text, runs, noise and more, so that every kind of item occurs."""
    return subprocess.run([os.environ["TARVIX_DATAGEN"], "mixed", str(size), str(seed)],
                          stdout=subprocess.PIPE, check=True).stdout


class ToolBytes(unittest.TestCase):
    """What the module writes and reads is what the tool writes and reads."""

    SIZES = [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 3 * BLOCK + 5, 300_000]

    @classmethod
    def setUpClass(cls):
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
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_compress_and_decompress_every_kind_of_buffer(self):
        for size, data in self.sources.items():
            tool_file = self.tool_files[size]
            for kind in (bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b))):
                with self.subTest(size=size, kind=kind):
                    self.assertEqual(tarvix.compress(kind(data)), tool_file)
                    self.assertEqual(tarvix.decompress(kind(tool_file)), data)

    def test_open_writes_and_reads_in_any_pieces(self):
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

                # On threads, the same bytes both ways.
                buffer = io.BytesIO()
                with tarvix.open(buffer, "wb", threads=3) as f:
                    f.write(data)
                self.assertEqual(buffer.getvalue(), tool_file)
                with tarvix.open(io.BytesIO(tool_file), "rb", threads=3) as f:
                    self.assertEqual(f.read(), data)


class Faults(unittest.TestCase):
    """Every fault raises Error with its status, after the blocks before it."""

    def test_each_fault_names_its_status(self):
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

    def test_misuse(self):
        with self.assertRaises(ValueError):
            tarvix.open(io.BytesIO(), "rw")
        with self.assertRaises(TypeError):
            tarvix.compress("text")
        for threads, error in ((0, ValueError), (65, ValueError), (-1, ValueError),
                               ("2", TypeError), (2.0, TypeError)):
            with self.subTest(threads=threads), self.assertRaises(error):
                tarvix.open(io.BytesIO(), "wb", threads=threads)

    def test_a_raw_file_that_takes_little_at_a_time(self):
        class Sip(io.RawIOBase):
            """Takes at most 1000 bytes a call."""

            def __init__(self):
                super().__init__()
                self.taken = bytearray()

            def writable(self):
                return True

            def write(self, data):
                self.taken += bytes(data[:1000])
                return min(len(data), 1000)

        raw = Sip()
        data = sample(300_000)
        with tarvix.open(raw, "wb") as f:
            f.write(data)
        self.assertEqual(bytes(raw.taken), tarvix.compress(data))


class Memory(unittest.TestCase):
    """Memory stays bounded, whatever the file's size or its length fields say."""

    def setUp(self):
        tracemalloc.start()
        self.addCleanup(tracemalloc.stop)

    def peak_during(self, action):
        tracemalloc.reset_peak()
        start = tracemalloc.get_traced_memory()[0]
        action()
        return tracemalloc.get_traced_memory()[1] - start

    def test_streams_of_16_mib(self):
        piece = sample(64 * 1024)
        twice = piece * 2
        buffer = bytearray(len(piece))
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "big.tvx")

            def write():
                with tarvix.open(path, "wb") as f:
                    for _ in range(256):
                        f.write(piece)

            def read():
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

    def test_decompress_grows_with_what_it_restores(self):
        # 100000 records of a 1-byte block data, each an empty block, that
        # the length fields alone would count as 800 MB.
        file = MAGIC + b"\x01\x00\x40" * 100_000
        result = []
        self.assertLess(self.peak_during(lambda: result.append(tarvix.decompress(file))), 4 << 20)
        self.assertEqual(result, [b""])


class Version(unittest.TestCase):
    def test_version_is_the_projects(self):
        self.assertEqual(tarvix.__version__, os.environ.get("TARVIX_VERSION", tarvix.__version__))


if __name__ == "__main__":
    unittest.main()
