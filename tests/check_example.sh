#!/usr/bin/env bash
# Checks a program that does the tool's job (PROGRAM... SOURCE TARGET) against
# the tool: on project files and a larger file made of them, its compressed
# files are the tool's bytes and restore to the source; a damaged file fails
# with the tool's restored bytes left behind.
# usage: tests/check_example.sh TARVIX PROGRAM [ARGS...]
# Environment: TARVIX_EMULATOR, words put before the tool and the program to
#   run them (qemu-s390x, ...), as a cross build's tests need.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 TARVIX PROGRAM [ARGS...]" >&2; exit 2; }
read -ra emulator <<<"${TARVIX_EMULATOR:-}"
tarvix=("${emulator[@]}" "$1")
shift
set -- "${emulator[@]}" "$@"
project=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-example.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_example: $*" >&2
  exit 1
}

: >"$work/empty"
cp "$project/docs/format.md" "$work/format.md"
for _ in 1 2 3 4 5 6 7 8; do cat "$project"/docs/*.md "$project/docs/tarvix.1"; done >"$work/docs"
for name in empty format.md docs; do
  "${tarvix[@]}" "$work/$name" "$work/$name.tool" >/dev/null
  "$@" "$work/$name" "$work/$name.example" || fail "$* failed to compress $name"
  cmp "$work/$name.tool" "$work/$name.example" || fail "$* did not write the tool's bytes for $name"
  "$@" "$work/$name.tool" "$work/$name.restored" || fail "$* failed to restore $name"
  cmp "$work/$name" "$work/$name.restored" || fail "$* did not restore $name"
done

# Cut inside the last record: the program fails; both keep the same blocks.
size=$(wc -c <"$work/docs.tool")
head -c $((size - 1)) "$work/docs.tool" >"$work/cut"
"${tarvix[@]}" "$work/cut" "$work/cut.tool" >/dev/null && fail "the tool restored a cut file"
"$@" "$work/cut" "$work/cut.example" 2>/dev/null && fail "$* restored a cut file without failing"
cmp "$work/cut.tool" "$work/cut.example" || fail "$* left other bytes than the tool after a fault"
echo "check_example: $* writes and restores the tool's bytes"
