#!/usr/bin/env bash
# Runs the fault sweeps (every cut of a compressed file of more than 40 KiB,
# every bit flip in the first 2 KiB of another, every changed length field)
# under the AddressSanitizer and UBSan build, and prints their outcome counts.
# Usage: scripts/sweep.sh            (uses build/asan, configured and built if needed)
#        scripts/sweep.sh --counts   prints the counts of the sweeps that the last
#                                    ctest run in build/asan ran, as the asan
#                                    workflow does, without running them again
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --counts ]; then
  scripts/ensure-packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev
  cmake --preset asan >/dev/null
  cmake --build --preset asan >/dev/null
  ctest --preset asan -L sweep
fi

# Each sweep that passes prints one line of counts, which ctest keeps in its
# log of the last run.
log=build/asan/Testing/Temporary/LastTest.log
if ! grep -E '^[a-z ]+ sweep: [0-9]+ tried' "$log" 2>/dev/null; then
  echo "sweep: no counts in $log; run the sweeps first (scripts/sweep.sh, or the asan workflow)" >&2
  exit 1
fi
