#!/usr/bin/env bash
# Times tarvix beside lz4 -1, lzop -1, zstd -1 and gzip -1, whole process,
# compress and restore, on the standard mixed input and on each corpus file;
# measures peak resident memory and runs the in-process codec benchmark; then
# writes docs/benchmarks.md and docs/benchmarks.svg.
#
# Usage: bench/compare.sh   (ROUNDS=n for more or fewer interleaved rounds)
# Takes a few minutes; run it on a machine that is otherwise quiet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus=${TARVIX_CORPUS:-$root/../shared/corpus}
rounds=${ROUNDS:-5}

scripts/ensure-packages.sh cmake ninja-build g++ hyperfine lz4 lzop zstd gzip time \
  libbenchmark-dev liblz4-dev pkg-config
command -v python3 >/dev/null || scripts/ensure-packages.sh python3

if [ ! -d "$corpus" ]; then
  echo "compare.sh: no corpus at $corpus" >&2
  exit 1
fi

cmake --workflow --preset release >/dev/null
cmake --workflow --preset bench >/dev/null
tarvix=$root/build/release/tarvix

# Everything runs on tmpfs, so that the disk is not measured.
work=$(mktemp -d /dev/shm/tarvix-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
results=$work/results
mkdir -p "$results" "$work/in"

# The inputs: each corpus file, and the standard mixed input, the files
# concatenated in name order ten times over.
mapfile -t files < <(find "$corpus" -maxdepth 1 -type f ! -name README.md | LC_ALL=C sort)
for file in "${files[@]}"; do
  cp "$file" "$work/in/"
done
for _ in 1 2 3 4 5 6 7 8 9 10; do
  cat "${files[@]}"
done >"$work/in/mixed"
echo "mixed input: $(stat -c %s "$work/in/mixed") bytes (29283710 expected)"

tools=(tarvix lz4 lzop zstd gzip)

# compress_command TOOL INPUT and restore_command TOOL PACKED print a command
# line for hyperfine, which runs it without a shell (a shell's start-up would
# weigh on the small files). Compressed files go to $work/packed/INPUT.EXT,
# except gzip's, which land next to their input; restored files go to
# $work/restored, except gzip's, which land next to the compressed file.
declare -A extension=([tarvix]=tvx [lz4]=lz4 [lzop]=lzo [zstd]=zst [gzip]=gz)
compress_command() {
  local out
  out=$work/packed/$(basename "$2").${extension[$1]}
  case $1 in
    tarvix) echo "$tarvix $2 $out" ;;
    lz4) echo "lz4 -1 -q -f $2 $out" ;;
    lzop) echo "lzop -1 -q -f -o $out $2" ;;
    zstd) echo "zstd -1 -q -f $2 -o $out" ;;
    gzip) echo "gzip -1 -q -k -f $2" ;;
  esac
}
restore_command() {
  case $1 in
    tarvix) echo "$tarvix $2 $work/restored" ;;
    lz4) echo "lz4 -d -q -f $2 $work/restored" ;;
    lzop) echo "lzop -d -q -f -o $work/restored $2" ;;
    zstd) echo "zstd -d -q -f $2 -o $work/restored" ;;
    gzip) echo "gzip -d -q -k -f $2" ;;
  esac
}
restored_name() {
  if [ "$1" = gzip ]; then echo "${2%.gz}"; else echo "$work/restored"; fi
}

# The compressed files for the restore runs, their sizes, and a check that
# each restores its input.
mkdir -p "$work/packed"
inputs=(mixed)
for file in "${files[@]}"; do
  inputs+=("$(basename "$file")")
