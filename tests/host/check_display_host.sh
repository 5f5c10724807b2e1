#!/usr/bin/env bash
# The host program reads its numbers as a user writes them, in decimal:
# "08" is 8 and "010" is 10; anything else is refused. A text it cannot send
# whole, a command line with no calls, and a library it cannot load are
# refused too, the last with the reason. Its exit status says whether the
# calls failed, also typed and on a line cut mid-pattern; it lists the
# machine's serial ports.
#   check_display_host.sh DISPLAY_HOST LIBRARY PTY_RELAY
set -u
host=$1
library=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
relay=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-host.XXXXXX")
relay_pid=
cleanup() {
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Init fails on a missing port (status 1), but the positions still reach the
# driver, which logs them as it read them.
"$host" "$library" init 20 2 "$work/no-such-port,9600,8,N,1Log" position 08 010 position -1 +2 wait 09 >out.txt 2>&1
[ $? = 1 ] || fail "init on a missing port should end with status 1: $(cat out.txt)"
grep -q ' SetPosition x=8, y=10$' logs/*.log || fail "08 010 should be read as 8 and 10: $(cat logs/*.log)"
grep -q ' SetPosition x=255, y=2$' logs/*.log || fail "-1 +2 should be read as -1 and 2: $(cat logs/*.log)"

for bad in 0x10 1e2 8x '' 99999999999 -99999999999; do
  "$host" "$library" position "$bad" 1 >out.txt 2>&1
  status=$?
  [ $status = 2 ] || fail "position '$bad' 1 should be refused with status 2, got $status"
  grep -q 'position needs X Y' out.txt || fail "position '$bad': no reason given: $(cat out.txt)"
done

# A text the driver would cut short, or an escape the host does not know:
# refused with the line, before any call is made (no log is started).
mkdir refused && cd refused || exit 1
for text in 'A\x00B' 'a\cb'; do
  "$host" "$library" init 20 2 "$work/no-such-port,9600,8,N,1Log" write "$text" >out.txt 2>&1
  status=$?
  [ $status = 2 ] || fail "write '$text' should be refused with status 2, got $status: $(cat out.txt)"
  grep -q "^display_host: write \"$(printf '%s' "$text" | sed 's/\\/\\\\/g')\": " out.txt ||
    fail "write '$text': no reason given: $(cat out.txt)"
  printf 'init 20 2 %s\nwrite "%s"\n' "$work/no-such-port,9600,8,N,1Log" "$text" >script.txt
  "$host" "$library" --script script.txt >out.txt 2>&1
  status=$?
  [ $status = 2 ] || fail "a script writing '$text' should be refused with status 2, got $status"
  grep -q '^display_host: script.txt:2: write ' out.txt || fail "write '$text' in a script: no line named: $(cat out.txt)"
  [ ! -e logs ] || fail "write '$text': calls were made before the text was refused"
done
cd "$work" || exit 1

# A library and no calls: the usage, and status 2.
"$host" "$library" >out.txt 2>&1
status=$?
[ $status = 2 ] || fail "a library and no calls should end with status 2, got $status"
grep -q '^usage: display_host ' out.txt || fail "a library and no calls: no usage printed: $(cat out.txt)"

# A library that cannot be loaded: the system's reason, and for a Windows DLL
# which library this host needs.
printf 'MZ\x90\x00' >windows.dll
"$host" ./windows.dll name >out.txt 2>&1
status=$?
[ $status = 3 ] || fail "a Windows DLL should end with status 3, got $status"
grep -q '^display_host: cannot load \./windows\.dll: [^ ].*; it is a Windows DLL, and this host is a native program: it needs the native build of the library$' out.txt ||
  fail "a Windows DLL: no reason or no word of the native build: $(cat out.txt)"
"$host" ./no-such.dll name >out.txt 2>&1
status=$?
[ $status = 3 ] || fail "a missing library should end with status 3, got $status"
grep -q '^display_host: cannot load \./no-such\.dll: cannot open shared object file: No such file or directory$' out.txt ||
  fail "a missing library: the system's reason not given once: $(cat out.txt)"

# The pattern on a display without cells draws nothing and says so.
"$host" "$library" init 0 2 "$work/no-such-port,9600,8,N,1Log" pattern 0 >out.txt 2>&1
grep -q '^pattern: a display of 0 x 2 has no cells to draw$' out.txt || fail "pattern on 0 columns: $(cat out.txt)"
grep -q 'SetPosition\|Write' logs/*.log && fail "pattern on 0 columns made calls: $(cat logs/*.log)"

# Exit statuses: Init's failure (1) comes before a later call's (4); Init not
# called counts as not failed. Each as calls on the command line, in a
# script, and typed on a terminal (; between the calls).
missing="$work/no-such-port,9600,8,N,1"
while IFS='|' read -r status calls; do
  read -r -a words <<<"${calls//;/ }"
  "$host" "$library" "${words[@]}" >out.txt 2>&1
  got=$?
  [ $got = "$status" ] || fail "\"$calls\" should end with status $status, got $got: $(cat out.txt)"
  tr ';' '\n' <<<"$calls" >script.txt
  "$host" "$library" --script script.txt >out.txt 2>&1
  got=$?
  [ $got = "$status" ] || fail "a script of \"$calls\" should end with status $status, got $got: $(cat out.txt)"
  script -qec "'$host' '$library' --script -" /dev/null <script.txt >out.txt 2>&1
  got=$?
  [ $got = "$status" ] || fail "\"$calls\" typed should end with status $status, got $got: $(cat out.txt)"
done <<END
0|name;usage
4|write x
4|name;done
1|init 20 2 $missing;write x;done
1|write x;init 20 2 $missing
END
# Typed: a wrong line comes before a failed Init.
printf 'init 20 2 %s\nwrong\nwrite x\n' "$missing" >typed.txt
script -qec "'$host' '$library' --script -" /dev/null <typed.txt >out.txt 2>&1
got=$?
[ $got = 2 ] || fail "typed, a wrong line after a failed Init should end with status 2, got $got: $(cat out.txt)"

# A line cut in the middle of the pattern.
source "$(dirname "$0")/pattern_cut.sh"
mkdir "$work/line"
"$relay" "$work/line" com5:com6 &
relay_pid=$!
for _ in $(seq 100); do [ -e "$work/line/ready" ] && break; sleep 0.05; done
if [ -e "$work/line/ready" ]; then
  pattern_cut "$work/line" com5 "natively" "$host" "$library" init 20 2 "$work/line/com5,9600,8,N,1" pattern 300
else
  fail "the line relay did not start"
fi

# The machine's own ports: a line a port (or none found), never an error here.
"$host" ports >out.txt 2>&1
status=$?
[ $status = 0 ] || fail "ports should end with status 0, got $status: $(cat out.txt)"
grep -Evq '^(/dev/tty(S|USB|ACM)[0-9]+( \(COM[0-9]+\))?(: .*)?|  also /dev/serial/by-id/.+|no serial ports found|\([0-9]+ more serial devices? ha(s|ve) no hardware behind (it|them)\))$' out.txt &&
  fail "ports printed a line of another shape: $(cat out.txt)"
"$host" ports extra >out.txt 2>&1
status=$?
[ $status = 2 ] || fail "ports with an argument should end with status 2, got $status: $(cat out.txt)"

[ $failures = 0 ] && echo "display_host: numbers read in decimal, wrong texts, no calls and libraries it cannot load refused; exit statuses of failed calls; ports listed" && exit 0
exit 1
