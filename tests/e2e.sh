#!/usr/bin/env bash
# End-to-end tests of the tarvix program: exit status, exact standard output,
# and the files left behind, for every result code and the refusals.
#
# usage: tests/e2e.sh TARVIX [EMULATOR ARGS...]
#   TARVIX    the program to test
#   EMULATOR  an optional prefix that runs it (qemu-s390x, wine64, ...)
# Environment: TARVIX_EOL=crlf when the program ends its lines with CR LF, as
#   a Windows build does; the few cases where Windows differs follow it then.
#   TARVIX_DATAGEN: the data generator (default: tarvix_datagen beside TARVIX),
#   run through the emulator too.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 TARVIX [EMULATOR ARGS...]" >&2; exit 2; }
tarvix=$1
shift
datagen=${TARVIX_DATAGEN:-${tarvix%tarvix*}tarvix_datagen${tarvix##*tarvix}}
case $tarvix in
  /*) ;;
  */*) tarvix=$PWD/$tarvix ;;
esac
case $datagen in
  /*) ;;
  */*) datagen=$PWD/$datagen ;;
esac
emulator=("$@")
windows=false
[ "${TARVIX_EOL:-lf}" = crlf ] && windows=true

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-e2e.XXXXXX")
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 2

passed=0
failed=0
usage='Usage error : tarvix <original file name> <new file name>.'

# run NAME...: runs the program in the work folder; sets $status and $output.
run() {
  run_started_by as_usual "$@"
}

