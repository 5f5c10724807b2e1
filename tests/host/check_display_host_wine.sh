#!/usr/bin/env bash
# The Windows host program under Wine: given a DLL of the other kind (a
# 32-bit one to the 64-bit host, and the other way round) it says why it
# cannot load it and which DLL it needs; and its test pattern, drawn through
# the DLL on a COM port that is one end of a pseudo-terminal pair, shows each
# page on the Windows simulated display at the far end. Exits 77 (skipped)
# where Wine cannot run the programs.
#
# It runs in the tests' own prefix PREFIX, under the build folder.
#
#   check_display_host_wine.sh PTY_RELAY DISPLAY_HOST_EXE DISPLAY_SIM_EXE DLL OTHER_KIND_DLL PREFIX
set -uo pipefail
relay=$1
host=$2
sim=$3
dll=$4
other=$5
own_prefix=$6
tools=$(cd "$(dirname "$0")/../../tools" && pwd)

status=0
# The prefix whose COM ports are linked: the one named, or in the 32-bit
# virtual machine the one that stands in for it (see wine_run.sh).
prefix=$(QV_WINE_PREPARE=1 "$tools/wine_run.sh" --prefix "$own_prefix" "$host") || status=$?
[ $status = 0 ] || exit $status

dir=$(mktemp -d "${TMPDIR:-/tmp}/qv-host-wine.XXXXXX")
# COM22 and COM23 are this test's own: the other tests use COM3 to COM13,
# COM20, COM21 and COM99.
links="$prefix/dosdevices/com22 $prefix/dosdevices/com23"
relay_pid=
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f $links
  rm -rf "$dir"
}
trap cleanup EXIT
source "$(dirname "$0")/../support/checks.sh"

# A DLL of the other kind, under the name a user would give it.
mkdir "$dir/other" && cp "$other" "$dir/other/QV-731.dll" && cp "$host" "$dir/other/"
bits=64
[ "$(od -An -j$(($(od -An -j60 -N4 -tu4 "$host" | tr -d ' ') + 4)) -N2 -tx2 "$host" | tr -d ' ')" = 8664 ] || bits=32
(cd "$dir/other" && "$tools/wine_run.sh" --prefix "$own_prefix" "$(basename "$host")" QV-731.dll name >out.txt 2>&1)
status=$?
tr -d '\r' <"$dir/other/out.txt" >"$dir/other/lines.txt"
[ $status = 3 ] || fail "a DLL of the other kind should end with status 3, got $status: $(cat "$dir/other/lines.txt")"
# The system text is in the user's language and Wine's code page: read as
# bytes.
LC_ALL=C grep -Eq "^display_host: cannot load QV-731\.dll: [^ ].* \(error 193\); a $bits-bit host needs the $bits-bit DLL" \
  "$dir/other/lines.txt" || fail "no system text, or no word of the DLL needed: $(cat "$dir/other/lines.txt")"
grep -q '%1' "$dir/other/lines.txt" && fail "the system text's %1 is left in: $(cat "$dir/other/lines.txt")"

# The pattern on a line: the host on COM22, the simulated display on COM23.
"$relay" "$dir" com22:com23 &
relay_pid=$!
for _ in $(seq 100); do [ -e "$dir/ready" ] && break; sleep 0.05; done
[ -e "$dir/ready" ] || { fail "the line relay did not start"; exit 1; }
ln -sfn "$dir/com22" "$prefix/dosdevices/com22"
ln -sfn "$dir/com23" "$prefix/dosdevices/com23"
(cd "$dir" && exec "$tools/wine_run.sh" --prefix "$own_prefix" "$sim" COM23 120 >sim.txt 2>&1) &
sim_pid=$!
for _ in $(seq 600); do grep -q '^display: listening on COM23' "$dir/sim.txt" 2>/dev/null && break; sleep 0.1; done
grep -q '^display: listening on COM23' "$dir/sim.txt" || { fail "the simulator did not start: $(cat "$dir/sim.txt")"; exit 1; }
cp "$dll" "$dir/QV-731.dll"
(cd "$dir" && "$tools/wine_run.sh" --prefix "$own_prefix" "$host" QV-731.dll init 20 2 COM22,9600,8,N,1 pattern 400 done >host.txt 2>&1)
status=$?
[ $status = 0 ] || fail "the host ended with status $status: $(cat "$dir/host.txt")"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
[ $sim_status = 0 ] || fail "the simulator ended with status $sim_status"
tr -d '\r' <"$dir/host.txt" >"$dir/host-lines.txt"
for page in 1 2 3 4 5 6 7 8 9; do
  grep -q "^pattern $page/9: " "$dir/host-lines.txt" || fail "the host did not report page $page: $(cat "$dir/host-lines.txt")"
done
grep -q failed "$dir/host-lines.txt" && fail "a call failed: $(cat "$dir/host-lines.txt")"

# The screens the simulator showed whenever the line went quiet, each as its
# two rows; every page must come, in order (bytes outside 0x20..0x7E show as ?).
tr -d '\r' <"$dir/sim.txt" | grep -E '^\|.{20}\|$' | sed 's/^|//; s/|$//' >"$dir/rows.txt"
cat >"$dir/pages.txt" <<'END'
123456789A123456789A
123456789B123456789B
1                  2
3                  4
20: !"#$%&'()*+,-./ 
30:0123456789:;<=>? 
40:@ABCDEFGHIJKLMNO 
50:PQRSTUVWXYZ[\]^_ 
60:`abcdefghijklmno 
70:pqrstuvwxyz{|}~  
80:???????????????? 
90:???????????????? 
A0:???????????????? 
B0:???????????????? 
C0:???????????????? 
D0:???????????????? 
E0:???????????????? 
F0:???????????????? 
END
# Pairs of rows, one screen a line.
paste -d '|' - - <"$dir/pages.txt" >"$dir/expected.txt"
paste -d '|' - - <"$dir/rows.txt" >"$dir/shown.txt"
next=1
total=$(wc -l <"$dir/expected.txt")
while IFS= read -r screen; do
  [ "$next" -le "$total" ] || break
  [ "$screen" = "$(sed -n "${next}p" "$dir/expected.txt")" ] && next=$((next + 1))
done <"$dir/shown.txt"
[ "$next" -gt "$total" ] ||
  fail "page $next never showed: $(sed -n "${next}p" "$dir/expected.txt"); the simulator's screens: $(cat "$dir/shown.txt")"
grep -q '^display: closed by the driver$' <(tr -d '\r' <"$dir/sim.txt") || fail "the driver did not close the display"

[ $failures = 0 ] || exit 1
echo "display_host under Wine: a DLL of the other kind explained; every pattern page shown on the simulated display"
