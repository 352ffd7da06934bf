#!/usr/bin/env bash
# Builds tarvix for every host it must run on and checks each against the
# native build:
#   s390x  s390x Linux, big-endian, static, under qemu-s390x
#   i686   i686 Linux, 32-bit, static, under qemu-i386
#   win64  Windows x86-64, static, under wine64
#   win32  Windows i686, 32-bit: built with warnings as errors, not run
# On each host that runs: the end-to-end suite; byte-identical compressed files
# for every file of ../shared/corpus/ and a set of generated edge inputs;
# files made natively restored there and files made there restored natively;
# the same exit status, output file and messages as the native build on
# damaged and hand-made compressed files and on the failing command lines;
# and the same-file refusal.
#
# Usage: scripts/cross-check.sh [HOST...]     (default: every host)
# Set TARVIX_KEEP_WORK=1 to keep the work folder for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all_hosts=(s390x i686 win64 win32)
hosts=("$@")
[ "${#hosts[@]}" -eq 0 ] && hosts=("${all_hosts[@]}")

declare -A preset=([s390x]=cross-s390x [i686]=cross-i686 [win64]=cross-win64 [win32]=cross-win32)
declare -A package=([s390x]="g++-s390x-linux-gnu qemu-user" [i686]="g++-i686-linux-gnu qemu-user"
  [win64]="g++-mingw-w64-x86-64 wine64" [win32]="g++-mingw-w64-i686")
declare -A binary=([native]="$root/build/cross-native/tarvix"
  [s390x]="$root/build/cross-s390x/tarvix" [i686]="$root/build/cross-i686/tarvix"
  [win64]="$root/build/cross-win64/tarvix.exe" [win32]="$root/build/cross-win32/tarvix.exe")
# The command that runs a program built for the host; empty for the native one.
declare -A emulator=([native]="" [s390x]="qemu-s390x" [i686]="qemu-i386"
  [win64]="/usr/lib/wine/wine64")

packages=(cmake ninja-build g++)
for host in "${hosts[@]}"; do
  if [ -z "${preset[$host]:-}" ]; then
    echo "cross-check: unknown host '$host' (known: ${all_hosts[*]})" >&2
    exit 2
  fi
  read -ra host_packages <<<"${package[$host]}"
  packages+=("${host_packages[@]}")
done
started=$SECONDS
scripts/ensure-packages.sh "${packages[@]}"
echo "cross-check: compilers and emulators ready in $((SECONDS - started)) s"

corpus=$root/../shared/corpus
if [ ! -d "$corpus" ]; then
  echo "cross-check: the corpus folder $corpus is missing" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-cross.XXXXXX")
wine_started=false
finish() {
  if $wine_started; then
    /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1 || true
  fi
  if [ "${TARVIX_KEEP_WORK:-0}" = 1 ]; then
    echo "cross-check: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap finish EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL [$1] $2"
}

# --- Builds ------------------------------------------------------------------

build() {  # LABEL BUILD-FOLDER PRESET
  local label=$1 folder=$2 started=$SECONDS
  cmake --preset "$3" -B "$folder" --fresh -DTARVIX_WERROR=ON >"$work/configure-$label.log" 2>&1 ||
    { cat "$work/configure-$label.log"; return 1; }
  nice cmake --build "$folder" -j2 >"$work/build-$label.log" 2>&1 ||
    { cat "$work/build-$label.log"; return 1; }
  echo "cross-check: built $label with warnings as errors in $((SECONDS - started)) s"
}

build native build/cross-native release
for host in "${hosts[@]}"; do
  build "$host" "build/${preset[$host]}" "${preset[$host]}"
done

# --- Inputs ------------------------------------------------------------------

