#!/usr/bin/env python3
"""Writes docs/benchmarks.md and its two charts from the results of bench/compare.sh.

Usage: report.py RESULTS_DIR ROUNDS MACHINE VERSIONS MARKDOWN_OUT SVG_OUT THREADS_SVG_OUT
Only the standard library: the charts are plain SVG text.
"""
import csv
import glob
import json
import math
import os
import statistics
import sys
import time

PEERS = ["lz4", "lzop", "zstd", "gzip"]
# tarvix as the user gets it, on its one-thread path, and on one core.
VARIANTS = ["tarvix", "tarvix-t1", "tarvix-cpu0"]
PROGRAMS = VARIANTS + PEERS
# The thread sweep on the mixed input: TARVIX_THREADS=1 is also the one-thread path.
SWEEP = {1: "tarvix-t1", 2: "tarvix-t2", 3: "tarvix-t3", 4: "tarvix-t4"}
LABELS = {"tarvix": "tarvix", "tarvix-t1": "tarvix, 1 thread", "tarvix-cpu0": "tarvix, 1 core",
          "lz4": "lz4 -1", "lzop": "lzop -1", "zstd": "zstd -1", "gzip": "gzip -1"}
RESTORE_LABELS = dict(LABELS, lz4="lz4 -d", lzop="lzop -d", zstd="zstd -d", gzip="gzip -d")
COLORS = {"tarvix": "#d62728", "tarvix-t1": "#d62728", "tarvix-cpu0": "#d62728",
          "lz4": "#1f77b4", "lzop": "#2ca02c", "zstd": "#9467bd", "gzip": "#7f7f7f"}
# The inputs compare.sh makes besides the corpus files.
MIXED, RANDOM, JPEG = "mixed", "random", "fireworks-repeated"
BLOCK = 8192
MIB = 1024 * 1024


def table_name(program, first_cpu):
    """The name of a program in a table's first column."""
    return {"tarvix": "**tarvix**", "tarvix-t1": "tarvix, `TARVIX_THREADS=1`",
            "tarvix-cpu0": f"tarvix, `taskset -c {first_cpu}`"}.get(program, LABELS[program])


def read_sizes(results):
    sizes = {}
    with open(os.path.join(results, "sizes.tsv")) as f:
        for inp, program, original, packed in csv.reader(f, delimiter="\t"):
            sizes[(inp, program)] = (int(original), int(packed))
    return sizes


class Times:
    """Whole-process times per (input, direction, program), by round."""

    def __init__(self, results):
        self.runs = {}       # every run of every round
        self.by_round = {}   # round -> that round's median
        self.cpu = {}        # round -> that round's mean user + system time
        for path in glob.glob(os.path.join(results, "time.*.json")):
            name = os.path.basename(path)[len("time."):-len(".json")]
            inp, direction, round_ = name.rsplit(".", 2)
            with open(path) as f:
                for result in json.load(f)["results"]:
                    key = (inp, direction, result["command"])
                    self.runs.setdefault(key, []).extend(result["times"])
                    self.by_round.setdefault(key, {})[round_] = statistics.median(result["times"])
                    self.cpu.setdefault(key, {})[round_] = result["user"] + result["system"]

    def __contains__(self, key):
        return key in self.runs

    def median(self, inp, direction, program):
        """Median seconds over all runs of all rounds."""
        return statistics.median(self.runs[(inp, direction, program)])

    def cpu_time(self, inp, direction, program):
        """Median over the rounds of the mean user + system seconds."""
        return statistics.median(self.cpu[(inp, direction, program)].values())

    def ratio(self, inp, direction, program, other, other_direction=None):
        """Median over the rounds of program's median time over other's in the same round."""
        mine = self.by_round[(inp, direction, program)]
        theirs = self.by_round[(inp, other_direction or direction, other)]
        return statistics.median(mine[r] / theirs[r] for r in mine if r in theirs)


def read_exec_costs(results):
    """Median extra seconds of starting a program through env and through taskset."""
    costs = {"env": [], "taskset": []}
    for path in glob.glob(os.path.join(results, "exec.*.json")):
        with open(path) as f:
            medians = {r["command"]: r["median"] for r in json.load(f)["results"]}
        for launcher in costs:
            costs[launcher].append(medians[launcher] - medians["none"])
    return {k: statistics.median(v) for k, v in costs.items() if v}


def read_rss(results):
    """Largest peak resident KiB per (input, program, direction)."""
    rss = {}
    with open(os.path.join(results, "rss.tsv")) as f:
        for inp, program, direction, kib in csv.reader(f, delimiter="\t"):
            key = (inp, program, direction)
            rss[key] = max(rss.get(key, 0), int(kib))
    return rss


