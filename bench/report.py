#!/usr/bin/env python3
"""Writes benchmarks.md, benchmarks.svg and benchmarks-threads.svg from bench/compare.sh's results.

Usage: report.py RESULTS_DIR OUT_DIR
The programs, inputs and labels all come from the results; the charts need matplotlib.
"""
import csv
import glob
import json
import os
import re
import statistics
import sys
import time

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402 (after the backend is chosen)
from matplotlib.ticker import FixedLocator, NullLocator  # noqa: E402

# A rerun changes the SVG only where the figures change: text stays text, the
# metadata has no date, and the ids come from a fixed salt.
matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "tarvix", "font.size": 10})
SVG_METADATA = {"Date": None}

HEADLINE, CORPUS = "mixed", "corpus"
TARVIX, ONE_THREAD, ONE_CORE, REFERENCE = "tarvix", "tarvix, 1 thread", "tarvix, 1 core", "lz4 -1"
THREADS = re.compile(r"tarvix, (\d+) threads?$")
# The inputs compare.sh generates, and the corpus: a title and what they hold.
INPUTS = {
    "mixed": ("Mixed data", "stretches of text, runs, random bytes, short periods and far "
              "repeats, a few KB each, as in a folder of assorted files"),
    "text": ("Text", "words, spaces and line ends, with a little noise"),
    "random": ("Random bytes", "data that does not compress, like photos, video and "
               "archives; every block is stored"),
    "runs": ("Runs", "long runs of a few distinct bytes, which compress very well"),
    "corpus": ("The corpus", "its files concatenated in name order"),
}
# Marker styles for the chart: tarvix in red, filled for the default run.
STYLES = {TARVIX: ("#d62728", "o", True), ONE_THREAD: ("#d62728", "o", False),
          "tvx": ("#d62728", "s", True), "Python tarvix.open": ("#d62728", "D", False),
          "lz4 -1": ("#1f77b4", "^", True), "lzop -1": ("#2ca02c", "v", True),
          "zstd -1": ("#9467bd", "s", True), "gzip -1": ("#7f7f7f", "P", True)}


class Results:
    """What compare.sh measured: sizes, whole-process times, memory and the codec benchmark."""

    def __init__(self, folder):
        def lines(name):
            with open(os.path.join(folder, name)) as f:
                return list(csv.reader(f, delimiter="\t"))

        self.about = dict(lines("about.tsv"))
        self.measured = time.gmtime(os.path.getmtime(os.path.join(folder, "sizes.tsv")))
        self.labels = [row[0] for row in lines("programs.txt")]
        self.inputs = [row[0] for row in lines("inputs.txt")]
        self.sizes = {(i, p): (int(o), int(c)) for i, p, o, c in lines("sizes.tsv")}
        self.rss = {}
        for i, p, d, kib in lines("rss.tsv"):
            self.rss[(i, p, d)] = max(self.rss.get((i, p, d), 0), int(kib))
        self.runs, self.by_round, self.cpu = {}, {}, {}
        for path in glob.glob(os.path.join(folder, "time.*.json")):
            round_, _, direction, inp = os.path.basename(path)[5:-5].split(".", 3)
            with open(path) as f:
                for r in json.load(f)["results"]:
                    key = (inp, direction, r["command"])
                    self.runs.setdefault(key, []).extend(r["times"])
                    self.by_round.setdefault(key, {})[round_] = statistics.median(r["times"])
                    self.cpu.setdefault(key, {})[round_] = r["user"] + r["system"]
        # bench/python_bench.py's rows, when it ran: measure, tarvix's median
        # seconds, the peer's, the ratio, the target.
        python = os.path.join(folder, "python.tsv")
        self.python = lines("python.tsv") if os.path.exists(python) else []
        self.codec = {}
        with open(os.path.join(folder, "codec_bench.json")) as f:
            for bench in json.load(f)["benchmarks"]:
                if bench.get("aggregate_name") == "median":
                    self.codec[bench["run_name"]] = bench["bytes_per_second"] / 1e6

    def main_programs(self):
        """The labels measured on every input (not the thread sweep), in compare.sh's order."""
        return [p for p in self.labels if ("random", "compress", p) in self.runs]

    def sweep(self):
        """(threads, label) of the thread counts measured on the mixed data, fewest first."""
        found = ((int(m.group(1)), p) for p in self.labels if (m := THREADS.match(p)))
        return sorted((n, p) for n, p in found if (HEADLINE, "compress", p) in self.runs)

    def speed(self, inp, direction, program):
        """MB/s of original data, from the median of all runs of all rounds."""
        return self.sizes[(inp, program)][0] / statistics.median(
            self.runs[(inp, direction, program)]) / 1e6

    def ratio(self, inp, direction, program, other):
        """The median over the rounds of program's time over other's in the same round."""
        mine = self.by_round[(inp, direction, program)]
        theirs = self.by_round[(inp, direction, other)]
        return statistics.median(mine[r] / theirs[r] for r in mine if r in theirs)

    def cpu_ms(self, inp, direction, program):
        """User plus system time of the process, hyperfine's mean, the median over the rounds."""
        return statistics.median(self.cpu[(inp, direction, program)].values()) * 1000

    def size_ratio(self, inp, program):
        original, packed = self.sizes[(inp, program)]
        return packed / original


