#!/usr/bin/env bash
# Checks the Python module's type hints: mypy --strict over the module as a
# build tree holds it (with its generated files), its tests and the example.
# BUILD is that build tree (build/debug, configured with the debug preset if
# it is not there yet).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ mypy

build=${1:-build/debug}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset debug >/dev/null
fi
cmake --build "$build" --target tarvix_python >/dev/null
MYPYPATH="$build/python" mypy --strict --cache-dir "$build/mypy-cache" \
  "$build/python/tarvix" tests/python/test_tarvix.py examples/tarvix_file.py
