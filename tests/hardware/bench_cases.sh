#!/usr/bin/env bash
# The serial bench's cases, inside the test machine (check_bench.sh starts
# it): the native build and the 32-bit DLL under Wine on the machine's UART
# (/dev/ttyS1: COM2 natively, COM5 under Wine) and USB adapter
# (/dev/ttyUSB0: COM6 under Wine), through the kernel's own serial drivers.
#
#   bench_cases.sh SHARE WINDOWS_BUILD NATIVE_BUILD [FAMILY]...
#
# FAMILY: lines, in-use, pull, stall, refused, ports (all when none is named). What
# the devices sent, as qemu's far ends received it, is in SHARE/uart.bytes
# and SHARE/usb.bytes, how the guest set the hardware up in SHARE/trace.log;
# the far end's own side (bench_host.py) stalls a far end or pulls and plugs
# the adapter when a file in SHARE/req asks for it.
set -uo pipefail
share=$1
windows=$2
native=$3
shift 3
families=${*:-lines in-use pull stall refused ports}
root=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
fail() {
  echo "  FAIL: $*"
  failures=$((failures + 1))
}
check() { checks=$((checks + 1)); }

# The builds: "native" (the Linux build of the same sources) and "wine" (the
# 32-bit DLL and host program under Wine, in the machine's own prefix). Both
# are tested: a missing one fails the bench.
builds="native wine"
mkdir -p "$work/native" "$work/wine"
check
cp "$native/display_host" "$native/QV-731.dll" "$work/native/" || {
  fail "no native build in $native"
  builds=${builds/native/}
}
check
cp "$windows/display_host.exe" "$windows/QV-731.dll" "$work/wine/" || {
  fail "no 32-bit build in $windows"
  builds=${builds/wine/}
}
prefix=$HOME/.cache/qv-731/wineprefix-win32
mkdir -p "$prefix/dosdevices"
ln -sfn /dev/ttyS1 "$prefix/dosdevices/com5"

# The adapter's device: /dev/ttyUSB0 at first, another after a replug while
# the old one was held.
adapter=/dev/ttyUSB0
set_adapter() {
  adapter=$1
  ln -sfn "$adapter" "$prefix/dosdevices/com6"
}
set_adapter /dev/ttyUSB0

# port BUILD DEVICE: the port field for that build.
port() {
  case $1:$2 in
    native:*) echo "$2" ;;
    wine:/dev/ttyS1) echo COM5 ;;
    wine:*) echo COM6 ;;
  esac
}

# host BUILD OUT CALL...: one host process with its own log
# (OUT.log) and output (OUT); its exit status.
host() {
  local build=$1 out=$2
  shift 2
  rm -rf "$work/$build/logs"
  local rc=0
  if [ "$build" = native ]; then
    (cd "$work/native" && ./display_host ./QV-731.dll "$@") >"$out" 2>&1 || rc=$?
  else
    (cd "$work/wine" && "$root/tools/wine_run.sh" display_host.exe QV-731.dll "$@") >"$out" 2>&1 || rc=$?
    tr -d '\r' <"$out" >"$out.lf" && mv "$out.lf" "$out"
  fi
  cp "$work/$build/logs/QV-731.log" "$out.log" 2>/dev/null || : >"$out.log"
  tr -d '\r' <"$out.log" >"$out.lf" && mv "$out.lf" "$out.log"
  return $rc
}
# host_background BUILD OUT CALL...: the same, in the background ($!).
host_background() {
  host "$@" &
}

# request ACTION: asks this machine's side (bench_host.py) and waits for its answer.
requests=0
request() {
  requests=$((requests + 1))
  local id
  id=$(printf '%03d-%s' "$requests" "$1")
  : >"$share/req/$id"
  for _ in $(seq 600); do
    if [ -s "$share/ack/$id" ]; then
      [ "$(cat "$share/ack/$id")" = ok ] && return 0
      fail "request $1: $(cat "$share/ack/$id")"
      return 1
    fi
    sleep 0.1
  done
  fail "request $1: no answer in 60 s"
  return 1
}