# run_started_by START NAME...: the same, with the program started by the
# function START (see the edges of the process below), which gets the whole
# command as its arguments and clears $captured when standard output goes
# elsewhere than stdout.txt.
as_usual() { "$@"; }
run_started_by() {
  local start=$1
  shift
  captured=true
  "$start" "${emulator[@]}" "$tarvix" "$@" >stdout.txt 2>stderr.txt </dev/null
  status=$?
  output=$(cat stdout.txt; echo x)
  output=${output%x}
  bare_line_feed=false
  if $windows; then
    local without_line_ends=${output//$'\r\n'/}
    [[ $without_line_ends == *$'\n'* ]] && bare_line_feed=true
    output=${output//$'\r\n'/$'\n'}
  fi
}

fail() {
  echo "FAIL: $case_name: $*"
  failed=$((failed + 1))
  case_ok=0
}

begin() {
  case_name=$1
  case_ok=1
}

end() {
  [ "$case_ok" -eq 1 ] && passed=$((passed + 1))
}

# expect STATUS LINE...: the exit status and the exact lines of standard output.
expect() {
  local want_status=$1
  shift
  local want=""
  local line
  for line in "$@"; do
    want+="$line"$'\n'
  done
  [ "$status" -eq "$want_status" ] || fail "exit status $status, wanted $want_status"
  $bare_line_feed && fail "a line ends in a bare line feed, not CR LF"
  [ "$output" = "$want" ] || fail "output was:"$'\n'"$output"$'\n'"wanted:"$'\n'"$want"
  [ ! -s stderr.txt ] || fail "standard error is not empty: $(cat stderr.txt)"
}

# expect_file NAME HEX: the file holds exactly these bytes.
expect_file() {
  local got
  got=$(od -An -v -tx1 "$1" 2>/dev/null | tr -d ' \n')
  [ -f "$1" ] || { fail "$1 is missing"; return; }
  [ "$got" = "$2" ] || fail "$1 holds $got, wanted $2"
}

expect_same() {
  cmp -s "$1" "$2" || fail "$1 and $2 differ"
}

expect_absent() {
  [ ! -e "$1" ] || fail "$1 exists"
}

# generate SHAPE SIZE [SEED]: generated data to standard output, which must
# be a file (wine's server may hold a pipe open after the program ends).
generate() {
  "${emulator[@]}" "$datagen" "$@"
}

# bytes HEX: writes the bytes that HEX spells out to standard output.
bytes() {
  local hex=$1 i
  for ((i = 0; i < ${#hex}; i += 2)); do
    printf '%b' "\\x${hex:i:2}"
  done
}

# ---- names -----------------------------------------------------------------

begin "no names"
run
expect 1 "$usage" "Error[1] : Compress file not specified."
end

begin "one name"
printf 'kept' >one
run one
expect 1 "$usage" "Error[1] : Compress file not specified."
expect_file one 6b657074
end

begin "names differing in case are refused and nothing is touched"
printf 'source' >case.txt
run case.txt CASE.TXT
expect 8 "$usage" "Error[8] : original and new file names must be different."
expect_absent CASE.TXT
printf 'target' >Case.Txt
run case.txt Case.Txt
expect 8 "$usage" "Error[8] : original and new file names must be different."
expect_file case.txt 736f75726365
expect_file Case.Txt 746172676574
end

begin "only a to z are folded"
# Under wine, names pass through a code page conversion that mangles bytes
# past 0x7F; the Linux hosts check those.
if ! $windows; then
  run $'caf\xe9' $'CAF\xc9'
  expect 3 "$usage" "Error[3] : opening caf"$'\xe9'" for read access."
fi
run 'x[' 'X{'
expect 3 "$usage" "Error[3] : opening x[ for read access."
end

begin "identical and empty names are refused"
run same same
expect 8 "$usage" "Error[8] : original and new file names must be different."
run "" ""
expect 8 "$usage" "Error[8] : original and new file names must be different."
expect_absent same
end

begin "the same file under another name is refused"
printf 'precious' >precious
ln precious hardlink 2>/dev/null
ln -s precious symlink 2>/dev/null
for other in ./precious "$work/precious" hardlink symlink; do
  [ -e "$other" ] || continue
  run precious "$other"
  expect 8 "$usage" "Error[8] : original and new file names must be different."
  run "$other" precious
  expect 8 "$usage" "Error[8] : original and new file names must be different."
done
if $windows; then
  # Windows also separates names with backslashes.
  mkdir sub
  for other in '.\precious' 'sub\..\precious'; do
    run precious "$other"
    expect 8 "$usage" "Error[8] : original and new file names must be different."
  done
fi
expect_file precious 70726563696f7573
end

begin "a long name is compared in full"
long=$(printf 'n%.0s' $(seq 6000))
run "${long}a" "${long}b"
expect 3 "$usage" "Error[3] : opening ${long}a for read access."
run "${long}a" "${long}A"
expect 8 "$usage" "Error[8] : original and new file names must be different."
end

begin "arguments after the second are ignored"
printf 'A' >extra
run extra extra.tvx and more
expect 0 "Compressing extra to extra.tvx" "Succeeded..."
expect_file extra.tvx d8c7b6a502008041
end

# ---- files that cannot be opened --------------------------------------------

begin "missing source"
run missing out
expect 3 "$usage" "Error[3] : opening missing for read access."
expect_absent out
end

begin "empty source name prints nothing in its place"
run "" out
expect 3 "$usage" "Error[3] : opening  for read access."
end

begin "a percent sign in a name is printed unchanged"
run "100%s%d" out
expect 3 "$usage" "Error[3] : opening 100%s%d for read access."
end

begin "target in a missing folder"
printf 'A' >src
run src no/such/folder/out
expect 4 "$usage" "Error[4] : opening no/such/folder/out for write access."
end

# ---- compress mode ----------------------------------------------------------

begin "empty source"
: >empty
run empty empty.tvx
expect 0 "Succeeded..."
expect_file empty.tvx d8c7b6a5
end

begin "one byte"
printf 'A' >a1
run a1 a1.tvx
expect 0 "Compressing a1 to a1.tvx" "Succeeded..."
expect_file a1.tvx d8c7b6a502008041
end

begin "the worked example"
printf 'abcabcabc' >abc
run abc abc.tvx
expect 0 "Compressing abc to abc.tvx" "Succeeded..."

expect_file abc.tvx d8c7b6a508004010006162630033
end

begin "a prefix of the magic is compressed"
for prefix in d8 d8c7 d8c7b6; do
  bytes "$prefix" >short
  run short short.tvx
  expect 0 "Compressing short to short.tvx" "Succeeded..."
  expect_file short.tvx "d8c7b6a5$(printf '%02x00' $((${#prefix} / 2 + 1)))80$prefix"
done
end

begin "8192 bytes give one record, 8193 two"
head -c 8192 /dev/zero >z8192
head -c 8193 /dev/zero >z8193
run z8192 z8192.tvx
expect 0 "Compressing z8192 to z8192.tvx" "Succeeded..."
expect_file z8192.tvx d8c7b6a50d0040c000000fef00000fef000000
run z8193 z8193.tvx
expect 0 "Compressing z8193 to z8193.tvx" "Succeeded..."

expect_file z8193.tvx d8c7b6a50d0040c000000fef00000fef00000002008000
end

# Windows has no name for a pipe like /dev/stdin: the case is for Linux hosts.
if ! $windows; then
  begin "a pipe as the source cannot be sought"
  printf 'piped data' | "${emulator[@]}" "$tarvix" /dev/stdin piped.tvx >stdout.txt 2>stderr.txt
  status=$?
  output=$(cat stdout.txt; echo x); output=${output%x}
  expect 6 "$usage" "Error[6] : doing a seek on /dev/stdin."
  expect_file piped.tvx d8c7b6a5
  end
fi

begin "a directory as the source"
mkdir folder
run folder folder.tvx
if $windows; then
  # Windows opens no folder as a file: the source is not opened, so neither
  # is the target.
  expect 3 "$usage" "Error[3] : opening folder for read access."
  expect_absent folder.tvx
else
  # Its first read fails and so does compress mode's, after the magic.
  expect 7 "$usage" "Error[7] : unexpected end of file for folder"
  expect_file folder.tvx d8c7b6a5
fi
end

if [ -w /dev/full ]; then
  begin "a full disk is a failed write, not a success"
  run abc /dev/full
  expect 5 "Compressing abc to /dev/full" "$usage" "Error[5] : writing to /dev/full"
  end
fi

# ---- restore mode -----------------------------------------------------------

begin "round trip"
generate mixed 30000 >binary
cat abc binary abc binary abc binary >mixed
run mixed mixed.tvx
expect 0 "Compressing mixed to mixed.tvx" "Succeeded..."
run mixed.tvx mixed.out
expect 0 "Decompressing mixed.tvx to mixed.out" "Succeeded..."
expect_same mixed mixed.out
end

begin "round trips of many sizes through the container"
generate mixed 50000 2 >binary
for size in 0 1 8191 8192 8193 16384 16385 40000; do
  head -c "$size" binary >"sized$size"
  run "sized$size" "sized$size.tvx"
  [ "$status" -eq 0 ] || fail "compressing $size bytes gave $status"
  run "sized$size.tvx" "sized$size.out"
  [ "$status" -eq 0 ] || fail "restoring $size bytes gave $status"
  expect_same "sized$size" "sized$size.out"
done
end

begin "a compressed file given as the source is restored, not compressed again"
run abc.tvx abc.out
expect 0 "Decompressing abc.tvx to abc.out" "Succeeded..."
expect_same abc abc.out
end

begin "the magic alone restores to an empty file"
run empty.tvx empty.out
expect 0 "Succeeded..."
expect_file empty.out ""
end

begin "one extra byte after the last record"
{ cat abc.tvx; printf 'x'; } >extra.tvx
run extra.tvx extra.out
expect 0 "Decompressing extra.tvx to extra.out" "Succeeded..."
expect_same abc extra.out
end

# A file of three records: the first and last blocks restore, the middle one
# is replaced by each kind of damage.
good1='0800401000616263 0033'
good1=${good1// /}
tail_block='0200805a'

begin "a file cut inside block data keeps the blocks before it"
{ bytes d8c7b6a5; bytes "$good1"; bytes 0800401000; } >cut.tvx
run cut.tvx cut.out
expect 7 "Decompressing cut.tvx to cut.out" "$usage" "Error[7] : unexpected end of file for cut.tvx"
expect_same abc cut.out
end

begin "a file cut inside the first block data prints no progress line"
{ bytes d8c7b6a5; bytes 08004010; } >cutfirst.tvx
run cutfirst.tvx cutfirst.out
expect 7 "$usage" "Error[7] : unexpected end of file for cutfirst.tvx"
expect_file cutfirst.out ""
end

begin "a file cut inside a length field ends cleanly"
{ bytes d8c7b6a5; bytes "$good1"; bytes 08; } >cutfield.tvx
run cutfield.tvx cutfield.out
expect 0 "Decompressing cutfield.tvx to cutfield.out" "Succeeded..."
expect_same abc cutfield.out
end

malformed_records=(
  "length field 0:0000"
  "length field past the largest block data:0220$(printf '80%.0s' $(seq 10))"
  "last item cut off:040040800000"
  "match before the start of the block:05004080000013"
  "block longer than 8192 bytes:0f0040e000000fff6100 0fff6100 0fff61"
)
for entry in "${malformed_records[@]}"; do
  begin "malformed record: ${entry%%:*}"
  hex=${entry#*:}
  { bytes d8c7b6a5; bytes "$good1"; bytes "${hex// /}"; bytes "$tail_block"; } >bad.tvx
  run bad.tvx bad.out
  expect 7 "Decompressing bad.tvx to bad.out" "$usage" "Error[7] : unexpected end of file for bad.tvx"
  expect_same abc bad.out
  end
done

if [ -w /dev/full ]; then
  begin "a full disk while restoring is a failed write"
  run abc.tvx /dev/full
  expect 5 "Decompressing abc.tvx to /dev/full" "$usage" "Error[5] : writing to /dev/full"
  end
fi

begin "an existing target is replaced"
printf 'old contents' >replaced
run a1 replaced
expect 0 "Compressing a1 to replaced" "Succeeded..."
expect_file replaced d8c7b6a502008041
end

begin "a target that is a dangling symbolic link is made where it points"
if ! $windows && ln -s pointed dangling 2>/dev/null; then
  run a1 dangling
  expect 0 "Compressing a1 to dangling" "Succeeded..."
  expect_file pointed d8c7b6a502008041
fi
end

# ---- the edges of the process -----------------------------------------------
# Each case starts the program in some setting of the process and gives the
# exit status, the progress line (C compress, D restore, - none), and checks
# on the files afterwards; standard output must then hold exactly the progress
# line and the lines of that exit status, and standard error nothing.
# A case needs: any host; linux, a Linux host (no Windows build); or direct,
# a Linux host with the program run directly (no emulator: its descriptors,
# stack and /proc are the program's own).

# Ways to start the program; each gets the whole command as its arguments.
file_size_limit() { bash -c 'ulimit -f 10; exec "$@"' limited "$@"; }  # 10240 bytes
small_stack() { bash -c 'ulimit -s 64; exec "$@"' small "$@"; }        # 64 KiB
from_pipe() { printf 'piped data' | "$@"; }
into_pipe() {
  "$@" | cat
  return "${PIPESTATUS[0]}"
}
into_closed_pipe() {
  captured=false
  "$@" >&"$closed_pipe"
}
into_null() {
  captured=false
  "$@" >/dev/null
}
with_3_closed() { "$@" 3<&-; }
with_0_1_closed() {
  captured=false
  "$@" <&- >&-
}
with_0_1_2_closed() {
  captured=false
  "$@" <&- >&- 2>&-
}
with_umask_022() { (umask 022 && "$@"); }
with_umask_027() { (umask 027 && "$@"); }
restore_pipe_umask_022() { (umask 022 && "$@") < <(cat abc.tvx); }

# result_lines STATUS PROGRESS SOURCE TARGET: the lines a run prints.
result_lines() {
  lines=()
  case $2 in
    C) lines+=("Compressing $3 to $4") ;;
    D) lines+=("Decompressing $3 to $4") ;;
  esac
  case $1 in
    0) lines+=("Succeeded...") ;;
    3) lines+=("$usage" "Error[3] : opening $3 for read access.") ;;
    4) lines+=("$usage" "Error[4] : opening $4 for write access.") ;;
    5) lines+=("$usage" "Error[5] : writing to $4") ;;
    7) lines+=("$usage" "Error[7] : unexpected end of file for $3") ;;
    8) lines+=("$usage" "Error[8] : original and new file names must be different.") ;;
  esac
}

