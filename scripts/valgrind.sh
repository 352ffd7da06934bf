#!/usr/bin/env bash
# Runs the test suite once under valgrind's memcheck: every unit test program
# of the debug build, and every end-to-end script with each run of the
# program under memcheck; two at a time. Fails unless memcheck counts zero
# errors (definite and indirect leaks included) and every test passes. The
# fault sweeps try every 16th cut and flip here (TARVIX_SWEEP_STRIDE); the
# sanitizer build runs them in full.
# Usage: scripts/valgrind.sh   (uses build/debug, configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev valgrind
cmake --preset debug >/dev/null
cmake --build --preset debug >/dev/null

logs=$PWD/build/valgrind
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --tool=memcheck --leak-check=full "--errors-for-leak-kinds=definite,indirect"
  --track-origins=yes --error-exitcode=99)
tarvix=$PWD/build/debug/tarvix

# check NAME COMMAND...: runs one test under memcheck; a failure leaves NAME.failed.
check() {
  local name=$1
  shift
  echo "valgrind: $name"
  if ! TARVIX_SWEEP_STRIDE=16 "$@" >"$logs/$name.out" 2>&1; then
    tail -n 30 "$logs/$name.out"
    touch "$logs/$name.failed"
  fi
}

started=()
# A child forked from a test with threads ends with the memory of its
# parent's other threads, which memcheck counts as lost: the fork cases run
# natively and under AddressSanitizer instead.
export GTEST_FILTER='-*Fork*'
for program in build/debug/*_test; do
  name=$(basename "$program")
  started+=("$name")
  check "$name" "${memcheck[@]}" --log-file="$logs/$name.%p.log" "$program" &
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
done
for script in tests/*e2e.sh; do
  name=$(basename "$script" .sh)
  started+=("$name")
  # tvx's script takes tvx before tarvix; the others take tarvix alone.
  programs=("$tarvix")
  [ "$name" = tvx_e2e ] && programs=("$PWD/build/debug/tvx" "$tarvix")
  check "$name" "$script" "${programs[@]}" "${memcheck[@]}" --log-file="$logs/$name.%p.log" &
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
done
wait

# Every process under memcheck writes one log that ends with its error summary.
processes=$(find "$logs" -name '*.log' | wc -l)
errors=$(cat "$logs"/*.log | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' |
  awk '{ sum += $1 } END { print sum + 0 }')
summaries=$(grep -l 'ERROR SUMMARY' "$logs"/*.log | wc -l)
failed=$(find "$logs" -name '*.failed' | wc -l)
echo "valgrind: ${#started[@]} test programs and scripts, $failed failed;" \
  "$errors errors in $processes processes under memcheck"
if [ "$errors" -ne 0 ]; then
  grep -l 'ERROR SUMMARY: [1-9]' "$logs"/*.log | head -n 5 | xargs -r cat
fi
if [ "$summaries" -ne "$processes" ]; then
  echo "valgrind: $((processes - summaries)) processes ended without an error summary"
  exit 1
fi
[ "$errors" -eq 0 ] && [ "$failed" -eq 0 ]
