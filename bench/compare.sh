#!/usr/bin/env bash
# Times tarvix beside lz4 -1, lzop -1, zstd -1 and gzip -1, whole process,
# compress and restore, on generated data (text, mixed, random bytes, runs)
# and, when there is a corpus, on the corpus and each of its files; tarvix
# also runs on its one-thread path and, on the mixed data, with 2 to 4 threads
# and on one core. Measures peak resident memory and runs the in-process
# benchmarks of the codec and of the Python module (bench/python_bench.py);
# then writes benchmarks.md, benchmarks.svg and benchmarks-threads.svg.
#
# Usage: bench/compare.sh
#   ROUNDS=n   interleaved rounds (default 5)
#   OUT=DIR    where the page goes (default docs/)
#   QUICK=1    small inputs, one round, a few runs each: about a minute, to
#              check this script and the report; its figures mean little, so
#              it writes to OUT (default build/bench-quick), never to docs/
#   TARVIX_CORPUS_DIR=DIR  the corpus (default ../shared/corpus); without
#              one, generated data only
# The full run takes about eight minutes on 2 cores; run it on a machine that
# is otherwise quiet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus=${TARVIX_CORPUS_DIR:-$root/../shared/corpus}
if [ "${QUICK:-0}" = 1 ]; then
  rounds=${ROUNDS:-1} size=3000000 copies=1 warmup=0 big_runs=2 small_runs=2 rss_runs=1
  bench_time=0.01 out=${OUT:-build/bench-quick} kept=build/bench-quick-results
  if [ "$(realpath -m "$out")" = "$(realpath docs)" ]; then
    echo "compare.sh: QUICK=1 figures do not go to docs/; set OUT to another folder" >&2
    exit 2
  fi
else
  rounds=${ROUNDS:-5} size=30000000 copies=10 warmup=1 big_runs=3 small_runs=8 rss_runs=3
  bench_time=0.2 out=${OUT:-docs} kept=build/bench-results
fi
# The default run is the one a user gets: no thread count from the caller.
unset TARVIX_THREADS

scripts/ensure-packages.sh cmake ninja-build g++ hyperfine lz4 lzop zstd gzip time \
  util-linux libbenchmark-dev liblz4-dev pkg-config python3 python3-matplotlib

# Debian's Python, which has matplotlib (another python3 may come first in PATH).
python=/usr/bin/python3
cmake --workflow --preset release >/dev/null
cmake --workflow --preset bench >/dev/null
tarvix=$root/build/release/tarvix