def read_codec_bench(results):
    """Median bytes per second per benchmark name, e.g. 'tarvix_encode/all'."""
    path = os.path.join(results, "codec_bench.json")
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    speeds = {}
    for bench in data["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            speeds[bench["run_name"]] = bench["bytes_per_second"]
    return speeds


def read_cores(results):
    with open(os.path.join(results, "cores.tsv")) as f:
        cores, first_cpu = f.read().split()
    return int(cores), first_cpu


def mbps(byte_count, seconds):
    return byte_count / seconds / 1e6


def fmt_speed(value):
    return f"{value:,.0f}"


def fmt_ratio(value):
    return f"{value:.2f}×"


def fmt_mib(kib):
    return f"{kib / 1024:.2f}"


class Projection:
    """Amdahl's law for one direction on the mixed input, from measured parts.

    coding: the seconds the one-thread run spends in the block codec, from the
    in-process per-block speed; serial: the rest of that run's whole-process time,
    less the exec of env that set TARVIX_THREADS=1.
    """

    def __init__(self, byte_count, one_thread_seconds, codec_speed):
        self.byte_count = byte_count
        self.one_thread = one_thread_seconds
        self.coding = byte_count / codec_speed
        self.block_us = BLOCK / codec_speed * 1e6
        # Under load the codec benchmark can come out slower than the process
        # it stands for; a negative serial part would be meaningless.
        self.serial = max(0.0, one_thread_seconds - self.coding)

    def amdahl(self, n):
        return self.serial + self.coding / n

    def overlapped(self, n):
        """The floor if reading and writing overlapped the coding completely: the
        serial part still takes its time, and n cores share all the work."""
        return max(self.serial, self.one_thread / n)

    def speed(self, n):
        return mbps(self.byte_count, self.amdahl(n))

    def ceiling(self, n):
        return mbps(self.byte_count, self.overlapped(n))


def projections(sizes, times, codec, exec_costs):
    byte_count = sizes[(MIXED, "tarvix")][0]
    result = {}
    for direction, bench in (("compress", "tarvix_encode/all"), ("restore", "tarvix_decode/all")):
        if bench in codec and (MIXED, direction, "tarvix-t1") in times:
            one_thread = times.median(MIXED, direction, "tarvix-t1") - exec_costs.get("env", 0)
            result[direction] = Projection(byte_count, one_thread, codec[bench])
    return result


def write_markdown(out, args, sizes, times, exec_costs, rss, codec, cores, first_cpu, model):
    results, rounds, machine, versions, threads_svg = args
    corpus_files = sorted({inp for inp, _ in sizes if inp not in (MIXED, RANDOM, JPEG)})
    original = sizes[(MIXED, "tarvix")][0]
    present = [p for p in PROGRAMS if (MIXED, "compress", p) in times]

    def speed(inp, direction, program):
        return mbps(sizes[(inp, program)][0], times.median(inp, direction, program))

    def cpu_ms(inp, direction, program):
        return f"{times.cpu_time(inp, direction, program) * 1000:,.0f}"

    w = out.write
    w("# Benchmarks\n\n")
    w("How fast tarvix compresses and restores, beside the usual fast compressors, on the "
      "benchmark corpus (`../shared/corpus/`) and on data that does not compress. Written by "
      f"`bench/compare.sh` (this page: `ROUNDS={rounds} bench/compare.sh`), which rebuilds "
      "everything and measures again; run it on a quiet machine.\n\n")
    w(f"- Machine: {machine}.\n")
    measured = time.gmtime(os.path.getmtime(os.path.join(results, "sizes.tsv")))
    w(f"- Measured {time.strftime('%Y-%m-%d %H:%M UTC', measured)}; {versions}.\n")
    w(f"- Whole process: each command timed by hyperfine, {rounds} rounds in which every "
      "program runs in turn (so a change in the machine's load falls on all of them); input "
      "and output on tmpfs. Speeds are original bytes per second, in both directions "
      "(1 MB = 10^6 bytes), from the median of all runs. \"Time vs lz4\" and every other "
      "\"× peer\" figure is a ratio of times: in each round, the program's median time over "
      "the peer's, and the median of those ratios over the rounds; below 1 is faster.\n")
    w("- tarvix runs three ways: as a user gets it (**tarvix**: as many threads as the cores "
      "the process may use), on its one-thread path (`TARVIX_THREADS=1`), and on one core "
      f"(`taskset -c {first_cpu}`: the default, confined to one core). hyperfine starts programs "
      "without a shell, so the variable is set by `env`")
    if exec_costs:
        w(f", whose exec adds {exec_costs['env'] * 1000:.2f} ms to each run "
          f"(`taskset`: {exec_costs['taskset'] * 1000:.2f} ms), measured on `/bin/true` in "
          "each round; the figures include it: under 1% of the runs on the 30 MB inputs, "
          "more on the small files")
    w(".\n")
    w("- CPU time: user plus system time of the process (hyperfine's mean), the median over "
      "the rounds. Above the elapsed time, more than one core was busy.\n")
    w("- Size ratio: compressed size over original size; tarvix writes the same bytes "
      "whatever the number of threads (`compare.sh` checks).\n")
    w("- Peak resident memory: the largest of three runs, from `/usr/bin/time`.\n\n")

    w(f"## The standard mixed input ({original:,} bytes)\n\n")
    w("The eleven corpus files concatenated in name order, ten times over.\n\n")
    w("| program | size ratio | compress MB/s | restore MB/s | compress time vs lz4 | "
      "restore time vs lz4 | CPU time, compress / restore | "
      "peak memory, compress / restore |\n")
    w("|---|---:|---:|---:|---:|---:|---:|---:|\n")
    for program in present:
        o, p = sizes[(MIXED, program)]
        memory = ""
        if (MIXED, program, "compress") in rss:
            memory = (f"{rss[(MIXED, program, 'compress')] / 1024:.1f} / "
                      f"{rss[(MIXED, program, 'restore')] / 1024:.1f} MiB")
        w(f"| {table_name(program, first_cpu)} | {p / o:.3f} | "
          f"{fmt_speed(speed(MIXED, 'compress', program))} | "
          f"{fmt_speed(speed(MIXED, 'restore', program))} | "
          f"{fmt_ratio(times.ratio(MIXED, 'compress', program, 'lz4'))} | "
          f"{fmt_ratio(times.ratio(MIXED, 'restore', program, 'lz4'))} | "
          f"{cpu_ms(MIXED, 'compress', program)} / {cpu_ms(MIXED, 'restore', program)} ms | "
          f"{memory} |\n")
    w("\n![Speed against size ratio on the mixed input](benchmarks.svg)\n\n")

    write_targets(w, sizes, times, rss, codec, first_cpu)
    write_incompressible(w, sizes, times, speed, cpu_ms, first_cpu)
    write_threads(w, times, speed, cpu_ms, model, cores, first_cpu, threads_svg)
    write_memory(w, rss, first_cpu)

    if codec:
        w("## In process: the block codec beside liblz4\n\n")
        w("`build/bench/codec_bench` (Google Benchmark, one thread, medians of 5 repetitions "
          "in random order): each input cut into 8 KiB blocks, each block coded on its own, by "
          "`encode_block` and `decode_block` and by liblz4's `LZ4_compress_default` and "
          "`LZ4_decompress_safe`. \"all\" is the eleven files once over.\n\n")
        w("| input | encode MB/s | LZ4_compress_default MB/s | ratio | decode MB/s | "
          "LZ4_decompress_safe MB/s | ratio |\n|---|---:|---:|---:|---:|---:|---:|\n")
        for inp in ["all"] + corpus_files:
            e, c = codec.get(f"tarvix_encode/{inp}"), codec.get(f"lz4_compress/{inp}")
            d, u = codec.get(f"tarvix_decode/{inp}"), codec.get(f"lz4_decompress/{inp}")
            if None in (e, c, d, u):
                continue
            w(f"| {inp} | {fmt_speed(e / 1e6)} | {fmt_speed(c / 1e6)} | {e / c:.2f} | "
              f"{fmt_speed(d / 1e6)} | {fmt_speed(u / 1e6)} | {d / u:.2f} |\n")
        w("\n")

    w("## Each corpus file, whole process\n\n")
    for title, names, programs, cell in [
        ("Size ratio", LABELS, ["tarvix"] + PEERS,
         lambda inp, program: f"{sizes[(inp, program)][1] / sizes[(inp, program)][0]:.3f}"),
        ("Compress, MB/s", LABELS, present,
         lambda inp, program: fmt_speed(speed(inp, "compress", program))),
        ("Restore, MB/s", RESTORE_LABELS, present,
         lambda inp, program: fmt_speed(speed(inp, "restore", program))),
    ]:
        w(f"### {title}\n\n| file | " + " | ".join(names[p] for p in programs) + " |\n")
        w("|---|" + "---:|" * len(programs) + "\n")
        for inp in corpus_files:
            w(f"| {inp} | " + " | ".join(cell(inp, p) for p in programs) + " |\n")
        w("\n")
    w("Small files take a few milliseconds, so process start-up weighs on their figures; "
      "a source of a few blocks gets no threads.\n\n")

    w("## Where the time goes\n\n")
    w("From `perf record` of the release tool (all its threads) and of `codec_bench` on this "
      "machine. Where a target above is not met, this is why.\n\n")
    w("- Compress, mixed input: about three quarters of the process is `encode_block`, "
      "and the rest is the kernel's reading and writing (each about a twentieth) and the "
      "handing of batches between threads. Inside the "
      "encoder the time goes to the decision at each position, literal or match: it waits on "
      "two dependent loads (the slot, then the table) and a comparison, and its branch is "
      "mispredicted often on text, where matches are frequent and short: in the "
      "mixed input 38% of the searched positions start a match, and half of the matches "
      "are 3 bytes long. The block "
      "format fixes the parse, so every position outside a match or run must be probed: the "
      "encoder cannot skip ahead through data that does not compress, as lz4 does (hence "
      "its speed on fireworks.jpeg and paper-100k.pdf). So the one-thread path stays about "
      "a tenth slower than `lz4 -1`, whose encoder is faster by the in-process ratio above, "
      "and two cores, at about 1.6 to 1.7 times one, take the whole process to about 0.7 "
      "times `lz4 -1`'s time, not 0.55: that would need both the encoder a tenth faster and "
      "no serial part at all. What stays serial with two threads: the process start, the "
      "first read, each batch's closing-up of its records in file order, and the waits at the "
      "end of each batch for the slower thread and for the I/O thread.\n")
    w("- Restore, mixed input: about two fifths of the process is `decode_block` and most of "
      "the rest is the kernel, which reads 17 MB and allocates and fills 29 MB of tmpfs "
      "pages. With threads, the decoding spreads over the cores but the kernel's page work "
      "does not: the I/O thread reads and writes every byte, and on tmpfs that work, about "
      "half of the one-thread path's time, bounds the whole run, which is why two threads "
      "gain less than a fifth. Inside the decoder, items are one bit each in the "
      "control words and literals "
      "one byte each, so a block of text holds about one item per two bytes; the decoder "
      "handles a stretch of literals and the copy item after it in one step, and the "
      "remaining cost is the branch between literal stretch and copy item and the "
      "store-to-load forwarding of short match distances.\n")
    w("- Data that does not compress: the encoder proves for most such blocks, after a "
      "short start of the parse, that the coded form cannot be shorter than the block, and "
      "stores it without the full parse. The proof counts the positions whose 3 bytes may "
      "have occurred before in a 64-kbit hashed bitmap: about two fifths of the process, "
      "at about 1 GB/s on one core. The kernel's reading and writing of 30 MB each way is "
      "another two fifths, and it does not spread over threads either. `lzop -1` spends "
      "about half as much CPU time as tarvix here, because it skips ahead through data "
      "without matches and tests far fewer positions, which tarvix's fixed parse cannot.\n")


def write_targets(w, sizes, times, rss, codec, first_cpu):
    """Every target of the issue, each a median ratio to a peer from the same run."""

    def r(inp, direction, program, peer):
        return times.ratio(inp, direction, program, peer)

    rows = []
    c_lz4, c_lzop, c_zstd = (r(MIXED, "compress", "tarvix", p) for p in ("lz4", "lzop", "zstd"))
    rows.append(("mixed input, compress",
                 "at most 0.55 × `lz4 -1`, and faster than `lzop -1` and `zstd -1`",
                 f"{c_lz4:.2f} × `lz4 -1`; {c_lzop:.2f} × `lzop -1`; {c_zstd:.2f} × `zstd -1`",
                 c_lz4 <= 0.55 and c_lzop < 1 and c_zstd < 1))
    r_lz4, r_zstd = (r(MIXED, "restore", "tarvix", p) for p in ("lz4", "zstd"))
    rows.append(("mixed input, restore", "at most 0.60 × `lz4 -d`, and faster than `zstd -d`",
                 f"{r_lz4:.2f} × `lz4 -d`; {r_zstd:.2f} × `zstd -d`",
                 r_lz4 <= 0.60 and r_zstd < 1))
    if (MIXED, "compress", "tarvix-t1") in times:
        t1_c = r(MIXED, "compress", "tarvix-t1", "lz4")
        t1_r = r(MIXED, "restore", "tarvix-t1", "lz4")
        rows.append(("one-thread path (`TARVIX_THREADS=1`), mixed",
                     "compress at most 1.0 × `lz4 -1`, restore at most 0.95 × `lz4 -d`",
                     f"compress {t1_c:.2f} × `lz4 -1`; restore {t1_r:.2f} × `lz4 -d`",
                     t1_c <= 1.0 and t1_r <= 0.95))
    if (MIXED, "compress", "tarvix-cpu0") in times:
        gain = r(MIXED, "compress", "tarvix-cpu0", "tarvix")
        rows.append((f"2 cores against 1 (`taskset -c {first_cpu}`), compress mixed",
                     "at least 1.8 × faster",
                     f"{gain:.2f} × faster (one core's time over all cores')", gain >= 1.8))
    if (RANDOM, "compress", "tarvix") in times and (JPEG, "compress", "tarvix") in times:
        rnd = r(RANDOM, "compress", "tarvix", "lzop")
        jpg = r(JPEG, "compress", "tarvix", "lzop")
        rows.append(("random bytes and JPEG data, compress", "at most 0.8 × `lzop -1`",
                     f"random {rnd:.2f} × `lzop -1`; JPEG {jpg:.2f} × `lzop -1`",
                     rnd <= 0.8 and jpg <= 0.8))

    def peak(program):
        values = [kib for (_, p, _), kib in rss.items() if p == program]
        return max(values) if values else None

    default, one = peak("tarvix"), peak("tarvix-t1")
    if default is not None and one is not None:
        rows.append(("peak resident memory (either direction, mixed and random inputs)",
                     "at most 4 MiB (2 MiB on the one-thread path)",
                     f"{fmt_mib(default)} MiB; one-thread path {fmt_mib(one)} MiB",
                     default <= 4 * 1024 and one <= 2 * 1024))
    enc, lz_c = codec.get("tarvix_encode/all"), codec.get("lz4_compress/all")
    if enc and lz_c:
        rows.append(("in process, `encode_block` on the corpus in 8 KiB blocks (stretch)",
                     "at least 1.0 × `LZ4_compress_default`",
                     f"{enc / 1e6:,.0f} MB/s = {enc / lz_c:.2f} × ({lz_c / 1e6:,.0f} MB/s)",
                     enc >= lz_c))
    w("## Targets\n\n")
    w("Each a ratio to a peer in the same run, on this machine. Ratios of times: below 1 is "
      "faster than the peer. The in-process row is a ratio of speeds, from `codec_bench` "
      "below.\n\n")
    w("| measure | target | measured | met |\n|---|---|---|---|\n")
    for measure, target, figure, met in rows:
        w(f"| {measure} | {target} | {figure} | {'yes' if met else '**no**'} |\n")
    w("\n")


def write_incompressible(w, sizes, times, speed, cpu_ms, first_cpu):
    """The random bytes and the repeated JPEG, beside lzop -1 and lz4 -1."""
    inputs = [(inp, title) for inp, title in (
        (RANDOM, "30 MB of random bytes"),
        (JPEG, "fireworks.jpeg repeated to 30 MB"),
    ) if (inp, "compress", "tarvix") in times]
    if not inputs:
        return
    w("## Data that does not compress\n\n")
    w("Photos, video and archives: every block is stored. The random bytes come from "
      "the test data generator (`tarvix_datagen random 30000000 11`), the same every "
      "run; the JPEG is "
      "`fireworks.jpeg` from the corpus, repeated. Its copies lie 123 KB apart, "
      "inside the window of `zstd -1` but beyond those of the others, so zstd finds them "
      "and the others do not.\n\n")
    for inp, title in inputs:
        programs = [p for p in PROGRAMS if (inp, "compress", p) in times]
        o = sizes[(inp, "tarvix")][0]
        w(f"### {title} ({o:,} bytes)\n\n")
        w("| program | size ratio | compress MB/s | restore MB/s | compress time vs lzop -1 | "
          "compress time vs lz4 -1 | restore time vs lz4 -d | CPU time, compress / restore |\n")
        w("|---|---:|---:|---:|---:|---:|---:|---:|\n")
        for program in programs:
            w(f"| {table_name(program, first_cpu)} | "
              f"{sizes[(inp, program)][1] / o:.3f} | "
              f"{fmt_speed(speed(inp, 'compress', program))} | "
              f"{fmt_speed(speed(inp, 'restore', program))} | "
              f"{fmt_ratio(times.ratio(inp, 'compress', program, 'lzop'))} | "
              f"{fmt_ratio(times.ratio(inp, 'compress', program, 'lz4'))} | "
              f"{fmt_ratio(times.ratio(inp, 'restore', program, 'lz4'))} | "
              f"{cpu_ms(inp, 'compress', program)} / {cpu_ms(inp, 'restore', program)} ms |\n")
        w("\n")


def write_threads(w, times, speed, cpu_ms, model, cores, first_cpu, threads_svg):
    """The thread sweep on the mixed input and its projection to more cores."""
    sweep = {n: p for n, p in SWEEP.items() if (MIXED, "compress", p) in times}
    if not sweep:
        return
    w("## Threads\n\n")
    w(f"The mixed input with `TARVIX_THREADS` from 1 to {max(sweep)}, in the same rounds as "
      f"the rest. This machine has {cores} cores, so more threads than that share them. "
      "\"Speed-up\" is the one-thread path's time over this run's, the median of the "
      "rounds' ratios.\n\n")
    w("| threads | compress MB/s | speed-up | CPU time | restore MB/s | speed-up | "
      "CPU time |\n|---|---:|---:|---:|---:|---:|---:|\n")
    rows = [(str(n), p) for n, p in sweep.items()]
    rows += [("all cores (no variable)", "tarvix")]
    if (MIXED, "compress", "tarvix-cpu0") in times:
        rows += [(f"`taskset -c {first_cpu}`", "tarvix-cpu0")]
    for name, program in rows:
        cells = []
        for direction in ("compress", "restore"):
            cells += [fmt_speed(speed(MIXED, direction, program)),
                      fmt_ratio(times.ratio(MIXED, direction, "tarvix-t1", program)),
                      f"{cpu_ms(MIXED, direction, program)} ms"]
        w(f"| {name} | " + " | ".join(cells) + " |\n")
    w("\n")
    w(f"![Speed against the number of threads on the mixed input]({threads_svg})\n\n")
    if not model:
        return

    w("### Projected to 8 and 16 cores\n\n")
    w("| cores | compress MB/s | at best | restore MB/s | at best |\n"
      "|---|---:|---:|---:|---:|\n")
    for n in (1, 2, 4, 8, 16):
        cells = []
        for direction in ("compress", "restore"):
            p = model.get(direction)
            cells += [fmt_speed(p.speed(n)), fmt_speed(p.ceiling(n))] if p else ["", ""]
        w(f"| {n} | " + " | ".join(cells) + " |\n")
    w("\n")
    w("How: the one-thread path's whole-process time *T₁* on the mixed input holds the "
      "coding of every block, *C*, and a serial part *S = T₁ − C*: process start, reading and "
      "writing, the kernel's page work, the block loop itself. *C* comes from `codec_bench`: "
      "the input's size over the in-process speed of `encode_block` or `decode_block` on the "
      "corpus in 8 KiB blocks (\"all\" below), one block after another on one thread. With "
      "*n* cores the coding spreads and the serial part does not (Amdahl's law): "
      "*T(n) = S + C / n*, and the speed is the input's size over *T(n)*. \"At best\" assumes "
      "instead that the serial part overlaps the coding completely, so that only the longer "
      "of the serial part and the whole work shared by *n* cores counts: "
      "*T(n) = max(S, T₁ / n)*. A real run lies between the two. *T₁* here is less the "
      "exec of `env`.\n\n")
    w("| direction | per 8 KiB block | *C* | *T₁* | *S* | *S* / *T₁* |\n"
      "|---|---:|---:|---:|---:|---:|\n")
    for direction, p in model.items():
        w(f"| {direction} | {p.block_us:.1f} µs | {p.coding * 1000:.1f} ms | "
          f"{p.one_thread * 1000:.1f} ms | {p.serial * 1000:.1f} ms | "
          f"{p.serial / p.one_thread:.0%} |\n")
    w("\n")
    checks = []
    for direction, p in model.items():
        for n, program in sweep.items():
            if 1 < n <= cores:
                checks.append(f"{direction} with {n} threads, {fmt_speed(p.speed(n))} MB/s "
                              f"projected against {fmt_speed(speed(MIXED, direction, program))} "
                              "measured")
    if checks:
        w("Against this machine: " + "; ".join(checks) + ".\n\n")
    w("What the projection ignores: memory bandwidth (at 16 cores the decoders alone write "
      "16 times a core's output, which a memory bus shared by all cores may not carry); "
      "I/O (here tmpfs, whose page work is counted in *S* as if it could not speed up; on a "
      "disk, reading and writing would bound both directions); the cost of handing blocks "
      "to threads and of waiting for them; lower clock speeds with all cores busy; cores "
      "that are SMT siblings; and caches warmer in `codec_bench` than in the process. The "
      "tool uses at most 16 threads.\n\n")


def write_memory(w, rss, first_cpu):
    """Peak resident memory of tarvix's variants against the limits."""
    inputs = [inp for inp in (MIXED, RANDOM) if (inp, "tarvix", "compress") in rss]
    if not inputs:
        return
    w("## Peak resident memory of tarvix\n\n")
    w("The largest of three runs, from `/usr/bin/time` (which runs after `env` and "
      "`taskset`, so that they are not counted). The limits: 4 MiB, 2 MiB on the "
      "one-thread path.\n\n")
    names = {MIXED: "mixed", RANDOM: "random"}
    w("| run | " + " | ".join(f"{names[i]}, {d}" for i in inputs
                              for d in ("compress", "restore")) + " | limit |\n")
    w("|---|" + "---:|" * (2 * len(inputs)) + "---:|\n")
    for program in VARIANTS:
        if (MIXED, program, "compress") not in rss:
            continue
        cells = [f"{fmt_mib(rss[(i, program, d)])} MiB" for i in inputs
                 for d in ("compress", "restore")]
        limit = "2 MiB" if program == "tarvix-t1" else "4 MiB"
        w(f"| {table_name(program, first_cpu)} | " + " | ".join(cells) + f" | {limit} |\n")
    w("\n")


def write_svg(out, sizes, times):
    """Two panels, compress and restore: speed (log scale) against size ratio."""
    tools = [p for p in ("tarvix", "tarvix-t1", *PEERS) if (MIXED, "compress", p) in times]
    panel_w, panel_h, margin_l, margin_b, margin_t, gap = 380, 300, 75, 50, 40, 60
    width = margin_l + 2 * panel_w + gap + 20
    legend_h = 14 * len(tools) + 10
    height = margin_t + panel_h + margin_b + legend_h
    points = {}
    for direction in ("compress", "restore"):
        for tool in tools:
            o, p = sizes[(MIXED, tool)]
            points[(direction, tool)] = (p / o, mbps(o, times.median(MIXED, direction, tool)))
    speeds = [s for _, s in points.values()]
    lo = 10 ** math.floor(math.log10(min(speeds)))
    hi = 10 ** math.ceil(math.log10(max(speeds)))
    ratios = [r for r, _ in points.values()]
    x_lo = max(0.0, math.floor(min(ratios) * 10 - 0.5) / 10)
    x_hi = math.ceil(max(ratios) * 10 + 0.5) / 10

    def x_of(panel, ratio):
        return margin_l + panel * (panel_w + gap) + (ratio - x_lo) / (x_hi - x_lo) * panel_w

    def y_of(speed):
        return margin_t + panel_h - (math.log10(speed) - math.log10(lo)) / (
            math.log10(hi) - math.log10(lo)) * panel_h

    w = out.write
    w(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
      f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">\n')
    w(f'<rect width="{width}" height="{height}" fill="white"/>\n')
    for panel, direction in enumerate(("compress", "restore")):
        left = margin_l + panel * (panel_w + gap)
        w(f'<text x="{left + panel_w / 2}" y="{margin_t - 18}" text-anchor="middle" '
          f'font-size="14" font-weight="bold">{direction.capitalize()}, mixed input</text>\n')
        w(f'<rect x="{left}" y="{margin_t}" width="{panel_w}" height="{panel_h}" '
          'fill="none" stroke="#444"/>\n')
        decade = lo
        while decade <= hi:
            for step in (1, 2, 5):
                value = decade * step
                if lo <= value <= hi:
                    y = y_of(value)
                    w(f'<line x1="{left}" x2="{left + panel_w}" y1="{y:.1f}" y2="{y:.1f}" '
                      'stroke="#ddd"/>\n')
                    w(f'<text x="{left - 5}" y="{y + 4:.1f}" text-anchor="end">'
                      f'{value:,.0f}</text>\n')
            decade *= 10
        tick = x_lo
        while tick <= x_hi + 1e-9:
            x = x_of(panel, tick)
            w(f'<line x1="{x:.1f}" x2="{x:.1f}" y1="{margin_t}" y2="{margin_t + panel_h}" '
              'stroke="#eee"/>\n')
            w(f'<text x="{x:.1f}" y="{margin_t + panel_h + 16}" text-anchor="middle">'
              f'{tick:.1f}</text>\n')
            tick += 0.1
        w(f'<text x="{left + panel_w / 2}" y="{margin_t + panel_h + 36}" text-anchor="middle">'
          'size ratio (compressed / original; left is smaller)</text>\n')
        # Each point is labelled with its program's name, placed right, left,
        # above or below the point, whichever first overlaps no other label
        # and no point.
        marks = {tool: (x_of(panel, points[(direction, tool)][0]),
                        y_of(points[(direction, tool)][1])) for tool in tools}
        taken = [(x - 8, y - 8, x + 8, y + 8) for x, y in marks.values()]
        for tool in tools:
            x, y = marks[tool]
            if tool == "tarvix-t1":  # the one-thread path: a ring
                w(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="5" fill="white" '
                  f'stroke="{COLORS[tool]}" stroke-width="2"/>\n')
            else:
                radius = 7 if tool == "tarvix" else 5
                w(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{radius}" fill="{COLORS[tool]}"/>\n')
        for tool in tools:
            x, y = marks[tool]
            text = LABELS[tool] if direction == "compress" else RESTORE_LABELS[tool]
            text_w = 7.2 * len(text)
            choices = [(x + 11, y + 4, "start", (x + 10, y - 7, x + 12 + text_w, y + 6)),
                       (x - 11, y + 4, "end", (x - 12 - text_w, y - 7, x - 10, y + 6)),
                       (x, y - 11, "middle", (x - text_w / 2, y - 22, x + text_w / 2, y - 9)),
                       (x, y + 21, "middle", (x - text_w / 2, y + 9, x + text_w / 2, y + 23))]

            def clear(box, x=x, y=y, left=left):
                inside = left <= box[0] and box[2] <= left + panel_w
                return inside and all(box[2] < t[0] or t[2] < box[0] or box[3] < t[1]
                                      or t[3] < box[1] for t in taken
                                      if t != (x - 8, y - 8, x + 8, y + 8))
            label_x, label_y, anchor, box = next((c for c in choices if clear(c[3])), choices[0])
            taken.append(box)
            weight = ' font-weight="bold"' if tool == "tarvix" else ""
            w(f'<text x="{label_x:.1f}" y="{label_y:.1f}" text-anchor="{anchor}" '
              f'fill="{COLORS[tool]}"{weight}>{text}</text>\n')
        # The figures themselves, in a legend under the panel.
        for row, tool in enumerate(tools):
            ratio, speed = points[(direction, tool)]
            name = LABELS[tool] if direction == "compress" else RESTORE_LABELS[tool]
            weight = ' font-weight="bold"' if tool == "tarvix" else ""
            w(f'<text x="{left + 10}" y="{margin_t + panel_h + margin_b + 10 + 14 * row}" '
              f'fill="{COLORS[tool]}"{weight}>{name}: {speed:,.0f} MB/s, size ratio '
              f'{ratio:.3f}</text>\n')
    w(f'<text transform="translate(16 {margin_t + panel_h / 2}) rotate(-90)" '
      'text-anchor="middle">speed, MB/s of original data (log scale; up is faster)</text>\n')
    w('</svg>\n')


def write_threads_svg(out, sizes, times, model, cores):
    """Speed against the number of threads on the mixed input: measured, projected, lz4."""
    sweep = {n: p for n, p in SWEEP.items() if (MIXED, "compress", p) in times}
    byte_count = sizes[(MIXED, "tarvix")][0]
    directions = {"compress": "#d62728", "restore": "#ff7f0e"}
    peer = {"compress": "lz4 -1", "restore": "lz4 -d"}
    measured = {d: {n: mbps(byte_count, times.median(MIXED, d, p)) for n, p in sweep.items()}
                for d in directions}
    references = {d: mbps(byte_count, times.median(MIXED, d, "lz4")) for d in directions}
    top_n = 16 if model else max(sweep)
    # The projections as curves: eight points per doubling, and the whole numbers.
    curve = sorted({2 ** (k / 8) for k in range(33)} | set(range(1, 17)))
    projected = {d: {n: p.speed(n) for n in curve} for d, p in model.items()}
    ceilings = {d: {n: p.ceiling(n) for n in curve} for d, p in model.items()}
    values = [v for series in (measured, projected, ceilings) for s in series.values()
              for v in s.values()] + list(references.values())
    step = 10 ** math.floor(math.log10(max(values)))
    if max(values) / step < 2.5:
        step /= 5
    elif max(values) / step < 5:
        step /= 2
    y_hi = step * math.ceil(max(values) * 1.05 / step)

    plot_w, plot_h, margin_l, margin_t, margin_r = 560, 320, 70, 40, 110
    legend = [("measured, TARVIX_THREADS=n", "none", 2.5)]
    if model:
        legend += [("projected, Amdahl: S + C / n", "6 4", 1.5),
                   ("projected, at best: max(S, T₁ / n)", "2 3", 1.5)]
    width = margin_l + plot_w + margin_r
    height = margin_t + plot_h + 50 + 16 * (len(legend) + 3)

    def x_of(n):
        return margin_l + math.log2(n) / math.log2(top_n) * plot_w

    def y_of(speed):
        return margin_t + plot_h - speed / y_hi * plot_h

    w = out.write
    w(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
      f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">\n')
    w(f'<rect width="{width}" height="{height}" fill="white"/>\n')
    w(f'<text x="{margin_l + plot_w / 2}" y="{margin_t - 18}" text-anchor="middle" '
      'font-size="14" font-weight="bold">Speed against threads, mixed input</text>\n')
    if cores < top_n:
        # Past this machine's cores, threads share them; the projection
        # assumes a core for each.
        x = x_of(cores)
        w(f'<rect x="{x:.1f}" y="{margin_t}" width="{margin_l + plot_w - x:.1f}" '
          f'height="{plot_h}" fill="#f4f4f4"/>\n')
        w(f'<text x="{x + 5:.1f}" y="{margin_t + 14}" fill="#666">more threads than '
          f'this machine\'s {cores} cores</text>\n')
    w(f'<rect x="{margin_l}" y="{margin_t}" width="{plot_w}" height="{plot_h}" '
      'fill="none" stroke="#444"/>\n')
    value = 0.0
    while value <= y_hi + 1e-9:
        y = y_of(value)
        w(f'<line x1="{margin_l}" x2="{margin_l + plot_w}" y1="{y:.1f}" y2="{y:.1f}" '
          'stroke="#ddd"/>\n')
        w(f'<text x="{margin_l - 5}" y="{y + 4:.1f}" text-anchor="end">{value:,.0f}</text>\n')
        value += step
    for n in (1, 2, 3, 4, 6, 8, 12, 16):
        if n > top_n:
            continue
        x = x_of(n)
        w(f'<line x1="{x:.1f}" x2="{x:.1f}" y1="{margin_t}" y2="{margin_t + plot_h}" '
          'stroke="#eee"/>\n')
        w(f'<text x="{x:.1f}" y="{margin_t + plot_h + 16}" text-anchor="middle">{n}</text>\n')
    w(f'<text x="{margin_l + plot_w / 2}" y="{margin_t + plot_h + 36}" text-anchor="middle">'
      'threads, or cores for the projection (log scale)</text>\n')
    w(f'<text transform="translate(16 {margin_t + plot_h / 2}) rotate(-90)" '
      'text-anchor="middle">MB/s of original data (up is faster)</text>\n')

    def polyline(series, color, dash, stroke):
        pts = " ".join(f"{x_of(n):.1f},{y_of(v):.1f}" for n, v in sorted(series.items()))
        dashes = "" if dash == "none" else f' stroke-dasharray="{dash}"'
        w(f'<polyline points="{pts}" fill="none" stroke="{color}" stroke-width="{stroke}"'
          f'{dashes}/>\n')

    for d, color in directions.items():
        # lz4 in the same run, for scale.
        y = y_of(references[d])
        w(f'<line x1="{margin_l}" x2="{margin_l + plot_w}" y1="{y:.1f}" y2="{y:.1f}" '
          f'stroke="#1f77b4" stroke-dasharray="8 3 2 3"/>\n')
        w(f'<text x="{margin_l + plot_w + 5}" y="{y + 4:.1f}" fill="#1f77b4">{peer[d]}: '
          f'{references[d]:,.0f}</text>\n')
        if d in projected:
            polyline(projected[d], color, "6 4", 1.5)
            polyline(ceilings[d], color, "2 3", 1.5)
            for n in (8, 16):
                x, y = x_of(n), y_of(projected[d][n])
                w(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="4" fill="white" stroke="{color}" '
                  'stroke-width="2"/>\n')
                w(f'<text x="{x - 6:.1f}" y="{y - 8:.1f}" text-anchor="end" fill="{color}">'
                  f'{projected[d][n]:,.0f}</text>\n')
        polyline(measured[d], color, "none", 2.5)
        for n, v in measured[d].items():
            w(f'<circle cx="{x_of(n):.1f}" cy="{y_of(v):.1f}" r="4" fill="{color}"/>\n')
        # Restore is the faster direction: its name goes above its line.
        last = max(measured[d])
        y = y_of(measured[d][last]) + (-10 if d == "restore" else 18)
        w(f'<text x="{x_of(last) + 8:.1f}" y="{y:.1f}" fill="{color}" '
          f'font-weight="bold">{d}</text>\n')

    # The legend: line styles, then the measured figures.
    top = margin_t + plot_h + 56
    for row, (text, dash, stroke) in enumerate(legend):
        y = top + 16 * row
        dashes = "" if dash == "none" else f' stroke-dasharray="{dash}"'
        w(f'<line x1="{margin_l}" x2="{margin_l + 40}" y1="{y - 4}" y2="{y - 4}" stroke="#444" '
          f'stroke-width="{stroke}"{dashes}/>\n')
        w(f'<text x="{margin_l + 48}" y="{y}">{text}</text>\n')
    for row, (d, color) in enumerate(directions.items()):
        y = top + 16 * (len(legend) + row)
        figures = ", ".join(f"{n}: {v:,.0f}" for n, v in measured[d].items())
        w(f'<text x="{margin_l}" y="{y}" fill="{color}">{d}, MB/s by threads: {figures}'
          '</text>\n')
    w('</svg>\n')


def main():
    results, rounds, machine, versions, md_path, svg_path, threads_svg_path = sys.argv[1:8]
    sizes = read_sizes(results)
    times = Times(results)
    exec_costs = read_exec_costs(results)
    rss = read_rss(results)
    codec = read_codec_bench(results)
    cores, first_cpu = read_cores(results)
    model = projections(sizes, times, codec, exec_costs)
    with open(md_path, "w") as out:
        write_markdown(out, (results, rounds, machine, versions,
                             os.path.relpath(threads_svg_path, os.path.dirname(md_path))),
                       sizes, times, exec_costs, rss, codec, cores, first_cpu, model)
    with open(svg_path, "w") as out:
        write_svg(out, sizes, times)
    with open(threads_svg_path, "w") as out:
        write_threads_svg(out, sizes, times, model, cores)


if __name__ == "__main__":
    main()
