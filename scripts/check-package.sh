#!/usr/bin/env bash
# Checks what users get from `cmake --workflow --preset package`: the four
# Debian packages (files, dependencies, stripped binaries, the shared
# library's SONAME and exports, lintian); the install tree, whose CMake
# package and pkg-config file serve C and C++ programs, shared and static,
# and whose Python module runs, each held to the installed tool's files; the
# library through add_subdirectory of the source tree; the manual page. Then, as root, it installs
# the four packages with dpkg, builds outside C99 programs with pkg-config
# against libtarvix.so.1, runs outside Python programs, checks that both
# write and restore the tool's exact bytes, and removes the packages again.
# Without root that last part is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ gcc binutils pkg-config groff-base man-db \
  dpkg-dev gzip file python3 mypy

build=build/package
work=$(mktemp -d)
prefix="$work/prefix"
packages=(tarvix libtarvix1 libtarvix-dev python3-tarvix)
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    dpkg -r python3-tarvix libtarvix-dev tarvix libtarvix1 >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-package: $*" >&2
  exit 1
}

# contains TEXT PATTERN WHAT: fails unless a line of TEXT matches PATTERN.
# A command's output is taken whole first: `grep -q` in a pipe may end before
# the command has written everything, which pipefail reports as its failure.
contains() {
  grep -q -- "$2" <<<"$1" || fail "$3"
}

# c99 OUTPUT SOURCE FLAGS...: compiles a C file as a strict C99 program.
c99() {
  local output=$1 source=$2
  shift 2
  gcc -std=c99 -pedantic -Wall -Wextra -Werror -O2 "$source" -o "$output" "$@"
}

echo "== cmake --workflow --preset package"
rm -rf "$build"
cmake --workflow --preset package >"$work/workflow.log" 2>&1 ||
  { cat "$work/workflow.log"; fail "the package workflow failed"; }
grep '^CMAKE_CXX_FLAGS:\|^CMAKE_SHARED_LINKER_FLAGS:\|^CMAKE_EXE_LINKER_FLAGS:' "$build/CMakeCache.txt"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
pydir=$(cache TARVIX_PYTHON_INSTALL_DIR)
if [ -z "$version" ] || [ -z "$libdir" ] || [ -z "$pydir" ]; then
  fail "$build/CMakeCache.txt lacks the version or an install folder"
fi
echo "version $version, libraries in /usr/$libdir, Python module in /usr/$pydir"
# The test data generator, which the module's tests take their data from.
cmake --build "$build" --target tarvix_datagen >/dev/null
datagen=$PWD/$build/tarvix_datagen
[ -x "$datagen" ] || fail "no $datagen"
architecture=$(dpkg --print-architecture)
declare -A deb=(
  [tarvix]="$build/tarvix_${version}_${architecture}.deb"
  [libtarvix1]="$build/libtarvix1_${version}_${architecture}.deb"
  [libtarvix-dev]="$build/libtarvix-dev_${version}_${architecture}.deb"
  [python3-tarvix]="$build/python3-tarvix_${version}_${architecture}.deb"
)

echo "== The packages"
declare -A required=(
  [tarvix]="usr/bin/tarvix usr/bin/tvx usr/bin/untvx usr/bin/tvxcat usr/share/man/man1/tarvix.1.gz
    usr/share/man/man1/tvx.1.gz usr/share/man/man1/untvx.1.gz usr/share/man/man1/tvxcat.1.gz"
  [libtarvix1]="usr/$libdir/libtarvix.so.$version usr/$libdir/libtarvix.so.1"
  [libtarvix-dev]="usr/include/tarvix/tarvix.h usr/include/tarvix/container.h
    usr/include/tarvix/container_format.h
    usr/include/tarvix/block_encoder.h usr/include/tarvix/export.h usr/include/tarvix/version.h
    usr/$libdir/libtarvix.a usr/$libdir/libtarvix.so usr/$libdir/pkgconfig/tarvix.pc
    usr/$libdir/cmake/tarvix/tarvixConfig.cmake usr/share/doc/libtarvix-dev/format.md
    usr/share/doc/libtarvix-dev/examples/stream_file.c
    usr/share/doc/libtarvix-dev/examples/whole_file.cpp
    usr/share/doc/libtarvix-dev/examples/tarvix_file.py"
  [python3-tarvix]="usr/$pydir/tarvix/__init__.py usr/$pydir/tarvix/__main__.py
    usr/$pydir/tarvix/_errors.py usr/$pydir/tarvix/_interface.py
    usr/$pydir/tarvix/_tarvix.abi3.so usr/$pydir/tarvix/_tarvix.pyi
    usr/$pydir/tarvix/_version.py usr/$pydir/tarvix/py.typed"
)
declare -A depends=(
  [tarvix]="libc6"
  [libtarvix1]="libc6"
  [libtarvix-dev]="libtarvix1 (= $version)"
  [python3-tarvix]="python3 (>= 3.8)"
)
for package in "${packages[@]}"; do
  file=${deb[$package]}
  [ -f "$file" ] || fail "the workflow did not write $file"
  echo "-- $(basename "$file"): $(dpkg-deb --field "$file" Depends)"
  contents=$(dpkg-deb --contents "$file" | awk '{ print $6 $7 $8 }')
  echo "$contents"
  for path in ${required[$package]} usr/share/doc/$package/copyright \
    usr/share/doc/$package/changelog.gz; do
    contains "$contents" "^\./$path\(->.*\)\?\$" "$package lacks /$path"
  done
  contains "$(dpkg-deb --field "$file" Depends)" "${depends[$package]}" \
    "$package does not depend on ${depends[$package]}"
