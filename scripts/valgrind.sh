#!/usr/bin/env bash
# Runs the test suite once under valgrind's memcheck: every unit test program
# of the debug build, and the end-to-end tests with each run of the program
# under memcheck. Fails unless memcheck counts zero errors (definite and
# indirect leaks included). The fault sweeps try every 16th cut and flip here
# (TARVIX_SWEEP_STRIDE); the sanitizer build runs them in full.
# Usage: scripts/valgrind.sh   (uses build/debug, configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev valgrind
cmake --preset debug >/dev/null
cmake --build --preset debug >/dev/null

logs=build/valgrind
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --tool=memcheck --leak-check=full "--errors-for-leak-kinds=definite,indirect"
  --track-origins=yes --error-exitcode=99)

failed=0
for program in build/debug/*_test; do
  name=$(basename "$program")
  echo "valgrind: $name"
  if ! TARVIX_SWEEP_STRIDE=16 "${memcheck[@]}" --log-file="$logs/$name.%p.log" "$program" \
    >"$logs/$name.out" 2>&1; then
    tail -n 30 "$logs/$name.out"
    failed=1
  fi
done
echo "valgrind: end-to-end tests"
if ! tests/e2e.sh "$PWD/build/debug/tarvix" "${memcheck[@]}" --log-file="$PWD/$logs/e2e.%p.log" \
  >"$logs/e2e.out" 2>&1; then
  tail -n 30 "$logs/e2e.out"
  failed=1
fi

# Every process writes one log that ends with its error summary.
processes=$(find "$logs" -name '*.log' | wc -l)
errors=$(cat "$logs"/*.log | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' |
  awk '{ sum += $1 } END { print sum + 0 }')
summaries=$(grep -l 'ERROR SUMMARY' "$logs"/*.log | wc -l)
echo "valgrind: $errors errors in $processes processes under memcheck"
if [ "$summaries" -ne "$processes" ]; then
  echo "valgrind: FAILED: $((processes - summaries)) processes ended without an error summary"
  failed=1
fi
if [ "$errors" -ne 0 ]; then
  grep -l 'ERROR SUMMARY: [1-9]' "$logs"/*.log | head -n 5 | xargs -r cat
  failed=1
fi
exit "$failed"
