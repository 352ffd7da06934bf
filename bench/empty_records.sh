#!/usr/bin/env bash
# Restores 100 MB of records that restore to nothing (01 00 40, which no
# compressor writes) on one thread and on two, with tarvix and with tvx -t,
# in interleaved runs; prints the median time of each and the ratio of two
# threads to one, which should stay near or below 1.
# usage: bench/empty_records.sh [BUILD_DIR]   (default build/release)
# Environment: RUNS, the runs of each program (default 7).
set -euo pipefail
export LC_ALL=C
build=${1:-build/release}
runs=${RUNS:-7}
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-empty.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 3 bytes doubled 25 times: 100,663,296 bytes of records after the magic.
printf '\001\000\100' >"$work/records"
for _ in $(seq 25); do
  cat "$work/records" "$work/records" >"$work/twice"
  mv "$work/twice" "$work/records"
done
{ printf '\330\307\266\245' && cat "$work/records"; } >"$work/empty.tvx"
rm "$work/records"

names=("tarvix, 1 thread" "tarvix, 2 threads" "tvx -t -T1" "tvx -t -T2")
run() {
  case $1 in
    0) TARVIX_THREADS=1 "$build/tarvix" "$work/empty.tvx" "$work/out" ;;
    1) TARVIX_THREADS=2 "$build/tarvix" "$work/empty.tvx" "$work/out" ;;
    2) "$build/tvx" -t -T1 "$work/empty.tvx" ;;
    3) "$build/tvx" -t -T2 "$work/empty.tvx" ;;
  esac >/dev/null
}
declare -a times=()
for ((round = 0; round < runs; round++)); do
  for program in 0 1 2 3; do
    start=$EPOCHREALTIME
    run "$program"
    times[program]+="$(awk -v a="$EPOCHREALTIME" -v b="$start" 'BEGIN { print a - b }') "
  done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
declare -a medians=()
for program in 0 1 2 3; do
  medians[program]=$(median "${times[program]}")
  printf '%-18s %6.3f s\n' "${names[program]}" "${medians[program]}"
done
awk -v a="${medians[0]}" -v b="${medians[1]}" -v c="${medians[2]}" -v d="${medians[3]}" \
  'BEGIN { printf "two threads over one: tarvix %.2f, tvx -t %.2f\n", b / a, d / c }'
