#!/usr/bin/env bash
# The demo and Wine's wrapper:
# - demo.sh copies the picture out of the 32-bit machine;
# - with_ports.sh and demo.sh leave the caller's WINEPREFIX as it is, the
#   demo leaves nothing in the temporary folder and says where the log of a
#   failed Init is; wine_run.sh takes the prefix it is given by hand.
#
#   check_demo_wine.sh SOURCE_DIR
source "$(dirname "$0")/stand_ins.sh" "$1"

# demo.sh where 32-bit programs run only in the machine: the machine's demo
# leaves its picture in the shared build/demo/, and the picture asked for,
# outside the project, is copied from there.
copy=$(project demo tools/demo.sh)
stub "$copy/tools/vm32/run.sh" '[ "$1" = --needed ] && exit 0
mkdir -p build/demo && echo "the final screen" >build/demo/display.png'
mkdir "$work/pictures"
out=$(bash "$copy/tools/demo.sh" --picture "$work/pictures/screen.png" 2>&1)
status=$?
[ $status = 0 ] || fail "demo.sh in the machine should end with status 0, got $status: $out"
[ "$(cat "$work/pictures/screen.png" 2>/dev/null)" = "the final screen" ] ||
  fail "demo.sh in the machine did not copy the picture out: $out"
grep -q "^== the picture copied to $work/pictures/screen.png$" <<<"$out" || fail "demo.sh: no word of the copy: $out"
out=$(bash "$copy/tools/demo.sh" --picture "$work/no-such-folder/screen.png" 2>&1)
status=$?
[ $status = 2 ] || fail "demo.sh --picture into a missing folder should end with status 2, got $status: $out"

# Wine's own prefix for a user who has one: the tests and the demo leave it as
# it is and use a prefix of their own under the build folder; wine_run.sh
# still takes it when given by hand. Wine stands in: it makes a prefix, and
# for a program notes the prefix and where its COM5 leads, and the folder
# where its server would keep its socket (which stays when the server ends:
# for the tests' and the demo's prefixes, beside the prefix, not in /tmp),
# writes a log and fails Init when COM5 leads nowhere.
stub "$work/wine/wine64" "case \$1 in
  --version) echo wine-stand-in; exit 0 ;;
  wineboot) mkdir -p \"\$WINEPREFIX\" && touch \"\$WINEPREFIX/system.reg\"; exit 0 ;;