# Every run happens in a folder of its own under $work, naming inputs as
# ../in/NAME and outputs by bare names, so the names typed, and with them the
# messages printed, are the same on every host.
mkdir "$work/in" "$work/bad" "$work/native"
cp "$corpus"/* "$work/in/"

generate_inputs() {
  local in=$work/in
  : >"$in/empty"
  printf 'a' >"$in/byte-1"
  printf 'ab' >"$in/bytes-2"
  printf 'abc' >"$in/bytes-3"
  printf 'abcd' >"$in/bytes-4"
  # Text of words drawn at random from a small set, so matches abound.
  perl -e 'srand(7); my @w = qw(the block coder reads each run of bytes and
    writes a match when three agree with an earlier place);
    print join(" ", map { $w[int rand @w] } 1 .. 40000), "\n"' >"$in/text"
  head -c 8191 "$in/text" >"$in/text-8191"
  head -c 8192 "$in/text" >"$in/text-8192"
  head -c 8193 "$in/text" >"$in/text-8193"
  head -c 16384 "$in/text" >"$in/text-16384"
  local n
  for n in 15 16 4095 4096 4111 8192; do
    head -c "$n" /dev/zero | tr '\0' 'x' >"$in/run-$n"
  done
  head -c 8192 /dev/zero >"$in/zeros-8192"
  # A run that crosses the boundary between the first and second block.
  { head -c 8000 "$in/text"; head -c 400 /dev/zero | tr '\0' 'y'; head -c 3000 "$in/text"; } \
    >"$in/run-across-blocks"
  perl -e 'srand(11); print pack("C*", map { int rand 256 } 1 .. 100000)' >"$in/random"
  # Bytes a text stream would change: CR LF, lone CR and LF, and Ctrl-Z.
  perl -e 'srand(13); print map { ("line\r\n", "\n", "\r", "\x1a", "z\x00") [int rand 5] } 1 .. 6000' \
    >"$in/line-ends"
  perl -e 'print pack("C*", map { $_ % 256 } 0 .. 65535)' >"$in/all-bytes"
  # Literals mixed with short runs and random stretches.
  perl -e 'srand(17); for (1 .. 3000) { my $k = int rand 3;
    print $k == 0 ? chr(int rand 256) x (1 + int rand 40)
        : $k == 1 ? pack("C*", map { int rand 256 } 1 .. int rand 20)
        : "abcabcabd" }' >"$in/mixed"
}
generate_inputs

inputs=()
for file in "$work"/in/*; do
  inputs+=("${file##*/}")
done

# Runs the tool built for HOST in folder DIR, standard output into OUT (a file,
# never a pipe: wine's helpers may hold a pipe open after the program ends).
# Sets $status to its exit status. A run that hangs is stopped after a while.
status=0
run() {  # HOST DIR OUT ARGS...
  local host=$1 dir=$2 out=$3
  shift 3
  local -a command=(timeout --kill-after=10 300)
  [ -n "${emulator[$host]}" ] && command+=("${emulator[$host]}")
  command+=("${binary[$host]}")
  status=0
  (cd "$dir" && "${command[@]}" "$@" >"$out" 2>"$out.stderr" </dev/null) || status=$?
}

# The native stdout as the host must print it: Windows ends lines with CR LF.
expected_stdout() {  # HOST NATIVE-OUT
  case $1 in
    win*) sed 's/$/\r/' "$2" ;;
    *) cat "$2" ;;
  esac
}

same_run() {  # HOST WHAT NATIVE-STATUS HOST-DIR NAME
  local host=$1 what=$2 native_status=$3 dir=$4 name=$5
  local ok=true
  if [ "$status" -ne "$native_status" ]; then
    fail "$host" "$what: exit status $status, native $native_status"
    ok=false
  fi
  if ! cmp -s <(expected_stdout "$host" "$work/native/$name.stdout") "$dir/$name.stdout"; then
    fail "$host" "$what: standard output differs from the native one"
    diff <(expected_stdout "$host" "$work/native/$name.stdout") "$dir/$name.stdout" | cat -A | head -n 6 || true
    ok=false
  fi
  if [ -s "$dir/$name.stdout.stderr" ]; then
    fail "$host" "$what: wrote to standard error: $(head -c 200 "$dir/$name.stdout.stderr")"
    ok=false
  fi
  if [ -e "$work/native/$name" ] || [ -e "$dir/$name" ]; then
    if ! cmp -s "$work/native/$name" "$dir/$name"; then
      fail "$host" "$what: output file differs from the native one"
      ok=false
    fi
  fi
  $ok && pass
  return 0
}

# --- Native reference --------------------------------------------------------

native_status=()
for name in "${inputs[@]}"; do
  run native "$work/native" "$name.tvx.stdout" "../in/$name" "$name.tvx"
  [ "$status" -eq 0 ] || { echo "cross-check: native compress of $name failed ($status)"; exit 1; }
done

