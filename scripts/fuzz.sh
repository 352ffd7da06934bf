#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) and runs
# each for a bounded time from seeds made from the benchmark corpus. Any crash,
# sanitizer report, failed check, leak or hang fails the script; the input
# that caused it is kept in build/fuzz-artifacts/.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 45)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-45}
scripts/ensure-packages.sh cmake ninja-build clang libclang-rt-14-dev

cmake --workflow --preset fuzz >/dev/null
cmake --workflow --preset release >/dev/null
rm -rf build/fuzz-seeds build/fuzz-corpus build/fuzz-artifacts
scripts/make-fuzz-seeds.sh build/release/tarvix build/fuzz/tarvix_datagen build/fuzz-seeds
mkdir -p build/fuzz-artifacts

declare -A max_len=([fuzz_decode_block]=8193 [fuzz_round_trip]=8192 [fuzz_restore]=24576
  [fuzz_stream]=16392)
summary=()
for target in fuzz_decode_block fuzz_round_trip fuzz_restore fuzz_stream; do
  mkdir -p "build/fuzz-corpus/$target"
  log=build/fuzz-artifacts/$target.log
  echo "fuzz: $target for $seconds s"
  status=0
  build/fuzz/"$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="build/fuzz-artifacts/$target-" \
    "build/fuzz-corpus/$target" "build/fuzz-seeds/$target" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: $target FOUND A FAULT (status $status); see $log and build/fuzz-artifacts/"
    exit 1
  fi
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$done_line")
  ft=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$done_line")
  corp=$(sed -E 's/.* corp: ([0-9]+).*/\1/' <<<"$done_line")
  summary+=("$(printf '%-18s %10s execs  cov: %-5s ft: %-6s corpus: %s' \
    "$target" "$runs" "$cov" "$ft" "$corp")")
done
echo "fuzz: no findings in $seconds s per target"
printf 'fuzz: %s\n' "${summary[@]}"