esac
echo \"\$WINEPREFIX \$(readlink \"\$WINEPREFIX/dosdevices/com5\")\" >>'$work/wine-runs.txt'
echo \"\$TMPDIR\" >'$work/wine-tmp.txt'
mkdir -p logs && echo \"the log of \$*\" >logs/QV-731.log
[ -e \"\$WINEPREFIX/dosdevices/com5\" ] || { echo 'Init failed'; exit 1; }"
stub "$work/wine/wineserver" 'exit 0'
# No 32-bit programs here.
stub "$work/wine/wine" 'exit 1'
mine=$work/my-prefix
mkdir -p "$mine/dosdevices"
touch "$mine/system.reg"
ln -s /dev/null "$mine/dosdevices/com5"
ln -s /dev/null "$mine/dosdevices/com3"
snapshot() { find "$mine" -printf '%p %l %s %T@\n' | sort; }
before=$(snapshot)
# A 64-bit Windows program, as far as wine_run.sh looks (the PE header's machine).
pe64() { mkdir -p "$(dirname "$1")" && printf 'MZ\0\0%56s\x40\0\0\0PE\0\0\x64\x86' '' | tr ' ' '\0' >"$1"; }
wine_path=$work/wine:$PATH

# with_ports.sh --wine: the lines are linked in the prefix it is given, the
# program runs there.
copy=$(project with_ports tests/with_ports.sh tools/wine_run.sh)
stub "$copy/relay" 'for pair in "${@:2}"; do touch "$1/${pair%%:*}" "$1/${pair##*:}"; done; touch "$1/ready"; exec sleep 60'
pe64 "$copy/program.exe"
rm -f "$work/wine-runs.txt"
out=$(cd "$copy" && PATH=$wine_path WINEPREFIX=$mine bash tests/with_ports.sh --wine "$copy/build/wineprefix" \
  "$copy/relay" "$copy/program.exe" 2>&1)
status=$?
[ $status = 0 ] || fail "with_ports.sh --wine should end with status 0, got $status: $out"
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
[[ $ran == "$copy/build/wineprefix "*/com5 ]] || fail "with_ports.sh --wine ran the program in \"$ran\", not on COM5 of its own prefix"
[ "$(snapshot)" = "$before" ] || fail "with_ports.sh --wine changed the WINEPREFIX it was called with: $(snapshot)"
[ "$(cat "$work/wine-tmp.txt" 2>/dev/null)" = "$copy/build/wineprefix.tmp" ] ||
  fail "with_ports.sh --wine: Wine's server would keep its socket in $(cat "$work/wine-tmp.txt" 2>/dev/null)"

# demo.sh under Wine: the simulated display, then a real port that is not
# there, with the user's prefix set and a temporary folder of its own.
copy=$(project demo-wine tools/demo.sh tools/wine_run.sh)
stub "$copy/tools/vm32/run.sh" 'exit 1'
stub "$copy/build/native/pty_relay" 'for pair in "${@:2}"; do touch "$1/${pair%%:*}" "$1/${pair##*:}"; done; touch "$1/ready"; exec sleep 60'
stub "$copy/build/native/display_sim" 'echo "display: closed by the driver"; echo picture >"$2"'
pe64 "$copy/build/windows-x86_64/display_host.exe"
touch "$copy/build/windows-x86_64/QV-731.dll"
mkdir "$work/demo-temp"
demo() {
  rm -f "$work/wine-runs.txt"
  out=$(cd "$copy" && PATH=$wine_path WINEPREFIX=$mine TMPDIR=$work/demo-temp bash tools/demo.sh "$@" 2>&1)
}
demo
status=$?
[ $status = 0 ] || fail "demo.sh under Wine should end with status 0, got $status: $out"
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
demo_prefix=$copy/build/windows-x86_64/wineprefix-demo
[[ $ran == "$demo_prefix $work/demo-temp/qv-demo."*/com5 ]] ||
  fail "demo.sh ran the host in \"$ran\", not on COM5 of $demo_prefix: $out"
[ ! -e "$demo_prefix/dosdevices/com5" ] && [ ! -L "$demo_prefix/dosdevices/com5" ] ||
  fail "demo.sh left its COM5 link: $(readlink "$demo_prefix/dosdevices/com5")"
[ -z "$(ls -A "$work/demo-temp")" ] || fail "demo.sh left in the temporary folder: $(ls -A "$work/demo-temp")"
[ "$(cat "$work/wine-tmp.txt" 2>/dev/null)" = "$demo_prefix.tmp" ] ||
  fail "demo.sh: Wine's server would keep its socket in $(cat "$work/wine-tmp.txt" 2>/dev/null)"
[ "$(cat "$copy/build/demo/display.png" 2>/dev/null)" = picture ] || fail "demo.sh kept no picture in build/demo: $out"
grep -q "^the log of display_host.exe QV-731.dll init 20 2 COM5,9600,8,N,1Log" "$copy/build/demo/logs/QV-731.log" ||
  fail "demo.sh kept no log in build/demo: $out"
demo --port "$work/no-such-device"
status=$?
[ $status = 1 ] || fail "demo.sh --port with no such device should end with status 1, got $status: $out"
grep -qx "== Init failed .*: $copy/build/demo/logs/QV-731.log" <<<"$out" ||
  fail "demo.sh --port with no such device: no word of the failed Init and its log: $out"
grep -qx "== the driver's debug log ($copy/build/demo/logs/QV-731.log)" <<<"$out" &&
  grep -qx "the log of display_host.exe QV-731.dll init 20 2 COM5,9600,8,N,1Log.*" <<<"$out" ||
  fail "demo.sh --port with no such device: no word of where the log of the failed Init is: $out"
[ -z "$(ls -A "$work/demo-temp")" ] || fail "demo.sh --port left in the temporary folder: $(ls -A "$work/demo-temp")"
[ "$(snapshot)" = "$before" ] || fail "demo.sh changed the WINEPREFIX it was called with: $(snapshot)"

# In the 32-bit machine, where the build folder is shared in (9p), the
# machine's own prefix stands in for one named there, the same one for every
# call: where the lines are linked, the program runs, and its server is where
# the machine's start-up left it (/tmp).
stub "$work/v9fs/findmnt" "case \${*: -1} in '$work/vm-cache'*) echo ext4 ;; *) echo 9p ;; esac"
vm_prefix=$work/vm-cache/qv-731/wineprefix-win64
rm -f "$work/wine-runs.txt"
(cd "$copy" && PATH=$work/v9fs:$wine_path XDG_CACHE_HOME=$work/vm-cache bash tools/wine_run.sh \
  --prefix "$copy/build/shared/wineprefix" build/windows-x86_64/display_host.exe >/dev/null 2>&1)
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
[ "$ran" = "$vm_prefix " ] && [ "$(cat "$work/wine-tmp.txt")" = /tmp ] ||
  fail "wine_run.sh --prefix on a 9p folder ran in \"$ran\", with its server in $(cat "$work/wine-tmp.txt")"
rm -f "$work/wine-runs.txt"
out=$(cd "$copy" && PATH=$work/v9fs:$wine_path XDG_CACHE_HOME=$work/vm-cache TMPDIR=$work/demo-temp bash tools/demo.sh 2>&1)
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
[[ $ran == "$vm_prefix $work/demo-temp/qv-demo."*/com5 ]] && [ "$(cat "$work/wine-tmp.txt")" = /tmp ] ||
  fail "demo.sh on a 9p folder ran in \"$ran\", with its server in $(cat "$work/wine-tmp.txt"): $out"
ports=$(project with_ports_9p tests/with_ports.sh tools/wine_run.sh)
cp "$work/with_ports/relay" "$work/with_ports/program.exe" "$ports/"
rm -f "$work/wine-runs.txt"
out=$(cd "$ports" && PATH=$work/v9fs:$wine_path XDG_CACHE_HOME=$work/vm-cache bash tests/with_ports.sh \
  --wine "$ports/build/wineprefix" "$ports/relay" "$ports/program.exe" 2>&1)
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
[[ $ran == "$vm_prefix "*/com5 ]] && [ "$(cat "$work/wine-tmp.txt")" = /tmp ] ||
  fail "with_ports.sh on a 9p folder ran in \"$ran\", with its server in $(cat "$work/wine-tmp.txt"): $out"

# By hand, wine_run.sh takes the WINEPREFIX it is given.
rm -f "$work/wine-runs.txt"
PATH=$wine_path WINEPREFIX=$mine bash "$copy/tools/wine_run.sh" "$copy/build/windows-x86_64/display_host.exe" >/dev/null 2>&1
ran=$(cat "$work/wine-runs.txt" 2>/dev/null)
[ "$ran" = "$mine /dev/null" ] || fail "wine_run.sh by hand did not run in the WINEPREFIX it was given: \"$ran\""
[ "$(cat "$work/wine-tmp.txt" 2>/dev/null)" = /tmp ] ||
  fail "wine_run.sh by hand: Wine's server would keep its socket in $(cat "$work/wine-tmp.txt" 2>/dev/null), not /tmp"

finish "the demo and the tests leave the user's Wine prefix as it is, and the demo says what it did"