done
! grep -q 'block_encoder_internal' <<<"$(dpkg-deb --contents "${deb[libtarvix-dev]}")" ||
  fail "the internal header is packaged"

# The binaries as packaged: stripped; the library with its SONAME and only the
# public interface exported; the Python extension with the library in it,
# exporting only its module's entry.
for package in tarvix libtarvix1 python3-tarvix; do
  dpkg-deb --extract "${deb[$package]}" "$work/deb"
done
library="$work/deb/usr/$libdir/libtarvix.so.$version"
extension="$work/deb/usr/$pydir/tarvix/_tarvix.abi3.so"
for binary in "$work/deb/usr/bin/tarvix" "$work/deb/usr/bin/tvx" "$library" "$extension"; do
  contains "$(file "$binary")" ', stripped' "$binary is not stripped"
done
! grep -q 'NEEDED.*libtarvix' <<<"$(readelf -d "$extension")" || fail "the extension needs libtarvix"
[ "$(nm -D --defined-only "$extension" | awk '{ print $3 }')" = PyInit__tarvix ] ||
  fail "the extension exports more than PyInit__tarvix"
contains "$(readelf -d "$library")" 'SONAME.*\[libtarvix\.so\.1\]' "libtarvix1 has no SONAME libtarvix.so.1"
tests/c/check_exports.sh nm "$library" tests/c/exports.txt

