"""Tests of tarvix with Dask on a local cluster of two worker processes: the
files that dask.bag and dask.dataframe read by fsspec's "tvx", the
partitions that tarvix.dask cuts at records, and parts compressed on the
workers joined to the tool's bytes. Skipped where Dask's distributed
scheduler or pandas is not installed.

Run as test_tarvix.py is (TARVIX_DATAGEN, TARVIX_TOOL).
"""

import glob
import os
import subprocess
import tempfile
import unittest
from typing import Any, List, Union

import tarvix

try:
    import dask.bag
    import dask.dataframe
    import pandas
    from dask.delayed import delayed
    from distributed import Client, LocalCluster

    import tarvix.dask
    MISSING = ""
except ImportError as missing:
    MISSING = str(missing)

BLOCK = tarvix.BLOCK_SIZE


def rows(count: int, seed: int) -> str:
    """A CSV file's text: a header and `count` rows of three columns."""
    return "id,name,value\n" + "".join("%d,w%d,%d.5\n" % (i, (i * seed) % 997, i % 89)
                                       for i in range(count))


@unittest.skipIf(MISSING, "no Dask, distributed or pandas: %s" % MISSING)
class OnTwoWorkers(unittest.TestCase):
    work: "tempfile.TemporaryDirectory[str]"
    cluster: Any
    client: Any
    texts: List[str]

    @classmethod
    def setUpClass(cls) -> None:
        cls.work = tempfile.TemporaryDirectory()
        cls.texts = [rows(40_000, 7), rows(3, 11), rows(90_000, 13)]
        for number, text in enumerate(cls.texts):
            with tarvix.open(os.path.join(cls.work.name, "part%d.csv.tvx" % number), "wt") as f:
                f.write(text)
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
        cls.client = Client(cls.cluster)
        tarvix.dask.register(cls.client)  # the workers' fsspec knows "tvx" from here

    @classmethod
    def tearDownClass(cls) -> None:
        cls.client.close()
        cls.cluster.close()
        cls.work.cleanup()

    def paths(self) -> str:
        return os.path.join(self.work.name, "*.tvx")

    def restored_lines(self) -> List[str]:
        return [line for text in self.texts for line in text.splitlines(keepends=True)]

    def test_dask_reads_tvx_files_by_name(self) -> None:
        self.assertEqual(dask.bag.read_text(self.paths()).compute(), self.restored_lines())
        frame = dask.dataframe.read_csv(self.paths(), compression="tvx", blocksize=None)
        expected = pandas.concat([pandas.read_csv(tarvix.open(path))
                                  for path in sorted(glob.glob(self.paths()))])
        pandas.testing.assert_frame_equal(frame.compute().reset_index(drop=True),
                                          expected.reset_index(drop=True))

    def test_partitions_cut_at_records(self) -> None:
        blocksizes: List[Union[int, str, None]] = [BLOCK, 100_000, "1 MiB", None]
        for blocksize in blocksizes:
            with self.subTest(blocksize=blocksize):
                lines = tarvix.dask.read_text(self.paths(), blocksize=blocksize)
                self.assertEqual(lines.compute(), self.restored_lines())
                if blocksize == 100_000:  # 105 KB of the first file's 0.5 MB each
                    self.assertGreater(lines.npartitions, 2 * len(self.texts))
        sample, partitions = tarvix.dask.read_bytes(self.paths(), delimiter=b"\n",
                                                    blocksize=3 * BLOCK, sample=100)
        self.assertEqual(sample, self.texts[0].encode()[:len(sample)])
        restored = [b"".join(dask.compute(*file)) for file in partitions]
        self.assertEqual(restored, [text.encode() for text in self.texts])

    def test_parts_compressed_on_the_workers_join_to_the_tools_bytes(self) -> None:
        data = subprocess.run([os.environ["TARVIX_DATAGEN"], "mixed", "3000000", "5"],
                              stdout=subprocess.PIPE, check=True).stdout
        cut = 40 * BLOCK
        parts = dask.compute(*[delayed(tarvix.compress)(data[at:at + cut], header=False)
                               for at in range(0, len(data), cut)])
        with tempfile.TemporaryDirectory() as folder:
            source, joined = os.path.join(folder, "data"), os.path.join(folder, "joined.tvx")
            with open(source, "wb") as f:
                f.write(data)
            tarvix.join(parts, joined)
            tool = os.environ.get("TARVIX_TOOL")
            if tool:
                subprocess.run([tool, source, source + ".tvx"], check=True,
                               stdout=subprocess.DEVNULL)
                with open(source + ".tvx", "rb") as f:
                    expected = f.read()
            else:
                expected = tarvix.compress(data)
            with open(joined, "rb") as f:
                self.assertEqual(f.read(), expected)


if __name__ == "__main__":
    unittest.main()
