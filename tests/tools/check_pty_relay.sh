#!/usr/bin/env bash
# The line relay's help, and what it leaves behind when it is stopped: its
# links and DIR/ready go, also those of a pair cut by its hang-up file.
#
#   check_pty_relay.sh PTY_RELAY
set -uo pipefail
relay=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-relay.XXXXXX")
relay_pid=
cleanup() {
  [ -z "$relay_pid" ] || kill -KILL "$relay_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

"$relay" --help >"$work/help.txt" 2>&1
status=$?
[ $status = 0 ] || fail "pty_relay --help should end with status 0, got $status"
for word in 'usage: pty_relay DIR NAME_A:NAME_B' 'hangup-NAME' 'stall-NAME' 'exclusive flag' 'Exit status'; do
  grep -q "$word" "$work/help.txt" || fail "pty_relay --help does not tell of $word: $(cat "$work/help.txt")"
done
"$relay" >/dev/null 2>&1
status=$?
[ $status = 2 ] || fail "pty_relay with no arguments should end with status 2, got $status"

for signal in INT TERM HUP; do
  dir=$work/$signal
  mkdir "$dir"
  "$relay" "$dir" com5:com6 com7:com8 &
  relay_pid=$!
  for _ in $(seq 100); do [ -e "$dir/ready" ] && break; sleep 0.05; done
  [ -e "$dir/ready" ] || fail "SIG$signal: the relay did not start"
  for name in com5 com6 com7 com8; do [ -L "$dir/$name" ] || fail "SIG$signal: no link $name"; done
  # One pair cut: its links lead nowhere until the relay ends.
  touch "$dir/hangup-com7"
  for _ in $(seq 100); do [ -e "$dir/com7" ] || break; sleep 0.05; done
  [ ! -e "$dir/com7" ] || fail "SIG$signal: the hang-up file did not cut the pair"
  kill -s "$signal" "$relay_pid"
  status=0
  for _ in $(seq 100); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.05; done
  wait "$relay_pid" || status=$?
  relay_pid=
  [ $status = 0 ] || fail "SIG$signal: the relay should end with status 0, got $status"
  left=$(cd "$dir" && ls -A | grep -v '^hangup-com7$' | tr '\n' ' ')
  [ -z "$left" ] || fail "SIG$signal: the relay left $left"
done

[ $failures = 0 ] && echo "pty_relay: a real help, and its links removed when it is stopped" && exit 0
exit 1
