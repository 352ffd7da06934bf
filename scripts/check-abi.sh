#!/usr/bin/env bash
# CI: holds the shared library's interface to the baseline stored in
# tests/abi/, with libabigail. Builds libtarvix.so with debugging
# information, installs it with its headers into a staging folder, describes
# the interface that the public headers declare, and compares it with the
# baseline of its SONAME: any change but an addition (a function removed or
# its signature changed, a type, a field or an enumerator changed) fails.
# Additions pass, and are shown. docs/abi.md states the policy.
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

# abidiff's status is a bit field: 1 an error, 2 a usage error, 4 a change,
# 8 an incompatible change. Leaving additions aside, any change at all fails:
# abidiff calls a parameter added to a function a change, not an
# incompatible one.
status=0
report=$(abidiff --no-added-syms "$baseline" "$current") || status=$?
if ((status != 0)); then
  echo "check-abi: $soname changes the interface of $baseline:"
  echo "$report"
  exit 1
fi
# The same comparison with additions shown: abidiff calls them a change (4).
additions=$(abidiff "$baseline" "$current") || true
if grep -q '[1-9][0-9]* Added' <<<"$additions"; then
  echo "check-abi: $soname keeps the interface of $baseline and adds to it:"
  echo "$additions"
else
  echo "check-abi: $soname has exactly the interface of $baseline"
fi
