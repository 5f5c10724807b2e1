#!/usr/bin/env bash
# The toolbox's scripts do what they are asked and refuse what they cannot do.
# Each runs as a copy in a folder of its own, with stand-ins for what it would
# start (set-up, cmake, the fuzzer, qemu), so nothing is installed, built or
# booted, and a fault harms only the copy:
#
# - run_tests.sh takes only preset names, before removing any build folder;
# - fuzz.sh takes a target and the seconds in either order, or refuses;
# - vm32/run.sh stops on a time limit that is no number and on a job folder
#   it cannot make;
# - vm32/image.sh takes its package mirror from apt's configuration only;
# - demo.sh copies the picture out of the 32-bit machine;
# - package.sh stamps its ZIP with the commit's time (or SOURCE_DATE_EPOCH),
#   checks only that one, and puts it in place of the ZIPs of earlier runs
#   only once every check has passed: a failed build or check leaves
#   build/package/ as it was; the commit goes out of the 32-bit build's cache
#   on every way out;
#   release_zip.py writes the same bytes from the same files, whatever their
#   folder, order, times and permissions on disk;
# - with_ports.sh and demo.sh leave the caller's WINEPREFIX as it is, the
#   demo leaves nothing in the temporary folder and says where the log of a
#   failed Init is;
# - setup.sh as a user who is not root changes the system only through sudo;
# - tests/check_output.sh passes a program only on status 0 and the exact
#   lines, and passes a skip (77) on;
# - a test preset that finds no tests fails.
#
#   check_scripts.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-scripts.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# stub PATH CONTENTS: a stand-in program.
stub() {
  mkdir -p "$(dirname "$1")"
  printf '#!/usr/bin/env bash\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
# project NAME FILE...: a copy of the project holding only those files, with
# set-up standing in (it would install packages).
project() {
  local copy=$work/$1 file
  shift
  for file in "$@"; do
    mkdir -p "$copy/$(dirname "$file")"
    cp "$source_dir/$file" "$copy/$file"
  done
  stub "$copy/tools/setup.sh" 'exit 0'
  echo "$copy"
}
# cmake that does nothing, first on the path.
stub "$work/bin/cmake" 'exit 0'
export PATH=$work/bin:$PATH

# run_tests.sh: a name that is no preset is refused before anything is removed.
copy=$(project run_tests tools/run_tests.sh)
mkdir -p "$copy/build" "$copy/docs"
touch "$copy/docs/kept"
out=$(bash "$copy/tools/run_tests.sh" ../docs 2>&1)
status=$?
[ $status = 2 ] || fail "run_tests.sh ../docs should end with status 2, got $status: $out"
[ -e "$copy/docs/kept" ] || fail "run_tests.sh ../docs removed docs/"
grep -q 'run_tests: "../docs" is not a preset' <<<"$out" || fail "run_tests.sh ../docs: no reason given: $out"
# A preset is taken (here its build then fails: cmake is a stand-in that
# configures nothing).
stub "$work/bin/cmake" 'exit 1'
out=$(bash "$copy/tools/run_tests.sh" native 2>&1)
grep -q '^== native: build failed$' <<<"$out" || fail "run_tests.sh native: the preset was not taken: $out"
stub "$work/bin/cmake" 'exit 0'

# fuzz.sh: the seconds and the targets in either order; anything else refused.
copy=$(project fuzz tools/fuzz.sh)
stub "$copy/tests/fuzz/run_fuzzer.sh" 'echo "$(basename "$1") $2" >>"$(dirname "$0")/fuzzed.txt"'
fuzzed=$copy/tests/fuzz/fuzzed.txt
fuzz() {
  rm -f "$fuzzed"
  bash "$copy/tools/fuzz.sh" "$@" >"$work/fuzz-out.txt" 2>&1
}
expect_fuzzed() {
  local expected=$1 got
  shift
  fuzz "$@"
  got=$(cat "$fuzzed" 2>/dev/null | tr '\n' ',')
  [ "$got" = "$expected" ] || fail "fuzz.sh $*: fuzzed \"$got\", not \"$expected\": $(cat "$work/fuzz-out.txt")"
}
expect_fuzzed "fuzz_calls 600," calls
expect_fuzzed "fuzz_calls 30," calls 30
expect_fuzzed "fuzz_calls 30," 30 calls
expect_fuzzed "fuzz_init 45,fuzz_calls 45," 45
expect_fuzzed "fuzz_init 600,fuzz_calls 600,"
for wrong in "soon" "0" "-5" "calls 10 20" "init calls soon"; do
  # shellcheck disable=SC2086 # the words of each case
  fuzz $wrong
  status=$?
  [ $status = 2 ] || fail "fuzz.sh $wrong should be refused with status 2, got $status"
  [ ! -e "$fuzzed" ] || fail "fuzz.sh $wrong fuzzed: $(cat "$fuzzed")"
  grep -q '^fuzz: ".*" is neither a target' "$work/fuzz-out.txt" ||
    fail "fuzz.sh $wrong: no reason given: $(cat "$work/fuzz-out.txt")"
done

# release_zip.py: the same files, made in another order, at other times, with
# other permissions, in another folder, give the same bytes; another time
# gives others.
for side in one other; do
  mkdir -p "$work/zip-$side/QV/sub"
done
(cd "$work/zip-one/QV" && umask 077 && echo a >a.txt && echo b >sub/b.dll && touch -d 2001-02-03 a.txt sub/b.dll)
(cd "$work/zip-other/QV" && echo b >sub/b.dll && chmod 755 sub/b.dll && sleep 1 && echo a >a.txt)
zip_of() { python3 "$source_dir/tools/release_zip.py" "$work/$1.zip" "$2" "$work/$1/QV" 2>&1; }
out=$(zip_of zip-one 1500000000) || fail "release_zip.py failed: $out"
out=$(zip_of zip-other 1500000000) || fail "release_zip.py failed: $out"
cmp -s "$work/zip-one.zip" "$work/zip-other.zip" || fail "release_zip.py: the same files gave two different ZIPs"
zip_of zip-other 1500000002 >/dev/null
cmp -s "$work/zip-one.zip" "$work/zip-other.zip" && fail "release_zip.py: another time gave the same ZIP"
out=$(zip_of zip-other yesterday)
status=$?
[ $status = 2 ] || fail "release_zip.py with the time \"yesterday\" should end with status 2, got $status: $out"

# package.sh, with the builds and the checks of the programs standing in
# (cmake installs files named after themselves): in a git checkout of its own
# whose commit has a known time.
copy=$(project package tools/package.sh tools/release_zip.py)
# The faults a run is given: files named in $faults (a check of one objdump's
# programs that fails, a build that fails, a file missing from the ZIP, a
# program that holds the path of the project folder).
faults=$work/package-faults
mkdir "$faults"
stub "$copy/tests/check_dll.sh" "echo \"\$*\" >>\"\$(dirname \"\$0\")/checked.txt\"
[ ! -e '$faults/check-'\"\$3\" ] || { echo \"FAIL: the stand-in check of \$3 fails\"; exit 1; }
shift 3
echo \$(cat \"\$@\") '' >>\"\$(dirname \"\$0\")/checked.txt\""
real_cmake=$(PATH=${PATH#"$work/bin:"} command -v cmake)
stub "$work/package-bin/cmake" "case \$1 in
  -E) exec '$real_cmake' \"\$@\" ;;
  -U) echo \"\${*:1:\$#-1} \$(cd \"\${*: -1}\" && pwd)\" >>'$copy/unset.txt' ;;
  --preset)
    echo \"\$*\" >>'$copy/configured.txt'
    mkdir -p build/\$2 && echo CMAKE_PROJECT_VERSION:STATIC=9.8.7.6 >build/\$2/CMakeCache.txt ;;
  --build)
    [ ! -e '$faults/build-'\"\$3\" ] || { echo \"stand-in: the build of \$3 fails\"; exit 1; } ;;
  --install)
    mkdir -p \"\$4/x64\" \"\$4/driver\"
    for f in QV-731.dll display_host.exe display_sim.exe x64/QV-731.dll x64/display_host.exe x64/display_sim.exe \\
             driver/display_driver.h LICENSE README.txt; do echo \"\$f\" >\"\$4/\$f\"; done
    [ ! -e '$faults/missing' ] || rm \"\$4/README.txt\"
    [ ! -e '$faults/path' ] || echo \"built in \$PWD\" >>\"\$4/x64/display_sim.exe\" ;;
esac"
git -C "$copy" init -q && git -C "$copy" add -A &&
  GIT_AUTHOR_DATE='@1500000000 +0000' GIT_COMMITTER_DATE='@1500000000 +0000' \
    git -C "$copy" -c user.name=test -c user.email=test@example.invalid commit -qm test ||
  fail "package.sh: cannot make its git checkout"
head=$(git -C "$copy" rev-parse HEAD)
mkdir -p "$copy/build/package"
echo "an earlier ZIP" >"$copy/build/package/QV-731-1.0.0.1-win32-x64.zip"
echo "0000  QV-731-1.0.0.1-win32-x64.zip" >"$copy/build/package/QV-731-1.0.0.1-win32-x64.zip.sha256"
echo "kept" >"$copy/build/package/notes.txt"
# package: a run, with a temporary folder of its own, which it leaves empty,
# noting each cmake -U in unset.txt (with the build folder's full path).
mkdir "$work/package-tmp"
package() {
  rm -f "$copy/unset.txt"
  (cd "$copy" && PATH=$work/package-bin:$PATH TMPDIR=$work/package-tmp bash tools/package.sh) >"$work/package-out.txt" 2>&1
  local status=$?
  [ -z "$(ls -A "$work/package-tmp")" ] || fail "package.sh left its work folder: $(ls -A "$work/package-tmp")"
  rm -rf "${work:?}/package-tmp/"*
  return $status
}
# unnamed: the commit and time were taken out of the 32-bit build's cache, once.
unnamed() {
  [ "$(cat "$copy/unset.txt" 2>/dev/null)" = "-U QV_PACKAGE_COMMIT -U QV_PACKAGE_EPOCH $copy/build/windows-i686" ]
}
# zip_times ZIP: each entry's name and time, in the ZIP's order.
zip_times() {
  python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time)' "$1"
}
zip=$copy/build/package/QV-731-9.8.7.6-win32-x64.zip
unset SOURCE_DATE_EPOCH
package
status=$?
[ $status = 0 ] || fail "package.sh should end with status 0, got $status: $(cat "$work/package-out.txt")"
[ ! -e "$copy/build/package/QV-731-1.0.0.1-win32-x64.zip" ] && [ ! -e "$copy/build/package/QV-731-1.0.0.1-win32-x64.zip.sha256" ] ||
  fail "package.sh left the earlier ZIP or its checksum in build/package"