# Far ends: mark NAME remembers where the next case's bytes begin;
# far_end NAME COUNT prints the COUNT bytes that came after the mark in hex,
# once that many came (or 20 s passed), then whatever came after them.
declare -A marks
mark() { marks[$1]=$(stat -c %s "$share/$1.bytes"); }
far_end() {
  local file=$share/$1.bytes from=${marks[$1]} count=$2
  for _ in $(seq 200); do
    [ $(($(stat -c %s "$file") - from)) -ge "$count" ] && break
    sleep 0.1
  done
  sleep 0.3
  tail -c +$((from + 1)) "$file" | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}
# hex TEXT: the bytes of TEXT in hex.
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# A session's exact bytes: the display's initialisation, the cursor to 1,2,
# the text, the closing command.
init_bytes="1b 40 1b 2a 04 1b 5f 00"
close_bytes="1b 02"
session_bytes() { echo "$init_bytes 1b 6c 01 02 $(hex "$1") $close_bytes"; }
# trace_mark / last_trace EVENT: the last line of that event after the mark.
trace_mark() { trace_from=$(wc -l <"$share/trace.log"); }
last_trace() {
  tail -n +$((trace_from + 1)) "$share/trace.log" | grep -o "$1 .*" | tail -n 1
}
# settings DEVICE: what the kernel's driver has for the line (stty -a), in
# words: "speed 9600 cs8 -parenb -cstopb" and the kind of parity when on.
settings() {
  local all
  all=$(stty -a -F "$1" 2>&1) || {
    echo "stty: $all"
    return
  }
  local speed words="" tokens
  speed=$(sed -n 's/^speed \([0-9]*\) baud.*/\1/p' <<<"$all")
  tokens=$(tr -s ' ;\n' '\n' <<<"$all")
  for flag in cs5 cs6 cs7 cs8 parenb -parenb parodd -parodd cmspar -cmspar cstopb -cstopb; do
    if grep -qx -- "$flag" <<<"$tokens"; then words="$words $flag"; fi
  done
  case $words in
    *" -parenb"*) words=$(sed 's/ -\{0,1\}parodd//; s/ -\{0,1\}cmspar//' <<<"$words") ;;
  esac
  echo "speed $speed$words"
}
# expected_settings BAUD DATA PARITY STOP: settings' words for that line.
expected_settings() {
  local words="speed $1 cs$2"
  case $3 in
    N) words="$words -parenb" ;;
    O) words="$words parenb parodd -cmspar" ;;
    E) words="$words parenb -parodd -cmspar" ;;
    M) words="$words parenb parodd cmspar" ;;
    S) words="$words parenb -parodd cmspar" ;;
  esac
  [ "$4" = 2 ] && words="$words cstopb" || words="$words -cstopb"
  echo "$words"
}
# The UART's own words for the parity (qemu's 16550A model has no word for
# stick parity: mark is traced as odd and space as even).
uart_parity() {
  case $1 in
    M) echo O ;;
    S) echo E ;;
    *) echo "$1" ;;
  esac
}
# init_ok OUT WHAT: Init answered status 1.
init_ok() {
  check
  tr -d '\r' <"$1" | grep -q '^DISPLAYDLL_Init: "QV-731 v1\.0\.30\.174" status=1$' ||
    fail "$2: Init did not answer status 1: $(head -n 3 "$1")"
}