done
for input in "${inputs[@]}"; do
  for tool in "${tools[@]}"; do
    packed=$work/packed/$input.${extension[$tool]}
    # The command lines hold no quoting: splitting them into words is enough.
    read -ra command <<<"$(compress_command "$tool" "$work/in/$input")"
    "${command[@]}" >/dev/null
    [ "$tool" != gzip ] || mv "$work/in/$input.gz" "$packed"
    read -ra command <<<"$(restore_command "$tool" "$packed")"
    "${command[@]}" >/dev/null
    cmp -s "$work/in/$input" "$(restored_name "$tool" "$packed")" || {
      echo "compare.sh: $tool did not restore $input" >&2
      exit 1
    }
    printf '%s\t%s\t%s\t%s\n' "$input" "$tool" "$(stat -c %s "$work/in/$input")" \
      "$(stat -c %s "$packed")" >>"$results/sizes.tsv"
  done
done

# Whole-process times. Each round runs every tool once after another, so a
# change in the machine's load falls on all of them alike; the report takes
# the median of all runs of all rounds.
for round in $(seq "$rounds"); do
  echo "round $round of $rounds"
  for input in "${inputs[@]}"; do
    runs=3
    [ "$input" = mixed ] || runs=8
    for direction in compress restore; do
      commands=()
      for tool in "${tools[@]}"; do
        if [ "$direction" = compress ]; then
          commands+=("$(compress_command "$tool" "$work/in/$input")")
        else
          commands+=("$(restore_command "$tool" "$work/packed/$input.${extension[$tool]}")")
        fi
      done
      hyperfine --shell=none --style none --warmup 1 --runs "$runs" \
        --export-json "$results/time.$input.$direction.$round.json" "${commands[@]}" >/dev/null
    done
  done
done

# Peak resident memory, the largest of three runs, on the mixed input. The
# tools run straight under time, with no shell in between whose memory would
# be counted too.
measure_rss() {
  /usr/bin/time -f "%M" -o "$work/rss" "$@"
}
for tool in "${tools[@]}"; do
  for direction in compress restore; do
    packed=$work/packed/mixed.${extension[$tool]}
    for _ in 1 2 3; do
      case $tool/$direction in
        tarvix/compress) measure_rss "$tarvix" "$work/in/mixed" "$work/out" >/dev/null ;;
        tarvix/restore) measure_rss "$tarvix" "$packed" "$work/out" >/dev/null ;;
        lz4/compress) measure_rss lz4 -1 -q -f "$work/in/mixed" "$work/out" ;;
        lz4/restore) measure_rss lz4 -d -q -f "$packed" "$work/out" ;;
        lzop/compress) measure_rss lzop -1 -q -f -o "$work/out" "$work/in/mixed" ;;
        lzop/restore) measure_rss lzop -d -q -f -o "$work/out" "$packed" ;;
        zstd/compress) measure_rss zstd -1 -q -f "$work/in/mixed" -o "$work/out" ;;
        zstd/restore) measure_rss zstd -d -q -f "$packed" -o "$work/out" ;;
        gzip/compress) measure_rss gzip -1 -c "$work/in/mixed" >"$work/out" ;;
        gzip/restore) measure_rss gzip -d -c "$packed" >"$work/out" ;;
      esac
      printf '%s\t%s\t%s\n' "$tool" "$direction" "$(cat "$work/rss")" >>"$results/rss.tsv"
    done
  done
done

# The codec in process, beside liblz4's block functions.
"$root/build/bench/codec_bench" --corpus="$corpus" --benchmark_min_time=0.2 \
  --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_format=json --benchmark_out="$results/codec_bench.json" >/dev/null

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), \
load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
versions="lz4 $(lz4 --version | grep -o 'v[0-9.]*' | head -n1), $(lzop --version | head -n1), \
zstd $(zstd --version | grep -o 'v[0-9.]*' | head -n1), $(gzip --version | head -n1), \
$(hyperfine --version)"
# The raw results stay in build/bench-results for a second look.
rm -rf build/bench-results
cp -rp "$results" build/bench-results
mkdir -p docs
python3 bench/report.py "$results" "$rounds" "$machine" "$versions" docs/benchmarks.md \
  docs/benchmarks.svg
echo "wrote docs/benchmarks.md and docs/benchmarks.svg"
