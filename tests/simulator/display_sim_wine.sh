#!/usr/bin/env bash
# The Windows build of the simulated display under Wine, reading a COM port
# that is one end of a pseudo-terminal pair: a known session through the spy,
# with a byte outside the font, an unknown and a cut-off sequence, and the SVG
# picture of the final screen. Exits 77 (skipped) where Wine cannot run it.
#
# It runs in the tests' own prefix PREFIX, under the build folder.
#
#   display_sim_wine.sh PTY_RELAY DISPLAY_SIM_EXE PREFIX
set -uo pipefail
relay=$1
sim=$2
own_prefix=$3
tools=$(cd "$(dirname "$0")/../../tools" && pwd)

status=0
# The prefix whose COM21 is linked: the one named, or in the 32-bit virtual
# machine the one that stands in for it (see wine_run.sh).
prefix=$(QV_WINE_PREPARE=1 "$tools/wine_run.sh" --prefix "$own_prefix" "$sim") || status=$?
[ $status = 0 ] || exit $status

dir=$(mktemp -d "${TMPDIR:-/tmp}/qv-sim.XXXXXX")
# COM20 and COM21 are this test's own: the other tests use COM3 to COM13 and COM99.
link=$prefix/dosdevices/com21
relay_pid=
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f "$link"
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "display_sim_wine: $*" >&2
  echo "--- the simulator's output:" >&2
  cat "$dir/spy.txt" >&2
  exit 1
}

"$relay" "$dir" com20:com21 &
relay_pid=$!
for _ in $(seq 100); do [ -e "$dir/ready" ] && break; sleep 0.05; done
[ -e "$dir/ready" ] || fail "the line relay did not start"
ln -sfn "$dir/com21" "$link"

(cd "$dir" && exec "$tools/wine_run.sh" --prefix "$own_prefix" "$sim" --spy --picture shot.svg COM21 60 >spy.txt 2>&1) &
sim_pid=$!
for _ in $(seq 600); do grep -q '^display: listening on COM21' "$dir/spy.txt" 2>/dev/null && break; sleep 0.1; done
grep -q '^display: listening on COM21' "$dir/spy.txt" || fail "the simulator did not start listening"

printf '\033@\033*\004\033_\000Hello\033l\001\002\001World\033Z\033l' >"$dir/com20"
# The line stays quiet until the simulator has called the cursor command cut
# off (after a second without bytes; Wine on a busy machine may take longer).
for _ in $(seq 150); do grep -q 'cut-off sequence' "$dir/spy.txt" 2>/dev/null && break; sleep 0.1; done
printf '\033\002' >"$dir/com20"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
[ $sim_status = 0 ] || fail "the simulator ended with status $sim_status"

# Windows programs end their lines with CR LF.
tr -d '\r' <"$dir/spy.txt" >"$dir/spy-lines.txt"
expect() {
  grep -Eq "$1" "$dir/spy-lines.txt" || fail "no spy line matching: $1"
}
expect '^ +0\.[0-9]{3}  1B 40 +reset$'
expect '^ +0\.[0-9]{3}  1B 2A 04 +setting \* 4$'
expect '^ +0\.[0-9]{3}  1B 5F 00 +setting _ 0$'
expect '^ +0\.[0-9]{3}  48 65 6C 6C 6F +text "Hello"$'
expect '^ +0\.[0-9]{3}  1B 6C 01 02 +cursor 1,2$'
expect '^ +0\.[0-9]{3}  01 57 6F 72 6C 64 +text "\\x01World"$'
expect '^ +0\.[0-9]{3}  1B 5A + !! unknown sequence ESC "Z"$'
expect '^ +[0-9.]+  1B 6C + !! cut-off sequence: ESC "l" with 0 of its 2 argument bytes$'
expect '^ +[0-9.]+  1B 02 +close$'
expect '^display: closed by the driver$'
# The picture: every dot of the 20x2 cells, the lit ones after the glow filter.
[ -s "$dir/shot.svg" ] || fail "no picture"
grep -q '^<svg ' "$dir/shot.svg" || fail "the picture is not SVG"
dots=$(grep -c '<circle' "$dir/shot.svg")
[ "$dots" = 1400 ] || fail "the picture has $dots dots, not 20x2 cells of 35"
lit=$(sed -n '/filter="url(#glow)"/,$p' "$dir/shot.svg" | grep -c '<circle')
[ "$lit" -gt 40 ] || fail "only $lit lit dots for Hello and World"
echo "display_sim_wine: the spy's lines and the picture are as expected"