[ -e "$copy/build/package/notes.txt" ] || fail "package.sh removed a file that is no ZIP of its own"
(cd "$copy/build/package" && sha256sum --quiet -c QV-731-9.8.7.6-win32-x64.zip.sha256) ||
  fail "package.sh: its ZIP and its checksum file do not agree"
times=$(zip_times "$zip")
[ "$(cut -d' ' -f2- <<<"$times" | sort -u)" = "2017-07-14 02:40:00" ] || fail "package.sh: the ZIP's times are not the commit's: $times"
[ "$(cut -d' ' -f1 <<<"$times")" = "$(cut -d' ' -f1 <<<"$times" | LC_ALL=C sort)" ] ||
  fail "package.sh: the ZIP's entries are not in sorted order: $times"
odd=$(python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    mode = 0o40755 if i.is_dir() else 0o100755 if i.filename.endswith((".exe", ".dll")) else 0o100644
    if i.extra or i.comment or i.create_system != 3 or i.external_attr >> 16 != mode: print(i.filename)' "$zip")
[ -z "$odd" ] || fail "package.sh: entries with extra fields or permissions of their own: $odd"
[ "$(grep -c . <<<"$times")" = 12 ] || fail "package.sh: the ZIP has not its 9 files and 3 folders: $times"
grep -qx -- "--preset windows-i686 -DQV_PACKAGE_COMMIT=$head -DQV_PACKAGE_EPOCH=1500000000" "$copy/configured.txt" ||
  fail "package.sh did not give the 32-bit build the commit and its time: $(cat "$copy/configured.txt")"
unnamed || fail "package.sh did not take the commit and time out of the 32-bit build's cache: $(cat "$copy/unset.txt" 2>/dev/null)"
# Each objdump's check on the files unpacked from the ZIP (each holds its name).
checked=$(cat "$copy/tests/checked.txt" 2>/dev/null)
for files in "i686:QV-731.dll display_host.exe display_sim.exe" "x86_64:x64/QV-731.dll x64/display_host.exe x64/display_sim.exe"; do
  grep -qx -- "--epoch 1500000000 ${files%%:*}-w64-mingw32-objdump$(printf ' [^ ]*/QV-731-9.8.7.6-win32-x64/%s' ${files#*:})" <<<"$checked" &&
    grep -qx -- "${files#*:} " <<<"$checked" ||
    fail "package.sh did not check the ${files%%:*} programs from its ZIP: $checked"
done
# SOURCE_DATE_EPOCH, when set, is the time; one that is no count of seconds is
# refused before anything is removed.
SOURCE_DATE_EPOCH=1600000000 package || fail "package.sh with SOURCE_DATE_EPOCH failed: $(cat "$work/package-out.txt")"
[ "$(zip_times "$zip" | cut -d' ' -f2- | sort -u)" = "2020-09-13 12:26:40" ] ||
  fail "package.sh: the ZIP's times are not SOURCE_DATE_EPOCH's: $(zip_times "$zip")"
SOURCE_DATE_EPOCH=yesterday package
status=$?
[ $status = 2 ] || fail "package.sh with SOURCE_DATE_EPOCH=yesterday should end with status 2, got $status"
[ -e "$zip" ] || fail "package.sh with SOURCE_DATE_EPOCH=yesterday removed the ZIP before refusing"
grep -q 'package: SOURCE_DATE_EPOCH "yesterday" is not a count of seconds since 1970' "$work/package-out.txt" ||
  fail "package.sh with SOURCE_DATE_EPOCH=yesterday: no reason given: $(cat "$work/package-out.txt")"
# A run that fails, in a check or in the 32-bit build, ends with status 1 and
# leaves build/package/ as it found it: an earlier run's good ZIP and its
# checksum as they were, or, where there was none, no ZIP and no checksum.
# Either way the commit and time are out of the 32-bit build's cache again.
package_folder() { (cd "$copy/build/package" && ls -A && sha256sum -- *); }
for fault in check-x86_64-w64-mingw32-objdump check-i686-w64-mingw32-objdump missing path build-windows-i686; do
  for earlier in a-good-zip none; do
    [ $earlier = a-good-zip ] || rm -f "$copy"/build/package/QV-731-*
    before=$(package_folder)
    touch "$faults/$fault"
    SOURCE_DATE_EPOCH=1700000000 package
    status=$?
    rm "$faults/$fault"
    what="package.sh with the fault $fault and $earlier in build/package"
    [ $status = 1 ] || fail "$what should end with status 1, got $status: $(cat "$work/package-out.txt")"
    case $fault in
      check-*) reason="FAIL: the stand-in check of ${fault#check-} fails" ;;
      missing) reason="package: README.txt is missing from QV-731-9.8.7.6-win32-x64.zip" ;;
      path) reason="package: the files above hold the path of a folder they were built or staged in" ;;
      build-*) reason="stand-in: the build of ${fault#build-} fails" ;;
    esac
    grep -qxF "$reason" "$work/package-out.txt" || fail "$what: no reason given: $(cat "$work/package-out.txt")"
    [ "$(package_folder)" = "$before" ] ||
      fail "$what changed build/package: $(package_folder), not $before: $(cat "$work/package-out.txt")"
    unnamed || fail "$what left the commit and time in the 32-bit build's cache: $(cat "$copy/unset.txt" 2>/dev/null)"
  done
  # Made again, the good ZIP for the next fault.
  package || fail "package.sh failed: $(cat "$work/package-out.txt")"
