#!/usr/bin/env bash
# The serial bench's tests: the 32-bit DLL under Wine and the native build on
# the real serial drivers of the test machine's kernel (tools/vm32/), a 16550A
# UART and an FTDI USB adapter that qemu emulates, in one boot of the
# machine. The cases run inside it (bench_cases.sh); this side keeps the far
# ends, the trace of the hardware's set-up and the adapter (bench_host.py).
#
#   check_bench.sh PROJECT WINDOWS_BUILD NATIVE_BUILD [FAMILY]...
#
# Both builds must be there and built from the sources as they are: a build
# that lacks its driver or host program, or is older than a source that goes
# into it, fails the test before the machine starts. Exits 77 (skipped) where
# the machine cannot be started: no qemu, or no disk image and no way to
# build one as root here (run.sh builds it through sudo for a user who is not
# root; a test cannot answer sudo's password prompt).
set -uo pipefail
root=$(cd "$1" && pwd)
windows=$2
native=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

# built BUILD LEAVE SOURCES -- PROGRAM...: BUILD has each PROGRAM, none older
# than one of the SOURCES (files and folders of the project), leaving out the
# files named like LEAVE (the other platform's); else the reason.
built() {
  local build=$1 leave=$2 sources=() program newer
  shift 2
  while [ "$1" != -- ]; do
    sources+=("$1")
    shift
  done
  shift
  for program in "$@"; do
    if [ ! -f "$build/$program" ]; then
      echo "check_bench: no $program in $build: build it first"
      return 1
    fi
    newer=$(cd "$root" && find "${sources[@]}" -type f ! -name "$leave" -newer "$build/$program" -print -quit)
    if [ -n "$newer" ]; then
      echo "check_bench: $build/$program is older than $newer: build it again"
      return 1
    fi
  done
}
# The driver goes into the DLL, the host program's own sources and the
# driver's header into the host.
library=(driver diagnostics platform/win32.h)
host=(host driver/display_driver.h)
built "$windows" '*_linux.cpp' "${library[@]}" exports/QV-731.def exports/dll_main.cpp exports/version.rc -- \
  QV-731.dll || exit 1
built "$windows" '*_linux.cpp' "${host[@]}" -- display_host.exe || exit 1
built "$native" '*_windows.cpp' "${library[@]}" platform/posix exports/native.map -- QV-731.dll || exit 1
built "$native" '*_windows.cpp' "${host[@]}" -- display_host || exit 1
windows=$(cd "$windows" && pwd)
native=$(cd "$native" && pwd)

if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "check_bench: no qemu-system-x86_64 here (tools/setup.sh installs it); skipped"
  exit 77
fi
if [ "$(id -u)" != 0 ] && ! ls "${XDG_CACHE_HOME:-$HOME/.cache}"/qv-731/vm32/*/ready >/dev/null 2>&1; then
  if ! command -v sudo >/dev/null; then
    echo "check_bench: no disk image of the test machine, and building one needs root: this user is not" \
      "root and has no sudo; skipped"
    exit 77
  fi
  if ! sudo -n true 2>/dev/null </dev/null; then
    echo "check_bench: no disk image of the test machine, and building one needs root: sudo asks for a" \
      "password, which a test cannot give (tools/vm32/run.sh --prepare builds the image, asking for it); skipped"
    exit 77
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-bench.XXXXXX")
helper=
cleanup() {
  if [ -n "$helper" ]; then
    kill "$helper" 2>/dev/null
    wait "$helper" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
share=$work/share
mkdir -p "$share"
for end in uart usb; do
  mkfifo "$share/$end.in" "$share/$end.out"
  : >"$share/$end.bytes"
done
: >"$share/trace.log"
mkdir -p "$share/req" "$share/ack"
python3 "$root/tools/vm32/bench_host.py" "$share" "$work/qmp.sock" &
helper=$!

start=$(date +%s)
cd "$root" || exit 1
tools/vm32/run.sh --timeout 1500 --uart "pipe,path=$share/uart" --usb "pipe,path=$share/usb" \
  --trace "$share/trace.log" --qmp "$work/qmp.sock" --share "$share" -- \
  bash "$here/bench_cases.sh" "$share" "$windows" "$native" "$@"
rc=$?
echo "check_bench: the bench's machine and cases took $(($(date +%s) - start)) s"
exit $rc
