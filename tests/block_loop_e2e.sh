#!/usr/bin/env bash
# End-to-end tests of the block loops across their read and write batches:
# round trips of files of many batches, and compressed files cut at and just
# after the end of a record near a batch boundary, which keep exactly the
# blocks before the cut.
#
# usage: tests/block_loop_e2e.sh TARVIX [EMULATOR ARGS...]
#   EMULATOR  an optional prefix that runs it (valgrind, qemu-s390x, ...)
# Environment: TARVIX_DATAGEN, the data generator (default: tarvix_datagen
#   beside TARVIX), run through the emulator too.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 TARVIX [EMULATOR ARGS...]" >&2; exit 2; }
tarvix=$1
shift
emulator=("$@")
datagen=${TARVIX_DATAGEN:-${tarvix%tarvix*}tarvix_datagen${tarvix##*tarvix}}
case $tarvix in
  /*) ;;
  */*) tarvix=$PWD/$tarvix ;;
esac
case $datagen in
  /*) ;;
  */*) datagen=$PWD/$datagen ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-loop.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

# A source of text, zeros and random bytes, so that its blocks are coded,
# run-coded and stored: 40 blocks and a bit, five batches of 8 blocks and more.
# (The generator's output goes to a file: wine's server may hold a pipe open.)
{
  "${emulator[@]}" "$datagen" text 120000
  head -c 70000 /dev/zero
  "${emulator[@]}" "$datagen" random 141000
} >source
[ "$(wc -c <source)" -eq 331000 ] || { echo "could not build the source" >&2; exit 2; }

# Round trips of sizes around the batch of 65536 bytes and its multiples.
for size in 65535 65536 65537 131071 131072 139264 139265 331000; do
  head -c "$size" source >"in$size"
  "${emulator[@]}" "$tarvix" "in$size" "in$size.tvx" >/dev/null || fail "compress $size bytes: status $?"
  "${emulator[@]}" "$tarvix" "in$size.tvx" "back$size" >/dev/null || fail "restore $size bytes: status $?"
  cmp -s "in$size" "back$size" || fail "round trip of $size bytes"
done

# Blocks are coded on their own, so the compressed file of the first k blocks
# is a prefix of the whole compressed file: it tells where record k ends.
# Cut there, the file restores the k blocks with success; cut 3 bytes later
# (a length field and one byte of block data) it restores them and fails.
"${emulator[@]}" "$tarvix" source source.tvx >/dev/null || fail "compress the source: status $?"
for blocks in 7 8 9 16 17 33; do
  head -c $((blocks * 8192)) source >prefix
  "${emulator[@]}" "$tarvix" prefix prefix.tvx >/dev/null
  end=$(wc -c <prefix.tvx)
  head -c "$end" source.tvx >cut.tvx
  cmp -s prefix.tvx cut.tvx || fail "$blocks blocks: their records are not a prefix"
  "${emulator[@]}" "$tarvix" cut.tvx restored >/dev/null
  status=$?
  [ "$status" -eq 0 ] || fail "cut after $blocks records: status $status, 0 expected"
  cmp -s prefix restored || fail "cut after $blocks records: wrong blocks"
  head -c $((end + 3)) source.tvx >cut.tvx
  "${emulator[@]}" "$tarvix" cut.tvx restored >/dev/null
  status=$?
  [ "$status" -eq 7 ] || fail "cut inside record $((blocks + 1)): status $status, 7 expected"
  cmp -s prefix restored || fail "cut inside record $((blocks + 1)): wrong blocks kept"
done

if [ "$failed" -ne 0 ]; then
  echo "$failed failed"
  exit 1
fi
echo "block loop: all passed"
