"""Dask and tarvix: compressed files read in partitions, and workers that
know fsspec's "tvx".

Dask reads a compressed file as one partition, for it cannot cut one where
it likes. A compressed file can be cut at its records, which hold whole
blocks: read_bytes() and read_text() walk each file's records once, on the
client, restoring nothing, to the record that holds the start of each
partition, and each task restores its partition from there.

    import tarvix.dask
    lines = tarvix.dask.read_text("logs/*.tvx", blocksize="64 MiB")

Tasks that open ".tvx" files through fsspec by name (dask.bag.read_text,
dask.dataframe.read_csv(..., compression="tvx")) need "tvx" on every worker,
which importing tarvix registers: call register(client) once, or start the
workers with the module preloaded (dask worker --preload tarvix; a
LocalCluster(preload=["tarvix"])). The tasks of this module import tarvix
themselves.
"""

from __future__ import annotations

import fsspec
import fsspec.utils
from dask.bag import from_delayed
from dask.base import tokenize
from dask.delayed import delayed
from dask.utils import parse_bytes

from . import _tarvix
from ._errors import Status, make_error
from ._interface import TarvixFile
from ._parts import BLOCK_SIZE

TYPE_CHECKING = False  # as in tarvix._interface
if TYPE_CHECKING:
    from typing import Any, List, Optional, Tuple, Union

    import dask.bag
    from dask.delayed import Delayed

    Record = Tuple[int, int, int, int, int, int]

__all__ = ["read_bytes", "read_text", "register"]


class _ImportTarvix:
    """A worker plugin of distributed: a worker that sets it up imports
    tarvix, which registers "tvx" with fsspec there."""

    name = "tarvix"

    def setup(self, worker: Any) -> None:
        import tarvix  # noqa: F401  (the import registers "tvx")


def register(client: Any) -> None:
    """Makes every worker of the distributed Client client know fsspec's
    "tvx", those running now and those that start later."""
    client.register_worker_plugin(_ImportTarvix(), name=_ImportTarvix.name)


def _partitions(file: Any, blocksize: Optional[int]) -> List[Tuple[int, Record]]:
    """The restored offset of each partition of the compressed file `file`,
    with the record that holds it: one walk over its records from the start,
    each partition's from the last one's."""
    found: List[Tuple[int, Record]] = []
    record: Optional[Record] = None
    offset = 0
    while True:
        status, record = _tarvix.walk(file, offset, start=record)
        if status != Status.OK:
            raise make_error(status)
        if offset and record[2] + record[5] <= offset:
            return found  # past the end: the walk gave the last record
        found.append((offset, record))
        if not blocksize:
            return found
        offset += blocksize


def _read_partition(file: Any, offset: int, length: Optional[int], delimiter: Optional[bytes],
                    record: Record) -> bytes:
    """A task: the restored bytes of one partition, from the record that
    holds its start; with a delimiter, from the first after its start to the
    first after its end (fsspec's read_block)."""
    with file as compressed, TarvixFile(compressed) as restored:
        restored._learn(record)
        return fsspec.utils.read_block(restored, offset, length, delimiter)  # type: ignore[no-any-return]


def read_bytes(urlpath: Union[str, List[str]], delimiter: Optional[bytes] = None,
               blocksize: Union[int, str, None] = "128 MiB", sample: Union[int, str, bool] = "10 kiB",
               **storage_options: Any) -> Tuple[bytes, List[List[Delayed]]]:
    """As dask.bytes.read_bytes(), for compressed files: the restored bytes of
    each file in partitions of blocksize bytes (rounded up to a multiple of
    BLOCK_SIZE; None: a file a partition), each one delayed; with a
    delimiter, each partition ends after the first delimiter from its end
    on, and the next begins there. Returns (sample, partitions): the first
    bytes of the first file (sample of them; False: none), and a list of
    partitions per file. Raises tarvix.Error for a damaged file."""
    size: Optional[int] = None
    if blocksize is not None:
        size = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
        size = -(-size // BLOCK_SIZE) * BLOCK_SIZE
        if size <= 0:
            raise ValueError("tarvix: blocksize must be positive")
    fs, _, paths = fsspec.core.get_fs_token_paths(urlpath, mode="rb",
                                                  storage_options=storage_options)
    if not paths:
        raise OSError("tarvix: %r resolved to no files" % (urlpath,))
    partitions = []
    for path in paths:
        with fs.open(path, "rb") as file:
            offsets = _partitions(file, size)
        opener = fsspec.core.OpenFile(fs, path, mode="rb")
        token = tokenize(fs.ukey(path), delimiter, size)
        partitions.append([
            delayed(_read_partition, name="read-tvx-%s-%d" % (token, offset))(
                opener, offset, size, delimiter, record)
            for offset, record in offsets])
    head = b""
    if sample:
        nbytes = 10 * 1024 if sample is True else (
            parse_bytes(sample) if isinstance(sample, str) else int(sample))
        with fs.open(paths[0], "rb") as compressed, TarvixFile(compressed) as restored:
            head = fsspec.utils.read_block(restored, 0, nbytes, delimiter)
    return head, partitions


def _lines(block: bytes, encoding: str, errors: str, delimiter: str) -> List[str]:
    """A partition's lines, each with its delimiter, as dask.bag.read_text
    gives them."""
    text = block.decode(encoding, errors)
    lines = [line + delimiter for line in text.split(delimiter)]
    lines[-1] = lines[-1][:-len(delimiter)]
    return lines if lines[-1] else lines[:-1]


def read_text(urlpath: Union[str, List[str]], blocksize: Union[int, str, None] = "128 MiB",
              encoding: str = "utf-8", errors: str = "strict", linedelimiter: str = "\n",
              **storage_options: Any) -> dask.bag.Bag:
    """As dask.bag.read_text(), for compressed files, in partitions of
    blocksize restored bytes each (see read_bytes()), cut at lines: the same
    lines as dask.bag.read_text() gives of the files restored."""
    _, partitions = read_bytes(urlpath, delimiter=linedelimiter.encode(encoding),
                               blocksize=blocksize, sample=False, **storage_options)
    return from_delayed([delayed(_lines)(partition, encoding, errors, linedelimiter)
                         for file in partitions for partition in file])