# check_file same:A:B | head:A:N:B | mode:A:BITS: file A equals file B, holds
# the first N bytes of file B, or has the permission bits BITS (octal).
check_file() {
  local what a b n
  IFS=: read -r what a b n <<<"$1"
  case $what in
    same) expect_same "$a" "$b" ;;
    head) cmp -s "$a" <(head -c "$b" "$n") || fail "$a does not hold the first $b bytes of $n" ;;
    mode) [ "$(stat -c %a "$a")" = "$b" ] || fail "$a has mode $(stat -c %a "$a"), wanted $b" ;;
    *) fail "unknown check $1" ;;
  esac
}

# A source of 9 blocks, more than one batch; its compressed form is longer
# than the file-size limit, and cut3.tvx is it cut inside record 3.
{
  generate text 20000
  generate random 53728
} >edge
head -c 16384 edge >edge2
long_way=$(printf './%.0s' $(seq 1100))
begin "the sources for the edges of the process"
run edge edge.tvx
expect 0 "Compressing edge to edge.tvx" "Succeeded..."
run edge2 edge2.tvx
expect 0 "Compressing edge2 to edge2.tvx" "Succeeded..."
[ "$(wc -c <edge.tvx)" -gt 10240 ] || fail "edge.tvx is not longer than the file-size limit"
end
head -c $(($(wc -c <edge2.tvx) + 3)) edge.tvx >cut3.tvx
cp edge victim
cp abc secret
chmod 600 secret
cp abc wide
chmod 4775 wide
printf 'old' >kept.tvx
chmod 664 kept.tvx
if ! $windows; then
  # A pipe whose reader is gone: the read-write descriptor lets the writer
  # open without waiting, and closing it leaves the writer alone.
  mkfifo fifo
  # shellcheck disable=SC2094
  exec {reader}<>fifo {closed_pipe}>fifo {reader}<&-