done

# vm32/run.sh, with a disk image already there and qemu standing in: it
# notes that it was started and ends as a machine that ran nothing.
copy=$(project vm32 tools/vm32/run.sh tools/vm32/image.sh tools/vm32/guest-init.sh)
recipe=$(cat "$copy/tools/vm32/image.sh" "$copy/tools/vm32/guest-init.sh" | sha256sum | cut -c1-16)
mkdir -p "$work/cache/qv-731/vm32/$recipe"
touch "$work/cache/qv-731/vm32/$recipe/ready"
for tool in qemu-system-x86_64 debootstrap mkfs.ext4 unshare; do stub "$work/bin/$tool" 'exit 0'; done
# The stand-in machine prints on its console what a real one does, the
# kernel's and the start-up program's lines among the command's output, and
# ends the job with the exit code in $work/job-rc.
stub "$work/bin/qemu-system-x86_64" "touch '$work/qemu-started'
printf '%s\\n' \"\$@\" >'$work/qemu-args'
job=\$(printf '%s\\n' \"\$@\" | sed -n 's/^local,id=job,path=\\([^,]*\\),.*/\\1/p')
cp \"\$job/job\" '$work/job-file'
grep -q '^QV_MODE=setup' \"\$job/job\" && { cp \"\$job/job\" '$work/setup-job'; printf '%s\\n' \"\$@\" >'$work/setup-args'; }
printf '[    0.912345] random: crng init done\\r\\n'
echo 'vm32: [guest 1.52s] running the job'
echo 'the output of the command'
echo '[==========] a line of its own in brackets'
cat '$work/job-rc' >\"\$job/rc\"
printf '[   17.818329] sysrq: Power Off\\r\\nreboot: Power down\\r\\n'"
vm32() {
  rm -f "$work/qemu-started"
  (cd "$copy" && env XDG_CACHE_HOME="$work/cache" "$@") >"$work/vm32-out.txt" 2>&1
}
echo 0 >"$work/job-rc"
vm32 tools/vm32/run.sh --timeout 60 -- true
status=$?
[ -e "$work/qemu-started" ] || fail "vm32/run.sh did not start its stand-in machine: $(cat "$work/vm32-out.txt")"
[ $status = 0 ] && [ "$(grep -v '^vm32: starting the 32-bit test machine' "$work/vm32-out.txt")" = "the output of the command
[==========] a line of its own in brackets" ] ||
  fail "vm32/run.sh showed more than the command's output, or ended with status $status: $(cat "$work/vm32-out.txt")"
# Without the bench's options, one serial line (the console) and no bench.
grep -q 'console=ttyS0 8250.nr_uarts=1 ' "$work/qemu-args" && ! grep -q -e isa-serial -e usb-serial -e '^-qmp$' \
  -e '^-D$' -e qvshare "$work/qemu-args" && ! grep -q -e QV_SHARE -e QV_USB "$work/job-file" ||
  fail "vm32/run.sh without the bench's options started another machine: $(cat "$work/qemu-args")"
# The bench's options: the UART as the second serial line, the adapter, the
# trace, the control socket, the shared folder.
mkdir -p "$work/bench-share"
vm32 tools/vm32/run.sh --uart pty --usb "pipe,path=$work/usb" --trace "$work/trace.log" --qmp "$work/qmp.sock" \
  --share "$work/bench-share" -- true
status=$?
for arg in 'pty,id=uart' 'isa-serial,chardev=uart,index=1' 'pipe,path=$work/usb,id=adapter' \
  'usb-serial,chardev=adapter,id=adapter,bus=xhci.0' 'enable=serial_update_parameters' 'enable=usb_serial_set_baud' \
  'enable=usb_serial_set_data' 'enable=usb_serial_unsupported\*' '$work/trace.log' \
  'unix:$work/qmp.sock,server=on,wait=off' 'local,id=share,path=$work/bench-share,security_model=none'; do
  eval "want=\"$arg\""
  grep -qx -- "$want" "$work/qemu-args" || fail "vm32/run.sh with the bench's options: no qemu argument $want"
done
[ $status = 0 ] && grep -q 'console=ttyS0 8250.nr_uarts=2 ' "$work/qemu-args" &&
  grep -qx "QV_SHARE=$work/bench-share" "$work/job-file" && grep -qx 'QV_USB=1' "$work/job-file" ||
  fail "vm32/run.sh with the bench's options: status $status, job $(cat "$work/job-file"), $(cat "$work/qemu-args")"
vm32 tools/vm32/run.sh --share tools -- true
status=$?
[ $status = 2 ] && [ ! -e "$work/qemu-started" ] || fail "vm32/run.sh shared a folder of the project (status $status)"
# An image built for a run with the bench's options: its first start has
# neither the bench's devices nor their folder (they are the run's alone).
if [ "$(id -u)" = 0 ]; then
  stub "$copy/tools/vm32/image.sh" 'mkdir -p "$1"'
  vm32 tools/vm32/run.sh --uart pty --usb pty --qmp "$work/qmp.sock" --share "$work/bench-share" -- true
  status=$?
  [ $status = 0 ] && grep -qx 'QV_MODE=setup' "$work/setup-job" 2>/dev/null &&
    ! grep -q -e QV_SHARE -e QV_USB "$work/setup-job" && ! grep -q -e qvshare -e usb-serial "$work/setup-args" ||
    fail "vm32/run.sh: the first start of an image made for the bench had its devices: status $status," \
      "job $(cat "$work/setup-job" 2>/dev/null): $(cat "$work/vm32-out.txt")"
fi
echo 3 >"$work/job-rc"
vm32 tools/vm32/run.sh --timeout 60 -- true
status=$?
[ $status = 3 ] && grep -q "^  \[   17.818329\] sysrq: Power Off" "$work/vm32-out.txt" &&
  grep -q '^  vm32: \[guest 1.52s\] running the job' "$work/vm32-out.txt" ||
  fail "vm32/run.sh did not show the machine's own lines after a failed command: $(cat "$work/vm32-out.txt")"
for timeout in soon 0 12s; do
  vm32 tools/vm32/run.sh --timeout "$timeout" -- true
  status=$?
  [ $status = 2 ] || fail "vm32/run.sh --timeout $timeout should end with status 2, got $status"
  [ ! -e "$work/qemu-started" ] || fail "vm32/run.sh --timeout $timeout started the machine"
  grep -q "vm32: the time limit must be whole seconds above 0, not \"$timeout\"" "$work/vm32-out.txt" ||
    fail "vm32/run.sh --timeout $timeout: no reason given: $(cat "$work/vm32-out.txt")"
done
vm32 env QV_VM32_TIMEOUT=soon tools/vm32/run.sh -- true
status=$?
[ $status = 2 ] || fail "vm32/run.sh with QV_VM32_TIMEOUT=soon should end with status 2, got $status"
vm32 env TMPDIR="$work/no-such-folder" tools/vm32/run.sh -- true
status=$?
[ $status = 1 ] || fail "vm32/run.sh without a job folder should end with status 1, got $status"
[ ! -e "$work/qemu-started" ] || fail "vm32/run.sh started the machine without a job folder"
grep -q "vm32: cannot make the job folder in $work/no-such-folder" "$work/vm32-out.txt" ||
  fail "vm32/run.sh without a job folder: no reason given: $(cat "$work/vm32-out.txt")"

# vm32/image.sh takes the Debian mirror from the machine's apt configuration
# only (here one of its own, given to apt through APT_CONFIG), and stops where
# it names none. debootstrap stands in: it notes the mirror it was given and
# fails, which ends the build.
copy=$(project image tools/vm32/image.sh tools/vm32/guest-init.sh tools/apt_steps.sh)
apt=$work/apt
mkdir -p "$apt/sources.list.d" "$apt/lists"
printf 'Dir::Etc::sourcelist "%s";\nDir::Etc::sourceparts "%s";\nDir::State::lists "%s";\n' \
  "$apt/sources.list" "$apt/sources.list.d" "$apt/lists" >"$apt/apt.conf"
# Read in this order: sources.list, then sources.list.d/ by name. Only the
# last names Debian 12's main archive.
echo 'deb-src http://source.invalid/debian bookworm main' >"$apt/sources.list"
printf '%s\n' 'Types: deb' 'URIs: http://disabled.invalid/debian' 'Suites: bookworm' 'Components: main' 'Enabled: no' '' \
  'Types: deb' 'URIs: http://security.invalid/debian-security' 'Suites: bookworm-security' 'Components: main' \
  >"$apt/sources.list.d/a.sources"
echo 'deb http://vendor.invalid/linux/debian bookworm stable' >"$apt/sources.list.d/b.list"
printf '%s\n' 'Types: deb' 'URIs: http://mirror.invalid/debian' 'Suites: bookworm bookworm-updates' \
  'Components: main contrib' >"$apt/sources.list.d/c.sources"
stub "$work/bin/unshare" 'while [ $# -gt 0 ] && [ "$1" != -- ]; do shift; done
[ $# = 0 ] || { shift; exec "$@"; }'
stub "$work/bin/debootstrap" "echo \"\$4\" >'$work/mirror.txt'
[ -e '$work/debootstrap-works' ] || exit 1
mkdir -p \"\$3/etc\" \"\$3/boot\" \"\$3/sbin\" \"\$3/usr/sbin\"
echo VERSION_CODENAME=wombat >\"\$3/etc/os-release\"
touch \"\$3/boot/vmlinuz-6.1.0-test\" \"\$3/boot/initrd.img-6.1.0-test\""
image() {
  rm -rf "$work/mirror.txt" "$work/disk"
  APT_CONFIG=$apt/apt.conf bash "$copy/tools/vm32/image.sh" "$work/disk" >"$work/image-out.txt" 2>&1
}
image
status=$?
[ $status = 1 ] || fail "vm32/image.sh with a failing debootstrap should end with status 1, got $status"
[ "$(cat "$work/mirror.txt" 2>/dev/null)" = http://mirror.invalid/debian/ ] ||
  fail "vm32/image.sh took the mirror \"$(cat "$work/mirror.txt" 2>/dev/null)\", not apt's Debian 12 one: $(cat "$work/image-out.txt")"
rm "$apt/sources.list.d/c.sources"
image
status=$?
[ $status = 1 ] || fail "vm32/image.sh without a mirror should end with status 1, got $status"
[ ! -e "$work/mirror.txt" ] || fail "vm32/image.sh without a mirror started debootstrap with $(cat "$work/mirror.txt")"
grep -q "^vm32: this machine's apt configuration .* names no Debian package mirror" "$work/image-out.txt" ||
  fail "vm32/image.sh without a mirror: no reason given: $(cat "$work/image-out.txt")"
# Inside the image's tree, apt meets a mirror out of step as set-up may: the
# release it falls back to is the image's own (its os-release says wombat).
# The tree's mounts and chroot stand in; apt-get's stand-in serves the mirror
# named in $work/image-mirror.
for tool in mount umount; do stub "$work/bin/$tool" 'exit 0'; done
stub "$work/bin/chroot" "shift
[ \"\$1\" = /usr/bin/env ] && shift
while [ \"\$1\" = -i ] || [[ \$1 == *=* ]]; do shift; done
[ \"\$1\" = apt-get ] || exit 0
shift
echo \"apt-get \$*\" >>'$work/image-apt.txt'
case \$1:\$(cat '$work/image-mirror') in
  update:*) echo 'E: Failed to fetch http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz  Hash Sum mismatch'
    exit 100 ;;
  install:out-of-step) [[ \" \$* \" == *' -t wombat '* ]] && exit 0 ;;
  clean:*) exit 0 ;;
esac
echo 'E: Unable to correct problems, you have held broken packages.'
exit 100"
echo 'Types: deb
URIs: http://mirror.invalid/debian
Suites: bookworm
Components: main' >"$apt/sources.list.d/c.sources"
touch "$work/debootstrap-works"
echo out-of-step >"$work/image-mirror"
rm -f "$work/image-apt.txt"
QV_APT_PAUSE=0 image
status=$?
[ $status = 0 ] || fail "vm32/image.sh with a mirror out of step should end with status 0, got $status: $(cat "$work/image-out.txt")"
[ "$(grep -c '^apt-get update' "$work/image-apt.txt")" = 3 ] &&
  grep -q "^vm32: trying once more with the release's own suite, wombat, as the target" "$work/image-out.txt" &&
  grep -q '^apt-get install .* -t wombat ' "$work/image-apt.txt" ||
  fail "vm32/image.sh did not try the update three times and fall back to the image's release: $(cat "$work/image-out.txt")"
echo broken >"$work/image-mirror"
QV_APT_PAUSE=0 image
status=$?
[ $status = 1 ] || fail "vm32/image.sh with a broken mirror should end with status 1, got $status: $(cat "$work/image-out.txt")"
[ "$(tail -n 1 "$work/image-out.txt")" = "vm32: the package mirror is probably out of step for a while: run the same command again later" ] ||
  fail "vm32/image.sh with a broken mirror: its own advice is not the last word: $(cat "$work/image-out.txt")"
rm -f "$work/debootstrap-works" "$apt/sources.list.d/c.sources"

# The project's scripts and documents name no package host of their own.
hosts=$(cd "$source_dir" && grep -rnE '(https?|ftp)://' tools cmake docs README.md CMakeLists.txt CMakePresets.json)
[ -z "$hosts" ] || fail "the project names hosts of its own: $hosts"

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
# Which build the demo ran and why, in its last lines: where the kernel runs
# 32-bit programs (NEEDED 1) and where only the 32-bit machine does (0),
# which fails here or cannot reach a port of this machine.
while IFS='|' read -r needed options want why; do
  stub "$copy/tools/vm32/run.sh" "[ \"\$1\" = --needed ] && exit $needed; exit 1"
  read -r -a words <<<"$options"
  demo "${words[@]}"
  status=$?
  [ $status = "$want" ] || fail "demo.sh $options (machine needed: $needed) should end with status $want, got $status: $out"
  grep -qxF "== the demo ran the 64-bit build of QV-731.dll under Wine, because $why" <<<"$out" ||
    fail "demo.sh $options (machine needed: $needed): not the build and reason expected ($why): $out"
done <<END
1||0|this machine cannot run 32-bit Windows programs
0||0|this machine's kernel runs no 32-bit programs, and the 32-bit virtual machine could not show it (see above)
0|--port $work/no-such-device|1|this machine's kernel runs no 32-bit programs, and the 32-bit virtual machine cannot reach $work/no-such-device
END
stub "$copy/tools/vm32/run.sh" 'exit 1'

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

# setup.sh on a machine that lacks every package, with stand-ins for dpkg,
# apt-get and sudo that note each call and whether it ran as root. As a user
# who is not root (nobody, when this test runs as root) every step that
# changes the system goes through sudo, which starts it with a clean
# environment; as root none does; without sudo it stops before any step.
if [ "$(id -u)" = 0 ]; then
  # The stage must be reachable for nobody: this test's folder may not be.
  base=${TMPDIR:-/tmp}
  setpriv --reuid=nobody --regid=nogroup --clear-groups test -w "$base" -a -x "$base" || base=/tmp
  stage=$(mktemp -d "$base/qv-setup.XXXXXX")
  trap 'rm -rf "$work" "$stage"' EXIT
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
else
  stage=$work/setup
  mkdir "$stage"
  as_user() { "$@"; }
fi
mkdir -p "$stage/tools/vm32"
cp "$source_dir/tools/setup.sh" "$source_dir/tools/apt_steps.sh" "$stage/tools/"
# The 32-bit machine is needed here: its packages are installed too.
stub "$stage/tools/vm32/run.sh" 'exit 0'
calls=$stage/calls.txt
as_root='$( [ "$(id -u)" = 0 ] || [ -n "${QV_SUDO:-}" ] && echo root || echo user)'
stub "$stage/bin/dpkg-query" 'exit 1'
stub "$stage/bin/dpkg" "[ \"\$1\" = --print-foreign-architectures ] && exit 0
echo \"dpkg \$1 \$2 as $as_root\" >>'$calls'"
# apt-get's stand-in serves the mirror named in $stage/mirror: a good one; a
# flaky one whose first update fails; one out of step, whose security suite
# has an i386 list of the wrong size, so that apt installs only with the
# release itself as the target (the codename of the machine's os-release,
# here one no script could know); and a broken one, whose release has such
# a list, which nothing can replace.
printf 'PRETTY_NAME="Debian GNU/Linux 12"\nVERSION_CODENAME=quokka\nID=debian\n' >"$stage/os-release"
stub "$stage/bin/apt-get" "echo \"apt-get \$1 as $as_root DEBIAN_FRONTEND=\${DEBIAN_FRONTEND:-}\" >>'$calls'
mirror=\$(cat '$stage/mirror' 2>/dev/null)
suite=bookworm-security
case \$1:\$mirror in
  update:flaky) [ \"\$(grep -c '^apt-get update' '$calls')\" -gt 1 ] && exit 0 ;&
  update:out-of-step) ;;
  update:broken) suite=bookworm ;;
  install:out-of-step) [[ \" \$* \" == *' -t quokka '* ]] && exit 0 ;&
  install:broken) echo 'E: Unable to correct problems, you have held broken packages.'; exit 100 ;;
  *:refused) echo 'sudo: a terminal is required to read the password'; exit 1 ;;
  *) exit 0 ;;
esac
echo \"Get:1 http://mirror.invalid/debian \$suite InRelease\"
echo \"E: Failed to fetch http://mirror.invalid/debian/dists/\$suite/main/binary-i386/Packages.xz\" \\
  ' File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]'
echo 'E: Some index files failed to download. They have been ignored, or old ones used instead.'
exit 100"
stub "$stage/bin/sudo" "echo sudo >>'$calls'
exec env -i PATH=\"\$PATH\" QV_SUDO=1 \"\$@\""
# Without sudo: only what set-up itself runs, and the stand-ins but sudo.
mkdir "$stage/bin-nosudo"
for tool in bash grep id dirname env; do ln -s "$(command -v $tool)" "$stage/bin-nosudo/$tool"; done
for tool in dpkg-query dpkg apt-get; do ln -s "$stage/bin/$tool" "$stage/bin-nosudo/$tool"; done
mkdir "$stage/tmp"
chmod -R a+rX "$stage"
chmod 1777 "$stage/tmp"
touch "$calls"
chmod a+w "$calls"
setup() {
  : >"$calls"
  as_user env -i PATH="$1" HOME="$stage" TMPDIR="$stage/tmp" QV_APT_PAUSE=0 QV_OS_RELEASE="$stage/os-release" \
    bash "$stage/tools/setup.sh" >"$stage/out.txt" 2>&1
}
setup "$stage/bin:/usr/bin:/bin"
status=$?
[ $status = 0 ] || fail "setup.sh as a user should end with status 0, got $status: $(cat "$stage/out.txt")"
grep -qx 'dpkg --add-architecture i386 as root' "$calls" ||
  fail "setup.sh as a user did not add the i386 architecture through sudo: $(cat "$calls")"
[ "$(grep -c '^apt-get install as root DEBIAN_FRONTEND=noninteractive$' "$calls")" = 2 ] ||
  fail "setup.sh as a user did not install both sets through sudo, without questions: $(cat "$calls")"
[ "$(grep -c '^sudo$' "$calls")" = "$(grep -vc '^sudo$' "$calls")" ] ||
  fail "setup.sh as a user ran a step that changes the system without sudo: $(cat "$calls")"
if [ "$(id -u)" = 0 ]; then
  as_user() { "$@"; }
  setup "$stage/bin:/usr/bin:/bin"
  status=$?
  [ $status = 0 ] || fail "setup.sh as root should end with status 0, got $status: $(cat "$stage/out.txt")"
  grep -qx 'dpkg --add-architecture i386 as root' "$calls" || fail "setup.sh as root did not add i386: $(cat "$calls")"
  ! grep -q '^sudo$' "$calls" || fail "setup.sh as root went through sudo: $(cat "$calls")"
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
fi
setup "$stage/bin-nosudo"
status=$?
[ $status = 1 ] || fail "setup.sh as a user without sudo should end with status 1, got $status: $(cat "$stage/out.txt")"
[ ! -s "$calls" ] || fail "setup.sh as a user without sudo changed the system: $(cat "$calls")"
grep -q '^setup: installing needs root, and this user is not root and has no sudo' "$stage/out.txt" ||
  fail "setup.sh without sudo: no reason given: $(cat "$stage/out.txt")"

# setup.sh and a package mirror out of step: the update is tried three
# times, the install goes on with the lists apt has and falls back to the
# release's own suite; where nothing helps, set-up's own words are the last,
# and the i386 architecture it added is removed again. apt's lines never
# stand last.
out_of_step_list=http://mirror.invalid/debian/dists/bookworm-security/main/binary-i386/Packages.xz
echo flaky >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
[ $status = 0 ] || fail "setup.sh with a flaky mirror should end with status 0, got $status: $(cat "$stage/out.txt")"
[ "$(grep -c '^apt-get update ' "$calls")" = 2 ] || fail "setup.sh did not update the lists again once: $(cat "$calls")"
grep -q "^setup: the package lists' update failed (try 1 of 3); trying again" "$stage/out.txt" &&
  ! grep -q 'still cannot be fetched\|-t quokka' "$stage/out.txt" ||
  fail "setup.sh with a flaky mirror: not one retry and a plain install: $(cat "$stage/out.txt")"
echo out-of-step >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 0 ] || fail "setup.sh with a mirror out of step should end with status 0, got $status: $out"
[ "$(grep -c '^apt-get update ' "$calls")" = 3 ] || fail "setup.sh did not try the update three times, once in all: $(cat "$calls")"
grep -A1 -x 'setup: after 3 tries these package lists still cannot be fetched (the mirror may be out of step):' <<<"$out" |
  grep -qx "  $out_of_step_list" && grep -qx 'setup: going on with the package lists apt has' <<<"$out" ||
  fail "setup.sh with a mirror out of step did not name the list that failed: $out"
[ "$(grep -c "^setup: trying once more with the release's own suite, quokka, as the target" <<<"$out")" = 2 ] &&
  [ "$(grep -c '^setup: installed from quokka itself' <<<"$out")" = 2 ] ||
  fail "setup.sh with a mirror out of step did not install both sets from the machine's own release: $out"
[ "$(tail -n 1 <<<"$out")" = "setup: all build and test tools are present" ] || fail "setup.sh: not the last word: $out"
echo broken >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 1 ] || fail "setup.sh with a broken mirror should end with status 1, got $status: $out"
grep -qx "  http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz" <<<"$out" &&
  grep -q '^setup: installing failed, also with quokka as the target: .*wine32:i386' <<<"$out" &&
  grep -qx '  apt said: E: Unable to correct problems, you have held broken packages.' <<<"$out" ||
  fail "setup.sh with a broken mirror did not say what failed: $out"
[ "$(tail -n 3 <<<"$out")" = "setup: the package lists that could not be fetched:
  http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz
setup: the package mirror is probably out of step for a while: run the same command again later" ] ||
  fail "setup.sh with a broken mirror: its own advice is not the last word: $out"
[ "$(grep -c '^apt-get install ' "$calls")" = 2 ] || fail "setup.sh went on after a failed install: $(cat "$calls")"
grep -qx 'dpkg --remove-architecture i386 as root' "$calls" ||
  fail "setup.sh with a broken mirror left the i386 architecture it added: $(cat "$calls")"
# A step that fails before apt says anything (here sudo refusing) ends the
# same way, with what it said.
echo refused >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 1 ] && grep -qx '  it said: sudo: a terminal is required to read the password' <<<"$out" &&
  [ "$(tail -n 1 <<<"$out")" = "setup: the package mirror is probably out of step for a while: run the same command again later" ] &&
  grep -qx 'dpkg --remove-architecture i386 as root' "$calls" ||
  fail "setup.sh whose apt steps fail without a word of apt's should stop with its own, status 1, got $status: $out"
rm -f "$stage/mirror"
# Where everything is there, neither apt nor dpkg is asked to change anything.
stub "$stage/bin/dpkg-query" "echo 'install ok installed'"
stub "$stage/bin/dpkg" "[ \"\$1\" = --print-foreign-architectures ] && echo i386 && exit 0
echo \"dpkg \$1 \$2\" >>'$calls'"
setup "$stage/bin:/usr/bin:/bin"
status=$?
[ $status = 0 ] && [ ! -s "$calls" ] && [ "$(cat "$stage/out.txt")" = "setup: all build and test tools are present" ] ||
  fail "setup.sh with everything installed should do nothing, got status $status, calls: $(cat "$calls"): $(cat "$stage/out.txt")"
[ -z "$(ls -A "$stage/tmp")" ] || fail "setup.sh left its files in the temporary folder: $(ls -A "$stage/tmp")"

# tests/check_output.sh: the lines expected and status 0, or a failure with
# its reason; a program that prints the right lines and then fails or crashes
# fails; a skip (77) is passed on.
# expect_output STATUS REASON LINE... -- PROGRAM...: its status and reason.
expect_output() {
  local status=$1 reason=$2 out got
  shift 2
  out=$(bash "$source_dir/tests/check_output.sh" "$@" 2>&1)
  got=$?
  [ $got = "$status" ] || fail "check_output.sh $*: status $got, not $status: $out"
  [ -z "$reason" ] || grep -qxF -- "$reason" <<<"$out" || fail "check_output.sh $*: no \"$reason\": $out"
}
expect_output 0 "status 0 and the 2 lines expected from: printf one\r\ntwo\r\n" one two -- printf 'one\r\ntwo\r\n'
expect_output 1 "FAIL: status 3, not 0, from: bash -c echo one; echo two; exit 3" one two -- bash -c 'echo one; echo two; exit 3'
expect_output 1 "FAIL: status 139, not 0, from: bash -c echo one; echo two; kill -SEGV \$\$" one two -- \
  bash -c 'echo one; echo two; kill -SEGV $$'
expect_output 1 "FAIL: other lines than expected (< expected, > printed) from: printf one\n" one two -- printf 'one\n'
expect_output 1 "> three" one two -- printf 'one\ntwo\nthree\n'
expect_output 1 "> one two" one two -- printf 'one two\n'
expect_output 77 "" one -- bash -c 'echo one; exit 77'
expect_output 2 "" one two
expect_output 2 "" -- echo

# A test preset that finds no tests fails (it would count as passed): each
# one, on a build folder of its own with no tests in it.
mkdir "$work/presets"
cp "$source_dir/CMakePresets.json" "$work/presets/"
presets=$(cd "$work/presets" && ctest --list-presets | sed -n 's/^ *"\(.*\)"$/\1/p')
[ -n "$presets" ] || fail "ctest lists no test presets"
for preset in $presets; do
  mkdir -p "$work/presets/build/$preset"
  : >"$work/presets/build/$preset/CTestTestfile.cmake"
  out=$(cd "$work/presets" && ctest --preset "$preset" 2>&1)
  status=$?
  [ $status != 0 ] || fail "ctest --preset $preset found no tests and passed: $out"
done

[ $failures = 0 ] && echo "the scripts do what they are asked and refuse what they cannot do" && exit 0
exit 1
