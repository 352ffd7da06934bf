"""python3 -m tarvix [-d] [-c] [-f] [FILE...]: the module from the command
line, with tvx's file rules.

Compresses each FILE into FILE.tvx, or with -d restores each FILE.tvx into
FILE; the source is kept. A target is written under a private temporary
name in its folder and takes its name only when it is whole, with the
source's permission bits and modification time; an existing target is
refused without -f, and a target that is the source file always; a failure
removes the temporary file and touches nothing else. -c writes to standard
output instead. With no FILE, or for -, it codes standard input to standard
output. Blocks are coded on every core the process may use.
"""

import argparse
import contextlib
import errno
import os
import stat
import sys
import tempfile
from typing import Any, BinaryIO, List, Optional

import tarvix

PROGRAM = "python3 -m tarvix"
SUFFIX = ".tvx"
_PIECE_SIZE = 1 << 20


class Refused(Exception):
    """A file that is not coded: the name to show and the reason."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(name, reason)
        self.name, self.reason = name, reason


def _target_name(name: str, restore: bool, force: bool) -> str:
    has_suffix = len(name) > len(SUFFIX) and name.endswith(SUFFIX)
    if restore and not has_suffix:
        raise Refused(name, "does not end in %s: write to standard output with -c" % SUFFIX)
    if not restore and has_suffix and not force:
        raise Refused(name, "already ends in %s: not compressed again (use -f to force)" % SUFFIX)
    return name[:-len(SUFFIX)] if restore else name + SUFFIX


def _code(source: Any, target: Any, restore: bool) -> None:
    # Closed first, so that a compressed file is ended before its target is.
    with tarvix.TarvixFile(source if restore else target, "rb" if restore else "wb") as coded:
        if restore:
            # read1() gives every byte before a fault before it raises.
            while True:
                piece = coded.read1(_PIECE_SIZE)
                if not piece:
                    break
                target.write(piece)
        else:
            while True:
                piece = source.read(_PIECE_SIZE)
                if not piece:
                    break
                coded.write(piece)


def _move_into_place(temporary: str, name: str, replace: bool) -> None:
    """Renames temporary to name; without replace, only where name does not
    exist, which the new link checks itself."""
    if replace:
        os.replace(temporary, name)
        return
    try:
        os.link(temporary, name)
    except FileExistsError:
        raise
    except OSError:  # a file system without hard links
        if os.path.lexists(name):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), name) from None
        os.replace(temporary, name)
        return
    os.unlink(temporary)


class _PendingTarget:
    """A target written under a private temporary name in its folder (mode
    0600), renamed onto the target by commit() only when it is whole, and
    removed if it is not."""

    def __init__(self, name: str, replace: bool) -> None:
        folder, base = os.path.split(name)
        try:
            fd, self._temporary = tempfile.mkstemp(prefix="." + base[:200] + ".",
                                                   dir=folder or ".")
        except OSError as error:  # named as the target, not as its temporary file
            raise OSError(error.errno, error.strerror, name) from None
        self.file: BinaryIO = os.fdopen(fd, "wb", buffering=0)  # an OS file: no write is lost
        self._name, self._replace, self._committed = name, replace, False

    def __enter__(self) -> "_PendingTarget":
        return self

    def __exit__(self, *exception: object) -> None:
        self.file.close()
        if not self._committed:
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)

    def commit(self, source: os.stat_result) -> None:
        """Gives the target the source's owner where the process may, its
        permission bits and times, then renames it into place."""
        fd = self.file.fileno()
        mode = stat.S_IMODE(source.st_mode)
        if hasattr(os, "fchown"):
            try:
                os.fchown(fd, source.st_uid, source.st_gid)
            except OSError:
                # Another owner's file: no set-ID bit for it, nor the bits of
                # a group it cannot be given.
                mode &= ~(stat.S_ISUID | stat.S_ISGID)
                try:
                    os.fchown(fd, -1, source.st_gid)
                except OSError:
                    mode &= ~stat.S_IRWXG
        os.chmod(fd if os.chmod in os.supports_fd else self._temporary, mode)
        os.utime(fd if os.utime in os.supports_fd else self._temporary,
                 ns=(source.st_atime_ns, source.st_mtime_ns))
        self.file.close()
        _move_into_place(self._temporary, self._name, self._replace)
        self._committed = True


def _is_same_file(name: str, source: os.stat_result) -> bool:
    try:
        return os.path.samestat(os.stat(name), source)
    except OSError:
        return False


def _code_file(name: str, restore: bool, to_stdout: bool, force: bool) -> None:
    if name == "-":
        _code(sys.stdin.buffer, sys.stdout.buffer, restore)
        return
    target_name = None if to_stdout else _target_name(name, restore, force)
    with open(name, "rb", buffering=0) as source:
        if target_name is None:
            _code(source, sys.stdout.buffer, restore)
            return
        info = os.fstat(source.fileno())
        if _is_same_file(target_name, info):
            raise Refused(target_name, "is the source file itself")
        if not force and os.path.lexists(target_name):
            raise Refused(target_name, os.strerror(errno.EEXIST))
        with _PendingTarget(target_name, force) as target:
            _code(source, target.file, restore)
            target.commit(info)


def _failure(name: str, error: Exception) -> str:
    """The message line for a failure, "python3 -m tarvix: NAME: reason"."""
    if isinstance(error, Refused):
        name, reason = error.name, error.reason
    elif isinstance(error, OSError) and not isinstance(error, tarvix.Error) and error.strerror:
        name = os.fsdecode(error.filename) if error.filename else name
        reason = error.strerror
    else:
        reason = str(error)
    return "%s: %s: %s" % (PROGRAM, name, reason)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line `argv` (sys.argv[1:] if None); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Compress each FILE into FILE%s, or restore it, keeping the source." % SUFFIX)
    parser.add_argument("-d", "--decompress", action="store_true",
                        help="restore each FILE%s into FILE" % SUFFIX)
    parser.add_argument("-c", "--stdout", action="store_true",
                        help="write to standard output, keeping no file")
    parser.add_argument("-f", "--force", action="store_true",
                        help="replace existing targets; compress a FILE%s again" % SUFFIX)
    parser.add_argument("files", nargs="*", default=["-"], metavar="FILE",
                        help="the files (standard input if none, or -)")
    args = parser.parse_args(argv)
    status = 0
    for name in args.files:
        try:
            _code_file(name, args.decompress, args.stdout, args.force)
        except (Refused, OSError, EOFError, ValueError) as error:  # tarvix.Error is an OSError
            print(_failure(name, error), file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
