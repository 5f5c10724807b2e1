#!/usr/bin/env bash
# The host program reads its numbers as a user writes them, in decimal:
# "08" is 8 and "010" is 10; anything else is refused. A text it cannot send
# whole, a command line with no calls, and a library it cannot load are
# refused too, the last with the reason.
#   check_display_host.sh DISPLAY_HOST LIBRARY
set -u
host=$1
library=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-host.XXXXXX")
trap 'rm -rf "$work"' EXIT
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

[ $failures = 0 ] && echo "display_host: numbers read in decimal, wrong texts, no calls and libraries it cannot load refused" && exit 0
exit 1
