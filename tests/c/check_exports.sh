#!/usr/bin/env bash
# Checks that a shared libtarvix defines exactly the dynamic symbols listed in
# EXPORTS (demangled, without parameter lists): the public C and C++
# interface, and none of the internals.
# usage: tests/c/check_exports.sh NM LIBRARY EXPORTS
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 NM LIBRARY EXPORTS" >&2; exit 2; }
nm=$1 library=$2 expected=$3

actual=$("$nm" -D -C --defined-only "$library" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //; s/\(.*//' |
  LC_ALL=C sort -u)
if ! difference=$(diff <(grep -v "^#" "$expected" | LC_ALL=C sort -u) - <<<"$actual"); then
  echo "check_exports: $library exports differ from $expected (< listed only, > exported only):"
  echo "$difference"
  exit 1
fi
echo "check_exports: $(wc -l <<<"$actual") symbols, as listed"
