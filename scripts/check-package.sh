#!/usr/bin/env bash
# Checks what users get: the install tree, the consumer program built against
# the installed library (CMake and pkg-config) and with add_subdirectory of the
# source tree, the manual page, and the Debian package, which is built,
# inspected, installed, run and removed again. The consumer must compress,
# restore and restore a damaged file exactly as the installed tool does.
# Installing the Debian package needs root; without root that part is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ pkg-config groff-base man-db dpkg-dev gzip file

build=build/package
work=$(mktemp -d)
prefix="$work/prefix"
installed_package=""
cleanup() {
  if [ -n "$installed_package" ]; then
    dpkg -r tarvix >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-package: $*" >&2
  exit 1
}

echo "== Release build for the package (prefix /usr, Debian's hardening flags)"
# The flags Debian builds its packages with, without their -g and -O2: the
# release build's own optimisation stays, and CPack strips the program.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
hardening=$(dpkg-buildflags --get CPPFLAGS)
for flag in $(dpkg-buildflags --get CXXFLAGS); do
  case $flag in -g | -O2 | -ffile-prefix-map=*) ;; *) hardening+=" $flag" ;; esac
done
rm -rf "$build"
CXXFLAGS="$hardening ${CXXFLAGS:-}" LDFLAGS="$(dpkg-buildflags --get LDFLAGS) ${LDFLAGS:-}" \
  cmake --preset release -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
grep '^CMAKE_CXX_FLAGS:\|^CMAKE_EXE_LINKER_FLAGS:' "$build/CMakeCache.txt"
cmake --build "$build" -j2 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
echo "version $version"

echo "== Install into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -mindepth 1 | sort)
[ -x "$prefix/bin/tarvix" ] || fail "bin/tarvix is not installed"
for header in block_format.h block_encoder.h block_decoder.h container.h version.h; do
  [ -f "$prefix/include/tarvix/$header" ] || fail "include/tarvix/$header is not installed"
done
[ -f "$prefix/share/doc/tarvix/format.md" ] || fail "share/doc/tarvix/format.md is not installed"
[ ! -e "$prefix/include/tarvix/block_encoder_internal.h" ] ||
  fail "the internal header must not be installed"
pc_file=$(find "$prefix" -name tarvix.pc)
[ -n "$pc_file" ] || fail "tarvix.pc is not installed"
pc_dir=$(dirname "$pc_file")

echo "== Files made by the installed tool, for the consumers"
sample=../shared/corpus/alice29.txt
if [ ! -f "$sample" ]; then
  sample="$work/sample"
  for _ in 1 2 3 4 5 6 7 8; do cat LICENSE docs/tarvix.1; done >"$sample"
fi
"$prefix/bin/tarvix" "$sample" "$work/sample.tvx" >/dev/null
# Cut inside the last record: the tool keeps the blocks before it and exits 7.
head -c "$(($(stat -c %s "$work/sample.tvx") - 100))" "$work/sample.tvx" >"$work/cut.tvx"
cut_status=0
"$prefix/bin/tarvix" "$work/cut.tvx" "$work/cut.out" >/dev/null || cut_status=$?
[ "$cut_status" -eq 7 ] || fail "the tool restored a cut file with status $cut_status, not 7"
consumer_files=("$sample" "$work/sample.tvx" "$work/cut.tvx" "$work/cut.out" "$cut_status")
echo "$sample: $(stat -c %s "$sample") -> $(stat -c %s "$work/sample.tvx") bytes;" \
  "cut to $(stat -c %s "$work/cut.tvx"): status 7, $(stat -c %s "$work/cut.out") bytes restored"

