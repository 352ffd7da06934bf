#!/usr/bin/env bash
# Times tarvix beside lz4 -1, lzop -1, zstd -1 and gzip -1, whole process,
# compress and restore, on the standard mixed input, on 30 MB of random bytes,
# on fireworks.jpeg repeated to 30 MB and on each corpus file; tarvix runs on
# all cores, on its one-thread path and on one core, and on the mixed input
# with 1 to 4 threads. Measures peak resident memory and runs the in-process
# codec benchmark; then writes docs/benchmarks.md, docs/benchmarks.svg and
# docs/benchmarks-threads.svg.
#
# Usage: bench/compare.sh   (ROUNDS=n for more or fewer interleaved rounds;
#        TARVIX_CORPUS_DIR=DIR for a corpus other than ../shared/corpus)
# Takes about four minutes with the default 5 rounds on 2 cores; run it on a
# machine that is otherwise quiet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus=${TARVIX_CORPUS_DIR:-$root/../shared/corpus}
rounds=${ROUNDS:-5}
# The default run is the one a user gets: no thread count from the caller.
unset TARVIX_THREADS

scripts/ensure-packages.sh cmake ninja-build g++ hyperfine lz4 lzop zstd gzip time \
  util-linux libbenchmark-dev liblz4-dev pkg-config
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

# The inputs: each corpus file; the standard mixed input, the files
# concatenated in name order ten times over; 30 MB of random bytes, the same
# every run; and fireworks.jpeg repeated to about 30 MB, photo data that does
# not compress.
mapfile -t files < <(find "$corpus" -maxdepth 1 -type f ! -name README.md | LC_ALL=C sort)
for file in "${files[@]}"; do
  cp "$file" "$work/in/"
done
for _ in 1 2 3 4 5 6 7 8 9 10; do
  cat "${files[@]}"
done >"$work/in/mixed"
echo "mixed input: $(stat -c %s "$work/in/mixed") bytes (29283710 expected)"
"$root/build/bench/tarvix_datagen" random 30000000 11 >"$work/in/random"
jpeg=$corpus/fireworks.jpeg
repeats=$(((30000000 + $(stat -c %s "$jpeg") - 1) / $(stat -c %s "$jpeg")))
for _ in $(seq "$repeats"); do
  cat "$jpeg"
done >"$work/in/fireworks-repeated"
echo "fireworks.jpeg repeated $repeats times: $(stat -c %s "$work/in/fireworks-repeated") bytes"

# The one-core run uses the first CPU the process may use (CPU 0 unless
# taskset or a container says otherwise).
first_cpu=$(python3 -c 'import os; print(min(os.sched_getaffinity(0)))')
cores=$(nproc)
printf '%s\t%s\n' "$cores" "$first_cpu" >"$results/cores.tsv"

# The programs. tarvix runs as the user gets it (threads for every core the
# process may use), on its one-thread path (TARVIX_THREADS=1), on one core
# (taskset), and on the mixed input with 2, 3 and 4 threads as well. hyperfine
# runs commands without a shell, so the variable is set by env, whose exec
# costs a little; the run measures that cost (exec.ROUND.json) and the report
# states it.
peers=(lz4 lzop zstd gzip)
variants=(tarvix tarvix-t1 tarvix-cpu0)
sweep=(tarvix-t2 tarvix-t3 tarvix-t4)
declare -A launcher=([tarvix]="" [tarvix-t1]="env TARVIX_THREADS=1"
  [tarvix-cpu0]="taskset -c $first_cpu" [tarvix-t2]="env TARVIX_THREADS=2"
  [tarvix-t3]="env TARVIX_THREADS=3" [tarvix-t4]="env TARVIX_THREADS=4")
declare -A extension=([tarvix]=tvx [tarvix-t1]=t1.tvx [tarvix-cpu0]=cpu0.tvx
  [tarvix-t2]=t2.tvx [tarvix-t3]=t3.tvx [tarvix-t4]=t4.tvx [lz4]=lz4 [lzop]=lzo [zstd]=zst
  [gzip]=gz)
programs_for() {
  if [ "$1" = mixed ]; then
    echo "${variants[*]} ${sweep[*]} ${peers[*]}"
  else
    echo "${variants[*]} ${peers[*]}"
  fi
}

# compress_command PROGRAM INPUT and restore_command PROGRAM PACKED print a
# command line for hyperfine, which runs it without a shell (a shell's
# start-up would weigh on the small files). Compressed files go to
# $work/packed/INPUT.EXT, except gzip's, which land next to their input;
# restored files go to $work/restored, except gzip's, which land next to the
# compressed file.
compress_command() {
  local out
  out=$work/packed/$(basename "$2").${extension[$1]}
  case $1 in
    tarvix*) echo "${launcher[$1]:+${launcher[$1]} }$tarvix $2 $out" ;;
    lz4) echo "lz4 -1 -q -f $2 $out" ;;
    lzop) echo "lzop -1 -q -f -o $out $2" ;;
    zstd) echo "zstd -1 -q -f $2 -o $out" ;;
    gzip) echo "gzip -1 -q -k -f $2" ;;
  esac
}
restore_command() {
  case $1 in
    tarvix*) echo "${launcher[$1]:+${launcher[$1]} }$tarvix $2 $work/restored" ;;
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
# each restores its input, and that tarvix writes the same bytes whatever
# the number of threads.
mkdir -p "$work/packed"
inputs=(mixed random fireworks-repeated)
for file in "${files[@]}"; do
  inputs+=("$(basename "$file")")
