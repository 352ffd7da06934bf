#!/usr/bin/env bash
# Runs the whole test suite on every host tarvix must run on, then checks that
# the hosts agree on the files they make:
#   s390x  s390x Linux, big-endian, static, under qemu-s390x   preset test-s390x
#   i686   i686 Linux, 32-bit, static, under qemu-i386         preset test-i686
#   win64  Windows x86-64, static, under wine64                preset test-win64
#   win32  Windows i686, 32-bit: built, not run                preset test-win32
# Each host's workflow preset builds the program and the tests with warnings as
# errors and runs them with ctest under the host's emulator. What no suite on
# one host can see is checked here: every corpus file (if there is a corpus),
# each shape of the generated data and a few edge inputs,
# compressed on each host, give the same bytes as natively, and every host
# restores the files each host made.
#
# Usage: scripts/cross-check.sh [HOST...]     (default: every host)
# Set TARVIX_KEEP_WORK=1 to keep the work folder for a look afterwards, and
# TARVIX_CORPUS_DIR for a corpus other than ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all_hosts=(s390x i686 win64 win32)
hosts=("$@")
[ "${#hosts[@]}" -eq 0 ] && hosts=("${all_hosts[@]}")

declare -A package=([s390x]="g++-s390x-linux-gnu qemu-user" [i686]="g++-i686-linux-gnu qemu-user"
  [win64]="g++-mingw-w64-x86-64 wine64" [win32]="g++-mingw-w64-i686")
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev)
for host in "${hosts[@]}"; do
  if [ -z "${package[$host]:-}" ]; then
    echo "cross-check: unknown host '$host' (known: ${all_hosts[*]})" >&2
    exit 2
  fi
  read -ra host_packages <<<"${package[$host]}"
  packages+=("${host_packages[@]}")
done
started=$SECONDS
scripts/ensure-packages.sh "${packages[@]}"
echo "cross-check: compilers and emulators ready in $((SECONDS - started)) s"

corpus=${TARVIX_CORPUS_DIR:-$root/../shared/corpus}
if [ ! -d "$corpus" ]; then
  echo "cross-check: no corpus at $corpus; the generated data and edge inputs alone"
  corpus=
fi
# shellcheck source=scripts/work-folder.sh
. scripts/work-folder.sh
make_work_folder cross cross-check

failed=0
fail() {
  failed=$((failed + 1))
  echo "FAIL [$1] $2"
}

test_names() {  # BUILD-FOLDER: the names of its tests, sorted
  ctest --test-dir "$1" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort
}

# --- The suite on each host ------------------------------------------------

# The native suite, for the count each host is held to; the debug build of
# the README's test command, when there is one.
native_tests=()
if [ -e build/debug/CTestTestfile.cmake ]; then
  mapfile -t native_tests < <(test_names build/debug)
fi