fi

edge_cases=(
  # needs | label | start | source target | status | progress | checks
  # A failed write is the first failure in the block-by-block order: it ends
  # the run before the damage, failed read or failed seek that follows it.
  "any    | restore: a failed write, before damage   | as_usual          | cut3.tvx /dev/full    | 5 | D |"
  "linux  | restore: the file-size limit, before damage | file_size_limit | cut3.tvx limited.out  | 5 | D | head:limited.out:10240:edge"
  "linux  | compress: a failed write, before a failed seek | from_pipe     | /dev/stdin /dev/full  | 5 | - |"
  "linux  | compress: a failed write, before a failed read | as_usual      | folder /dev/full      | 5 | - |"
  "linux  | compress: the file-size limit is a failed write | file_size_limit | edge limited.tvx  | 5 | C | head:limited.tvx:10240:edge.tvx"
  # Standard output: a pipe without a reader changes no result; the target
  # is never the file the messages go to, unless that is a device.
  "linux  | a closed pipe on standard output, a failing run | into_closed_pipe | missing out      | 3 | - |"
  "linux  | a closed pipe on standard output, a run that succeeds | into_closed_pipe | abc piped.tvx | 0 | C | same:piped.tvx:abc.tvx"
  # (Windows builds refuse it too, but wine knows no volume for a redirected
  # standard output, so they are not checked here.)
  "linux  | the target is standard output's file     | as_usual          | abc stdout.txt        | 4 | - |"
  "linux  | the target is standard output, a file    | as_usual          | edge.tvx /dev/stdout  | 4 | - |"
  "linux  | the target is standard output, a pipe    | into_pipe         | edge.tvx /dev/stdout  | 4 | - |"
  "any    | /dev/null as the target and standard output | into_null      | abc /dev/null         | 0 | C |"
  # A target name that leads to the source once the source is open.
  "direct | the target is /dev/fd/N of the source    | with_3_closed     | victim /dev/fd/3      | 8 | - | same:victim:edge"
  "direct | the target is /proc/self/fd/N of the source | with_3_closed  | victim /proc/self/fd/3 | 8 | - | same:victim:edge"
  # Closed standard descriptors are never taken by the source or the target.
  # LONG/ is a long way to the work folder: the progress line is then longer
  # than a stream buffer and goes out at once.
  "direct | standard input and output closed         | with_0_1_closed   | LONG/edge LONG/closed.tvx | 0 | C | same:closed.tvx:edge.tvx"
  "direct | all three standard descriptors closed    | with_0_1_2_closed | LONG/edge.tvx LONG/closed.out | 0 | D | same:closed.out:edge"
  # A small stack.
  "direct | compress on a 64 KiB stack               | small_stack       | edge stack.tvx        | 0 | C | same:stack.tvx:edge.tvx"
  "direct | restore on a 64 KiB stack                | small_stack       | edge.tvx stack.out    | 0 | D | same:stack.out:edge"
  "direct | a failing run on a 64 KiB stack          | small_stack       | missing out           | 3 | - |"
  # A target that the program creates takes the source's permission bits as
  # the umask masks them; an existing target keeps its mode.
  "linux  | a created target takes the source's mode | with_umask_022    | secret secret.tvx     | 0 | C | mode:secret.tvx:600"
  "linux  | and so does a restored one               | with_umask_022    | secret.tvx secret.out | 0 | D | mode:secret.out:600 same:secret.out:secret"
  "linux  | the umask masks the permission bits, the rest is dropped | with_umask_027 | wide wide.tvx | 0 | C | mode:wide.tvx:750"
  "linux  | an existing target keeps its mode        | with_umask_022    | secret kept.tvx       | 0 | C | mode:kept.tvx:664"
  "linux  | a target from a pipe gets the usual mode | restore_pipe_umask_022 | /dev/stdin piped.out | 0 | D | mode:piped.out:644 same:piped.out:abc"
)
for row in "${edge_cases[@]}"; do
  IFS='|' read -r needs label start names want_status progress checks <<<"$row"
  read -r needs <<<"$needs"
  read -r start <<<"$start"
  read -r label <<<"$label"
  read -r source target <<<"${names//LONG\//$long_way}"
  read -r want_status <<<"$want_status"
  read -r progress <<<"$progress"
  case $needs in
    linux) $windows && continue ;;
    direct) { $windows || [ "${#emulator[@]}" -ne 0 ]; } && continue ;;
  esac
  begin "edge: $label"
  run_started_by "$start" "$source" "$target"
  result_lines "$want_status" "$progress" "$source" "$target"
  $captured || lines=()
  expect "$want_status" "${lines[@]}"
  for check in $checks; do
    check_file "$check"
  done
  end
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