# ---- every line on the UART -------------------------------------------
# Every data size, parity and stop bits at 9600 baud, and every standard
# speed with 8N1; for each build: Init's status 1, the UART's set-up as
# traced by qemu, the 8250 driver's settings, the exact bytes at the far end.
lines_family() {
  local table=()
  for data in 5 6 7 8; do
    for parity in N O E M S; do
      for stop in 1 2; do table+=("9600 $data $parity $stop"); done
    done
  done
  for baud in 300 600 1200 2400 4800 19200 38400 57600 115200; do table+=("$baud 8 N 1"); done
  local build line baud data parity stop out text want got n=0
  for build in $builds; do
    for line in "${table[@]}"; do
      read -r baud data parity stop <<<"$line"
      n=$((n + 1))
      out=$work/lines-$n
      text="L$n $build $data$parity$stop"
      mark uart
      trace_mark
      host "$build" "$out" init 20 2 "$(port "$build" /dev/ttyS1),$baud,$data,$parity,${stop}Log" \
        position 1 2 write "$text" done
      init_ok "$out" "UART $build $baud,$data,$parity,$stop"
      check
      want="baudrate=$baud parity='$(uart_parity "$parity")' data=$data stop=$stop"
      got=$(last_trace serial_update_parameters)
      [ "$got" = "serial_update_parameters $want" ] ||
        fail "UART $build $line: the UART was set to \"$got\", not \"$want\""
      check
      want=$(session_bytes "$text")
      got=$(far_end uart $(($(wc -w <<<"$want"))))
      [ "$got" = "$want" ] || fail "UART $build $line: the far end got \"$got\", not \"$want\""
      check
      want=$(expected_settings "$baud" "$data" "$parity" "$stop")
      got=$(settings /dev/ttyS1)
      [ "$got" = "$want" ] || fail "UART $build $line: the 8250 driver has \"$got\", not \"$want\""
    done
  done
}

