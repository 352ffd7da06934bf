#!/usr/bin/env bash
# Checks the Python module: mypy --strict over the module as a build tree
# holds it (with its generated files and the extension's stub), its tests and
# the example; the one abi3 build of the extension imported and used by
# every Python 3.8 to 3.13 found in /root/.pyenv/versions; and `pip install
# .` of this clone, offline, into new virtual environments of Debian's
# python3 (with and without the system's packages), whose module then passes
# the tests. BUILD is the build tree (build/debug, configured with the debug
# preset if it is not there yet).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ mypy python3-dev python3-venv \
  python3-setuptools python3-wheel python3-wheel-whl python3-pytest python3-fsspec python3-dask \
  python3-distributed python3-pandas

build=${1:-build/debug}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset debug >/dev/null
fi
cmake --build "$build" --target tarvix_python tarvix tarvix_datagen >/dev/null

echo "== mypy --strict"
MYPYPATH="$build/python" mypy --strict --cache-dir "$build/mypy-cache" \
  "$build/python/tarvix" tests/python/test_tarvix.py tests/python/test_dask.py \
  examples/tarvix_file.py

echo "== The tests with Debian's Python, fsspec and Dask (two worker processes)"
tests=(env PYTHONDONTWRITEBYTECODE=1 TARVIX_DATAGEN="$PWD/$build/tarvix_datagen"
  TARVIX_TOOL="$PWD/$build/tarvix" TARVIX_VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' \
    "$build/CMakeCache.txt")")
(cd tests/python && "${tests[@]}" PYTHONPATH="$OLDPWD/$build/python" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider test_tarvix.py test_dask.py)

echo "== One build of the extension on every Python from 3.8"
# A round trip through each kind of coder, and a fault.
round_trip='
import io, sys, tarvix
data = bytes(range(256)) * 1000 + b"tarvix" * 5000
packed = tarvix.compress(data)
assert tarvix.decompress(packed + packed, threads=2) == data + data
compressor, decompressor = tarvix.Compressor(threads=1), tarvix.Decompressor()
assert decompressor.decompress(compressor.compress(data) + compressor.flush()) == data
buffer = io.BytesIO()
with tarvix.open(buffer, "wb") as f:
    f.write(data)
with tarvix.open(io.BytesIO(buffer.getvalue())) as f:
    assert f.read() == data and f.seek(-6, io.SEEK_END) == len(data) - 6
try:
    tarvix.decompress(packed[:-1])
    raise SystemExit("a cut file was restored")
except tarvix.CutShortError as error:
    assert error.restored == data[:len(error.restored)]
print(sys.version.split()[0], "ok")
'
interpreters=0
for python in /root/.pyenv/versions/3.{8,9,10,11,12,13}*/bin/python3; do
  [ -x "$python" ] || continue
  PYTHONPATH="$build/python" PYTHONDONTWRITEBYTECODE=1 "$python" -c "$round_trip"
  interpreters=$((interpreters + 1))
done
echo "$interpreters interpreters import $build/python/tarvix/_tarvix.abi3.so"

echo "== pip install . into new virtual environments, offline"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for site in system own; do
  venv=$work/venv-$site
  if [ $site = system ]; then
    /usr/bin/python3 -m venv --system-site-packages "$venv"
  else
    # Its own setuptools, and Debian's wheel, which building a wheel needs.
    /usr/bin/python3 -m venv "$venv"
    "$venv/bin/pip" install -q --no-index /usr/share/python-wheels/wheel-*.whl
  fi
  "$venv/bin/pip" install -q --no-index --no-build-isolation . >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; exit 1; }
  (cd tests/python && "$venv/bin/python" -c 'import tarvix; print(tarvix.__file__)' &&
    "${tests[@]}" "$venv/bin/python" -m unittest -q test_tarvix)
done
rm -rf src/python/tarvix.egg-info
echo "== Python checks passed"