done
for input in "${inputs[@]}"; do
  for program in $(programs_for "$input"); do
    packed=$work/packed/$input.${extension[$program]}
    # The command lines hold no quoting: splitting them into words is enough.
    read -ra command <<<"$(compress_command "$program" "$work/in/$input")"
    "${command[@]}" >/dev/null
    [ "$program" != gzip ] || mv "$work/in/$input.gz" "$packed"
    if [[ $program == tarvix-* ]] && ! cmp -s "$packed" "$work/packed/$input.tvx"; then
      echo "compare.sh: $program wrote other bytes than tarvix for $input" >&2
      exit 1
    fi
    read -ra command <<<"$(restore_command "$program" "$packed")"
    "${command[@]}" >/dev/null
    cmp -s "$work/in/$input" "$(restored_name "$program" "$packed")" || {
      echo "compare.sh: $program did not restore $input" >&2
      exit 1
    }
    printf '%s\t%s\t%s\t%s\n' "$input" "$program" "$(stat -c %s "$work/in/$input")" \
      "$(stat -c %s "$packed")" >>"$results/sizes.tsv"
  done
done

# Whole-process times. Each round runs every program once after another, so
# a change in the machine's load falls on all of them alike; the report takes
# the median of all runs of all rounds for speeds, and the median over the
# rounds of each round's ratio for comparisons. Each round also times the
# launchers on their own (env and taskset starting /bin/true).
for round in $(seq "$rounds"); do
  echo "round $round of $rounds"
  for input in "${inputs[@]}"; do
    runs=8
    case $input in mixed | random | fireworks-repeated) runs=3 ;; esac
    for direction in compress restore; do
      commands=()
      for program in $(programs_for "$input"); do
        commands+=(--command-name "$program")
        if [ "$direction" = compress ]; then
          commands+=("$(compress_command "$program" "$work/in/$input")")
        else
          commands+=("$(restore_command "$program" "$work/packed/$input.${extension[$program]}")")
        fi
      done
      hyperfine --shell=none --style none --warmup 1 --runs "$runs" \
        --export-json "$results/time.$input.$direction.$round.json" "${commands[@]}" >/dev/null
    done
  done
  hyperfine --shell=none --style none --warmup 10 --runs 100 \
    --export-json "$results/exec.$round.json" \
    --command-name none /bin/true \
    --command-name env "env TARVIX_THREADS=1 /bin/true" \
    --command-name taskset "taskset -c $first_cpu /bin/true" >/dev/null
done

# Peak resident memory, the largest of three runs: every program on the
# mixed input, and tarvix's variants on the random bytes too. The programs
# run straight under time, with no shell in between whose memory would be
# counted too; env and taskset run before time, so that they are not counted.
measure_rss() {
  local input=$1 program=$2 direction=$3 launch
  read -ra launch <<<"${launcher[$program]:-}"
  local packed=$work/packed/$input.${extension[$program]} in=$work/in/$input
  for _ in 1 2 3; do
    case $program/$direction in
      tarvix*/compress) "${launch[@]}" /usr/bin/time -f %M -o "$work/rss" "$tarvix" "$in" \
        "$work/out" >/dev/null ;;
      tarvix*/restore) "${launch[@]}" /usr/bin/time -f %M -o "$work/rss" "$tarvix" "$packed" \
        "$work/out" >/dev/null ;;
      lz4/compress) /usr/bin/time -f %M -o "$work/rss" lz4 -1 -q -f "$in" "$work/out" ;;
      lz4/restore) /usr/bin/time -f %M -o "$work/rss" lz4 -d -q -f "$packed" "$work/out" ;;
      lzop/compress) /usr/bin/time -f %M -o "$work/rss" lzop -1 -q -f -o "$work/out" "$in" ;;
      lzop/restore) /usr/bin/time -f %M -o "$work/rss" lzop -d -q -f -o "$work/out" "$packed" ;;
      zstd/compress) /usr/bin/time -f %M -o "$work/rss" zstd -1 -q -f "$in" -o "$work/out" ;;
      zstd/restore) /usr/bin/time -f %M -o "$work/rss" zstd -d -q -f "$packed" -o "$work/out" ;;
      gzip/compress) /usr/bin/time -f %M -o "$work/rss" gzip -1 -c "$in" >"$work/out" ;;
      gzip/restore) /usr/bin/time -f %M -o "$work/rss" gzip -d -c "$packed" >"$work/out" ;;
    esac
    printf '%s\t%s\t%s\t%s\n' "$input" "$program" "$direction" "$(cat "$work/rss")" \
      >>"$results/rss.tsv"
  done
}
for direction in compress restore; do
  for program in "${variants[@]}" "${peers[@]}"; do
    measure_rss mixed "$program" "$direction"
  done
  for program in "${variants[@]}"; do
    measure_rss random "$program" "$direction"
  done
done

# The codec in process, beside liblz4's block functions; its per-block costs
# feed the projection of the thread scaling.
"$root/build/bench/codec_bench" --corpus="$corpus" --benchmark_min_time=0.2 \
  --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_format=json --benchmark_out="$results/codec_bench.json" >/dev/null

machine="$cores cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), \
load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
versions="lz4 $(lz4 --version | grep -o 'v[0-9.]*' | head -n1), $(lzop --version | head -n1), \
zstd $(zstd --version | grep -o 'v[0-9.]*' | head -n1), $(gzip --version | head -n1), \
$(hyperfine --version)"
# The raw results stay in build/bench-results for a second look.
rm -rf build/bench-results
cp -rp "$results" build/bench-results
mkdir -p docs
python3 bench/report.py "$results" "$rounds" "$machine" "$versions" docs/benchmarks.md \
  docs/benchmarks.svg docs/benchmarks-threads.svg
echo "wrote docs/benchmarks.md, docs/benchmarks.svg and docs/benchmarks-threads.svg"
