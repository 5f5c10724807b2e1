#!/usr/bin/env bash
# The line relay's help, and what it leaves behind when it is stopped: its
# links and DIR/ready go, also those of a pair cut by its hang-up file. As
# root, also the exclusive flag of a holder the relay cannot see (the relay
# run as nobody, the holder root's, with no lock), which stays while that
# holder lives and goes once it has died; and a terminal of the same number
# in another devpts instance, which is not the relay's.
#
#   check_pty_relay.sh PTY_RELAY RELAY_PROBE
set -uo pipefail
relay=$1 probe=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-relay.XXXXXX")
relay_pid=
pids=()
stage=
cleanup() {
  [ -z "$relay_pid" ] || kill -KILL "$relay_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
  [ -z "$stage" ] || rm -rf "$stage"
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
  # One pair cut: its links lead nowhere until the relay ends (or to a
  # terminal of the same number that another program has made since, which
  # the time of its making tells apart).
  made=$(stat -L -c %z "$dir/com7")
  touch "$dir/hangup-com7"
  for _ in $(seq 100); do [ "$(stat -L -c %z "$dir/com7" 2>/dev/null)" = "$made" ] || break; sleep 0.05; done
  [ "$(stat -L -c %z "$dir/com7" 2>/dev/null)" != "$made" ] || fail "SIG$signal: the hang-up file did not cut the pair"
  kill -s "$signal" "$relay_pid"
  status=0
  for _ in $(seq 100); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.05; done
  wait "$relay_pid" || status=$?
  relay_pid=
  [ $status = 0 ] || fail "SIG$signal: the relay should end with status 0, got $status"
  left=$(cd "$dir" && ls -A | grep -v '^hangup-com7$' | tr '\n' ' ')
  [ -z "$left" ] || fail "SIG$signal: the relay left $left"
done

# waits for the file $1 to say "held" (a probe that holds a line); false
# after 5 s.
held() {
  for _ in $(seq 100); do
    [ "$(cat "$1" 2>/dev/null)" = held ] && return 0
    sleep 0.05
  done
  return 1
}
# waits up to 1 s for the command to print $1; false when it never did.
within_a_second() {
  local want=$1
  shift
  for _ in $(seq 50); do
    [ "$("$@" 2>/dev/null)" = "$want" ] && return 0
    sleep 0.02
  done
  return 1
}
stop_relay() {
  kill -TERM "$relay_pid" 2>/dev/null
  wait "$relay_pid" 2>/dev/null
  relay_pid=
}

if [ "$(id -u)" != 0 ]; then
  echo "pty_relay: not root, so the holder the relay cannot see and the other devpts instance are not checked"
else
  # The relay as nobody, and root's program holding com5 with the exclusive
  # flag and no lock: the relay cannot read its descriptors, and /proc/locks
  # has nothing of it. The stage must be reachable for nobody.
  user=nobody
  group=$(id -gn "$user")
  nobody=(setpriv --reuid="$user" --regid="$group" --clear-groups)
  as_nobody() { "${nobody[@]}" "$@"; }
  base=${TMPDIR:-/tmp}
  as_nobody test -w "$base" -a -x "$base" || base=/tmp
  stage=$(mktemp -d "$base/qv-relay-nobody.XXXXXX")
  cp "$relay" "$probe" "$stage/"
  chmod 755 "$stage" "$stage/$(basename "$relay")" "$stage/$(basename "$probe")"
  relay=$stage/$(basename "$relay") probe=$stage/$(basename "$probe")
  line=$stage/line
  mkdir "$line"
  chown "$user" "$line"
  "${nobody[@]}" "$relay" "$line" com5:com6 & # setpriv becomes the relay: its process is $!
  relay_pid=$!
  for _ in $(seq 100); do [ -e "$line/ready" ] && break; sleep 0.05; done
  if [ ! -e "$line/ready" ]; then
    fail "the relay did not start as $user"
  else
    "$probe" hold "$line/com5" exclusive >"$stage/held" &
    holder=$!
    pids+=($holder)
    if ! held "$stage/held"; then
      fail "root's program did not take com5 of the relay run as $user"
    else
      sleep 0.6
      [ "$(as_nobody "$probe" flag "$line/com5")" = busy ] ||
        fail "a holder the relay ($user's) cannot see lost its flag while it lived"
      kill -KILL "$holder"
      wait "$holder" 2>/dev/null
      within_a_second 0 as_nobody "$probe" flag "$line/com5" ||
        fail "the line of a holder the relay ($user's) could not see stayed locked after it died"
      as_nobody "$probe" pass "$line/com5" "$line/com6" || fail "no bytes cross the line freed of that holder"
      as_nobody "$probe" pass "$line/com6" "$line/com5" || fail "no bytes cross the line freed of that holder, back"
    fi
    # The same with com5's side stalled, and last words written before the
    # holder died: as a serial port's last closing waits for its output, the
    # line is freed once they have gone on, and they reach com6.
    touch "$line/stall-com5"
    sleep 0.1 # the relay looks for the file every 20 ms
    "$probe" hold "$line/com5" exclusive say >"$stage/held" &
    holder=$!
    pids+=($holder)
    if ! held "$stage/held"; then
      fail "root's program did not take the stalled com5 of the relay run as $user"
    else
      sleep 0.1
      kill -KILL "$holder"
      wait "$holder" 2>/dev/null
      sleep 0.1
      [ "$(as_nobody "$probe" flag "$line/com5")" = busy ] ||
        fail "the stalled line was freed before the last words of its dead holder had gone on"
      rm "$line/stall-com5"
      within_a_second 0 as_nobody "$probe" flag "$line/com5" ||
        fail "the stalled line of a holder the relay ($user's) could not see stayed locked after the stall"
      as_nobody "$probe" expect "$line/com6" "last words" || fail "the last words of the dead holder were lost"
    fi
  fi
  stop_relay
  left=$(cd "$line" && ls -A | tr '\n' ' ')
  [ -z "$left" ] || fail "the relay run as $user left $left"

  # A program in a devpts instance of its own holds the terminal of that
  # instance that bears com5's number: it has nothing of com5.
  dir=$work/devpts
  mkdir "$dir"
  "$relay" "$dir" com5:com6 &
  relay_pid=$!
  for _ in $(seq 100); do [ -e "$dir/ready" ] && break; sleep 0.05; done
  [ -e "$dir/ready" ] || fail "the relay did not start for the devpts check"
  number=$(readlink "$dir/com5")
  number=${number##*/}
  unshare --mount sh -c 'mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts &&
    mount --bind /dev/pts/ptmx /dev/ptmx && exec "$0" pty "$1"' "$probe" "$number" >"$work/other" 2>/dev/null &
  pids+=($!)
  if ! held "$work/other"; then
    echo "pty_relay: no devpts instance of its own could be made here, so that is not checked"
  else
    "$probe" hold "$dir/com5" exclusive >"$work/held" &
    holder=$!
    pids+=($holder)
    if ! held "$work/held"; then
      fail "the holder did not take com5 for the devpts check"
    else
      sleep 0.1 # the relay has seen it
      [ "$("$probe" flag "$dir/com5")" = 1 ] || fail "the live holder lost its flag (devpts check)"
      kill -KILL "$holder"
      wait "$holder" 2>/dev/null
      within_a_second 0 "$probe" flag "$dir/com5" ||
        fail "/dev/pts/$number of another devpts instance kept the flag of com5's dead holder"
    fi
  fi
  stop_relay
fi

[ $failures = 0 ] && echo "pty_relay: a real help, its links removed when it is stopped, and the exclusive flag kept or cleared as its holder lives or dies" && exit 0
exit 1
