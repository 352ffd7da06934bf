#!/usr/bin/env bash
# The README's recipe for GNU parallel, checked: a file of generated mixed
# data compressed in parts of a multiple of 8192 bytes, one tvx per part, and
# the parts joined by tvx --join give exactly the bytes that tarvix writes for
# the whole file. Parts cut elsewhere are refused, naming the part.
# Usage: scripts/parallel-join.sh   (SIZE: bytes of data, default 40000000;
#   TMPDIR: where to work)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ parallel
cmake --workflow --preset release >/dev/null
cmake --build --preset release --target tarvix_datagen >/dev/null
bin=$PWD/build/release

work=$(mktemp -d "${TMPDIR:-/tmp}/parallel-join.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin/tarvix_datagen" mixed "${SIZE:-40000000}" 5 >big
"$bin/tarvix" big big.ref >/dev/null

# join_parts BLOCK: the recipe with parts of BLOCK bytes, into big.tvx.
join_parts() {
  rm -rf parts big.tvx
  mkdir parts
  # shellcheck disable=SC2016 # the job's shell expands it, once per part
  PATH=$bin:$PATH parallel --pipe-part -a big --block "$1" --recend '' \
    'tvx -T1 -c >parts/$(printf %06d {#}).tvx'
  "$bin/tvx" --join parts/*.tvx -o big.tvx
}

join_parts 4M
cmp big.tvx big.ref
echo "parallel-join: $(find parts -type f | wc -l) parts of 4 MiB joined into tarvix's bytes"

if join_parts 1000000 2>error; then
  echo "parallel-join: parts of 1000000 bytes were joined, but each ends in a short block" >&2
  exit 1
fi
grep -q '^tvx: parts/000001.tvx: would leave a short block in the middle' error || {
  echo "parallel-join: parts of 1000000 bytes refused with: $(cat error)" >&2
  exit 1
}
echo "parallel-join: parts of 1000000 bytes refused, as they must be"
