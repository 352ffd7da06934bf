#!/usr/bin/env bash
# End-to-end tests of tvx: one table of runs, each with its command, exit
# status, standard error and the files it leaves. The bytes tvx writes are
# held to those of tarvix.
#
# usage: tests/tvx_e2e.sh TVX TARVIX [EMULATOR ARGS...]
#   TVX, TARVIX  the programs (untvx and tvxcat lie beside TVX)
#   EMULATOR     an optional prefix that runs them (qemu-s390x, wine64, ...)
# Environment: TARVIX_EOL=crlf for a Windows build, whose standard error ends
#   lines in CR LF: the rows that only a POSIX host can set up (links, modes,
#   signals, tar, terminals) are left out then. TARVIX_DATAGEN: the data
#   generator (default: tarvix_datagen beside TARVIX).
set -uo pipefail

[ $# -ge 2 ] || { echo "usage: $0 TVX TARVIX [EMULATOR ARGS...]" >&2; exit 2; }
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
tvx_program=$(absolute "$1")
tarvix_program=$(absolute "$2")
shift 2
datagen=$(absolute "${TARVIX_DATAGEN:-$(dirname "$tarvix_program")/tarvix_datagen}")
emulator=("$@")
windows=false
[ "${TARVIX_EOL:-lf}" = crlf ] && windows=true
suffix=""
$windows && suffix=.exe
program_dir=$(dirname "$tvx_program")

work=$(mktemp -d "${TMPDIR:-/tmp}/tvx-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

# The programs as the rows call them. TVX is the whole command, for tar -I.
tvx() { "${emulator[@]}" "$tvx_program" "$@"; }
untvx() { "${emulator[@]}" "$program_dir/untvx$suffix" "$@"; }
tvxcat() { "${emulator[@]}" "$program_dir/tvxcat$suffix" "$@"; }
# shellcheck disable=SC2034 # the rows use it, through eval
TVX="${emulator[*]} $tvx_program"
generate() { "${emulator[@]}" "$datagen" "$@"; }
reference() { "${emulator[@]}" "$tarvix_program" "$1" "$2" >/dev/null || exit 2; }

# The sources, and what tarvix makes of them: prose of 3 blocks and a bit;
# blend data of many batches; the worked example; a cut file.
generate text 30000 1 >prose
generate mixed 2000000 2 >blend
printf 'abcabcabc' >abc
for name in prose blend abc; do
  reference "$name" "$name.ref"
done
cat abc.ref abc.ref >abc2.ref
head -c 1000 prose.ref >cut.tvx
mkdir folder
cp abc folder/a
cp prose folder/t
cat prose blend >prose+blend
# Three batches of 512 KiB, of which two are written when the third is read;
# the first two compressed, and then ended by a length field of 0; records
# that restore to nothing.
head -c $((3 << 19)) blend >blend3
head -c $((2 << 19)) blend >blend2
reference blend2 blend2.ref
{ cat blend2.ref && printf '\0\0'; } >marked.ref
{ printf '\330\307\266\245' && printf '\001\000\100%.0s' $(seq 100000); } >empties.tvx

passed=0
failed=0
fail() {
  echo "FAIL: $label: $*"
  failed=$((failed + 1))
  row_ok=false
}

# check KIND:A[:B]: same:A:B (equal files), absent:A, present:A,
# holds:A:TEXT (A holds exactly TEXT), mode:A:BITS (octal permission bits),
# mtime:A:B (the same modification time), none:GLOB (no file matches).
check() {
  local kind a b
  IFS=: read -r kind a b <<<"$1"
  case $kind in
    same) cmp -s "$a" "$b" || fail "$a and $b differ" ;;
    absent) [ ! -e "$a" ] || fail "$a exists" ;;
    present) [ -e "$a" ] || fail "$a is missing" ;;
    holds) [ "$(cat "$a" 2>/dev/null)" = "$b" ] || fail "$a holds '$(cat "$a" 2>/dev/null)', not '$b'" ;;
    mode) [ "$(stat -c %a "$a")" = "$b" ] || fail "$a has mode $(stat -c %a "$a"), not $b" ;;
    mtime) [ "$(stat -c %Y "$a")" = "$(stat -c %Y "$b")" ] || fail "$a has not the time of $b" ;;
    none) compgen -G "$a" >/dev/null && fail "files are left: $(compgen -G "$a" | tr '\n' ' ')" ;;
    *) fail "unknown check $1" ;;
  esac
}

