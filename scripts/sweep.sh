#!/usr/bin/env bash
# Runs the fault sweeps (every cut of a compressed file of more than 40 KiB,
# every bit flip in the first 2 KiB of another, every changed length field)
# under the AddressSanitizer and UBSan build, and prints their outcome counts.
# Usage: scripts/sweep.sh   (uses build/asan, configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev
cmake --preset asan >/dev/null
cmake --build --preset asan >/dev/null

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build/asan/fault_sweep_test
