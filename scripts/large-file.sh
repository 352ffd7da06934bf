#!/usr/bin/env bash
# Round trip of a source larger than 4 GiB: a sparse file with real data
# written across the 2 GiB and 4 GiB marks and at its end. The restore writes
# into a named pipe read by sha256sum, so no second copy reaches the disk.
# Skips, saying so, when the disk has too little room for a full copy (in case
# the file system keeps no holes).
# Usage: scripts/large-file.sh   (TARVIX_LARGE_DIR: where to work, default build/)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ coreutils
cmake --workflow --preset release >/dev/null
cmake --build --preset release --target tarvix_datagen >/dev/null
tarvix=$PWD/build/release/tarvix
datagen=$PWD/build/release/tarvix_datagen

parent=${TARVIX_LARGE_DIR:-$PWD/build}
mkdir -p "$parent"
need_mib=5120
free_mib=$(df -Pm "$parent" | awk 'NR == 2 { print $4 }')
if [ "$free_mib" -lt "$need_mib" ]; then
  echo "large-file: SKIPPED: $free_mib MiB free in $parent, $need_mib MiB needed"
  exit 0
fi

work=$(mktemp -d "$parent/large-file.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

gib=$((1024 * 1024 * 1024))
size=$((4 * gib + 3 * 8192 + 1234)) # past 4 GiB, with a short last block
truncate -s "$size" source

# Real data: 487 KiB of text that codes well and 512 KiB of noise that is
# stored, across each mark (2^31 and 2^32, where a 32-bit offset would break).
seq 1 85000 >data.bin
"$datagen" random $((512 * 1024)) >>data.bin
for at in $((2 * gib - 300000)) $((4 * gib - 300000)) $((size - 20000)); do
  dd if=data.bin of=source bs=1M oflag=seek_bytes seek="$at" conv=notrunc status=none
done
truncate -s "$size" source # the last patch ran past the end
echo "large-file: source of $size bytes, $(du -k source | cut -f1) KiB on disk"

# The source's own hash is taken while it is compressed, on the other core.
sha256sum <source | cut -d' ' -f1 >source.sha256 &
hasher=$!
started=$SECONDS
"$tarvix" source source.tvx
echo "large-file: compressed to $(stat -c %s source.tvx) bytes in $((SECONDS - started)) s"
wait "$hasher"
expected=$(cat source.sha256)

mkfifo restored.pipe
sha256sum <restored.pipe | cut -d' ' -f1 >restored.sha256 &
reader=$!
started=$SECONDS
status=0
"$tarvix" source.tvx restored.pipe || status=$?
wait "$reader"
echo "large-file: restored through a pipe in $((SECONDS - started)) s, status $status"

actual=$(cat restored.sha256)
if [ "$status" -ne 0 ] || [ "$actual" != "$expected" ]; then
  echo "large-file: FAILED: sha256 $actual, expected $expected"
  exit 1
fi
echo "large-file: round trip of $size bytes is byte for byte ($expected)"
