#!/usr/bin/env bash
# CI: holds the shared library's interface to the baseline stored in
# tests/abi/, with libabigail. Builds libtarvix.so with debugging
# information, installs it with its headers into a staging folder, describes
# the interface that the public headers declare, and compares it with the
# baseline: an incompatible change (a function removed or its signature
# changed, a type or enumerator changed) fails, while the SONAME is the
# baseline's. Additions pass, and are shown. docs/abi.md states the policy.
#
# usage: scripts/check-abi.sh            compare with the baseline
#        scripts/check-abi.sh --update   store the build's interface as the
#                                        baseline (a release, or a new SONAME)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ abigail-tools

build=build/abi
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIX_BUILD_TESTS=OFF \
  -DTARVIX_BUILD_EXAMPLES=OFF -DTARVIX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" >/dev/null
cmake --install "$build" --prefix "$PWD/$build/stage" >/dev/null
library=$(find "$build/stage" -name 'libtarvix.so.*' -type f | head -n 1)
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
baseline=tests/abi/$soname.abi
current=$build/$soname.abi
abidw --headers-dir "$build/stage/include/tarvix" --drop-private-types --exported-interfaces-only \
  --no-corpus-path --no-show-locs --out-file "$current" "$library"

if [ "${1:-}" = --update ]; then
  cp "$current" "$baseline"
  echo "check-abi: stored the interface of $soname as $baseline"
  exit 0
fi
if [ ! -f "$baseline" ]; then
  echo "check-abi: no baseline for $soname in tests/abi/ (a new SONAME stores one with --update)" >&2
  exit 1
fi

status=0
report=$(abidiff "$baseline" "$current") || status=$?
# abidiff's status is a bit field: 1 an error, 2 a usage error, 4 a change,
# 8 an incompatible change.
if ((status & 11)); then
  echo "check-abi: $soname is no longer compatible with $baseline:"
  echo "$report"
  exit 1
elif ((status & 4)); then
  echo "check-abi: $soname keeps the interface of $baseline, with these compatible changes:"
  echo "$report"
else
  echo "check-abi: $soname has exactly the interface of $baseline"
fi