# Damaged and hand-made compressed files, built from native output.
magic() { printf '\xd8\xc7\xb6\xa5'; }
make_bad_inputs() {
  local bad=$work/bad tvx=$work/native/alice29.txt.tvx
  head -c 4 "$tvx" >"$bad/magic-only"
  head -c 5 "$tvx" >"$bad/cut-in-length"
  head -c 106 "$tvx" >"$bad/cut-in-block"
  head -c $(($(stat -c %s "$tvx") - 1)) "$tvx" >"$bad/cut-last-byte"
  { cat "$tvx"; printf 'Q'; } >"$bad/one-byte-over"
  { magic; printf '\x00\x00'; } >"$bad/length-zero"
  { magic; printf '\x02\x20'; head -c 8194 /dev/zero; } >"$bad/length-8194"
  # Coded data of 1 to 3 bytes: an empty block.
  { magic; printf '\x03\x00\x40\x80\x00'; } >"$bad/coded-3-bytes"
  # A run item of the largest count, 4111 bytes of "x".
  { magic; printf '\x07\x00\x40\x80\x00\x00\x0f\xff\x78'; } >"$bad/run-4111"
  # A literal, then a match of 18 bytes at distance 1: the control word's two
  # bytes differ, so it is read big-endian or the output shows it.
  { magic; printf '\x06\x00\x40\x40\x00\x61\x00\x1f'; } >"$bad/control-word-order"
  # A match that reaches before the start of the block.
  { magic; printf '\x05\x00\x40\x80\x00\x00\x13'; } >"$bad/match-before-start"
  # Random data's stored block read as coded: the kind byte 0x80 made 0x00.
  perl -e 'local $/; my $d = <STDIN>; substr($d, 6, 1) = "\x00"; print $d' \
    <"$work/native/random.tvx" >"$bad/stored-read-as-coded"
  # The corpus text with bytes flipped every 997 bytes past the magic.
  perl -e 'local $/; my $d = <STDIN>; for (my $i = 4; $i < length $d; $i += 997) {
    substr($d, $i, 1) = chr(ord(substr($d, $i, 1)) ^ 0x5a) } print $d' <"$tvx" >"$bad/flipped"
}
make_bad_inputs

bad_inputs=()
for file in "$work"/bad/*; do
  bad_inputs+=("${file##*/}")
done

for name in "${bad_inputs[@]}"; do
  run native "$work/native" "$name.out.stdout" "../bad/$name" "$name.out"
  native_status+=("$status")
done

# Failing command lines: LABEL|ARGS (split on spaces).
failing_lines=(
  "no-names|"
  "one-name|../in/text"
  "same-names|../in/text ../IN/TEXT"
  "source-missing|no-such-file target"
  "target-folder-missing|../in/text no-such-folder/target"
)
declare -A failing_status
for line in "${failing_lines[@]}"; do
  label=${line%%|*}
  read -ra args <<<"${line#*|}"
  run native "$work/native" "$label.stdout" "${args[@]}"
  failing_status[$label]=$status
done

# --- Host checks -------------------------------------------------------------

check_corpus_and_edges() {  # HOST
  local host=$1 dir=$work/$1 name
  for name in "${inputs[@]}"; do
    # Made on the host: the same bytes and the same messages as native.
    run "$host" "$dir" "$name.tvx.stdout" "../in/$name" "$name.tvx"
    same_run "$host" "compress $name" 0 "$dir" "$name.tvx"
    # Made natively, restored on the host.
    run "$host" "$dir" "$name.back.stdout" "../native/$name.tvx" "$name.back"
    if [ "$status" -eq 0 ] && cmp -s "$work/in/$name" "$dir/$name.back"; then
      pass
    else
      fail "$host" "restore of the native $name.tvx: exit status $status or bytes differ"
    fi
    # Made on the host, restored natively.
    run native "$dir" "$name.native-back.stdout" "$name.tvx" "$name.native-back"
    if [ "$status" -eq 0 ] && cmp -s "$work/in/$name" "$dir/$name.native-back"; then
      pass
    else
      fail "$host" "native restore of the host's $name.tvx: exit status $status or bytes differ"
    fi
  done
}

