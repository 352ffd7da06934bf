#!/usr/bin/env bash
# Checks Windows from the default build: the release preset's options,
# configured with each MinGW-w64 toolchain file in cmake/, build tarvix.exe,
# tvx.exe and tarvix.dll for win64 and win32; then the ZIP that
# `cmake --workflow --preset package-win64` makes is unpacked, and the
# programs in it run the end-to-end suites under wine, and the examples are
# built against its headers, import library and CMake package and held to
# its tarvix.exe.
#
# Usage: scripts/check-windows.sh
# Set TARVIX_KEEP_WORK=1 to keep the work folder for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/ensure-packages.sh cmake ninja-build g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 \
  groff-base

# shellcheck source=scripts/work-folder.sh
. scripts/work-folder.sh
make_work_folder windows check-windows

quietly() {  # LOG COMMAND...: runs COMMAND, showing its log only if it fails
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "check-windows: '$*' failed; its last lines:"
    tail -n 30 "$log"
    exit 1
  fi
}

# The default build, as `cmake --workflow --preset release` makes it, for
# each Windows host (in a folder of its own beside build/release).
declare -A toolchain=([win64]=mingw-w64-x86_64 [win32]=mingw-w64-i686)
for host in win64 win32; do
  build=build/release-$host
  quietly "$work/release-$host.log" cmake --preset release -B "$build" --fresh \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${toolchain[$host]}.cmake"
  quietly "$work/release-$host.log" cmake --build "$build"
  for file in tarvix.exe tvx.exe tarvix.dll; do
    [ -f "$build/$file" ] || { echo "check-windows: $host: the default build made no $file"; exit 1; }
  done
  echo "check-windows: $host: the default build made tarvix.exe, tvx.exe and tarvix.dll"
done

# The ZIP, unpacked as a user would.
quietly "$work/package.log" cmake --workflow --preset package-win64 --fresh
quietly "$work/package.log" cmake --build build/package-win64 --target tarvix_datagen
version=$(sed -n 's/^#define TARVIX_VERSION_STRING "\(.*\)"$/\1/p' \
  build/package-win64/include/tarvix/version.h)
zip=build/package-win64/tarvix-$version-win64.zip
cmake -E chdir "$work" cmake -E tar xf "$root/$zip"
tree=$work/tarvix-$version-win64
for file in bin/tarvix.exe bin/tvx.exe bin/untvx.exe bin/tvxcat.exe bin/tarvix.dll \
  include/tarvix/tarvix.h include/tarvix/container.h lib/libtarvix.dll.a lib/libtarvix.a \
  lib/cmake/tarvix/tarvixConfig.cmake share/doc/tarvix/tvx.txt share/doc/tarvix/tarvix.txt \
  share/doc/tarvix/LICENSE.txt; do
  [ -f "$tree/$file" ] || { echo "check-windows: $zip lacks $file"; exit 1; }
done
echo "check-windows: $zip holds the programs, the DLL, the headers, the libraries and the manual"

# The suites, on the programs of the ZIP.
wine=("$root/cmake/wine64-run.sh" "$work/wine")
export TARVIX_EOL=crlf TARVIX_DATAGEN=$root/build/package-win64/tarvix_datagen.exe
quietly "$work/e2e.log" tests/e2e.sh "$tree/bin/tarvix.exe" "${wine[@]}"
quietly "$work/e2e.log" tests/block_loop_e2e.sh "$tree/bin/tarvix.exe" "${wine[@]}"
quietly "$work/e2e.log" tests/tvx_e2e.sh "$tree/bin/tvx.exe" "$tree/bin/tarvix.exe" "${wine[@]}"
echo "check-windows: the end-to-end suites pass on the ZIP's programs under wine"

# The examples, built against the ZIP as a user's project would be; the C one
# links tarvix.dll, which lies beside it for the run.
quietly "$work/examples.log" cmake -S examples -B "$work/examples" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -Dtarvix_DIR="$tree/lib/cmake/tarvix"
quietly "$work/examples.log" cmake --build "$work/examples"
cp "$tree/bin/tarvix.dll" "$work/examples/"
export TARVIX_EMULATOR="${wine[*]}"
for example in whole_file stream_file; do
  quietly "$work/examples.log" tests/check_example.sh "$tree/bin/tarvix.exe" \
    "$work/examples/$example.exe"
done
echo "check-windows: the examples built against the ZIP write and restore its tarvix.exe's bytes"
