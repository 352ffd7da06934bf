#!/usr/bin/env python3
"""Writes docs/benchmarks.md and its chart from the results of bench/compare.sh.

Usage: report.py RESULTS_DIR ROUNDS MACHINE VERSIONS MARKDOWN_OUT SVG_OUT
Only the standard library: the chart is plain SVG text.
"""
import csv
import glob
import json
import math
import os
import statistics
import sys
import time

TOOLS = ["tarvix", "lz4", "lzop", "zstd", "gzip"]
LABELS = {"tarvix": "tarvix", "lz4": "lz4 -1", "lzop": "lzop -1", "zstd": "zstd -1",
          "gzip": "gzip -1"}
RESTORE_LABELS = {"tarvix": "tarvix", "lz4": "lz4 -d", "lzop": "lzop -d", "zstd": "zstd -d",
                  "gzip": "gzip -d"}
COLORS = {"tarvix": "#d62728", "lz4": "#1f77b4", "lzop": "#2ca02c", "zstd": "#9467bd",
          "gzip": "#7f7f7f"}
MIB = 1024 * 1024


def read_sizes(results):
    sizes = {}
    with open(os.path.join(results, "sizes.tsv")) as f:
        for inp, tool, original, packed in csv.reader(f, delimiter="\t"):
            sizes[(inp, tool)] = (int(original), int(packed))
    return sizes


def read_times(results):
    """Median seconds per (input, direction, tool), over all runs of all rounds."""
    samples = {}
    for path in glob.glob(os.path.join(results, "time.*.json")):
        name = os.path.basename(path)[len("time."):-len(".json")]
        inp, direction, _round = name.rsplit(".", 2)
        with open(path) as f:
            for tool, result in zip(TOOLS, json.load(f)["results"]):
                samples.setdefault((inp, direction, tool), []).extend(result["times"])
    return {key: statistics.median(values) for key, values in samples.items()}, samples


def read_rss(results):
    rss = {}
    with open(os.path.join(results, "rss.tsv")) as f:
        for tool, direction, kib in csv.reader(f, delimiter="\t"):
            key = (tool, direction)
            rss[key] = max(rss.get(key, 0), int(kib))
    return rss