check_bad_inputs() {  # HOST
  local host=$1 dir=$work/$1 i
  for i in "${!bad_inputs[@]}"; do
    run "$host" "$dir" "${bad_inputs[i]}.out.stdout" "../bad/${bad_inputs[i]}" "${bad_inputs[i]}.out"
    same_run "$host" "restore of ${bad_inputs[i]}" "${native_status[i]}" "$dir" "${bad_inputs[i]}.out"
  done
}

check_failing_lines() {  # HOST
  local host=$1 dir=$work/$1 line label args
  for line in "${failing_lines[@]}"; do
    label=${line%%|*}
    read -ra args <<<"${line#*|}"
    run "$host" "$dir" "$label.stdout" "${args[@]}"
    same_run "$host" "command line '${line#*|}'" "${failing_status[$label]}" "$dir" "$label"
  done
}

# Two names of one file are refused (status 8, the file untouched); two files
# are not, whatever their names. On Windows this rests on the file identity
# that the platform gives, since stat() has no inode numbers there.
check_same_file() {  # HOST
  local host=$1 dir=$work/$1/same
  mkdir -p "$dir/sub"
  cp "$work/in/alice29.txt" "$dir/a"
  cp "$work/in/text" "$dir/b"
  chmod u+w "$dir/a"
  cp "$dir/a" "$dir/a.saved"
  ln "$dir/a" "$dir/hard-link"
  local -a refused=("a ./a" "./a a" "a sub/../a" "a hard-link")
  local -a allowed=("a b" "b.tvx a.copy" "a new")
  case $host in win*) refused+=('a .\a' 'a sub\..\a') ;; esac
  local pair
  for pair in "${refused[@]}"; do
    read -ra args <<<"$pair"
    run "$host" "$dir" same.stdout "${args[@]}"
    if [ "$status" -eq 8 ] && cmp -s "$dir/a" "$dir/a.saved"; then
      pass
    else
      fail "$host" "'$pair' names one file: exit status $status (not 8), or the file changed"
    fi
  done
  for pair in "${allowed[@]}"; do
    read -ra args <<<"$pair"
    run "$host" "$dir" same.stdout "${args[@]}"
    if [ "$status" -eq 0 ]; then
      pass
    else
      fail "$host" "'$pair' names two files but was refused or failed: exit status $status"
    fi
    [ "$pair" = "a b" ] && mv "$dir/b" "$dir/b.tvx"
  done
  if cmp -s "$dir/a.copy" "$dir/a"; then pass; else fail "$host" "a.copy differs from a"; fi
}

check_end_to_end() {  # HOST
  local host=$1
  local -a prefix=()
  [ -n "${emulator[$host]}" ] && prefix=("${emulator[$host]}")
  if [ ! -x tests/e2e.sh ]; then
    fail "$host" "tests/e2e.sh is missing: the end-to-end suite did not run"
    return 0
  fi
  local eol=lf
  case $host in win*) eol=crlf ;; esac
  if TARVIX_EOL=$eol timeout --kill-after=10 900 tests/e2e.sh "${binary[$host]}" "${prefix[@]}" >"$work/e2e-$host.log" 2>&1; then
    pass
  else
    fail "$host" "end-to-end suite failed; its last lines:"
    tail -n 20 "$work/e2e-$host.log"
  fi
}

start_wine() {
  export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # One server for every run; the first run in a new prefix sets it up.
  /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
  wine_started=true
  timeout 300 /usr/lib/wine/wine64 wineboot --init >"$work/wineboot.log" 2>&1 </dev/null
}

timings=()
for host in "${hosts[@]}"; do
  if [ "$host" = win32 ]; then
    echo "cross-check: win32 built with no warning; 32-bit Windows programs cannot run on this machine, so it is not run"
    continue
  fi
  started=$SECONDS
  failed_before=$failed
  mkdir -p "$work/$host"
  [ "$host" = win64 ] && start_wine
  check_end_to_end "$host"
  check_corpus_and_edges "$host"
  check_bad_inputs "$host"
  check_failing_lines "$host"
  check_same_file "$host"
  verdict=passed
  [ "$failed" -eq "$failed_before" ] || verdict="FAILED ($((failed - failed_before)) checks)"
  echo "cross-check: $host $verdict in $((SECONDS - started)) s"
  timings+=("$host $((SECONDS - started)) s")
done

echo "cross-check: ${#inputs[@]} inputs, ${#bad_inputs[@]} damaged files; $passed checks passed, $failed failed (${timings[*]})"
[ "$failed" -eq 0 ]