# holders DEVICE: the processes that have DEVICE open, by their PIDs.
holders() {
  local fd pid
  for fd in /proc/[0-9]*/fd/*; do
    [ "$(readlink "$fd" 2>/dev/null)" = "$1" ] || continue
    pid=${fd#/proc/}
    echo "${pid%%/*}"
  done | sort -u | paste -sd,
}

# ---- a port in use ---------------------------------------------------------
# A second host is refused while the first holds the UART (natively; under
# Wine what the second host got is shown, not counted: Wine does not stop
# it); a first host killed with SIGKILL ends at once, without its Done, no
# process holds the UART any more (Wine's server held it for the host), and
# the next host gets it.
in_use_family() {
  local build out first pid rc
  for build in $builds; do
    out=$work/in-use-$build
    host_background "$build" "$out-first" init 20 2 "$(port "$build" /dev/ttyS1),9600,8,N,1Log" \
      position 1 1 write first wait 60000 done
    first=$!
    for _ in $(seq 300); do
      grep -q '^DISPLAYDLL_Write: ' "$out-first" 2>/dev/null && break
      sleep 0.1
    done
    init_ok "$out-first" "in use $build: the first host"
    host "$build" "$out-second" init 20 2 "$(port "$build" /dev/ttyS1),9600,8,N,1Log" done
    check
    if [ "$build" = native ]; then
      grep -q '^DISPLAYDLL_Init: "Failed to open Serial Port : Access is denied\.\\r\\n" status=0$' "$out-second" ||
        fail "in use native: the second host was not refused with Access is denied: $(head -n 1 "$out-second")"
    else
      # Measured: Wine lets a second process open a serial device that
      # another one holds (it takes no lock on it, and root passes the
      # terminal's exclusive flag): the second host gets the port too.
      echo "bench: in use wine, Wine's behaviour (not a check): while the first host held the UART," \
        "the second got $(grep -m 1 '^DISPLAYDLL_Init: ' "$out-second" || echo "no answer from Init")"
    fi
    # The host itself, not its shell: the first's process is the host's
    # subshell's only child.
    pid=$(pgrep -P "$(pgrep -P "$first" | head -n 1)" | head -n 1)
    [ -n "$pid" ] || pid=$(pgrep -P "$first" | head -n 1)
    check
    if [ -z "$pid" ] || ! kill -KILL "$pid"; then
      fail "in use $build: no first host to kill"
    fi
    rc=0
    wait "$first" 2>/dev/null || rc=$?
    check
    [ "$rc" = 137 ] && ! grep -q '^DISPLAYDLL_Done: ' "$out-first" ||
      fail "in use $build: the first host did not end by the SIGKILL (status $rc): $(tail -n 1 "$out-first")"
    check
    for _ in $(seq 50); do
      [ -z "$(holders /dev/ttyS1)" ] && break
      sleep 0.1
    done
    [ -z "$(holders /dev/ttyS1)" ] ||
      fail "in use $build: 5 s after the SIGKILL the UART is still held by: $(ps -o pid=,args= -p "$(holders /dev/ttyS1)")"
    mark uart
    host "$build" "$out-third" init 20 2 "$(port "$build" /dev/ttyS1),9600,8,N,1Log" position 1 2 write third done
    init_ok "$out-third" "in use $build: the host after a SIGKILL"
    check
    want=$(session_bytes third)
    got=$(far_end uart $(($(wc -w <<<"$want"))))
    [ "$got" = "$want" ] || fail "in use $build: after the SIGKILL the far end got \"$got\", not \"$want\""
  done
}

# ---- the adapter pulled mid-session ----------------------------------------
# Every output call after the pull returns -1 with its Error line, Done
# returns; a fresh host on the adapter plugged back (under whichever name it
# came back) gets status 1 and its bytes arrive.
pull_family() {
  local build out session pid want got errors new
  for build in $builds; do
    out=$work/pull-$build
    mark usb
    host_background "$build" "$out" init 20 2 "$(port "$build" "$adapter"),9600,8,N,1Log" \
      position 1 1 write before wait 15000 write after position 1 2 write again resume done
    session=$!
    for _ in $(seq 300); do
      [ "$(grep -c '^DISPLAYDLL_Write: ' "$out" 2>/dev/null)" -ge 1 ] && break
      sleep 0.1
    done
    init_ok "$out" "pull $build"
    check
    want="$init_bytes 1b 6c 01 01 $(hex before)"
    got=$(far_end usb $(($(wc -w <<<"$want"))))
    [ "$got" = "$want" ] || fail "pull $build: before the pull the far end got \"$got\", not \"$want\""
    request pull
    # Plugged back while the host still holds the pulled device.
    request plug
    new=
    for _ in $(seq 300); do
      new=$(ls /dev/ttyUSB* 2>/dev/null | head -n 1)
      [ -n "$new" ] && break
      sleep 0.1
    done
    wait "$session"
    check
    got=$(grep -v '^DISPLAYDLL_Init' "$out" | sed 's/^DISPLAYDLL_\([A-Za-z]*\): /\1 /' | tr '\n' ' ')
    [ "$got" = "SetPosition 1 Write 1 Write -1 SetPosition -1 Write -1 PowerResume -1 Done 1 " ] ||
      fail "pull $build: the calls after the pull answered \"$got\""
    # An Error line for each of the 4 failed calls and one for Done's
    # closing command.
    check
    errors=$(grep -c ' Error Error writing string : ' "$out.log")
    [ "$errors" = 5 ] || fail "pull $build: $errors Error lines for the 4 failed calls and Done's: $(cat "$out.log")"
    check
    if [ -z "$new" ]; then
      fail "pull $build: no adapter after the plug"
      continue
    fi
    echo "bench: the adapter came back as $new"
    set_adapter "$new"
    mark usb
    host "$build" "$out-fresh" init 20 2 "$(port "$build" "$adapter"),9600,8,N,1Log" position 1 2 write fresh done
    init_ok "$out-fresh" "pull $build: a fresh host on $adapter"
    check
    want=$(session_bytes fresh)
    got=$(far_end usb $(($(wc -w <<<"$want"))))
    [ "$got" = "$want" ] || fail "pull $build: after the replug the far end got \"$got\", not \"$want\""
  done
}

# ---- a display that stops reading ------------------------------------------
# The UART's far end stops taking bytes: the buffers fill, and then every
# write fails after its time-out (10 ms a byte and 50 ms) with its Error line,
# never 1. Once the far end reads again, the next call succeeds.
stall_family() {
  local build out calls started lines results first_failure late_ok took errors
  local block=XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX
  for build in $builds; do
    out=$work/stall-$build
    calls=()
    for _ in $(seq 100); do calls+=(write "$block"); done
    request stall-uart
    started=$(date +%s%N)
    host_background "$build" "$out" init 20 2 "$(port "$build" /dev/ttyS1),115200,8,N,1Log" \
      "${calls[@]}" wait 8000 write after done
    session=$!
    lines=0
    for _ in $(seq 1800); do
      lines=$(grep -c '^DISPLAYDLL_Write: ' "$out" 2>/dev/null)
      [ "$lines" -ge 100 ] && break
      sleep 0.1
    done
    took=$((($(date +%s%N) - started) / 1000000))
    request resume-uart
    wait "$session"
    init_ok "$out" "stall $build"
    results=$(grep '^DISPLAYDLL_Write: ' "$out" | head -n 100 | sed 's/^DISPLAYDLL_Write: //' | tr '\n' ' ')
    first_failure=$(grep '^DISPLAYDLL_Write: ' "$out" | head -n 100 | grep -n -m 1 ': -1$' | cut -d: -f1)
    check
    if [ -z "$first_failure" ]; then
      fail "stall $build: no write failed while the far end took nothing: $results"
      continue
    fi
    local failed=$((100 - first_failure + 1))
    echo "bench: stall $build: the first $((first_failure - 1)) writes went into the buffers, the other $failed failed"
    check
    late_ok=$(grep '^DISPLAYDLL_Write: ' "$out" | head -n 100 | tail -n +"$first_failure" | grep -c ': 1$')
    [ "$late_ok" = 0 ] || fail "stall $build: $late_ok writes answered 1 after the first failure: $results"
    check
    errors=$(grep -c ' Error Error writing string : ' "$out.log")
    [ "$errors" = "$failed" ] || fail "stall $build: $errors Error lines for $failed failed writes"
    # Each failed write waited out its time-out (100 bytes: 1.05 s).
    check
    [ "$took" -ge $((failed * 1000)) ] ||
      fail "stall $build: $failed failed writes took $took ms, less than their time-outs"
    check
    [ "$(grep '^DISPLAYDLL_Write: ' "$out" | tail -n 1)" = "DISPLAYDLL_Write: 1" ] ||
      fail "stall $build: the write after the far end read again did not succeed: $(tail -n 2 "$out")"
    check
    grep -q '^DISPLAYDLL_Done: 1$' "$out" || fail "stall $build: Done: $(tail -n 1 "$out")"
  done
}

# ---- lines the ports cannot take ------------------------------------------
# Each row: the port, the line a host gives it first, the line then asked
# for, and the builds that refuse it (both when none is named). The line is
# refused with its Error line ("The parameter is incorrect.") and the port
# gets back the line it had: the driver's settings (stty) and the
# hardware's last set-up as qemu traced it are those of the line before. No
# initialisation goes out; the port stays open until Done, and the later
# calls' bytes go out on the old line. The UART cannot make 230400 from its
# clock (the 8250 driver keeps its old speed) nor 12345 (no such speed in
# termios; under Wine its custom divisor makes 12,800, 3.7% off); termios has
# no 14400 either. The adapter's driver (ftdi_sio) has no 6 data bits and
# keeps the size it had.
refused_table=(
  "/dev/ttyS1 4800,8,N,1 230400,8,N,1"
  "/dev/ttyS1 4800,8,N,1 12345,8,N,1"
  "/dev/ttyS1 4800,8,N,1 14400,8,N,1 native"
  "adapter 19200,7,E,1 9600,6,N,1"
)
# far_end_of DEVICE: the name of the device's far end.
far_end_of() { [ "$1" = /dev/ttyS1 ] && echo uart || echo usb; }
# set_up DEVICE: the hardware's set-up as qemu last traced it (a driver may
# leave out what does not change).
set_up() {
  local trace_from=0
  case $1 in
    /dev/ttyS1) last_trace serial_update_parameters ;;
    *) echo "$(last_trace usb_serial_set_baud); $(last_trace usb_serial_set_data)" ;;
  esac
}
# traced FROM: every set-up of the hardware traced after line FROM, on one
# line, each with the number of times in a row it came.
traced() {
  tail -n +$(($1 + 1)) "$share/trace.log" | grep -o '\(serial_update_parameters\|usb_serial_set_[a-z]*\) .*' |
    uniq -c | sed 's/^ *\([0-9]*\) \(.*\)/\2 (x\1)/' | paste -sd';' -
}
# refused_text BUILD: the system's text for ERROR_INVALID_PARAMETER in that
# build: the native layer gives Windows' text, Wine its own.
refused_text() { [ "$1" = native ] && echo 'The parameter is incorrect\.' || echo 'Invalid parameter\.'; }
refused_family() {
  local build row device before asked only what out before_settings before_set_up from got want
  for build in $builds; do
    for row in "${refused_table[@]}"; do
      read -r device before asked only <<<"$row"
      [ -z "$only" ] || [ "$only" = "$build" ] || continue
      [ "$device" = adapter ] && device=$adapter
      what="refused $build $device $asked"
      out=$work/refused-$build-${asked//,/}
      host "$build" "$out-before" init 20 2 "$(port "$build" "$device"),${before}Log" done
      init_ok "$out-before" "$what: the line before"
      before_settings=$(settings "$device")
      before_set_up=$(set_up "$device")
      check
      [ "$before_settings" = "$(IFS=, && expected_settings $before)" ] ||
        fail "$what: the line before, $before, left \"$before_settings\" (traced: \"$before_set_up\")"
      mark "$(far_end_of "$device")"
      from=$(wc -l <"$share/trace.log")
      host "$build" "$out" init 20 2 "$(port "$build" "$device"),${asked}Log" position 1 2 write refused done
      echo "bench: $what: the hardware was set to: $(traced "$from")"
      check
      grep -q "^DISPLAYDLL_Init: \"Failed to set Serial Port state : $(refused_text "$build")\\\\r\\\\n\" status=0\$" "$out" ||
        fail "$what: not refused: $(head -n 1 "$out")"
      check
      grep -q " Error Failed to set Serial Port state : $(refused_text "$build")\$" "$out.log" ||
        fail "$what: no Error line: $(cat "$out.log")"
      check
      got=$(settings "$device")
      [ "$got" = "$before_settings" ] || fail "$what: the port was left with \"$got\", not \"$before_settings\""
      check
      got=$(set_up "$device")
      [ "$got" = "$before_set_up" ] || fail "$what: the hardware was left set to \"$got\", not \"$before_set_up\""
      check
      want="1b 6c 01 02 $(hex refused) $close_bytes"
      got=$(far_end "$(far_end_of "$device")" $(($(wc -w <<<"$want"))))
      [ "$got" = "$want" ] || fail "$what: the far end got \"$got\", not \"$want\""
    done
    # Mark parity: qemu's FTDI model refuses it (usb_serial_unsupported_parity)
    # while the kernel's driver reports the line as asked, a limit of the
    # model: status 1 in both builds.
    trace_mark
    host "$build" "$work/refused-$build-mark" init 20 2 "$(port "$build" "$adapter"),9600,8,M,1Log" done
    init_ok "$work/refused-$build-mark" "refused $build: mark parity on the model"
    check
    [ -n "$(last_trace usb_serial_unsupported_parity)" ] ||
      fail "refused $build: qemu's model took mark parity, which it is known to refuse"
  done
  # 14400 under Wine, which a custom divisor of the UART's clock makes
  # exactly (115200 / 8): shown, not counted, with what Wine read back (its
  # debug channels for the port), the hardware's set-up during the call, the
  # 8250 driver's own speed (38400 stands for a custom divisor) and divisor.
  case " $builds " in
    *" wine "*) ;;
    *) return ;;
  esac
  out=$work/refused-wine-14400
  from=$(wc -l <"$share/trace.log")
  QV_WINEDEBUG=+comm,+serial host wine "$out" init 20 2 COM5,14400,8,N,1Log done
  echo "bench: UART wine 14400, a record (not a check): $(grep -m 1 '^DISPLAYDLL_Init: ' "$out")"
  echo "bench: UART wine 14400: Wine's lines of the speed: $(grep -i 'baud' "$out" | sort | uniq -c | head -n 12 |
    sed 's/^ *//' | paste -sd';' -)"
  echo "bench: UART wine 14400: the hardware was set to: $(traced "$from")"
  echo "bench: UART wine 14400: the 8250 driver has \"$(settings /dev/ttyS1)\"; $(custom_speed /dev/ttyS1 clear)"
}
# custom_speed DEVICE [clear]: the serial driver's custom divisor and clock
# (TIOCGSERIAL); with clear, the custom speed is then turned off, so that
# 38400 is 38400 again for the cases that follow.
custom_speed() {
  python3 - "$@" <<'PYTHON'
import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
serial = bytearray(fcntl.ioctl(fd, 0x541E, bytes(128)))  # TIOCGSERIAL
flags, divisor, base = struct.unpack_from("i", serial, 16)[0], *struct.unpack_from("ii", serial, 24)
print("custom speed %s: baud_base %d, custom_divisor %d" % ("on" if flags & 0x1030 == 0x0030 else "off", base, divisor))
if sys.argv[2:] == ["clear"]:
    struct.pack_into("i", serial, 16, flags & ~0x1030)
    fcntl.ioctl(fd, 0x541F, bytes(serial))  # TIOCSSERIAL
PYTHON
}