def table(header, rows):
    """A markdown table, the first column left-aligned and the others right."""
    lines = ["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines) + "\n\n"


def name(program):
    return f"**{program}**" if program == TARVIX else program


def summary(res):
    """What a user can expect, in figures from this run."""
    cores = res.about["cores"]
    c, r = (res.speed(HEADLINE, d, TARVIX) for d in ("compress", "restore"))
    c_lz4, r_lz4 = (res.ratio(HEADLINE, d, TARVIX, REFERENCE) for d in ("compress", "restore"))
    text = (f"On the mixed data, on this machine's {cores} cores, tarvix compresses at "
            f"{c:,.0f} MB/s, in {c_lz4:.2f} times the time of `lz4 -1`, and restores at "
            f"{r:,.0f} MB/s, in {r_lz4:.2f} times the time of `lz4 -d`; its size ratio is "
            f"{res.size_ratio(HEADLINE, TARVIX):.3f}, against "
            f"{res.size_ratio(HEADLINE, REFERENCE):.3f} for `lz4 -1`.")
    if (HEADLINE, "compress", ONE_THREAD) in res.runs:
        c, r = (res.speed(HEADLINE, d, ONE_THREAD) for d in ("compress", "restore"))
        text += f" On one thread it compresses at {c:,.0f} MB/s and restores at {r:,.0f} MB/s."
    return text + "\n\n"


EXPECT = """\
- **Cores.** tarvix codes its 8 KiB blocks on every core the process may use
  (`TARVIX_THREADS=N` sets the count). Compressing gains most from more cores,
  since coding the blocks is most of its work; restoring is lighter work, and
  reading and writing the data, which stays on one thread, bounds it sooner.
  A file of a few blocks gets no threads.
- **Size.** tarvix trades size for speed: it parses each block greedily and
  on its own. Its size ratio is close to `lz4 -1`'s, better on some data and
  worse on other (see "By input"), and well above those of `zstd -1` and
  `gzip -1`, which look further back and code more finely.
- **Data that does not compress.** tarvix stores such blocks as they are, but
  only after checking that coding would not shrink them, where `lz4` and
  `lzop` skip ahead through data without matches: they spend less CPU time on
  it.
- **Small files.** For a file of a few milliseconds' work, the start of the
  process weighs on every program alike.
- **Memory.** tarvix's peak memory does not grow with the size of the file;
  it is larger with threads than on one thread (see "Peak memory").
- **Disks.** These runs read and write memory (tmpfs); on a disk, the disk's
  speed may bound every program here.

"""


def write_page(res, out, svg, threads_svg):
    w = out.write
    rounds = res.about["rounds"]
    w("# Benchmarks\n\n")
    w("How fast tarvix compresses and restores beside `lz4`, `lzop`, `zstd` and `gzip` at "
      "their fastest settings, and what to expect on your machine. Written by "
      f"`bench/compare.sh` (this page: `{res.about['command']}`), which builds the "
      "tool and measures again from a clone with nothing beside it; when a corpus is there "
      "(`TARVIX_CORPUS_DIR`, by default `../shared/corpus`) it adds the corpus and each of "
      "its files.\n\n")
    w(f"- Machine: {res.about['machine']}.\n")
    w(f"- Measured {time.strftime('%Y-%m-%d %H:%M UTC', res.measured)}; "
      f"{res.about['versions']}.\n")
    w(f"- Whole process, each command timed by hyperfine, in {rounds} round"
      f"{'' if rounds == '1' else 's'} in which every "
      "program runs in turn, so that a change in the machine's load falls on all of them; "
      "input and output in memory (tmpfs). Speeds are MB of original data per second in both "
      "directions (1 MB = 10^6 bytes), from the median of all runs. \"× lz4\" is a ratio of "
      "times: in each round the program's median time over lz4's, and the median of those "
      "over the rounds; below 1 is faster. Restoring runs each peer with `-d`.\n")
    w("- tarvix runs as you get it (**tarvix**: a thread for each core the process may use) "
      "and on one thread (`TARVIX_THREADS=1`); it writes the same bytes either way, and "
      "`compare.sh` checks that.\n")
    w("- CPU time: user plus system time of the process. Above the elapsed time, more than "
      "one core was busy.\n\n")
    w("## What to expect\n\n" + summary(res) + EXPECT)

    for inp in (HEADLINE, CORPUS):
        if (inp, "compress", TARVIX) not in res.runs:
            continue
        title, what = INPUTS[inp]
        w(f"## {title} ({res.sizes[(inp, TARVIX)][0]:,} bytes)\n\n{what[0].upper()}{what[1:]}.\n\n")
        rows = []
        for p in res.main_programs():
            rows.append([name(p), f"{res.size_ratio(inp, p):.3f}"] + [
                f"{res.speed(inp, d, p):,.0f}" for d in ("compress", "restore")] + [
                f"{res.ratio(inp, d, p, REFERENCE):.2f}×" for d in ("compress", "restore")] + [
                f"{res.cpu_ms(inp, 'compress', p):,.0f} / {res.cpu_ms(inp, 'restore', p):,.0f} ms"])
        w(table(["program", "size ratio", "compress MB/s", "restore MB/s", "compress × lz4",
                 "restore × lz4", "CPU time, compress / restore"], rows))
        if inp == HEADLINE:
            w(f"![Speed against size ratio on the mixed data]({svg})\n\n")

    w("## By input\n\n")
    w("mixed, text, random and runs come from the test data generator "
      "(`tarvix_datagen SHAPE SIZE 11`), the same bytes every run:\n\n")
    w("".join(f"- {i}: {INPUTS[i][1]}.\n" for i in res.inputs if i in INPUTS))
    w("- the others: the corpus's files.\n\n" if CORPUS in res.inputs else "\n")
    programs = res.main_programs()
    for title, cell in (("Size ratio", lambda i, p: f"{res.size_ratio(i, p):.3f}"),
                        ("Compress, MB/s", lambda i, p: f"{res.speed(i, 'compress', p):,.0f}"),
                        ("Restore, MB/s", lambda i, p: f"{res.speed(i, 'restore', p):,.0f}")):
        w(f"### {title}\n\n")
        w(table(["input", *programs], [[i] + [cell(i, p) for p in programs] for i in res.inputs]))
    if CORPUS in res.inputs:
        w("The corpus's files take a few milliseconds each, so the start of the process "
          "weighs on their figures.\n\n")

    write_threads(w, res, threads_svg)

    w("## Peak memory\n\nPeak resident memory in MiB, the largest of the runs, from "
      "`/usr/bin/time`.\n\n")
    columns = [(i, d) for i in (HEADLINE, "random") for d in ("compress", "restore")]
    w(table(["program"] + [f"{i}, {d}" for i, d in columns],
            [[name(p)] + [f"{res.rss[(i, p, d)] / 1024:.1f}" if (i, p, d) in res.rss else ""
                          for i, d in columns] for p in res.labels]))

    w("## In process: the block codec beside liblz4\n\n`build/bench/codec_bench` (Google "
      "Benchmark, one thread, medians of 3 repetitions in random order): each input cut "
      "into 8 KiB blocks, each block coded on its own, by tarvix's `encode_block` and "
      "`decode_block` and by liblz4's `LZ4_compress_default` and `LZ4_decompress_safe`. "
      "\"all\" is the corpus's files once over, \"generated\" generated text (when there is "
      "no corpus), \"mixed\" generated mixed data and \"random\" random bytes. These are the "
      "codecs alone, without reading, writing or threads.\n\n")
    rows = []
    for key in sorted(res.codec, key=lambda k: (not k.endswith("/all"), k)):
        if key.startswith("tarvix_encode/"):
            inp = key.split("/", 1)[1]
            e, d = res.codec[key], res.codec.get(f"tarvix_decode/{inp}")
            c, u = res.codec.get(f"lz4_compress/{inp}"), res.codec.get(f"lz4_decompress/{inp}")
            if None not in (d, c, u):
                rows.append([inp, f"{e:,.0f}", f"{c:,.0f}", f"{e / c:.2f}", f"{d:,.0f}",
                             f"{u:,.0f}", f"{d / u:.2f}"])
    w(table(["input", "encode MB/s", "LZ4_compress_default MB/s", "ratio", "decode MB/s",
             "LZ4_decompress_safe MB/s", "ratio"], rows))
    write_python(w, res)


def write_python(w, res):
    if not res.python:
        return
    w("## In process: the Python module\n\n`bench/python_bench.py`, in one Python process on "
      "the mixed data (64 MiB; 16 MiB with QUICK=1): `tarvix.compress()` and `tarvix.decompress()` beside the C "
      "library's whole-buffer calls on as many threads, into memory from `malloc()`; "
      "`shutil.copyfileobj()` through `tarvix.open()` beside `tvx` from file to file, less "
      "`tvx`'s time for an empty file; `Decompressor.decompress(b\"\", 8192)` until "
      "`needs_input`, over 32 MiB, beside `lzma`'s decompressor drawn the same way. \"Ratio\" "
      "is tarvix's time over the peer's, the median of the rounds' ratios.\n\n")
    w(table(["measure", "tarvix, s", "peer, s", "ratio", "target"],
            [[m, f"{float(t):.3f}", f"{float(p):.3f}", f"{float(r):.2f}", f"≤ {float(g):.2f}"]
             for m, t, p, r, g in res.python]))


def write_threads(w, res, threads_svg):
    sweep = [(str(n), p) for n, p in res.sweep()]
    if not sweep:
        return
    cores = res.about["cores"]
    w(f"## Threads\n\nThe mixed data with `TARVIX_THREADS` from 1 to {sweep[-1][0]}, in the "
      f"same rounds as the rest. This machine has {cores} cores, so more threads than that "
      "share them. \"Speed-up\" is the time on one thread over this run's, the median of the "
      "rounds' ratios.\n\n")
    sweep.append((f"all {cores} cores (the default)", TARVIX))
    if (HEADLINE, "compress", ONE_CORE) in res.runs:
        sweep.append((f"one core (`taskset -c {res.about['first cpu']}`)", ONE_CORE))
    rows = []
    for label, p in sweep:
        rows.append([label] + [cell for d in ("compress", "restore") for cell in (
            f"{res.speed(HEADLINE, d, p):,.0f}", f"{res.ratio(HEADLINE, d, ONE_THREAD, p):.2f}×",
            f"{res.cpu_ms(HEADLINE, d, p):,.0f} ms")])
    w(table(["threads", "compress MB/s", "speed-up", "CPU time", "restore MB/s", "speed-up",
             "CPU time"], rows))
    w(f"![Speed against the number of threads on the mixed data]({threads_svg})\n\n")


def log_ticks(low, high):
    """1, 2, 5 times the powers of ten from low to high."""
    return [t for e in range(-1, 7) for m in (1, 2, 5) if low <= (t := m * 10 ** e) <= high]


def speed_chart(res, path):
    """Two panels, compress and restore: speed (log scale) against size ratio."""
    programs = res.main_programs()
    fig, axes = plt.subplots(1, 2, figsize=(9, 4.2), sharey=True)
    speeds = [res.speed(HEADLINE, d, p) for d in ("compress", "restore") for p in programs]
    # A margin around the points, so that no marker touches the frame.
    low, high = min(speeds) / 1.4, max(speeds) * 1.4
    ticks = log_ticks(low, high)
    for ax, direction in zip(axes, ("compress", "restore")):
        for p in programs:
            color, marker, filled = STYLES.get(p, ("black", "x", True))
            ax.plot([res.size_ratio(HEADLINE, p)], [res.speed(HEADLINE, direction, p)],
                    linestyle="none", marker=marker, markersize=11 if p == TARVIX else 8,
                    color=color, markerfacecolor=color if filled else "white",
                    markeredgewidth=1.5, label=p)
        ax.set_title(f"{direction.capitalize()}, mixed data")
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(FixedLocator(ticks))
        ax.yaxis.set_minor_locator(NullLocator())
        ax.set_yticklabels([f"{t:,.0f}" for t in ticks])
        ax.set_ylim(low, high)
        ax.set_xlabel("size ratio (compressed / original)")
        ax.grid(True, color="#e0e0e0")
        ax.margins(x=0.15)
    axes[0].set_ylabel("MB/s of original data (log scale)")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0.02),
               ncol=min(4, len(labels)), frameon=False)
    fig.savefig(path, bbox_inches="tight", metadata=SVG_METADATA)
    plt.close(fig)


