#!/usr/bin/env bash
# Counts the system calls of each output entry point with strace: with the
# debug log off, each call makes exactly one write (to the port) and nothing
# else; with it on, one write to the log and one to the port.
#
#   check_syscalls.sh SYSCALL_PROBE LIBRARY
set -u
probe=$1
library=$2
count=50
command -v strace >/dev/null || { echo "strace is not installed"; exit 77; }
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
failures=0
for log in off on; do
  if ! strace -qq -f -o "$trace" "$probe" "$library" "$log" "$count"; then
    if grep -q 'PTRACE_TRACEME\|Operation not permitted' "$trace" 2>/dev/null; then
      echo "strace cannot trace here"
      exit 77
    fi
    echo "FAIL: the probe failed with the log $log"
    failures=$((failures + 1))
    continue
  fi
  port_fd=$(sed -n 's/.*openat(AT_FDCWD, "\/dev\/pts\/[0-9]*", [^)]*) = \([0-9]*\)$/\1/p' "$trace" | tail -n1)
  log_fd=$(sed -n 's/.*openat(AT_FDCWD, "logs\/QV-731.log", [^)]*) = \([0-9]*\)$/\1/p' "$trace" | tail -n1)
  [ -n "$port_fd" ] && [ -n "$log_fd" ] || { echo "FAIL: no port or log opening in the trace"; failures=$((failures + 1)); continue; }
  for call in Write SetPosition PowerResume; do
    # The calls between the markers, each as "write(FD" or the call's name.
    calls=$(sed -n "/write(-1, \"begin $call\"/,/write(-1, \"end $call\"/p" "$trace" | sed '1d;$d' |
      sed 's/^[0-9]* *//' | sed -n 's/^\(write([0-9]*\).*/\1/p;t;s/^\([a-z_0-9]*\)(.*/\1/p')
    port_writes=$(printf '%s\n' "$calls" | grep -cx "write($port_fd")
    log_writes=$(printf '%s\n' "$calls" | grep -cx "write($log_fd")
    others=$(printf '%s\n' "$calls" | grep -vx "write($port_fd" | grep -vx "write($log_fd" | grep -c .)
    # PowerResume writes no log line.
    expected_log=0
    [ "$log" = on ] && [ "$call" != PowerResume ] && expected_log=$count
    summary="$call, log $log: $count calls, $port_writes port writes, $log_writes log writes, $others other calls"
    if [ "$port_writes" = "$count" ] && [ "$log_writes" = "$expected_log" ] && [ "$others" = 0 ]; then
      echo "ok: $summary"
    else
      echo "FAIL: $summary (expected $count port writes, $expected_log log writes, nothing else)"
      printf '%s\n' "$calls" | grep -vx "write($port_fd" | grep -vx "write($log_fd" | sort | uniq -c | head
      failures=$((failures + 1))
    fi
  done
done
exit $((failures > 0))
