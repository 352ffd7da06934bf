#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets from the benchmark corpus and
# from generated data of every shape that tarvix_datagen makes:
#   OUTDIR/fuzz_round_trip/    source blocks (the first 8192 bytes of each file, and a short slice)
#   OUTDIR/fuzz_decode_block/  the block data of the first records of each compressed file
#   OUTDIR/fuzz_restore/       compressed files of 20000-byte slices, after the file magic
#   OUTDIR/fuzz_stream/        8 bytes that seed the splits, then a 9000-byte slice, or its
#                              compressed file after the file magic
# Usage: scripts/make-fuzz-seeds.sh TARVIX DATAGEN OUTDIR
# The corpus is ../shared/corpus/ beside the project, or TARVIX_CORPUS_DIR;
# without it the generated data alone seeds the targets.
set -euo pipefail

if [ "$#" -ne 3 ]; then
  echo "usage: $0 TARVIX DATAGEN OUTDIR" >&2
  exit 2
fi
tarvix=$(realpath "$1")
datagen=$(realpath "$2")
out=$3
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${TARVIX_CORPUS_DIR:-$root/../shared/corpus}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

inputs=()
if [ -d "$corpus" ]; then
  for file in "$corpus"/*; do
    case $file in *.md) ;; *) [ -f "$file" ] && inputs+=("$file") ;; esac
  done
else
  echo "make-fuzz-seeds: no corpus at $corpus; seeding from generated data alone"
fi
mkdir "$work/generated"
while read -r shape; do
  "$datagen" "$shape" 40000 >"$work/generated/$shape"
  inputs+=("$work/generated/$shape")
done < <("$datagen" --list)

mkdir -p "$out"/fuzz_round_trip "$out"/fuzz_decode_block "$out"/fuzz_restore "$out"/fuzz_stream

# cut FILE OFFSET COUNT: COUNT bytes of FILE from OFFSET on, to standard output.
cut_bytes() {
  dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none
}

records_per_file=4
for file in "${inputs[@]}"; do
  name=$(basename "$file")
  cut_bytes "$file" 0 8192 >"$out/fuzz_round_trip/$name.block"
  cut_bytes "$file" 1000 300 >"$out/fuzz_round_trip/$name.short"

  cut_bytes "$file" 0 20000 >"$work/slice"
  "$tarvix" "$work/slice" "$work/slice.tvx" >/dev/null
  tail -c +5 "$work/slice.tvx" >"$out/fuzz_restore/$name.records"
  # Two blocks, with split seeds in front; an even first byte puts the file
  # magic before the data read as a file.
  cut_bytes "$file" 0 9000 >"$work/pair"
  "$tarvix" "$work/pair" "$work/pair.tvx" >/dev/null
  { printf '\002\003\005\007\013\015\021\023' && cat "$work/pair"; } >"$out/fuzz_stream/$name.source"
  { printf '\030\035\037\045\051\053\057\065' && tail -c +5 "$work/pair.tvx"; } \
    >"$out/fuzz_stream/$name.records"

  cut_bytes "$file" 0 $((records_per_file * 8192)) >"$work/head"
  "$tarvix" "$work/head" "$work/head.tvx" >/dev/null
  size=$(stat -c %s "$work/head.tvx")
  offset=4 record=0
  while [ "$offset" -lt "$size" ]; do
    read -r low high < <(cut_bytes "$work/head.tvx" "$offset" 2 | od -An -tu1)
    length=$((low + 256 * high))
    cut_bytes "$work/head.tvx" $((offset + 2)) "$length" >"$out/fuzz_decode_block/$name.$record"
    offset=$((offset + 2 + length)) record=$((record + 1))
  done
done
for target in fuzz_round_trip fuzz_decode_block fuzz_restore fuzz_stream; do
  echo "make-fuzz-seeds: $(find "$out/$target" -type f | wc -l) seeds for $target"
done
