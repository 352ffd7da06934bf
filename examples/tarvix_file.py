#!/usr/bin/env python3
"""tarvix_file.py: the tarvix tool's job in bounded memory, with the Python
module tarvix.

    python3 tarvix_file.py SOURCE TARGET

restores SOURCE into TARGET if SOURCE opens with the file magic, and
compresses it otherwise; TARGET gets the tool's exact bytes.
"""

import shutil
import sys

import tarvix

MAGIC = b"\xD8\xC7\xB6\xA5"


def main(source: str, target: str) -> int:
    with open(source, "rb") as f:
        compressed = f.read(len(MAGIC)) == MAGIC
    try:
        if compressed:
            with tarvix.open(source, "rb") as src, open(target, "wb") as dst:
                # read1() gives every byte before a fault before it raises.
                while True:
                    piece = src.read1(1 << 20)
                    if not piece:
                        break
                    dst.write(piece)
        else:
            with open(source, "rb") as src, tarvix.open(target, "wb") as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
    except tarvix.Error as error:
        # The blocks before the fault are in TARGET, as the tool leaves them.
        print("tarvix_file.py: %s cannot be restored in full: %s" % (source, error),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: tarvix_file.py SOURCE TARGET")
    sys.exit(main(sys.argv[1], sys.argv[2]))
