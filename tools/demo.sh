#!/usr/bin/env bash
# The main job: installs what is missing, builds QV-731.dll and shows it
# driving a display through the host program under Wine. By default the
# display is a simulated one on a pseudo-terminal line; with --port DEVICE the
# DLL drives the real display on that serial device (such as /dev/ttyUSB0).
#
#   tools/demo.sh [--port DEVICE] [--line LINE] [--native] [--picture FILE]
#
# --line gives the display's line, as the driver's parameters write it
# (speed,data bits,parity,stop bits): --line 19200,8,N,1; 9600,8,N,1 when not
# given. The simulated display listens at its speed.
# --native uses the Linux build of the same driver instead of the DLL.
# --picture FILE also copies the simulated display's final picture (PNG) to FILE
# (a relative FILE is taken from the project folder), also when the demo runs
# in the 32-bit virtual machine.
#
# What it shows stays in build/demo/: the display's output and picture and the
# driver's debug log (logs/QV-731.log). Under Wine it runs in a prefix of its
# own, build/PRESET/wineprefix-demo, whatever WINEPREFIX says, and it leaves
# nothing in the temporary folder. Its last lines say which build ran and why,
# and what the display should show.
#
# Exit status: the host's (0 every call taken, 1 Init failed, 4 Init
# succeeded but the display did not take every later call; see display_host
# --help), or 2 for a wrong option of the demo's own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

args=("$@")
device=
native=0
picture=
line_settings=9600,8,N,1
while [ $# -gt 0 ]; do
  case $1 in
    --port) device=${2:?--port needs a device}; shift 2 ;;
    --line) line_settings=${2:?--line needs the line, such as 19200,8,N,1}; shift 2 ;;
    --native) native=1; shift ;;
    --picture) picture=${2:?--picture needs a file}; shift 2 ;;
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
# The line as a display takes it: a speed, 5 to 8 data bits, a parity letter
# and 1 or 2 stop bits. The simulated display makes only the speeds it lists.
if ! [[ $line_settings =~ ^([0-9]+),[5-8],[NOEMS],[12]$ ]]; then
  echo "demo: --line $line_settings is not a line such as 19200,8,N,1 (speed, 5 to 8 data bits, N O E M or S, 1 or 2 stop bits)" >&2
  exit 2
fi
speed=${BASH_REMATCH[1]}
if [ -z "$device" ] && ! [[ " 1200 2400 4800 9600 19200 38400 57600 115200 " == *" $speed "* ]]; then
  echo "demo: the simulated display takes 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 baud, not $speed" >&2
  exit 2
fi

# QV_DEMO_IN_VM=1: the demo runs again inside the 32-bit machine (see below),
# on what is built already; the picture is then copied outside it.
in_vm=${QV_DEMO_IN_VM:-0}
if [ "$in_vm" = 0 ] && [ -n "$picture" ] && [ ! -d "$(dirname "$picture")" ]; then
  echo "demo: no folder $(dirname "$picture") for the picture" >&2
  exit 2
fi
[ "$in_vm" = 1 ] || bash tools/setup.sh
# build PRESET TARGET...: only what the demo runs.
build() {
  [ "$in_vm" = 0 ] || return 0
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "$@" >/dev/null
}
echo "== building the native tools (line relay, simulated display)"
build native pty_relay display_sim QV-731 display_host

# wine_prepare PRESET: makes the demo's own Wine prefix for that build (never
# the caller's WINEPREFIX: the demo relinks its COM5) and prints its path (in
# the 32-bit virtual machine, that of the machine's own, which stands in for
# it: see wine_run.sh); fails where Wine cannot run the build's programs.
wine_prefix() { echo "$root/build/$1/wineprefix-demo"; }
wine_prepare() {
  QV_WINE_PREPARE=1 tools/wine_run.sh --prefix "$(wine_prefix "$1")" "build/$1/display_host.exe"
}

# Which build of the DLL this machine can run: the 32-bit library itself, or,
# where 32-bit programs cannot run, the 64-bit build of the same sources.
# `ran` and `why` say which, for the demo's last lines.
preset=
ran="the native (Linux) build of QV-731.dll"
why="--native asked for it"
if [ $native = 0 ]; then
  echo "== building QV-731.dll for 32-bit Windows"
  build windows-i686 QV-731 display_host
  no32="this machine's kernel runs no 32-bit programs"
  if [ "$in_vm" = 0 ] && [ -z "$device" ] && tools/vm32/run.sh --needed; then
    # The real 32-bit DLL in a throwaway virtual machine that can run it.
    echo "== this machine cannot run 32-bit programs: the demo goes on in a virtual machine that can"
    echo "   (the first time its disk image is built from Debian's packages: a few minutes)"
    if tools/vm32/run.sh -- env QV_DEMO_IN_VM=1 bash tools/demo.sh "${args[@]}"; then
      # What the machine writes outside the shared project folder goes with
      # it: the picture is copied here, from the shared build/demo/.
      if [ -n "$picture" ]; then
        cp build/demo/display.png "$picture"
        echo "== the picture copied to $picture"
      fi
      exit 0
    fi
    echo "== the virtual machine could not show it (see above); using the 64-bit build of the same sources"
    build windows-x86_64 QV-731 display_host
    preset=windows-x86_64
    why="$no32, and the 32-bit virtual machine could not show it (see above)"
  elif wine_prepare windows-i686 >/dev/null 2>&1; then
    preset=windows-i686
    why="this machine runs 32-bit Windows programs under Wine"
    [ "$in_vm" = 0 ] || why="the kernel outside runs no 32-bit programs, so the demo runs in a 32-bit virtual machine, where Wine runs them"
  else
    echo "== this machine cannot run 32-bit Windows programs; using the 64-bit build of the same sources"
    build windows-x86_64 QV-731 display_host
    why="this machine cannot run 32-bit Windows programs"
    if [ -n "$device" ] && [ "$in_vm" = 0 ] && tools/vm32/run.sh --needed; then
      why="$no32, and the 32-bit virtual machine cannot reach $device"
    fi
    if wine_prepare windows-x86_64 >/dev/null 2>&1; then
      preset=windows-x86_64
    else
      echo "== Wine cannot run here; using the native build"
      why="$why, and Wine cannot run 64-bit ones here either"
    fi
  fi
  case $preset in
    windows-i686) ran="the 32-bit QV-731.dll under Wine" ;;
    windows-x86_64) ran="the 64-bit build of QV-731.dll under Wine" ;;
  esac