echo "== Consumer through find_package(tarvix CONFIG)"
configure_log=$(cmake -S tests/consumer -B "$work/consumer-cmake" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix")
grep 'Found tarvix' <<<"$configure_log"
grep -q "Found tarvix $version in $prefix/" <<<"$configure_log" ||
  fail "find_package did not find tarvix $version in $prefix"
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/tarvix_consumer" "${consumer_files[@]}"

echo "== Consumer through pkg-config"
pc_version=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --modversion tarvix)
[ "$pc_version" = "$version" ] || fail "tarvix.pc says $pc_version, the project $version"
# shellcheck disable=SC2046 # the flags are meant to be split into words
g++ -std=c++20 -O2 tests/consumer/main.cpp -o "$work/consumer-pkg-config" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs tarvix)
"$work/consumer-pkg-config" "${consumer_files[@]}" | tail -n 1

echo "== Consumer with add_subdirectory of the source tree"
cmake -S tests/consumer -B "$work/consumer-tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVIX_SOURCE_DIR="$PWD" | grep 'Building tarvix from'
cmake --build "$work/consumer-tree" -j2 >/dev/null
"$work/consumer-tree/tarvix_consumer" "${consumer_files[@]}" | tail -n 1

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
zcat "$prefix/share/man/man1/tarvix.1.gz" | grep -q "^\.TH TARVIX 1 [^ ]* \"tarvix $version\"" ||
  fail "the installed manual page does not carry version $version"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$prefix/share/man/man1/tarvix.1.gz" | tail -n 1

echo "== Debian package"
(cd "$build" && cpack -G DEB >/dev/null)
architecture=$(dpkg --print-architecture)
deb="$build/tarvix_${version}_${architecture}.deb"
[ -f "$deb" ] || fail "cpack did not make $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/tarvix ./usr/share/man/man1/tarvix.1.gz ./usr/share/doc/tarvix/copyright \
  ./usr/share/doc/tarvix/format.md ./usr/include/tarvix/block_encoder.h \
  ./usr/include/tarvix/container.h; do
  grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/bin/tarvix >"$work/packaged-tarvix"
if file "$work/packaged-tarvix" 2>/dev/null | grep -q 'not stripped'; then
  fail "the packaged tarvix is not stripped"
fi

if scripts/ensure-packages.sh lintian >/dev/null 2>&1 && command -v lintian >/dev/null; then
  echo "== lintian"
  # Warnings and errors fail the check; informational tags are shown only.
  lintian_status=0
  lintian_output=$(lintian --info --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
  grep -v 'running with root privileges' <<<"$lintian_output" || true
  [ "$lintian_status" -eq 0 ] || fail "lintian reports problems with $deb"
  echo "lintian: no error or warning"
else
  echo "== lintian is not available; the package is not linted"
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "== Not root: the package is not installed"
  exit 0
fi

echo "== Install the package, run it, remove it"
dpkg -i "$deb" >/dev/null
installed_package=yes
[ -x /usr/bin/tarvix ] || fail "/usr/bin/tarvix is missing after dpkg -i"
/usr/bin/tarvix "$sample" "$work/sample.tvx"
/usr/bin/tarvix "$work/sample.tvx" "$work/sample.out"
cmp "$sample" "$work/sample.out" || fail "the installed tarvix did not restore $sample"
echo "round trip of $sample: $(stat -c %s "$sample") -> $(stat -c %s "$work/sample.tvx") bytes"
if [ -f /usr/share/man/man1/tarvix.1.gz ]; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings tarvix 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man tarvix warns: $warnings"
fi
# The installed codec serves a consumer with no prefix given.
cmake -S tests/consumer -B "$work/consumer-system" -G Ninja >/dev/null
cmake --build "$work/consumer-system" >/dev/null
"$work/consumer-system/tarvix_consumer" "${consumer_files[@]}" >/dev/null
# shellcheck disable=SC2046 # the flags are meant to be split into words
g++ -std=c++20 tests/consumer/main.cpp -o "$work/consumer-system-pc" \
  $(pkg-config --cflags --libs tarvix)
"$work/consumer-system-pc" "${consumer_files[@]}" >/dev/null
echo "consumers built against the installed package"

dpkg -r tarvix >/dev/null
installed_package=""
[ ! -e /usr/bin/tarvix ] || fail "/usr/bin/tarvix is left after dpkg -r"
echo "== Package checks passed"