# interrupted FEED READY ARGS...: sends SIGTERM to tvx ARGS..., which reads
# a pipe that stays open once FEED is in it, when the command READY succeeds:
# the run ends by the signal, with its status.
interrupted() {
  local feed=$1 ready=$2 pid tries status
  shift 2
  rm -f slow && mkfifo slow
  # Started directly, not through the function, so that $! is the program.
  "${emulator[@]}" "$tvx_program" "$@" <slow &
  pid=$!
  exec 9>slow
  cat "$feed" >&9
  for ((tries = 0; tries < 100; tries++)); do
    eval "$ready" && break
    sleep 0.1
  done
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  exec 9>&-
  return "$status"
}

# The first 10 bytes of what COMMAND... writes; the status is the command's.
first_bytes() { "$@" | head -c 10; }

# Runs COMMAND in a pseudo-terminal, standard error merged into its output.
in_terminal() { script -qec "$1" /dev/null; }
# The same in a terminal of 50 columns; fails if a line it shows between
# carriage returns is wider than 49.
in_narrow_terminal() {
  in_terminal "stty cols 50 && $1" >narrow
  cat narrow
  ! tr '\r' '\n' <narrow | grep -q '.\{50\}'
}

# What -l prints for abc.ref and a file of two stored blocks, as one line
# with \n between its lines.
generate random 10000 3 >noise
reference noise noise.ref
listing=$(printf '%14s %14s %6s %9s %8s  %s\\n' compressed restored ratio records stored name \
  14 9 1.556 1 0 abc.ref 10010 10000 1.001 2 2 noise.ref 10024 10009 1.001 3 2 total)

# Stretches of what files restore to, cut as tail and head cut them, for
# --range: of one file, across the end of the first of two files one after
# another, and across a short block inside one file (records run on without
# a second magic); halves of the blend data cut at a multiple of 8192 bytes,
# for --join.
cat prose.ref blend.ref >two.tvx
{ cat prose.ref && tail -c +5 blend.ref; } >inner.tvx
cut_restored() { tvx -dc "$1" 2>/dev/null | tail -c +"$(($2 + 1))" | head -c "$3"; }
cut_restored blend.ref 1000000 307200 >single.cut
cut_restored two.tvx 29000 5000 >two.cut
cut_restored inner.tvx 29000 5000 >inner.cut
cut_restored blend.ref 1996800 1000000 >end.cut
head -c 100000 blend.ref >blend.cut.tvx
cut_restored blend.cut.tvx 5000 200000 >fault.cut
head -c 819200 blend >half1
tail -c +819201 blend >half2
tvx -c half1 >half1.tvx
tvx -c half2 >half2.tvx

