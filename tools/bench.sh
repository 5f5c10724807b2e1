#!/usr/bin/env bash
# The serial bench, to try by hand: the test machine (tools/vm32/) starts with
# a 16550A UART and an FTDI USB serial adapter, which qemu emulates and the
# machine's kernel drives with its own serial drivers (8250, ftdi_sio). The
# 32-bit QV-731.dll under Wine and the native build each run a session on the
# UART and on the adapter; the simulated display listens on each far end,
# here, and shows its screen; qemu's trace shows the line the hardware was
# given. Then the adapter is pulled in the middle of a session and plugged
# back.
#
#   tools/bench.sh
#
# Installs what is missing, builds what it runs, and the first time builds
# the machine's disk image (about 4 minutes without KVM, as root or through
# sudo). A run boots the machine once. It leaves nothing in the temporary
# folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
case ${1:-} in
  -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "bench: unknown option $1 (see --help)" >&2; exit 2 ;;
esac

bash tools/setup.sh
echo "== building the native build, the simulated display and the 32-bit DLL"
cmake --preset native >/dev/null
cmake --build --preset native --target QV-731 display_host display_sim >/dev/null
cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 --target QV-731 display_host >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-bench.XXXXXX")
helper=
cleanup() {
  if [ -n "$helper" ]; then
    kill "$helper" 2>/dev/null || true
    wait "$helper" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
share=$work/share
mkdir -p "$share/req" "$share/ack"
: >"$share/trace.log"
# The far ends are pseudo-terminals here, where the simulated display listens
# (bench_host.py starts it when the machine asks).
python3 tools/vm32/bench_host.py "$share" "$work/qmp.sock" "$root/build/native/display_sim" &
helper=$!
tools/vm32/run.sh --timeout 900 --uart pty --usb pty --trace "$share/trace.log" --qmp "$work/qmp.sock" \
  --share "$share" -- bash tools/vm32/bench_show.sh "$share" "$root/build/windows-i686" "$root/build/native"
