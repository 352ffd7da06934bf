#!/usr/bin/env bash
# Times a seek into a big compressed file: tvx -d --range, which walks the
# records to the one that holds the offset and restores from there, against
# restoring it all through a pipe cut by tail and head. Both give the same
# bytes (checked). Warm: one run of each first; then interleaved rounds, and
# the medians.
#
# Usage: bench/range.sh
#   SIZE=n     bytes of generated mixed data (default 1000000000)
#   OFFSET=n   the restored offset to seek to (default 998000000)
#   LENGTH=n   the bytes to read from there (default 1048576)
#   ROUNDS=n   interleaved rounds (default 7)
#   TMPDIR     where the data goes (default /tmp); it is removed at the end
set -euo pipefail
cd "$(dirname "$0")/.."

size=${SIZE:-1000000000} offset=${OFFSET:-998000000} length=${LENGTH:-1048576}
rounds=${ROUNDS:-7}
scripts/ensure-packages.sh cmake ninja-build g++ coreutils bc
cmake --workflow --preset release >/dev/null
cmake --build --preset release --target tarvix_datagen >/dev/null
bin=$PWD/build/release

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-range.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bin/tarvix_datagen" mixed "$size" 7 >"$work/data"
"$bin/tarvix" "$work/data" "$work/data.tvx" >/dev/null
rm "$work/data"

range() { "$bin/tvx" -d --range="$offset:$length" -c "$work/data.tvx" >"$work/range.out"; }
# head ends the pipe early: tvx and tail stop on a broken pipe (cmp checks the bytes).
piped() {
  "$bin/tvx" -dc "$work/data.tvx" 2>/dev/null | tail -c +"$((offset + 1))" |
    head -c "$length" >"$work/piped.out" || true
}
# seconds COMMAND: the wall time of one run.
seconds() {
  local start=$EPOCHREALTIME
  "$@"
  echo "$EPOCHREALTIME - $start" | bc -l
}

range
piped
cmp "$work/range.out" "$work/piped.out"
range_times=() piped_times=()
for ((round = 0; round < rounds; round++)); do
  range_times+=("$(seconds range)")
  piped_times+=("$(seconds piped)")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
range_median=$(median "${range_times[@]}")
piped_median=$(median "${piped_times[@]}")
echo "range: seek to $offset of $size bytes, read $length; medians of $rounds interleaved runs, warm"
printf '  %-55s %6.3f s\n' "tvx -d --range=$offset:$length -c FILE" "$range_median"
printf '  %-55s %6.3f s\n' "tvx -dc FILE | tail -c +$((offset + 1)) | head -c $length" \
  "$piped_median"
printf '  %.1f times as fast\n' "$(echo "$piped_median / $range_median" | bc -l)"