# needs | label | command | status | standard output | standard error |
# checks. The outputs are globs, with \n between lines; an empty one is not
# checked for standard output, and must be empty for standard error. needs:
# any host; posix (not Windows); direct (the program run directly, not
# through an emulator, which has descriptors of its own).
rows=(
  # The bytes are tarvix's, through every way in and out.
  "any   | compress a file beside it, the source kept | tvx prose | 0 | | | same:prose.tvx:prose.ref present:prose"
  "any   | restore it, the compressed file kept | cp prose.ref r.tvx && tvx -d r.tvx | 0 | | | same:r:prose present:r.tvx"
  "any   | standard input to standard output | tvx <blend | 0 | | | same:out:blend.ref"
  "any   | and back | tvx -d <blend.ref | 0 | | | same:out:blend"
  "any   | -c writes standard output | tvx -c blend | 0 | | | same:out:blend.ref absent:blend.tvx"
  "any   | -o names the target | tvx -o named.tvx abc | 0 | | | same:named.tvx:abc.ref"
  "any   | the same bytes on 1 and on 3 threads | tvx -T1 -c blend >one.tvx && tvx --threads=3 -c blend | 0 | | | same:one.tvx:blend.ref same:out:blend.ref"
  "posix | untvx and tvxcat restore | cp abc.ref u.tvx && untvx u.tvx && tvxcat prose.ref | 0 | | | same:u:abc same:out:prose"
  "any   | compressed files one after another restore to the concatenation | cat prose.ref blend.ref >both.tvx && tvx -dc both.tvx | 0 | | | same:out:prose+blend"
  "any   | -o - is standard output, for several files too | tvx -o - abc abc | 0 | | | same:out:abc2.ref"
  "any   | a long option by its start alone | tvx --decomp --std abc.ref | 0 | | | same:out:abc"
  "any   | several files, each beside itself | cp prose s1 && cp abc s2 && tvx -k s1 s2 | 0 | | | same:s1.tvx:prose.ref same:s2.tvx:abc.ref"
  # The options' effects.
  "any   | --rm removes the source once the target is written | cp prose gone && tvx --rm gone | 0 | | | absent:gone same:gone.tvx:prose.ref"
  "any   | -f writes over an existing target | printf old >f.tvx && tvx -f -o f.tvx abc | 0 | | | same:f.tvx:abc.ref"
  "any   | -t passes a sound file and names a damaged one | tvx -t prose.ref cut.tvx | 1 | | tvx: cut.tvx: the compressed file is cut short | absent:cut"
  "any   | -l lists sizes, ratio, records and stored blocks | tvx -l abc.ref noise.ref | 0 | $listing | |"
  "any   | -v tells the sizes on standard error | tvx -v -o v.tvx abc | 0 | | tvx: abc: 9 -> 14 bytes (1.556), v.tvx | same:v.tvx:abc.ref"
  "any   | --range restores a stretch of one file | tvx -d --range=1000000:300K -c blend.ref | 0 | | | same:out:single.cut"
  "any   | across the end of the first of two files | tvx -d --range=29000:5000 -c two.tvx | 0 | | | same:out:two.cut"
  "any   | across a short block inside a file | tvx -d --range=29000:5000 -o inner.part inner.tvx | 0 | | | same:inner.part:inner.cut"
  "posix | from a pipe, reading on | tvx -d --range=29000:5000 < <(cat inner.tvx) | 0 | | | same:out:inner.cut"
  "any   | without a length, to the end | tvx -d --range=1950K -c blend.ref | 0 | | | same:out:end.cut"
  "any   | past the end, nothing | tvx -d --range=5G:1 -c blend.ref | 0 | | | holds:out:"
  "any   | a fault before the range | tvx -d --range=2000 -c cut.tvx | 1 | | tvx: cut.tvx: the compressed file is cut short |"
  "any   | a fault inside the range, after the bytes before it | tvx -d --range=5000:200000 -c blend.cut.tvx | 1 | | tvx: blend.cut.tvx: the compressed file is cut short | same:out:fault.cut"
  "any   | --range needs -d | tvx --range=1 abc | 1 | | tvx: --range restores: give it with -d\nTry 'tvx --help' for more. |"
  "any   | a range that is no range | tvx -d --range=1:x abc.ref | 1 | | tvx: the range must be OFFSET?:LENGTH? in bytes (K, M, G: times 1024, 1024^2, 1024^3), not '1:x'\nTry 'tvx --help' for more. |"
  "any   | --join gives tarvix's bytes for the whole | tail -c +5 half2.tvx >half2.rec && tvx --join half1.tvx half2.rec -o joined.tvx | 0 | | | same:joined.tvx:blend.ref"
  "any   | and to standard output, from whole files | tvx --join -c half1.tvx half2.tvx | 0 | | | same:out:blend.ref"
  "any   | --join refuses a short block in the middle | tvx --join prose.ref abc.ref -o no.tvx | 1 | | tvx: prose.ref: would leave a short block in the middle (every part but the last must restore to whole blocks of 8192 bytes) | absent:no.tvx none:.no.tvx.*"
  "any   | --join writes one file | tvx --join prose.ref | 1 | | tvx: --join writes one file: name it with -o, or write to standard output with -c\nTry 'tvx --help' for more. |"
  "any   | -l walks a file with a short block inside | tvx -l inner.tvx | 0 | *2030000*inner.tvx | |"
  "any   | --progress shows a line and clears it | tvx --progress -c abc | 0 | | *tvx: abc: 0.0 MiB, 100%, * | same:out:abc.ref"
  "posix | the line fits the terminal, the name cut in its middle | cp abc a-name-too-long-for-fifty-columns-with-the-rest && in_narrow_terminal \"\$TVX --progress -c a-name-too-long-for-fifty-columns-with-the-rest >/dev/null\" | 0 | *tvx: a-name-*...*-rest: 0.0 MiB, 100%, * | |"
  "any   | levels are accepted and ignored | tvx -19 --fast --fast=3 --best -c abc | 0 | | | same:out:abc.ref"
  "posix | -r compresses the files in folders, not .tvx ones nor links | mkdir -p tree/sub && cp abc tree/a && cp prose tree/sub/p && cp abc.ref tree/sub/k.tvx && ln -s ../prose tree/link && tvx -r tree | 0 | | | same:tree/a.tvx:abc.ref same:tree/sub/p.tvx:prose.ref absent:tree/sub/k.tvx.tvx absent:tree/link.tvx"
  "any   | -dr restores the .tvx files in folders, past a failure | mkdir -p rtree/sub && cp abc.ref rtree/a.tvx && cp cut.tvx rtree/sub/bad.tvx && cp prose.ref rtree/sub/z.tvx && cp prose rtree/plain && tvx -dr rtree | 1 | | tvx: rtree/sub/bad.tvx: the compressed file is cut short | same:rtree/a:abc same:rtree/sub/z:prose absent:rtree/sub/bad"
  "any   | records that restore to nothing, on 3 threads | tvx -T3 -dc empties.tvx | 0 | | | holds:out:"
  "any   | --help | tvx --help | 0 | Usage: tvx *\n*--decompress*the format has one coder* | |"
  "any   | --version | tvx -V | 0 | tvx [0-9]* (libtarvix [0-9]*) | |"
  # Each failure: its message, and nothing touched.
  "any   | an unknown option | tvx -x abc | 1 | | tvx: unknown option '-x'\nTry 'tvx --help' for more. | absent:abc.tvx"
  "any   | a missing file; the next one still goes | cp abc next && tvx missing next | 1 | | tvx: missing: No such file or directory | same:next.tvx:abc.ref"
  "posix | a folder is refused | tvx folder | 1 | | tvx: folder: Is a directory | absent:folder.tvx"
  "any   | an existing target is refused and kept | printf old >kept.tvx && cp abc kept && tvx kept | 1 | | tvx: kept.tvx: File exists (use -f to overwrite) | holds:kept.tvx:old"
  "any   | a name ending in .tvx is not compressed again | cp abc again.tvx && tvx again.tvx | 1 | | tvx: again.tvx: already ends in .tvx: not compressed again (use -f to force) | absent:again.tvx.tvx"
  "any   | restoring a name without .tvx needs -o or -c | tvx -d abc | 1 | | tvx: abc: does not end in .tvx: name the target with -o, or write to standard output with -c |"
  "any   | a damaged file leaves no target | cp cut.tvx dam.tvx && tvx -d dam.tvx | 1 | | tvx: dam.tvx: the compressed file is cut short | absent:dam none:.dam*"
  "any   | a file cut after the next one's first byte | cp abc.ref lone.tvx && printf '\\330' >>lone.tvx && tvx -t lone.tvx | 1 | | tvx: lone.tvx: the compressed file is cut short |"
  "any   | the target cannot be the source | cp abc self && tvx -f -o self self | 1 | | tvx: self: is the source file itself | same:self:abc"
  "posix | nor standard output | cp abc app && tvx -c app >>app | 1 | | tvx: stdout: is the source file itself | same:app:abc"
  "posix | a write that fails leaves no file | (ulimit -f 16 && tvx -o big.tvx blend) | 1 | | tvx: big.tvx: File too large | absent:big.tvx none:.big.tvx.*"
  "posix | a device as the target is written, not replaced | tvx -o /dev/full abc | 1 | | tvx: /dev/full: No space left on device |"
  "posix | a pipe at a target's name is not written into | mkfifo leak.tvx && cp abc leak && tvx leak | 1 | | tvx: leak.tvx: File exists (use -f to overwrite) |"
  "posix | a dangling link at a target's name counts as a file | ln -s nowhere hang.tvx && cp abc hang && tvx hang | 1 | | tvx: hang.tvx: File exists (use -f to overwrite) | absent:nowhere"
  "posix | a pipe as a source is refused, and kept | mkfifo pipe.in && tvx --rm pipe.in | 1 | | tvx: pipe.in: is not a regular file (use -f to force) | present:pipe.in absent:pipe.in.tvx"
  "direct | standard output closed | tvx -c abc >&- | 1 | | tvx: stdout: Bad file descriptor |"
  "posix | a listing that cannot be written | tvx -l abc.ref >/dev/full | 1 | | tvx: stdout: No space left on device |"
  "posix | a reader that goes away ends tvx quietly, by SIGPIPE | first_bytes tvxcat blend.ref | 141 | | |"
  "posix | or where SIGPIPE is ignored, with status 1 | (trap '' PIPE && first_bytes tvxcat blend.ref) | 1 | | |"
  "posix | an interrupted run leaves no file | interrupted prose \"compgen -G '.int.tvx.*' >/dev/null\" -o int.tvx | 143 | | | absent:int.tvx none:.int.tvx.*"
  "posix | a stream cut between writes ends with a length field of 0 | interrupted blend3 'cmp -s out blend2.ref' -T2 -c | 143 | | | same:out:marked.ref"
  "posix | compressed data is not written to a terminal | in_terminal \"\$TVX -c abc\" | 1 | tvx: stdout: compressed data is not written to a terminal (use -f to force)* | |"
  # A created target takes the source's mode and time, owner-only until then.
  "any   | the time of the source, on every host | cp prose dated && touch -d 2020-01-02 dated && tvx dated | 0 | | | mtime:dated.tvx:dated"
  "posix | the mode and time of the source | cp prose own && chmod 640 own && touch -d 2020-01-02 own && tvx own | 0 | | | mode:own.tvx:640 mtime:own.tvx:own"
  "posix | from standard input, the usual mode | (umask 027 && tvx -o std.tvx <abc) | 0 | | | mode:std.tvx:640"
  # tar, both ways.
  "posix | tar -I tvx both ways | tar -I \"\$TVX\" -cf t.tar.tvx folder && mkdir x && tar --use-compress-program=\"\$TVX\" -xf t.tar.tvx -C x | 0 | | | same:x/folder/a:abc same:x/folder/t:prose"
)
for row in "${rows[@]}"; do
  IFS='|' read -r needs label command want_status want_output want_error checks <<<"$row"
  read -r needs <<<"$needs"
  read -r label <<<"$label"
  read -r want_status <<<"$want_status"
  # The outputs keep their own spaces; only the table's are cut.
  want_output=${want_output# }
  want_output=${want_output% }
  want_error=${want_error# }
  want_error=${want_error% }
  case $needs in
    posix) $windows && continue ;;
    direct) { $windows || [ "${#emulator[@]}" -ne 0 ]; } && continue ;;
  esac
  row_ok=true
  eval "$command" >out 2>err </dev/null
  status=$?
  error=$(cat err)
  if $windows; then
    error=${error//$'\r'/}
  fi
  [ "$status" -eq "$want_status" ] || fail "exit status $status, wanted $want_status"
  # shellcheck disable=SC2053 # the wanted texts are globs
  if [ -n "$want_output" ] && [[ $(cat out) != $(printf '%b' "$want_output") ]]; then
    fail "standard output was '$(cat out)'"
  fi
  # shellcheck disable=SC2053
  [[ $error == $(printf '%b' "$want_error") ]] || fail "standard error was '$error'"
  for item in $checks; do
    check "$item"
  done
  $row_ok && passed=$((passed + 1))
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
