"""python3 -m tarvix [-d] [-c] [FILE...]: the module from the command line,
as python3 -m gzip is.

Compresses each FILE into FILE.tvx, or with -d restores each FILE.tvx into
FILE; the source is kept and the target replaced. -c writes to standard
output instead. With no FILE, or for -, it codes standard input to standard
output. Blocks are coded on every core the process may use.
"""

import argparse
import contextlib
import os
import sys
from typing import List, Optional

import tarvix

SUFFIX = ".tvx"
_PIECE_SIZE = 1 << 20


def _threads() -> int:
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return max(1, min(cores or 1, 64))


def _code(name: str, restore: bool, to_stdout: bool) -> None:
    with contextlib.ExitStack() as stack:
        if name == "-":
            source, target = sys.stdin.buffer, sys.stdout.buffer
        else:
            if restore and not to_stdout and not name.endswith(SUFFIX):
                raise ValueError("the name does not end in %s" % SUFFIX)
            source = stack.enter_context(open(name, "rb"))
            target = sys.stdout.buffer
            if not to_stdout:
                target = stack.enter_context(
                    open(name[:-len(SUFFIX)] if restore else name + SUFFIX, "wb"))
        # Closed first, so a compressed file is ended before its target closes.
        coded = stack.enter_context(
            tarvix.TarvixFile(source if restore else target, "rb" if restore else "wb",
                              threads=_threads()))
        if restore:
            # read1() gives every byte before a fault before it raises.
            while piece := coded.read1(_PIECE_SIZE):
                target.write(piece)
        else:
            while piece := source.read(_PIECE_SIZE):
                coded.write(piece)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line `argv` (sys.argv[1:] if None); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python3 -m tarvix",
        description="Compress each FILE into FILE%s, or restore it, keeping the source." % SUFFIX)
    parser.add_argument("-d", "--decompress", action="store_true",
                        help="restore each FILE%s into FILE" % SUFFIX)
    parser.add_argument("-c", "--stdout", action="store_true",
                        help="write to standard output, keeping no file")
    parser.add_argument("files", nargs="*", default=["-"], metavar="FILE",
                        help="the files (standard input if none, or -)")
    args = parser.parse_args(argv)
    status = 0
    for name in args.files:
        try:
            _code(name, args.decompress, args.stdout)
        except (OSError, EOFError, ValueError) as error:  # tarvix.Error is an OSError
            print("%s: %s: %s" % (parser.prog, name, error), file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