def threads_chart(res, path):
    """Speed against the number of threads on the mixed data, beside lz4."""
    sweep = res.sweep()
    fig, ax = plt.subplots(figsize=(7, 4.2))
    threads = [n for n, _ in sweep]
    top, lines, peers = 0.0, [], []
    for direction, color, marker, peer in (("compress", "#d62728", "o", "lz4 -1"),
                                           ("restore", "#ff7f0e", "s", "lz4 -d")):
        speeds = [res.speed(HEADLINE, direction, p) for _, p in sweep]
        reference = res.speed(HEADLINE, direction, REFERENCE)
        top = max(top, *speeds, reference)
        lines += ax.plot(threads, speeds, color=color, marker=marker, linewidth=2,
                         label=f"tarvix, {direction}")
        peers.append(ax.axhline(reference, color=color, linestyle="--", linewidth=1.2,
                                label=f"{peer}, {direction}"))
    cores = int(res.about["cores"])
    if cores < threads[-1]:
        peers.append(ax.axvspan(cores + 0.5, threads[-1] + 0.5, color="#f0f0f0", zorder=0,
                                label=f"more threads than the {cores} cores"))
    ax.set_xlim(0.5, threads[-1] + 0.5)
    ax.set_xticks(threads)
    ax.set_ylim(0, top * 1.1)
    ax.set_xlabel("threads (TARVIX_THREADS)")
    ax.set_ylabel("MB/s of original data")
    ax.set_title("Speed against threads, mixed data")
    ax.grid(True, axis="y", color="#e0e0e0")
    ax.legend(handles=lines + peers, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3,
              frameon=False)
    fig.savefig(path, bbox_inches="tight", metadata=SVG_METADATA)
    plt.close(fig)


def main():
    results, out = sys.argv[1:3]
    res = Results(results)
    with open(os.path.join(out, "benchmarks.md"), "w") as f:
        write_page(res, f, "benchmarks.svg", "benchmarks-threads.svg")
    speed_chart(res, os.path.join(out, "benchmarks.svg"))
    threads_chart(res, os.path.join(out, "benchmarks-threads.svg"))


if __name__ == "__main__":
    main()
