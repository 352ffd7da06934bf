#!/usr/bin/env python3
"""Times the Python module tarvix against its peers, all in this one process.

Usage: python_bench.py [--quick] [--rounds N] [--out FILE] BUILD

BUILD is a release build tree (build/release): its python/ folder holds the
module, and libtarvix.so.1, tvx and tarvix_datagen are there too. On 64 MiB
of generated mixed data (16 MiB with --quick), on tmpfs:
  - tarvix.compress() and tarvix.decompress() beside the C library's own
    whole-buffer calls on as many threads (through ctypes, into memory from
    malloc(), as a C program has it): tarvix_compress() and tarvix_restore()
    on one thread, a threaded coder's one call and its end on more;
  - shutil.copyfileobj() through tarvix.open(), both ways, beside tvx from
    file to file, less the time tvx takes for an empty file (its start);
  - Decompressor.decompress(b"", 8192) until needs_input, over 32 MiB, beside
    lzma's Decompressor drawn the same way from its own file of the data.
Each round runs every measure once, tarvix and its peer in turn; a ratio is
the median over the rounds of tarvix's time over the peer's. Prints a table
and, with --out, writes it as tab-separated lines: measure, tarvix's median
seconds, the peer's, the ratio, the target ratio.
"""

import argparse
import ctypes
import lzma
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BLOCK = 8192
STRAIGHT_ROOM = BLOCK + 8  # output per block with which a coder writes straight


def load_c_library(build):
    """The C interface of libtarvix.so.1, and libc's malloc and free."""
    lib = ctypes.CDLL(os.path.join(build, "src", "libtarvix.so.1"))
    libc = ctypes.CDLL(None)
    size_t, pointer, size_p = ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)
    prototypes = {
        "tarvix_compress_bound": (size_t, [size_t]),
        "tarvix_compress": (size_t, [pointer, size_t, pointer, size_t]),
        "tarvix_restored_size_bound": (size_t, [pointer, size_t]),
        "tarvix_restore": (ctypes.c_int, [pointer, size_t, pointer, size_t, size_p]),
        "tarvix_compressor_create_threaded": (pointer, [ctypes.c_uint]),
        "tarvix_compressor_compress": (ctypes.c_int, [pointer, pointer, size_t, size_p, pointer,
                                                      size_t, size_p]),
        "tarvix_compressor_end": (ctypes.c_int, [pointer, pointer, size_t, size_p, size_p]),
        "tarvix_compressor_free": (None, [pointer]),
        "tarvix_restorer_create_threaded": (pointer, [ctypes.c_uint]),
        "tarvix_restorer_restore": (ctypes.c_int, [pointer, pointer, size_t, size_p, pointer,
                                                   size_t, size_p]),
        "tarvix_restorer_end": (ctypes.c_int, [pointer, pointer, size_t, size_p, size_p]),
        "tarvix_restorer_free": (None, [pointer]),
    }
    for name, (result, arguments) in prototypes.items():
        getattr(lib, name).restype, getattr(lib, name).argtypes = result, arguments
    libc.malloc.restype, libc.malloc.argtypes = pointer, [size_t]
    libc.free.restype, libc.free.argtypes = None, [pointer]
    return lib, libc