# Everything runs on tmpfs, so that the disk is not measured.
work=$(mktemp -d /dev/shm/tarvix-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
results=$work/results
mkdir -p "$results" "$work/in" "$work/packed"

# The inputs: the generator's shapes, the same bytes every run; with a
# corpus, the files concatenated in name order ten times over (once with
# QUICK=1), and each file.
inputs=(mixed text random runs)
for shape in "${inputs[@]}"; do
  build/bench/tarvix_datagen "$shape" "$size" 11 >"$work/in/$shape"
done
if [ -d "$corpus" ]; then
  mapfile -t files < <(find "$corpus" -maxdepth 1 -type f ! -name README.md | LC_ALL=C sort)
  for _ in $(seq "$copies"); do
    cat "${files[@]}"
  done >"$work/in/corpus"
  inputs+=(corpus)
  for file in "${files[@]}"; do
    cp "$file" "$work/in/"
    inputs+=("$(basename "$file")")
  done
else
  echo "compare.sh: no corpus at $corpus; generated data only" >&2
fi
printf '%s\n' "${inputs[@]}" >"$results/inputs.txt"

# Python's tarvix.open, as a program: compress or restore SOURCE TARGET, on
# as many threads as tvx and tarvix take (the default of all three).
cat >"$work/open.py" <<EOF
import shutil, sys
sys.path.insert(0, "$root/build/release/python")
import tarvix
mode, source, target = sys.argv[1:]
if mode == "compress":
    files = open(source, "rb"), tarvix.open(target, "wb")
else:
    files = tarvix.open(source, "rb"), open(target, "wb")
with files[0] as f, files[1] as out:
    shutil.copyfileobj(f, out, 1 << 20)
EOF

# The one-core run uses the first CPU the process may use (CPU 0 unless
# taskset or a container says otherwise).
first_cpu=$("$python" -c 'import os; print(min(os.sched_getaffinity(0)))')

# The programs, one a line: label | launcher | compress command | restore
# command. {in} is the input and {out} the output file; a command without
# {out} writes to standard output, which goes to the output file. The
# launcher (env, taskset) starts hyperfine or /usr/bin/time, so that it is
# not measured itself. Commands are split into words, with no quoting.
programs=(
  "tarvix | | $tarvix {in} {out} | $tarvix {in} {out}"
  "tarvix, 1 thread | env TARVIX_THREADS=1 | $tarvix {in} {out} | $tarvix {in} {out}"
  "lz4 -1 | | lz4 -1 -q -f {in} {out} | lz4 -d -q -f {in} {out}"
  "lzop -1 | | lzop -1 -q -f -o {out} {in} | lzop -d -q -f -o {out} {in}"
  "zstd -1 | | zstd -1 -q -f {in} -o {out} | zstd -d -q -f {in} -o {out}"
  "gzip -1 | | gzip -1 -c {in} | gzip -d -c {in}"
)
tvx=$root/build/release/tvx
[ ! -x "$tvx" ] || programs+=("tvx | | $tvx -c {in} | $tvx -dc {in}")
open_py="$python $work/open.py"
python_module=0
[ ! -f build/release/python/tarvix/__init__.py ] || python_module=1
[ "$python_module" = 0 ] ||
  programs+=("Python tarvix.open | | $open_py compress {in} {out} | $open_py restore {in} {out}")
# On the mixed data only: more threads, and the default confined to one core.
sweep=(
  "tarvix, 2 threads | env TARVIX_THREADS=2 | $tarvix {in} {out} | $tarvix {in} {out}"
  "tarvix, 3 threads | env TARVIX_THREADS=3 | $tarvix {in} {out} | $tarvix {in} {out}"
  "tarvix, 4 threads | env TARVIX_THREADS=4 | $tarvix {in} {out} | $tarvix {in} {out}"
  "tarvix, 1 core | taskset -c $first_cpu | $tarvix {in} {out} | $tarvix {in} {out}"
)
rows=("${programs[@]}" "${sweep[@]}")
for row in "${rows[@]}"; do
  echo "${row%% |*}"
done >"$results/programs.txt"

# rows_for INPUT prints the indexes in rows of the programs run on INPUT.
rows_for() {
  local count=${#programs[@]}
  [ "$1" != mixed ] || count=${#rows[@]}
  seq 0 $((count - 1))
}
# parse INDEX DIRECTION IN OUT sets label, launch (words), command (words)
# and to_stdout (1 when the command writes to standard output).
parse() {
  local launcher compress restore chosen
  IFS='|' read -r label launcher compress restore <<<"${rows[$1]}"
  label=${label% }
  read -ra launch <<<"$launcher"
  chosen=$compress
  [ "$2" = compress ] || chosen=$restore
  to_stdout=1
  [[ $chosen != *"{out}"* ]] || to_stdout=0
  chosen=${chosen//\{in\}/$3}
  read -ra command <<<"${chosen//\{out\}/$4}"
}

# The compressed files for the restore runs, their sizes, and a check that
# each restores its input, and that tarvix writes the same bytes whatever
# the number of threads, and from Python.
for input in "${inputs[@]}"; do
  for index in $(rows_for "$input"); do
    packed=$work/packed/$input.$index
    parse "$index" compress "$work/in/$input" "$packed"
    if [ "$to_stdout" = 1 ]; then
      "${launch[@]}" "${command[@]}" >"$packed"
    else
      "${launch[@]}" "${command[@]}" >/dev/null
    fi
    if [[ $label == *tarvix* ]] && ! cmp -s "$packed" "$work/packed/$input.0"; then
      echo "compare.sh: $label wrote other bytes than tarvix for $input" >&2
      exit 1
    fi
    parse "$index" restore "$packed" "$work/restored"
    if [ "$to_stdout" = 1 ]; then
      "${launch[@]}" "${command[@]}" >"$work/restored"
    else
      "${launch[@]}" "${command[@]}" >/dev/null
    fi
    cmp -s "$work/in/$input" "$work/restored" || {
      echo "compare.sh: $label did not restore $input" >&2
      exit 1
    }
    printf '%s\t%s\t%s\t%s\n' "$input" "$label" "$(stat -c %s "$work/in/$input")" \
      "$(stat -c %s "$packed")" >>"$results/sizes.tsv"
  done
done

# Whole-process times, by hyperfine without a shell (whose start-up would
# weigh on the small files). Each round runs every program once after
# another, so that a change in the machine's load falls on all of them
# alike; the report takes the median of all runs of all rounds for speeds,
# and the median over the rounds of each round's ratio for comparisons.
for round in $(seq "$rounds"); do
  echo "round $round of $rounds"
  for input in "${inputs[@]}"; do
    runs=$small_runs
    [ "$(stat -c %s "$work/in/$input")" -lt 1000000 ] || runs=$big_runs
    for direction in compress restore; do
      source=$work/in/$input
      for index in $(rows_for "$input"); do
        [ "$direction" = compress ] || source=$work/packed/$input.$index
        parse "$index" "$direction" "$source" "$work/out"
        "${launch[@]}" hyperfine --shell=none --style none --warmup "$warmup" --runs "$runs" \
          --output "$work/stdout" --command-name "$label" \
          --export-json "$results/time.$round.$index.$direction.$input.json" \
          "${command[*]}" >/dev/null
      done
    done
  done
done

# Peak resident memory on the mixed data and the random bytes, the largest
# of a few runs; the programs run straight under time, with no shell in
# between whose memory would be counted too.
for input in mixed random; do
  for direction in compress restore; do
    source=$work/in/$input
    for index in $(rows_for "$input"); do
      [ "$direction" = compress ] || source=$work/packed/$input.$index
      parse "$index" "$direction" "$source" "$work/out"
      for _ in $(seq "$rss_runs"); do
        "${launch[@]}" /usr/bin/time -f %M -o "$work/rss" "${command[@]}" >"$work/stdout"
        printf '%s\t%s\t%s\t%s\n' "$input" "$label" "$direction" "$(cat "$work/rss")" \
          >>"$results/rss.tsv"
      done
    done
  done
done

# The Python module in process, beside the C library, tvx and lzma.
if [ "$python_module" = 1 ]; then
  "$python" bench/python_bench.py ${QUICK:+--quick} --out "$results/python.tsv" build/release
fi

# The codec in process, beside liblz4's block functions (on generated text
# when there is no corpus).
build/bench/codec_bench --corpus="$corpus" --benchmark_min_time="$bench_time" \
  --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
  --benchmark_format=json --benchmark_out="$results/codec_bench.json" >/dev/null

{
  printf 'command\t%sROUNDS=%s bench/compare.sh\n' "${QUICK:+QUICK=$QUICK }" "$rounds"
  printf 'rounds\t%s\n' "$rounds"
  printf 'cores\t%s\n' "$(nproc)"
  printf 'first cpu\t%s\n' "$first_cpu"
  printf 'machine\t%s cores, %s, load average %s at the end\n' "$(nproc)" \
    "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf 'versions\tlz4 %s, %s, zstd %s, %s, %s\n' \
    "$(lz4 --version | grep -o 'v[0-9.]*' | head -n1)" "$(lzop --version | head -n1)" \
    "$(zstd --version | grep -o 'v[0-9.]*' | head -n1)" "$(gzip --version | head -n1)" \
    "$(hyperfine --version)"
} >"$results/about.tsv"
# The raw results stay in build/bench-results (build/bench-quick-results with
# QUICK=1) for a second look.
rm -rf "$kept"
cp -rp "$results" "$kept"
mkdir -p "$out"
"$python" bench/report.py "$results" "$out"
echo "wrote $out/benchmarks.md, $out/benchmarks.svg and $out/benchmarks-threads.svg"
