#!/usr/bin/env bash
# The line relay's help, and what it leaves behind when it is stopped: its
# links and DIR/ready go, also those of a pair cut by its hang-up file. As
# root, also the exclusive flag of a holder the relay cannot see (the relay
# run as nobody, the holder root's, with no lock), which stays while that
# holder lives and goes once it has died; a terminal of the same number in
# another devpts instance, which is not the relay's; and holders that the
# relay run as root knows by their lock.
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
source "$(dirname "$0")/../support/checks.sh"
# reap PID: ends a process this test started and still waits for, waits for
# it and forgets it: cleanup signals no PID that another program may have
# been given since. Nothing for a PID already reaped.
reap() {
  local kept=() pid
  for pid in "${pids[@]}"; do
    if [ "$pid" = "$1" ]; then
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    else
      kept+=("$pid")
    fi
  done
  pids=("${kept[@]}")
}
# start_relay DIR PAIR...: the relay on lines in DIR (made here), in the
# background ($relay_pid); false when it is not ready within 5 s.
start_relay() {
  local dir=$1
  shift
  mkdir -p "$dir"
  "$relay" "$dir" "$@" &
  relay_pid=$!
  for _ in $(seq 100); do [ -e "$dir/ready" ] && return 0; sleep 0.05; done
  return 1
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
  start_relay "$dir" com5:com6 com7:com8 || fail "SIG$signal: the relay did not start"
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

# printed FILE TEXT: waits for FILE to have the line TEXT; false after 5 s.
printed() {
  for _ in $(seq 100); do
    grep -qx "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
# held FILE: waits for a probe that holds a line to say so in FILE.
held() { printed "$1" held; }
# hold OUT LINE WHAT...: the probe holds LINE as asked (relay_probe hold) in
# the background ($holder), its output in OUT; false when it has not taken
# the line within 5 s.
hold() {
  local out=$1
  shift
  "$probe" hold "$@" >"$out" &
  holder=$!
  pids+=("$holder")
  held "$out"
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
# relay_has LINE: the relay keeps its own descriptor of LINE's terminal, as
# it does while it knows who holds the line (it lets go where it finds none).
relay_has() {
  local device fd
  device=$(readlink "$1")
  for fd in /proc/"$relay_pid"/fd/*; do [ "$(readlink "$fd")" = "$device" ] && return 0; done
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
    if ! hold "$stage/held" "$line/com5" exclusive; then
      fail "root's program did not take com5 of the relay run as $user"
    else
      sleep 0.6
      [ "$(as_nobody "$probe" flag "$line/com5")" = busy ] ||
        fail "a holder the relay ($user's) cannot see lost its flag while it lived"
      reap "$holder"
      within_a_second 0 as_nobody "$probe" flag "$line/com5" ||
        fail "the line of a holder the relay ($user's) could not see stayed locked after it died"
      as_nobody "$probe" pass "$line/com5" "$line/com6" || fail "no bytes cross the line freed of that holder"
      as_nobody "$probe" pass "$line/com6" "$line/com5" || fail "no bytes cross the line freed of that holder, back"
    fi
    reap "$holder"
    # The same with com5's side stalled, and last words written before the
    # holder died: as a serial port's last closing waits for its output, the
    # line is freed once they have gone on, and they reach com6.
    touch "$line/stall-com5"
    sleep 0.1 # the relay looks for the file every 20 ms
    if ! hold "$stage/held" "$line/com5" exclusive say; then
      fail "root's program did not take the stalled com5 of the relay run as $user"
    else
      sleep 0.1
      reap "$holder"
      sleep 0.1
      [ "$(as_nobody "$probe" flag "$line/com5")" = busy ] ||
        fail "the stalled line was freed before the last words of its dead holder had gone on"
      rm "$line/stall-com5"
      within_a_second 0 as_nobody "$probe" flag "$line/com5" ||
        fail "the stalled line of a holder the relay ($user's) could not see stayed locked after the stall"
      as_nobody "$probe" expect "$line/com6" "last words" || fail "the last words of the dead holder were lost"
    fi
    reap "$holder"
  fi
  stop_relay
  left=$(cd "$line" && ls -A | tr '\n' ' ')
  [ -z "$left" ] || fail "the relay run as $user left $left"

  # A program in a devpts instance of its own holds the terminal of that
  # instance that bears com5's number: it has nothing of com5.
  dir=$work/devpts
  start_relay "$dir" com5:com6 || fail "the relay did not start for the devpts check"
  number=$(readlink "$dir/com5")
  number=${number##*/}
  unshare --mount sh -c 'mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts &&
    mount --bind /dev/pts/ptmx /dev/ptmx && exec "$0" pty "$1"' "$probe" "$number" >"$work/other" 2>/dev/null &
  other=$!
  pids+=("$other")
  if ! held "$work/other"; then
    echo "pty_relay: no devpts instance of its own could be made here, so that is not checked"
  else
    if ! hold "$work/held" "$dir/com5" exclusive; then
      fail "the holder did not take com5 for the devpts check"
    else
      sleep 0.1 # the relay has seen it
      [ "$("$probe" flag "$dir/com5")" = 1 ] || fail "the live holder lost its flag (devpts check)"
      reap "$holder"
      within_a_second 0 "$probe" flag "$dir/com5" ||
        fail "/dev/pts/$number of another devpts instance kept the flag of com5's dead holder"
    fi
    reap "$holder"
  fi
  reap "$other"
  stop_relay

  # Holders the relay run as root knows by their lock. One whose lock a
  # helper took that has ended: the table of locks names a process that is
  # gone, so the relay finds the holder by its descriptor and frees the line
  # once that one dies. One that holds the lock while only a child of its
  # has the line open: the flag stays while the lock does, and goes once the
  # child has ended and the lock with it (the table is read again every
  # 100 ms), though the lock's taker lives on.
  dir=$work/locks
  start_relay "$dir" com5:com6 || fail "the relay did not start for the lock checks"
  for kind in helper keeper; do
    case $kind in
      helper) what="the holder whose lock a helper took" ;;
      keeper) what="the holder known by its lock alone" ;;
    esac
    if ! hold "$work/held" "$dir/com5" exclusive lock "$kind"; then
      fail "$what did not take com5"
      reap "$holder"
      continue
    fi
    sleep 0.6
    [ "$("$probe" flag "$dir/com5")" = 1 ] || fail "$what lost its flag while it held the line"
    relay_has "$dir/com5" || fail "the relay did not find $what"
    if [ "$kind" = helper ]; then
      reap "$holder" # it dies
    else
      kill -USR1 "$holder" # its child ends, and the lock with it
      printed "$work/held" dropped || fail "$what did not let go of the line"
    fi
    within_a_second 0 "$probe" flag "$dir/com5" || fail "the line of $what stayed locked once it had let go"
    [ "$kind" = helper ] || kill -0 "$holder" 2>/dev/null ||
      fail "$what ended with its lock, so the check above means nothing"
    reap "$holder"
  done
  stop_relay
fi

finish "pty_relay: a real help, its links removed when it is stopped, and the exclusive flag kept or cleared as its holder lives or dies"