if scripts/ensure-packages.sh lintian >/dev/null 2>&1 && command -v lintian >/dev/null; then
  echo "== lintian"
  # Errors, warnings and any hardening-no-* tag fail the check; the
  # informational tags are shown.
  lintian_status=0
  lintian_output=$(lintian --display-level '>=info' --fail-on error,warning "${deb[@]}" 2>&1) ||
    lintian_status=$?
  lintian_output=$(grep -v 'running with root privileges' <<<"$lintian_output" || true)
  [ -z "$lintian_output" ] || echo "$lintian_output"
  [ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings"
  ! grep -q 'hardening-no-' <<<"$lintian_output" || fail "lintian reports missing hardening"
  echo "lintian: no error, no warning, no hardening-no-* tag on the four packages"
else
  echo "== lintian is not available; the packages are not linted"
fi

echo "== Install into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -mindepth 1 ! -type d | sort)
[ ! -e "$prefix/include/tarvix/block_encoder_internal.h" ] ||
  fail "the internal header must not be installed"
tool="$prefix/bin/tarvix"
pc_dir="$prefix/$libdir/pkgconfig"
examples="$prefix/share/doc/libtarvix-dev/examples"

echo "== Files made by the installed tool, for the consumers"
sample="$work/sample"
for _ in 1 2 3 4 5 6 7 8; do cat LICENSE docs/tarvix.1 docs/format.md; done >"$sample"
"$tool" "$sample" "$work/sample.tvx" >/dev/null
# Cut inside the last record: the tool keeps the blocks before it and exits 7.
head -c "$(($(stat -c %s "$work/sample.tvx") - 100))" "$work/sample.tvx" >"$work/cut.tvx"
cut_status=0
"$tool" "$work/cut.tvx" "$work/cut.out" >/dev/null || cut_status=$?
[ "$cut_status" -eq 7 ] || fail "the tool restored a cut file with status $cut_status, not 7"
consumer_files=("$sample" "$work/sample.tvx" "$work/cut.tvx" "$work/cut.out" "$cut_status")
echo "$(stat -c %s "$sample") -> $(stat -c %s "$work/sample.tvx") bytes;" \
  "cut to $(stat -c %s "$work/cut.tvx"): status 7, $(stat -c %s "$work/cut.out") bytes restored"

echo "== Consumers through find_package(tarvix CONFIG): C++ and C, shared and static"
for linking in shared static; do
  use_static=OFF needed=1
  [ $linking = shared ] || use_static=ON needed=0
  configure_log=$(cmake -S tests/consumer -B "$work/consumer-$linking" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DTARVIX_USE_STATIC_LIBS=$use_static)
  contains "$configure_log" "Found tarvix $version in $prefix/" \
    "find_package did not find tarvix $version in $prefix"
  cmake --build "$work/consumer-$linking" >/dev/null
  "$work/consumer-$linking/tarvix_consumer" "${consumer_files[@]}" | tail -n 1
  # The C interface's test, from a project with no C++ compiler.
  cmake -S tests/consumer_c -B "$work/consumer-c-$linking" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DTARVIX_USE_STATIC_LIBS=$use_static >/dev/null
  cmake --build "$work/consumer-c-$linking" >/dev/null
  "$work/consumer-c-$linking/tarvix_consumer_c"
  for program in "$work/consumer-$linking/tarvix_consumer" "$work/consumer-c-$linking/tarvix_consumer_c"; do
    needs_library=$(readelf -d "$program" | grep -c 'NEEDED.*libtarvix' || true)
    [ "$needs_library" -eq $needed ] || fail "$program links the wrong library"
  done
done
# The examples as installed build on their own: C++ and C99, against the prefix.
cmake -S "$examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples" >/dev/null
tests/check_example.sh "$tool" "$work/examples/whole_file"
tests/check_example.sh "$tool" "$work/examples/stream_file"

echo "== Consumers through pkg-config: C99 shared and static, C++"
pc() { PKG_CONFIG_PATH="$pc_dir" pkg-config "$@" tarvix; }
[ "$(pc --modversion)" = "$version" ] || fail "tarvix.pc says $(pc --modversion), the project $version"
contains "$(pc --static --libs)" "-lstdc++" "pkg-config --static gives no C++ runtime"
# shellcheck disable=SC2046 # the flags are meant to be split into words
c99 "$work/c-shared" tests/c/c_interface_test.c $(pc --cflags --libs)
LD_LIBRARY_PATH="$prefix/$libdir" "$work/c-shared" >/dev/null
# shellcheck disable=SC2046
c99 "$work/c-static" tests/c/c_interface_test.c $(pc --static --cflags) \
  -Wl,-Bstatic $(pc --static --libs) -Wl,-Bdynamic
"$work/c-static" >/dev/null
! grep -q 'NEEDED.*libtarvix' <<<"$(readelf -d "$work/c-static")" || fail "the static C program needs libtarvix"
# shellcheck disable=SC2046
g++ -std=c++20 -O2 tests/consumer/main.cpp -o "$work/cxx-pkg-config" $(pc --cflags --libs)
LD_LIBRARY_PATH="$prefix/$libdir" "$work/cxx-pkg-config" "${consumer_files[@]}" >/dev/null
echo "C99 (shared and static) and C++ programs built with pkg-config"

echo "== Consumer with add_subdirectory of the source tree"
cmake -S tests/consumer -B "$work/consumer-tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVIX_SOURCE_DIR="$PWD" | grep 'Building tarvix from'
cmake --build "$work/consumer-tree" -j2 >/dev/null
"$work/consumer-tree/tarvix_consumer" "${consumer_files[@]}" | tail -n 1

echo "== The Python module from the prefix, with no library path set"
# Its tests run there, with the installed tool as the reference.
python_env=(env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/$pydir" PYTHONDONTWRITEBYTECODE=1)
contains "$("${python_env[@]}" python3 -c 'import tarvix; print(tarvix.__file__, tarvix.__version__)')" \
  "^$prefix/$pydir/tarvix/__init__.py $version\$" "python3 did not import tarvix from $prefix"
tests/check_example.sh "$tool" "${python_env[@]}" python3 "$examples/tarvix_file.py"
(cd tests/python && "${python_env[@]}" TARVIX_TOOL="$tool" TARVIX_VERSION="$version" \
  TARVIX_DATAGEN="$datagen" python3 -m unittest -q test_tarvix)

echo "== Manual page"
check_man_page() {
  local page=$1 warnings
  warnings=$(zcat -f "$page" | groff -ww -z -man 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $page: $warnings"
}
check_man_page docs/tarvix.1
check_man_page "$prefix/share/man/man1/tarvix.1.gz"
contains "$(zcat "$prefix/share/man/man1/tarvix.1.gz")" "^\.TH TARVIX 1 [^ ]* \"tarvix $version\"" \
  "the installed manual page does not carry version $version"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$prefix/share/man/man1/tarvix.1.gz" | tail -n 1

if [ "$(id -u)" -ne 0 ]; then
  echo "== Not root: the packages are not installed"
  exit 0
fi

echo "== Install the four packages, use them from outside programs, remove them"
dpkg -i "${deb[@]}" >/dev/null
installed=yes
contains "$(ldconfig -p)" 'libtarvix\.so\.1 ' "the loader's cache lacks libtarvix.so.1"
# The programs, their manual pages.
tests/check_example.sh /usr/bin/tarvix /usr/bin/tarvix >/dev/null
TARVIX_DATAGEN=$datagen tests/tvx_e2e.sh /usr/bin/tvx /usr/bin/tarvix
for page in tarvix tvx untvx tvxcat; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page warns: $warnings"
done
# Outside C99 programs, built with pkg-config and nothing else, linked against
# libtarvix.so.1: the streaming example and the test of the whole interface.
cp /usr/share/doc/libtarvix-dev/examples/stream_file.c "$work/outside.c"
# shellcheck disable=SC2046
c99 "$work/outside" "$work/outside.c" $(pkg-config --cflags --libs tarvix)
contains "$(readelf -d "$work/outside")" 'NEEDED.*\[libtarvix\.so\.1\]' \
  "the outside C program is not linked against libtarvix.so.1"
tests/check_example.sh /usr/bin/tarvix "$work/outside"
# shellcheck disable=SC2046
c99 "$work/outside-test" tests/c/c_interface_test.c $(pkg-config --cflags --libs tarvix)
"$work/outside-test"
# Outside Python programs, with Debian's python3 and no path given: the
# module, its example, its tests against the installed tool, and its type
# hints as a program that uses it sees them.
contains "$(env -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 -c 'import tarvix; print(tarvix.__file__)')" \
  "^/usr/$pydir/tarvix/__init__.py\$" "/usr/bin/python3 does not import the packaged tarvix"
tests/check_example.sh /usr/bin/tarvix env -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 \
  /usr/share/doc/libtarvix-dev/examples/tarvix_file.py
(cd tests/python && env -u PYTHONPATH -u LD_LIBRARY_PATH PYTHONDONTWRITEBYTECODE=1 TARVIX_TOOL=/usr/bin/tarvix \
  TARVIX_VERSION="$version" TARVIX_DATAGEN="$datagen" /usr/bin/python3 -m unittest -q test_tarvix)
(cd tests/python && env -u MYPYPATH mypy --strict --config-file ../../pyproject.toml \
  --cache-dir "$work/mypy-cache" test_tarvix.py)
# CMake consumers with no prefix given.
cmake -S tests/consumer -B "$work/consumer-system" -G Ninja >/dev/null
cmake --build "$work/consumer-system" >/dev/null
"$work/consumer-system/tarvix_consumer" "${consumer_files[@]}" >/dev/null
cmake -S /usr/share/doc/libtarvix-dev/examples -B "$work/examples-system" -G Ninja >/dev/null
cmake --build "$work/examples-system" >/dev/null
tests/check_example.sh /usr/bin/tarvix "$work/examples-system/whole_file"
echo "outside C, C++ and Python programs work from the packages alone"

dpkg -r python3-tarvix libtarvix-dev tarvix libtarvix1 >/dev/null
installed=""
for path in /usr/bin/tarvix /usr/bin/tvx "/usr/$libdir/libtarvix.so.1" "/usr/$pydir/tarvix" \
  /usr/include/tarvix; do
  [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
echo "== Package checks passed"