# ---- the ports command: which port is which (display_host ports) ---------
# A self-contained block. Each build lists the UART and the adapter; after a
# pull the adapter is gone; after a replug it is listed under the name it
# came back as (natively its /dev/ttyUSB name, under Wine COM6, relinked).
ports_family() {
  local build out new
  ports_list() { # BUILD OUT: the build's list into OUT
    if [ "$1" = native ]; then
      (cd "$work/native" && ./display_host ports) >"$2" 2>&1
    else
      (cd "$work/wine" && "$root/tools/wine_run.sh" display_host.exe ports) 2>&1 | tr -d '\r' >"$2"
    fi
  }
  # listed BUILD OUT DEVICE: the line for DEVICE in OUT ("" when none).
  listed() {
    case $1:$3 in
      native:*) grep "^$3[ :]" "$2" ;;
      wine:/dev/ttyS1) grep '^COM5: ' "$2" ;;
      wine:*) grep '^COM6: ' "$2" ;;
    esac
  }
  for build in $builds; do
    out=$work/ports-$build
    ports_list "$build" "$out-before"
    check
    [ -n "$(listed "$build" "$out-before" /dev/ttyS1)" ] || fail "ports $build: the UART is not listed: $(cat "$out-before")"
    check
    [ -n "$(listed "$build" "$out-before" "$adapter")" ] || fail "ports $build: the adapter is not listed: $(cat "$out-before")"
    if [ "$build" = native ]; then
      check
      # The UART's driver is named as sysfs has it (the guest's: serial, its
      # ACPI-enumerated 8250).
      grep -Eq "^/dev/ttyS1 \(COM2\): driver [^ ,]+, 16550A UART; this user may open it$" "$out-before" ||
        fail "ports native: the UART's line: $(cat "$out-before")"
      check
      grep -q "^$adapter: driver ftdi_sio; " "$out-before" || fail "ports native: the adapter's line: $(cat "$out-before")"
    fi
    request pull
    for _ in $(seq 300); do [ -e "$adapter" ] || break; sleep 0.1; done
    ports_list "$build" "$out-pulled"
    check
    [ -z "$(listed "$build" "$out-pulled" "$adapter")" ] || fail "ports $build: the pulled adapter is listed: $(cat "$out-pulled")"
    request plug
    new=
    for _ in $(seq 300); do
      new=$(ls /dev/ttyUSB* 2>/dev/null | head -n 1)
      [ -n "$new" ] && break
      sleep 0.1
    done
    check
    if [ -z "$new" ]; then
      fail "ports $build: no adapter after the plug"
      continue
    fi
    set_adapter "$new"
    ports_list "$build" "$out-back"
    check
    [ -n "$(listed "$build" "$out-back" "$new")" ] || fail "ports $build: the adapter, back as $new, is not listed: $(cat "$out-back")"
    echo "bench: ports $build after the replug: $(listed "$build" "$out-back" "$new")"
  done
}

start=$(date +%s)
for family in $families; do
  before=$failures
  from=$checks
  family_start=$(date +%s)
  echo "bench: $family (builds: $builds)"
  case $family in
    lines) lines_family ;;
    in-use) in_use_family ;;
    pull) pull_family ;;
    stall) stall_family ;;
    refused) refused_family ;;
    ports) ports_family ;;
    *) fail "no family $family" ;;
  esac
  echo "bench: $family: $((checks - from)) checks, $((failures - before)) failed ($(($(date +%s) - family_start)) s)"
done
: >"$share/end"
echo "bench: $checks checks, $failures failed, in $(($(date +%s) - start)) s"
[ $checks -gt 0 ] && [ $failures = 0 ]