runnable=(native)
for host in "${hosts[@]}"; do
  started=$SECONDS
  log=$work/workflow-$host.log
  if ! cmake --workflow --preset "test-$host" --fresh >"$log" 2>&1; then
    fail "$host" "cmake --workflow --preset test-$host failed; its last lines:"
    tail -n 30 "$log"
    continue
  fi
  if [ "$host" = win32 ]; then
    echo "cross-check: win32 built with the tests in $((SECONDS - started)) s; 32-bit Windows programs cannot run on this machine"
    continue
  fi
  runnable+=("$host")
  mapfile -t host_tests < <(test_names "build/test-$host")
  summary="${#host_tests[@]} tests passed"
  if [ "${#native_tests[@]}" -gt 0 ]; then
    summary+=" (native: ${#native_tests[@]})"
    missing=$(comm -23 <(printf '%s\n' "${native_tests[@]}") <(printf '%s\n' "${host_tests[@]}"))
    [ -z "$missing" ] || echo "cross-check: $host lacks the native tests:"$'\n'"$missing"
    if [ $((10 * ${#host_tests[@]})) -lt $((9 * ${#native_tests[@]})) ]; then
      fail "$host" "runs ${#host_tests[@]} tests, less than 90% of the ${#native_tests[@]} native ones"
    fi
  fi
  echo "cross-check: $host: $summary in $((SECONDS - started)) s"
done

# --- Files made on one host, restored on every host ---------------------------

started=$SECONDS
{ cmake --workflow --preset release && cmake --build --preset release --target tarvix_datagen; } \
  >"$work/workflow-native.log" 2>&1 || { cat "$work/workflow-native.log"; exit 1; }
datagen=$root/build/release/tarvix_datagen

# The command that runs each host's program: its end_to_end test's program and
# emulator, so that it is the one the suite ran.
declare -A runner=([native]="$root/build/release/tarvix")
for host in "${runnable[@]:1}"; do
  runner[$host]=$(ctest --test-dir "build/test-$host" --show-only=json-v1 | perl -MJSON::PP -0777 -ne '
    for my $test (@{decode_json($_)->{tests}}) {
      next unless $test->{name} eq "end_to_end";
      my (undef, $tarvix, @emulator) = @{$test->{command}};
      print join("\n", @emulator, $tarvix);
    }')
done

mkdir "$work/in"
[ -n "$corpus" ] && cp "$corpus"/* "$work/in/"
(
  cd "$work/in"
  while read -r shape; do
    "$datagen" "$shape" 300000 3 >"generated-$shape"
  done < <("$datagen" --list)
)
(
  cd "$work/in"
  : >empty
  printf 'a' >byte-1
  printf 'abc' >bytes-3
  "$datagen" text 200000 7 >words
  for n in 8191 8192 8193; do head -c "$n" words >"words-$n"; done
  head -c 4111 /dev/zero | tr '\0' 'x' >run-4111
  # A run across the boundary between the first and the second block.
  { head -c 8000 words; head -c 400 /dev/zero | tr '\0' 'y'; head -c 3000 words; } >run-across-blocks
  "$datagen" random 100000 11 >noise
  "$datagen" mixed 100000 12 >stretches
  # Bytes a text stream would change: CR LF, lone CR and LF, Ctrl-Z, NUL.
  "$datagen" line_ends 20000 13 >line-ends
)
inputs=()
for file in "$work"/in/*; do
  inputs+=("${file##*/}")
done

# Runs HOST's program in its folder under $work with names relative to it.
# Standard output goes to a file, never a pipe, which wine's server may hold
# open after the program ends. Sets $status.
run() {  # HOST ARGS...
  local host=$1
  shift
  local -a program
  mapfile -t program <<<"${runner[$host]}"
  status=0
  (cd "$work/$host" && timeout --kill-after=10 300 "${program[@]}" "$@" >run.out 2>&1 </dev/null) ||
    status=$?
}

for host in "${runnable[@]}"; do
  mkdir "$work/$host"
  for name in "${inputs[@]}"; do
    run "$host" "../in/$name" "$name.tvx"
    [ "$status" -eq 0 ] || fail "$host" "compress $name: exit status $status"
  done
done
for name in "${inputs[@]}"; do
  # Made on each host: the native bytes. A file that differs is restored on
  # every host below as well.
  makers=(native)
  for host in "${runnable[@]:1}"; do
    if ! cmp -s "$work/native/$name.tvx" "$work/$host/$name.tvx"; then
      fail "$host" "$name.tvx differs from the native one"
      makers+=("$host")
    fi
  done
  for host in "${runnable[@]}"; do
    for maker in "${makers[@]}"; do
      run "$host" "../$maker/$name.tvx" "$name.from-$maker"
      if [ "$status" -ne 0 ] || ! cmp -s "$work/in/$name" "$work/$host/$name.from-$maker"; then
        fail "$host" "restore of $name.tvx made on $maker: exit status $status, or other bytes"
      fi
    done
  done
done
echo "cross-check: ${#inputs[@]} inputs compressed on ${runnable[*]}, each file restored on every one, in $((SECONDS - started)) s"

if [ "$failed" -ne 0 ]; then
  echo "cross-check: $failed checks failed"
  exit 1
fi
echo "cross-check: every host passed"
