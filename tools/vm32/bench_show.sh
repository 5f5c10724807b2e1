#!/usr/bin/env bash
# tools/bench.sh's part inside the test machine: sessions of the 32-bit DLL
# under Wine and of the native build on the UART (/dev/ttyS1) and the USB
# adapter (/dev/ttyUSB0), each shown by the simulated display on this
# machine's far end, with the line the hardware was given; then the adapter
# pulled mid-session and plugged back.
#
#   bench_show.sh SHARE WINDOWS_BUILD NATIVE_BUILD
set -uo pipefail
share=$1
windows=$2
native=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/native" "$work/wine"
cp "$native/display_host" "$native/QV-731.dll" "$work/native/"
cp "$windows/display_host.exe" "$windows/QV-731.dll" "$work/wine/"
prefix=$HOME/.cache/qv-731/wineprefix-win32
mkdir -p "$prefix/dosdevices"
ln -sfn /dev/ttyS1 "$prefix/dosdevices/com5"
ln -sfn /dev/ttyUSB0 "$prefix/dosdevices/com6"

requests=0
request() {
  requests=$((requests + 1))
  local id
  id=$(printf '%03d-%s' "$requests" "$1")
  : >"$share/req/$id"
  for _ in $(seq 900); do
    if [ -s "$share/ack/$id" ]; then
      [ "$(cat "$share/ack/$id")" = ok ] || echo "bench: $1: $(cat "$share/ack/$id")"
      return 0
    fi
    sleep 0.1
  done
  echo "bench: $1: no answer"
}
# host BUILD CALL...: the host program of that build, in its own folder.
host() {
  local build=$1
  shift
  rm -rf "$work/$build/logs"
  if [ "$build" = native ]; then
    (cd "$work/native" && ./display_host ./QV-731.dll "$@")
  else
    (cd "$work/wine" && "$root/tools/wine_run.sh" display_host.exe QV-731.dll "$@") | sed -u 's/\r$//'
  fi
}
# screen FILE: the simulated display's last screen in its output, and how the
# session ended.
screen() {
  awk '/^\+-/ { if (!open) { frame = ""; open = 1 } else open = 0; frame = frame $0 "\n"; next }
       open { frame = frame $0 "\n"; next }
       /^display: (closed by the driver|no closing command came|stopped by )/ { last = $0 }
       END { printf "%s%s\n", frame, last }' "$1"
}
# settings DEVICE: the kernel driver's line: speed, size, parity, stop bits.
settings() {
  local all words=""
  all=$(stty -a -F "$1" 2>&1) || {
    echo "$all"
    return
  }
  for word in $(tr -s ' ;\n' '\n' <<<"$all"); do
    case $word in
      cs[5-8] | parenb | -parenb | parodd | -parodd | cmspar | -cmspar | cstopb | -cstopb) words="$words $word" ;;
    esac
  done
  echo "$(sed -n 's/^\(speed [0-9]* baud\).*/\1/p' <<<"$all")$words"
}
# set_up WHAT: the last line the hardware was given, as qemu traced it.
trace_from=0
set_up() {
  tail -n +$((trace_from + 1)) "$share/trace.log" | grep -o "$1 .*" | tail -n 1
  trace_from=$(wc -l <"$share/trace.log")
}
# show BUILD END DEVICE PORT LINE TEXT1 TEXT2: one session, on the display.
show() {
  local build=$1 end=$2 device=$3 port=$4 line=$5
  echo
  echo "== $build: $port$([ "$port" = "$device" ] || echo " (which leads to $device)"), line $line"
  trace_from=$(wc -l <"$share/trace.log")
  request "sim-$end"
  host "$build" init 20 2 "$port,${line}Log" position 1 1 write "$6" position 1 2 write "$7" done | sed 's/^/  host: /'
  request "shown-$end"
  echo "  the simulated display:"
  screen "$share/sim-$end.txt" | sed 's/^/    /'
  if [ "$end" = uart ]; then
    echo "  the UART as qemu traced it: $(set_up serial_update_parameters)"
  else
    echo "  the adapter as qemu traced it: $(set_up usb_serial_set_baud); $(set_up usb_serial_set_data)"
  fi
  echo "  the kernel's driver: $(settings "$device")"
}

echo "== the bench: a 16550A UART at /dev/ttyS1 and an FTDI USB adapter at /dev/ttyUSB0"
show wine uart /dev/ttyS1 COM5 19200,7,E,2 "32-bit DLL, Wine" "UART 19200 7E2"
show native uart /dev/ttyS1 /dev/ttyS1 38400,8,N,1 "native build" "UART 38400 8N1"
show wine usb /dev/ttyUSB0 COM6 9600,8,O,1 "32-bit DLL, Wine" "USB 9600 8O1"
show native usb /dev/ttyUSB0 /dev/ttyUSB0 57600,7,E,1 "native build" "USB 57600 7E1"

echo
echo "== the adapter pulled in the middle of a session of the 32-bit DLL under Wine (COM6)"
request sim-usb
host wine init 20 2 COM6,9600,8,N,1Log position 1 1 write "before the pull" wait 12000 \
  position 1 2 write "after the pull" done >"$work/pulled.txt" &
session=$!
for _ in $(seq 300); do
  grep -q '^DISPLAYDLL_Write' "$work/pulled.txt" 2>/dev/null && break
  sleep 0.1
done
echo "  pulled out (QMP device_del) after the first write"
request pull
echo "  plugged back (QMP device_add) while the host still holds the old device"
request plug
wait $session
sed 's/^/  host: /' "$work/pulled.txt"
echo "  its log's Error lines:"
tr -d '\r' <"$work/wine/logs/QV-731.log" | grep ' Error ' | sed 's/^/    /'
request stop-usb
echo "  the simulated display (it saw no closing command; stopped here):"
screen "$share/sim-usb.txt" | sed 's/^/    /'
new=$(ls /dev/ttyUSB* 2>/dev/null | head -n 1)
echo "  the adapter came back as ${new:-nothing}: COM6 now leads there"
if [ -n "$new" ]; then
  ln -sfn "$new" "$prefix/dosdevices/com6"
  show wine usb "$new" COM6 9600,8,N,1 "a fresh load after" "the replug"
fi
: >"$share/end"
