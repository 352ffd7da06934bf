#!/bin/sh
# Runs a 64-bit Windows program under wine: the emulator that
# mingw-w64-x86_64.cmake names for the tests.
# Usage: cmake/wine64-run.sh PREFIX PROGRAM [ARGS...]
#   PREFIX  the wine prefix to run in, made on the first run
# wine's messages and its offers to install .NET and a browser engine are off.
# The wine server and wine's own services outlive the programs they serve by a
# few seconds, holding open the output they were started with. Started here,
# on their own, they hold none of the program's, so that ctest does not wait
# for them at the end of a test.
set -eu
WINEPREFIX=$1
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree,mshtml=
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
shift
# Debian's wine64 package keeps wine in /usr/lib/wine; the wine package puts
# it on PATH.
dir=/usr/lib/wine
[ -x "$dir/wine64" ] || dir=$(dirname "$(command -v wine64)")
mkdir -p "$WINEPREFIX"
# The server fails to start when one already runs. It stays 3 s after its
# last program, as when wine starts it (Debian's wineserver script would
# otherwise keep it for good).
if "$dir/wineserver" -p3 </dev/null >/dev/null 2>&1; then
  "$dir/wine64" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$dir/wine64" "$@"
