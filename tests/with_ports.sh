#!/usr/bin/env bash
# Runs a test program with serial lines to talk to: null-modem pairs of
# pseudo-terminals made by pty_relay, named to the program through QV_TEST_*
# variables. With --wine the program is a Windows one: it runs under Wine in
# the prefix PREFIX (the tests' own, under the build folder: never the
# caller's WINEPREFIX, whose ports are not the tests' to change), and the
# lines become COM ports in its dosdevices.
#
#   with_ports.sh [--wine PREFIX] PTY_RELAY PROGRAM [ARGUMENTS]...
set -euo pipefail
tools=$(cd "$(dirname "$0")/../tools" && pwd)
wine=0
if [ "${1:-}" = --wine ]; then
  wine=1
  own_prefix=${2:?--wine needs the prefix folder}
  shift 2
fi
relay=$1
shift

dir=$(mktemp -d "${TMPDIR:-/tmp}/qv-lines.XXXXXX")
"$relay" "$dir" com3:com4 com5:com6 com7:com8 com12:com13 &
relay_pid=$!
cleanup() {
  kill "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e "$dir/ready" ] && break
  sleep 0.05
done
[ -e "$dir/ready" ] || { echo "with_ports: the line relay did not start" >&2; exit 1; }

# Windows sees the folder / as drive Z:.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

if [ $wine = 1 ]; then
  exe=$1
  # The prefix, made now so that its dosdevices can be linked: the one named,
  # or in the 32-bit virtual machine the one that stands in for it (see
  # wine_run.sh), which the program then runs in too.
  status=0
  prefix=$(QV_WINE_PREPARE=1 "$tools/wine_run.sh" --prefix "$own_prefix" "$exe") || status=$?
  [ $status = 0 ] || exit $status
  export WINEPREFIX=$prefix
  mkdir -p "$prefix/dosdevices"
  for n in 3 4 5 6 7 8 12 13; do ln -sfn "$dir/com$n" "$prefix/dosdevices/com$n"; done
  # A missing port: Wine takes a link that leads nowhere for /dev/ttyS(n-1),
  # which may well exist, so the number is one no machine has.
  ln -sfn "$dir/no-such-port" "$prefix/dosdevices/com99"
  ln -sfn /dev/null "$prefix/dosdevices/com9"
  export QV_TEST_PORT=COM5 QV_TEST_PEER=COM6
  # Above COM9 Windows knows the ports only by their device paths.
  export QV_TEST_HIGH_PORT='\\.\COM12' QV_TEST_HIGH_PEER='\\.\COM13'
  export QV_TEST_HANGUP_PORT=COM7 QV_TEST_HANGUP_PEER=COM8
  export QV_TEST_HANGUP_FILE=$(winpath "$dir/hangup-com7")
  export QV_TEST_STALL_FILE=$(winpath "$dir/stall-com5")
  export QV_TEST_DEFAULT_PORT=COM3 QV_TEST_DEFAULT_PEER=COM4
  export QV_TEST_MISSING_PORT=COM99 QV_TEST_NOT_SERIAL_PORT=COM9
  # The tests' own folders, gone with $dir when the program has ended: the
  # driver's log stays open until then, and Windows deletes no open file.
  mkdir "$dir/temp"
  export QV_TEST_TEMP=$(winpath "$dir/temp")
  if [ -n "${QV_TEST_LIBRARY:-}" ]; then QV_TEST_LIBRARY=$(winpath "$QV_TEST_LIBRARY"); fi
  "$tools/wine_run.sh" --prefix "$own_prefix" "$@"
else
  export QV_TEST_PORT=$dir/com5 QV_TEST_PEER=$dir/com6
  export QV_TEST_HANGUP_PORT=$dir/com7 QV_TEST_HANGUP_PEER=$dir/com8
  export QV_TEST_HANGUP_FILE=$dir/hangup-com7
  # While this file exists, what the driver writes to com5 stays in the line.
  export QV_TEST_STALL_FILE=$dir/stall-com5
  export QV_TEST_MISSING_PORT=$dir/no-such-port QV_TEST_NOT_SERIAL_PORT=/dev/null
  "$@"
fi