class CLibrary:
    """The C library's whole-buffer calls, into fresh memory from malloc()."""

    def __init__(self, build):
        self.lib, self.libc = load_c_library(build)
        self.used, self.written, self.ending, self.held = (ctypes.c_size_t() for _ in range(4))

    def compress(self, data, threads):
        lib, size = self.lib, len(data)
        if threads == 1:
            room = lib.tarvix_compress_bound(size)
            out = self.libc.malloc(room)
            written = lib.tarvix_compress(data, size, out, room)
        else:
            room = 4 + (size // BLOCK + 2) * STRAIGHT_ROOM
            out = self.libc.malloc(room)
            coder = lib.tarvix_compressor_create_threaded(threads)
            lib.tarvix_compressor_compress(coder, data, size, self.used, out, room, self.written)
            lib.tarvix_compressor_end(coder, out + self.written.value, room - self.written.value,
                                      self.ending, self.held)
            lib.tarvix_compressor_free(coder)
            written = self.written.value + self.ending.value
        self.libc.free(out)
        return written

    def decompress(self, file, threads):
        lib, size = self.lib, len(file)
        room = lib.tarvix_restored_size_bound(file, size)
        out = self.libc.malloc(room)
        if threads == 1:
            lib.tarvix_restore(file, size, out, room, self.written)
        else:
            coder = lib.tarvix_restorer_create_threaded(threads)
            lib.tarvix_restorer_restore(coder, file, size, self.used, out, room, self.written)
            lib.tarvix_restorer_end(coder, out + self.written.value, room - self.written.value,
                                    self.ending, self.held)
            lib.tarvix_restorer_free(coder)
        self.libc.free(out)


def seconds(action):
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def draw(decompressor, file):
    """Restores file in calls of 8192 bytes at most, as a reader that wants
    small pieces does."""
    decompressor.decompress(file, 8192)
    while not decompressor.needs_input and not decompressor.eof:  # lzma's ends by itself
        decompressor.decompress(b"", 8192)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true", help="16 MiB, 3 rounds")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--out", help="also write the table as tab-separated lines here")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import tarvix

    size = (16 if args.quick else 64) << 20
    rounds = args.rounds or (3 if args.quick else 9)
    threads = min(len(os.sched_getaffinity(0)), 16)
    c = CLibrary(build)
    tvx = os.path.join(build, "tvx")
    work = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        source = os.path.join(work, "mixed")
        with open(source, "wb") as f:
            subprocess.run([os.path.join(build, "tarvix_datagen"), "mixed", str(size), "11"],
                           stdout=f, check=True)
        with open(source, "rb") as f:
            data = f.read()
        file = tarvix.compress(data)
        packed, empty, restored, out = (os.path.join(work, n)
                                        for n in ("mixed.tvx", "empty", "restored", "out"))
        for path, content in ((packed, file), (empty, b"")):
            with open(path, "wb") as f:
                f.write(content)
        subprocess.run([tvx, "-q", "-f", "-o", empty + ".tvx", empty], check=True)
        drawn = data[:32 << 20] if not args.quick else data
        drawn_tarvix, drawn_lzma = tarvix.compress(drawn), lzma.compress(drawn, preset=0)
        assert tarvix.decompress(file) == data

        def tvx_seconds(*arguments):
            return seconds(lambda: subprocess.run([tvx, "-q", "-f", *arguments], check=True))

        def copy(source_file, target_file):
            with source_file as f, target_file as g:
                shutil.copyfileobj(f, g, 1 << 20)

        def timed(action):
            return lambda: seconds(action)

        measures = [  # name, tarvix's time, its peer's, the target ratio
            ("compress(), 1 thread", timed(lambda: tarvix.compress(data, threads=1)),
             timed(lambda: c.compress(data, 1)), 1.10),
            ("compress(), %d threads" % threads, timed(lambda: tarvix.compress(data)),
             timed(lambda: c.compress(data, threads)), 1.10),
            ("decompress(), 1 thread", timed(lambda: tarvix.decompress(file, threads=1)),
             timed(lambda: c.decompress(file, 1)), 1.10),
            ("decompress(), %d threads" % threads, timed(lambda: tarvix.decompress(file)),
             timed(lambda: c.decompress(file, threads)), 1.10),
            ("copyfileobj into tarvix.open(), beside tvx",
             timed(lambda: copy(open(source, "rb"), tarvix.open(out, "wb"))),
             lambda: tvx_seconds("-o", out, source) - tvx_seconds("-o", empty + ".tvx", empty),
             1.15),
            ("copyfileobj from tarvix.open(), beside tvx -d",
             timed(lambda: copy(tarvix.open(packed), open(restored, "wb"))),
             lambda: tvx_seconds("-d", "-o", restored, packed)
             - tvx_seconds("-d", "-o", empty, empty + ".tvx"), 1.15),
            ("max_length 8192 over %d MiB, beside lzma" % (len(drawn) >> 20),
             timed(lambda: draw(tarvix.Decompressor(), drawn_tarvix)),
             timed(lambda: draw(lzma.LZMADecompressor(), drawn_lzma)), 2.0),
        ]
        times = {name: ([], []) for name, *_ in measures}
        for round_ in range(rounds):
            for name, mine, theirs, _ in measures:
                # The peer first in every other round, so that neither runs on
                # a warmer machine all along.
                if round_ % 2:
                    theirs_s = theirs()
                    mine_s = mine()
                else:
                    mine_s = mine()
                    theirs_s = theirs()
                times[name][0].append(mine_s)
                times[name][1].append(theirs_s)
    finally:
        shutil.rmtree(work)

    rows = []
    for name, _, _, target in measures:
        mine, theirs = times[name]
        ratio = statistics.median(m / t for m, t in zip(mine, theirs))
        rows.append((name, statistics.median(mine), statistics.median(theirs), ratio, target))
    print("%-48s %10s %10s %7s %7s" % ("measure", "tarvix s", "peer s", "ratio", "target"))
    for name, mine, theirs, ratio, target in rows:
        print("%-48s %10.4f %10.4f %7.3f %7.2f%s" % (name, mine, theirs, ratio, target,
                                                      "" if ratio <= target else "  over"))
    print("%d rounds, %d MiB, %d cores, Python %s, machine load %s" % (
        rounds, size >> 20, os.cpu_count() or 0, sys.version.split()[0],
        " ".join(open("/proc/loadavg").read().split()[:3])))
    if args.out:
        with open(args.out, "w") as f:
            for row in rows:
                f.write("%s\t%.6f\t%.6f\t%.4f\t%.2f\n" % row)


if __name__ == "__main__":
    main()