fi

# What the demo shows is kept in the project folder, build/demo/; the work
# folder, with the line's links and the copies of the host and the DLL, goes
# when the demo ends. (In the virtual machine, the project folder is the one
# the machine shares with its host.)
shown=$root/build/demo
rm -rf "$shown" && mkdir -p "$shown/logs"
log=$shown/logs/QV-731.log
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-demo.XXXXXX")
pids=()
com5=
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$com5" ] || rm -f "$com5"
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$device" ]; then
  build/native/pty_relay "$work" com5:com6 &
  pids+=($!)
  for _ in $(seq 100); do [ -e "$work/ready" ] && break; sleep 0.05; done
  build/native/display_sim --picture "$shown/display.png" --baud "$speed" "$work/com6" 20 >"$shown/display.txt" &
  sim=$!
  pids+=($sim)
  line=$work/com5
else
  line=$device
fi

commands=(name usage
  position 1 1 write "Hello from QV-731"
  position 1 2 write "20 columns, 2 rows"
  wait 300 resume
  position 1 1 write "Hello again after a"
  position 1 2 write "power resume"
  done)
echo
host_status=0
if [ -n "$preset" ]; then
  prefix=$(wine_prepare "$preset")
  com5=$prefix/dosdevices/com5
  mkdir -p "$prefix/dosdevices"
  ln -sfn "$line" "$com5"
  cp "build/$preset/QV-731.dll" "build/$preset/display_host.exe" "$work/"
  echo "== the host calls QV-731.dll under Wine, display on COM5${device:+ (which leads to $device)}"
  (cd "$work" && "$root/tools/wine_run.sh" --prefix "$(wine_prefix "$preset")" display_host.exe QV-731.dll \
    init 20 2 "COM5,${line_settings}Log" "${commands[@]}") || host_status=$?
else
  cp build/native/QV-731.dll build/native/display_host "$work/"
  echo "== the host calls the native QV-731.dll, display on $line"
  (cd "$work" && ./display_host ./QV-731.dll init 20 2 "$line,${line_settings}Log" "${commands[@]}") || host_status=$?
fi

if [ -z "$device" ]; then
  # The display stops at the driver's closing command; after a failure it
  # would wait out its time limit.
  if [ $host_status != 0 ]; then kill "$sim" 2>/dev/null || true; fi
  wait "$sim" || true
fi
[ ! -f "$work/logs/QV-731.log" ] || cp "$work/logs/QV-731.log" "$log"
if [ -z "$device" ]; then
  echo
  echo "== what the simulated display received and shows"
  cat "$shown/display.txt"
  echo
  if [ -f "$shown/display.png" ]; then
    # In the virtual machine the demo that started it copies the picture.
    copied=
    if [ -n "$picture" ] && [ "$in_vm" = 0 ]; then
      cp "$shown/display.png" "$picture"
      copied=" (copied to $picture)"
    fi
    echo "== the picture of the display: $shown/display.png$copied"
  else
    echo "== the display was stopped before it drew its picture"
  fi
fi
if [ -f "$log" ]; then
  echo
  echo "== the driver's debug log ($log)"
  cat "$log"
else
  echo
  echo "== the driver wrote no debug log (no $log)"
fi

# The last words: which build ran, and what the display should show.
echo
echo "== the demo ran $ran, because $why"
display="the display${device:+ on $device}"
case $host_status in
  0)
    echo "== $display took every call at $line_settings; it should have shown"
    echo "     Hello from QV-731"
    echo "     20 columns, 2 rows"
    echo "   and, after the power resume cleared it, should now show"
    echo "     Hello again after a"
    echo "     power resume"
    [ -z "$device" ] || echo "   Nothing, or characters that are not these, mean another port or a line other than $line_settings."
    ;;
  1) echo "== Init failed (see its text above), so $display shows nothing of this demo; the driver's debug log says why: $log" ;;
  4)
    echo "== $display did not take every call: after Init succeeded, a later call failed (-1, or 0 from Done, above)."
    echo "   It shows part of the demo's screens or nothing; the Error lines of the driver's debug log say why: $log"
    ;;
  *) echo "== the host failed with exit status $host_status (see above), so $display shows nothing of this demo" ;;
esac
exit $host_status