def read_codec_bench(results):
    """Median bytes per second per benchmark name, e.g. 'tarvix_encode/all'."""
    with open(os.path.join(results, "codec_bench.json")) as f:
        data = json.load(f)
    speeds = {}
    for bench in data["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            speeds[bench["run_name"]] = bench["bytes_per_second"]
    return speeds


def mbps(byte_count, seconds):
    return byte_count / seconds / 1e6


def fmt_speed(value):
    return f"{value:,.0f}"


def fmt_ratio(value):
    return f"{value:.2f}×"


def write_markdown(out, args, sizes, times, samples, rss, codec):
    results, rounds, machine, versions = args
    inputs = sorted({inp for inp, _ in sizes if inp != "mixed"})
    original = sizes[("mixed", "tarvix")][0]

    def speed(inp, direction, tool):
        return mbps(sizes[(inp, tool)][0], times[(inp, direction, tool)])

    def vs_lz4(inp, direction, tool):
        return times[(inp, direction, tool)] / times[(inp, direction, "lz4")]

    w = out.write
    w("# Benchmarks\n\n")
    w("How fast tarvix compresses and restores, beside the usual fast compressors, on the "
      "benchmark corpus (`../shared/corpus/`). Written by `bench/compare.sh`, which "
      "rebuilds everything and measures again; run it on a quiet machine.\n\n")
    w(f"- Machine: {machine}.\n")
    measured = time.gmtime(os.path.getmtime(os.path.join(results, "sizes.tsv")))
    w(f"- Measured {time.strftime('%Y-%m-%d %H:%M UTC', measured)}; {versions}.\n")
    w(f"- Whole process: each command timed by hyperfine, {rounds} rounds in which every "
      "program runs in turn (so a change in the machine's load falls on all of them), "
      "medians of all runs; input and output on tmpfs. Speeds are original bytes per "
      "second, in both directions (1 MB = 10^6 bytes). \"Time vs lz4\" is the median time "
      "over lz4's median time in the same run: below 1 is faster than lz4.\n")
    w("- Size ratio: compressed size over original size.\n")
    w("- Peak resident memory: the largest of three runs, from `/usr/bin/time`.\n\n")

    w(f"## The standard mixed input ({original:,} bytes)\n\n")
    w("The eleven corpus files concatenated in name order, ten times over.\n\n")
    w("| program | size ratio | compress MB/s | restore MB/s | compress time vs lz4 | "
      "restore time vs lz4 | peak memory, compress / restore |\n")
    w("|---|---:|---:|---:|---:|---:|---:|\n")
    for tool in TOOLS:
        o, p = sizes[("mixed", tool)]
        w(f"| {'**tarvix**' if tool == 'tarvix' else LABELS[tool]} | {p / o:.3f} | "
          f"{fmt_speed(speed('mixed', 'compress', tool))} | "
          f"{fmt_speed(speed('mixed', 'restore', tool))} | "
          f"{fmt_ratio(vs_lz4('mixed', 'compress', tool))} | "
          f"{fmt_ratio(vs_lz4('mixed', 'restore', tool))} | "
          f"{rss[(tool, 'compress')] / 1024:.1f} / {rss[(tool, 'restore')] / 1024:.1f} MiB |\n")
    w("\n![Speed against size ratio on the mixed input](benchmarks.svg)\n\n")

    # The targets, each a ratio to a peer measured in the same run.
    t_c = times[("mixed", "compress", "tarvix")]
    t_r = times[("mixed", "restore", "tarvix")]
    enc = codec.get("tarvix_encode/all")
    dec = codec.get("tarvix_decode/all")
    lz_c = codec.get("lz4_compress/all")
    lz_d = codec.get("lz4_decompress/all")
    peak = max(rss[("tarvix", "compress")], rss[("tarvix", "restore")])
    rows = [
        ("whole process, compress the mixed input", "at most 0.8 × `lz4 -1`, and faster than "
         "`lzop -1`",
         f"{t_c / times[('mixed', 'compress', 'lz4')]:.2f} × `lz4 -1`; "
         f"{t_c / times[('mixed', 'compress', 'lzop')]:.2f} × `lzop -1`",
         t_c <= 0.8 * times[("mixed", "compress", "lz4")]
         and t_c < times[("mixed", "compress", "lzop")]),
        ("whole process, restore it", "at most 0.65 × `lz4 -d`, and faster than `zstd -d`",
         f"{t_r / times[('mixed', 'restore', 'lz4')]:.2f} × `lz4 -d`; "
         f"{t_r / times[('mixed', 'restore', 'zstd')]:.2f} × `zstd -d`",
         t_r <= 0.65 * times[("mixed", "restore", "lz4")]
         and t_r < times[("mixed", "restore", "zstd")]),
    ]
    if enc and lz_c:
        rows.append(("in process, `encode_block` over the corpus in 8 KiB blocks",
                     "at least 1.0 × `LZ4_compress_default`",
                     f"{enc / 1e6:,.0f} MB/s = {enc / lz_c:.2f} × ({lz_c / 1e6:,.0f} MB/s)",
                     enc >= lz_c))
    if dec and lz_d:
        rows.append(("in process, `decode_block` likewise", "at least 0.5 × `LZ4_decompress_safe`",
                     f"{dec / 1e6:,.0f} MB/s = {dec / lz_d:.2f} × ({lz_d / 1e6:,.0f} MB/s)",
                     dec >= 0.5 * lz_d))
    rows.append(("peak resident memory, either direction", "at most 2 MiB",
                 f"{peak / 1024:.2f} MiB", peak <= 2 * 1024))
    w("## Targets\n\n")
    w("| measure | target | measured | met |\n|---|---|---|---|\n")
    for measure, target, measured, met in rows:
        w(f"| {measure} | {target} | {measured} | {'yes' if met else '**no**'} |\n")
    w("\n")

    if codec:
        w("## In process: the block codec beside liblz4\n\n")
        w("`build/bench/codec_bench` (Google Benchmark, medians of 5 repetitions in random "
          "order): each input cut into 8 KiB blocks, each block coded on its own, by "
          "`encode_block` and `decode_block` and by liblz4's `LZ4_compress_default` and "
          "`LZ4_decompress_safe`. \"all\" is the eleven files once over.\n\n")
        w("| input | encode MB/s | LZ4_compress_default MB/s | ratio | decode MB/s | "
          "LZ4_decompress_safe MB/s | ratio |\n|---|---:|---:|---:|---:|---:|---:|\n")
        for inp in ["all"] + inputs:
            e, c = codec.get(f"tarvix_encode/{inp}"), codec.get(f"lz4_compress/{inp}")
            d, u = codec.get(f"tarvix_decode/{inp}"), codec.get(f"lz4_decompress/{inp}")
            if None in (e, c, d, u):
                continue
            w(f"| {inp} | {fmt_speed(e / 1e6)} | {fmt_speed(c / 1e6)} | {e / c:.2f} | "
              f"{fmt_speed(d / 1e6)} | {fmt_speed(u / 1e6)} | {d / u:.2f} |\n")
        w("\n")

    w("## Each corpus file, whole process\n\n")
    for title, names, cell in [
        ("Size ratio", LABELS,
         lambda inp, tool: f"{sizes[(inp, tool)][1] / sizes[(inp, tool)][0]:.3f}"),
        ("Compress, MB/s", LABELS, lambda inp, tool: fmt_speed(speed(inp, "compress", tool))),
        ("Restore, MB/s", RESTORE_LABELS,
         lambda inp, tool: fmt_speed(speed(inp, "restore", tool))),
    ]:
        w(f"### {title}\n\n| file | " + " | ".join(names[t] for t in TOOLS) + " |\n")
        w("|---|" + "---:|" * len(TOOLS) + "\n")
        for inp in inputs:
            w(f"| {inp} | " + " | ".join(cell(inp, tool) for tool in TOOLS) + " |\n")
        w("\n")
    w("Small files take a few milliseconds, so process start-up weighs on their figures.\n\n")

    w("## Where the time goes\n\n")
    w("From `perf record` of the release tool and of `codec_bench` on this machine:\n\n")
    w("- Compress: about four fifths of the process is `encode_block`; the rest is the "
      "kernel's reading and writing. Inside the "
      "encoder the time goes to the decision at each position, literal or match: it waits on "
      "two dependent loads (the slot, then the table) and a comparison, and its branch is "
      "mispredicted often on text, where matches are frequent and short: in the "
      "mixed input 38% of the searched positions start a match, and half of the matches "
      "are 3 bytes long. The block "
      "format fixes the parse, so every position outside a match or run must be probed: the "
      "encoder cannot skip ahead through data that does not compress, as lz4 does (hence "
      "its speed on fireworks.jpeg and paper-100k.pdf).\n")
    w("- Restore: about two fifths of the process is `decode_block` and most of the rest is "
      "the kernel, which reads 17 MB and allocates and fills 29 MB of tmpfs pages; the block "
      "loops read and write straight from and to their batches, so the program itself "
      "copies nothing but stored blocks. Inside the decoder, items are one bit each in the "
      "control words and literals "
      "one byte each, so a block of text holds about one item per two bytes; the decoder "
      "handles a stretch of literals and the copy item after it in one step, and the "
      "remaining cost is the branch between literal stretch and copy item and the "
      "store-to-load forwarding of short match distances.\n")


def write_svg(out, sizes, times):
    """Two panels, compress and restore: speed (log scale) against size ratio."""
    panel_w, panel_h, margin_l, margin_b, margin_t, gap = 380, 300, 60, 50, 40, 40
    width = margin_l + 2 * panel_w + gap + 20
    legend_h = 14 * len(TOOLS) + 10
    height = margin_t + panel_h + margin_b + legend_h
    points = {}
    for direction in ("compress", "restore"):
        for tool in TOOLS:
            o, p = sizes[("mixed", tool)]
            points[(direction, tool)] = (p / o, mbps(o, times[("mixed", direction, tool)]))
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
                        y_of(points[(direction, tool)][1])) for tool in TOOLS}
        taken = [(x - 8, y - 8, x + 8, y + 8) for x, y in marks.values()]
        for tool in TOOLS:
            x, y = marks[tool]
            radius = 7 if tool == "tarvix" else 5
            w(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{radius}" fill="{COLORS[tool]}"/>\n')
        for tool in TOOLS:
            x, y = marks[tool]
            text = LABELS[tool] if direction == "compress" else RESTORE_LABELS[tool]
            width = 7.2 * len(text)
            choices = [(x + 11, y + 4, "start", (x + 10, y - 7, x + 12 + width, y + 6)),
                       (x - 11, y + 4, "end", (x - 12 - width, y - 7, x - 10, y + 6)),
                       (x, y - 11, "middle", (x - width / 2, y - 22, x + width / 2, y - 9)),
                       (x, y + 21, "middle", (x - width / 2, y + 9, x + width / 2, y + 23))]

            def clear(box):
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
        for row, tool in enumerate(TOOLS):
            ratio, speed = points[(direction, tool)]
            name = LABELS[tool] if direction == "compress" else RESTORE_LABELS[tool]
            weight = ' font-weight="bold"' if tool == "tarvix" else ""
            w(f'<text x="{left + 10}" y="{margin_t + panel_h + margin_b + 10 + 14 * row}" '
              f'fill="{COLORS[tool]}"{weight}>{name}: {speed:,.0f} MB/s, size ratio '
              f'{ratio:.3f}</text>\n')
    w(f'<text transform="translate(16 {margin_t + panel_h / 2}) rotate(-90)" '
      'text-anchor="middle">speed, MB/s of original data (log scale; up is faster)</text>\n')
    w('</svg>\n')


def main():
    results, rounds, machine, versions, md_path, svg_path = sys.argv[1:7]
    sizes = read_sizes(results)
    times, samples = read_times(results)
    rss = read_rss(results)
    codec_path = os.path.join(results, "codec_bench.json")
    codec = read_codec_bench(results) if os.path.exists(codec_path) else {}
    with open(md_path, "w") as out:
        write_markdown(out, (results, rounds, machine, versions), sizes, times, samples, rss,
                       codec)
    with open(svg_path, "w") as out:
        write_svg(out, sizes, times)


if __name__ == "__main__":
    main()
