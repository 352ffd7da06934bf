#!/usr/bin/env python3
"""Times a seek far into a big compressed file through tarvix.open().

Usage: python_seek.py [--size N] [--offset N] [--rounds N] [--against BUILD2] BUILD

BUILD is a release build tree (build/release) whose python/ folder holds the
module, with tarvix and tarvix_datagen. On N bytes of generated mixed data
(1 GB by default), compressed on /tmp and warm in the page cache, each round
opens the file, seeks to OFFSET (998,000,000) and reads 1 MiB, in a process
of its own that imports the module first: with BUILD's module, which walks
the records; restoring every byte up to OFFSET with the same module, which is
how a seek worked before the walk; and, with --against, with the module of
another build (an earlier release, say), as it does it. Every way reads the
same bytes (checked). Prints the medians of interleaved rounds and the
ratios to BUILD's seek.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

# Runs in a process of its own: argv is the module's folder, the file, the
# offset and the way; prints the seconds the open, seek and read took and a
# digest of the bytes read.
ROUND = r"""
import hashlib, sys, time
sys.path.insert(0, sys.argv[1])
import tarvix
path, offset, way = sys.argv[2], int(sys.argv[3]), sys.argv[4]
start = time.perf_counter()
with tarvix.open(path) as f:
    if way == "seek":
        f.seek(offset)
    else:  # restore up to the offset, and drop it
        buffer = bytearray(16 << 20)
        left = offset
        while left:
            left -= f.readinto(memoryview(buffer)[:min(left, len(buffer))])
    data = f.read(1 << 20)
print(time.perf_counter() - start, hashlib.sha256(data).hexdigest())
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--size", type=int, default=1_000_000_000)
    parser.add_argument("--offset", type=int, default=998_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--against", help="another build tree whose module seeks as it does")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    ways = [("seek by the walk", os.path.join(build, "python"), "seek"),
            ("restoring up to the offset", os.path.join(build, "python"), "restore")]
    if args.against:
        ways.append(("seek with %s" % args.against,
                     os.path.join(os.path.abspath(args.against), "python"), "seek"))
    with tempfile.TemporaryDirectory() as work:
        source, packed = os.path.join(work, "mixed"), os.path.join(work, "mixed.tvx")
        with open(source, "wb") as f:
            subprocess.run([os.path.join(build, "tarvix_datagen"), "mixed", str(args.size), "7"],
                           stdout=f, check=True)
        subprocess.run([os.path.join(build, "tarvix"), source, packed], check=True,
                       stdout=subprocess.DEVNULL)
        os.remove(source)

        def run(folder, way):
            out = subprocess.run([sys.executable, "-c", ROUND, folder, packed, str(args.offset),
                                  way], capture_output=True, check=True, text=True).stdout
            seconds, digest = out.split()
            return float(seconds), digest

        times = {name: [] for name, _, _ in ways}
        digests = {run(folder, way)[1] for _, folder, way in ways}  # and warm
        assert len(digests) == 1, "the ways read different bytes"
        for round_ in range(args.rounds):
            order = ways if round_ % 2 == 0 else ways[::-1]
            for name, folder, way in order:
                times[name].append(run(folder, way)[0])
    ours = statistics.median(times[ways[0][0]])
    print("seek to %d of %d bytes and read 1 MiB; medians of %d interleaved rounds, warm" % (
        args.offset, args.size, args.rounds))
    for name, _, _ in ways:
        median = statistics.median(times[name])
        print("  %-60s %7.3f s  %5.1fx" % (name, median, median / ours))
    print("  machine load %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
