#!/usr/bin/env bash
# The 32-bit test machine's runner and image:
# - vm32/run.sh shows the command's output and status, takes the bench's
#   options, and stops on a time limit that is no number and on a job folder
#   it cannot make; for a user who is not root it finds the sbin tools and
#   builds the image through sudo, leaving the cache the user's, and the
#   serial bench is skipped for such a user only where sudo cannot be used;
# - vm32/image.sh takes its package mirror from apt's configuration only, and
#   meets a mirror out of step as set-up does;
# - vm32/bench_show.sh keeps the simulated display's end line.
#
#   check_vm32.sh SOURCE_DIR
source "$(dirname "$0")/stand_ins.sh" "$1"

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

# A user who is not root, without an image, on a path without the sbin
# folders (set-up puts debootstrap and mkfs.ext4 there): the image is built
# through sudo, by run.sh again as root with --prepare on the user's cache,
# then the command runs as the user. Without sudo, or with sudo refusing,
# nothing is built and the reason is the last word. Stand-ins: id, which says
# 0 only under sudo's stand-in, and sudo, which notes each call, clears the
# environment as sudo does, and refuses while $work/sudo-refuses is there.
# The image's recipe notes who made it.
echo 0 >"$work/job-rc"
stub "$copy/tools/vm32/image.sh" 'mkdir -p "$1" && id -u >"$1/made-by"'
recipe=$(cat "$copy/tools/vm32/image.sh" "$copy/tools/vm32/guest-init.sh" | sha256sum | cut -c1-16)
mkdir "$work/usr-bin"
for tool in /usr/bin/*; do [ "${tool##*/}" = sudo ] || ln -s "$tool" "$work/usr-bin/"; done
stub "$work/bin-user/id" '[ "$1" = -u ] || exec /usr/bin/id "$@"
[ -n "${QV_SUDO:-}" ] && echo 0 || echo 1000'
ln -s "$work/bin/qemu-system-x86_64" "$work/bin-user/"
stub "$work/bin-sudo/sudo" "echo \"sudo \$*\" >>'$work/sudo-calls'
if [ -e '$work/sudo-refuses' ]; then
  echo 'sudo: a terminal is required to read the password; either use the -S option to read from standard input' >&2
  echo 'sudo: a password is required' >&2
  exit 1
fi
while [[ \$1 == -* ]]; do [ \"\$1\" = -- ] && { shift; break; }; shift; done
exec env -i PATH=\"\$PATH\" QV_SUDO=1 \"\$@\""
# as_user SUDO_FOLDER: the run as that user, with sudo's stand-in where a folder is named.
as_user() {
  rm -f "$work/sudo-calls" "$work/setup-job"
  vm32 env PATH="$work/bin-user${1:+:$1}:$work/usr-bin" tools/vm32/run.sh --timeout 60 -- true
}
as_user
status=$?
[ $status = 1 ] && [ ! -e "$work/setup-job" ] && [ "$(tail -n 1 "$work/vm32-out.txt")" = "vm32: building the machine's disk image needs root (debootstrap, chroot), and this user is not root and has no sudo: run tools/vm32/run.sh --prepare as root, with XDG_CACHE_HOME=$work/cache" ] ||
  fail "vm32/run.sh as a user without sudo and without an image: status $status: $(cat "$work/vm32-out.txt")"
touch "$work/sudo-refuses"
as_user "$work/bin-sudo"
status=$?
[ $status = 1 ] && [ ! -e "$work/setup-job" ] && [ "$(cat "$work/sudo-calls")" = 'sudo -- true' ] &&
  [ "$(tail -n 1 "$work/vm32-out.txt")" = "vm32: building the machine's disk image needs root, and sudo refused: sudo: a terminal is required to read the password; either use the -S option to read from standard input; sudo: a password is required" ] ||
  fail "vm32/run.sh as a user whom sudo refuses: status $status, sudo's calls $(cat "$work/sudo-calls"): $(cat "$work/vm32-out.txt")"
rm "$work/sudo-refuses"
as_user "$work/bin-sudo"
status=$?
[ $status = 0 ] && [ "$(cat "$work/cache/qv-731/vm32/$recipe/made-by" 2>/dev/null)" = 0 ] &&
  [ -e "$work/cache/qv-731/vm32/$recipe/ready" ] && grep -qx 'QV_MODE=setup' "$work/setup-job" &&
  grep -qx 'QV_MODE=run' "$work/job-file" && grep -qx 'the output of the command' "$work/vm32-out.txt" &&
  [ "$(sed 1d "$work/sudo-calls")" = "sudo -- env XDG_CACHE_HOME=$work/cache bash $copy/tools/vm32/run.sh --prepare" ] ||
  fail "vm32/run.sh as a user who may use sudo did not build the image as root and run the command:" \
    "status $status, sudo's calls $(cat "$work/sudo-calls"): $(cat "$work/vm32-out.txt")"
# The command itself runs as the user, and with the image there sudo is not asked again.
as_user "$work/bin-sudo"
status=$?
[ $status = 0 ] && [ ! -e "$work/sudo-calls" ] && [ ! -e "$work/setup-job" ] ||
  fail "vm32/run.sh as a user with the image there: status $status, sudo's calls $(cat "$work/sudo-calls" 2>/dev/null)"
# The serial bench, as such a user without an image: skipped, with the
# reason, only where sudo is missing or asks for a password (a test cannot
# give it); with sudo it goes on to the machine (run.sh and the bench's own
# side stand in).
bench=$(project bench tests/hardware/check_bench.sh)
stub "$bench/tools/vm32/run.sh" "touch '$work/bench-ran'"
printf 'import time\ntime.sleep(60)\n' >"$bench/tools/vm32/bench_host.py"
mkdir -p "$work/bench-cache" "$work/bench-windows" "$work/bench-native"
# Both builds there, newer than the sources: the bench goes on to the image.
touch "$work/bench-windows/QV-731.dll" "$work/bench-windows/display_host.exe" \
  "$work/bench-native/QV-731.dll" "$work/bench-native/display_host"
while read -r sudo_folder refuses want; do
  rm -f "$work/bench-ran" "$work/sudo-refuses"
  [ "$refuses" = no ] || touch "$work/sudo-refuses"
  [ "$sudo_folder" = - ] && sudo_folder= || eval "sudo_folder=$sudo_folder"
  env XDG_CACHE_HOME="$work/bench-cache" PATH="$work/bin-user${sudo_folder:+:$sudo_folder}:$work/usr-bin" \
    bash "$bench/tests/hardware/check_bench.sh" "$bench" "$work/bench-windows" "$work/bench-native" \
    >"$work/bench-out.txt" 2>&1
  status=$?
  case $want in
    ran) [ $status = 0 ] && [ -e "$work/bench-ran" ] ;;
    *) [ $status = 77 ] && [ ! -e "$work/bench-ran" ] &&
      grep -q "^check_bench: no disk image of the test machine, and building one needs root: $want" "$work/bench-out.txt" ;;
  esac || fail "check_bench.sh as a user without an image, sudo from \"$sudo_folder\" (refusing: $refuses):" \
    "status $status: $(cat "$work/bench-out.txt")"
done <<'EOF'
- no this user is not root and has no sudo
$work/bin-sudo yes sudo asks for a password, which a test cannot give
$work/bin-sudo no ran
EOF
# As root, on a cache that is another user's (as when sudo builds it for
# them), everything the build leaves there is that user's.
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$work/their-cache/qv-731/vm32"
  chown -R nobody:nogroup "$work/their-cache"
  (cd "$copy" && env XDG_CACHE_HOME="$work/their-cache" tools/vm32/run.sh --prepare) >"$work/vm32-out.txt" 2>&1
  status=$?
  [ $status = 0 ] && [ -e "$work/their-cache/qv-731/vm32/$recipe/made-by" ] &&
    [ -z "$(find "$work/their-cache" ! -user nobody -o ! -group nogroup)" ] ||
    fail "vm32/run.sh as root on another user's cache left files that are not theirs: status $status," \
      "$(find "$work/their-cache" -printf '%u:%g %p\n'): $(cat "$work/vm32-out.txt")"
fi
# Stopped while sudo builds the image, run.sh stops the build with it: sudo
# passes the stop on to the root run, which stops its build's process group
# and removes the unfinished image.
stub "$copy/tools/vm32/image.sh" "mkdir -p \"\$1\"
sleep 60 &
echo \$! >'$work/build-sleep'
wait"
recipe=$(cat "$copy/tools/vm32/image.sh" "$copy/tools/vm32/guest-init.sh" | sha256sum | cut -c1-16)
rm -f "$work/build-sleep"
(cd "$copy" && exec env XDG_CACHE_HOME="$work/cache" PATH="$work/bin-user:$work/bin-sudo:$work/usr-bin" \
  tools/vm32/run.sh -- true) >"$work/vm32-out.txt" 2>&1 &
pid=$!
for _ in $(seq 100); do [ -s "$work/build-sleep" ] && break; sleep 0.1; done
kill -TERM "$pid"
wait "$pid"
status=$?
for _ in $(seq 20); do kill -0 "$(cat "$work/build-sleep")" 2>/dev/null || break; sleep 0.1; done
[ $status = 143 ] && ! kill -0 "$(cat "$work/build-sleep")" 2>/dev/null &&
  [ ! -e "$work/cache/qv-731/vm32/$recipe/ready" ] && [ ! -e "$work/cache/qv-731/vm32/$recipe.new" ] ||
  fail "vm32/run.sh stopped while sudo built the image: status $status, the build's sleep" \
    "$(cat "$work/build-sleep" 2>/dev/null) still there or the image left: $(ls -A "$work/cache/qv-731/vm32"):" \
    "$(cat "$work/vm32-out.txt")"

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
# image: a build, with a temporary folder of its own, which it leaves empty,
# and no log of a step of its own beside the build's log.
mkdir "$work/image-tmp"
image() {
  rm -rf "$work/mirror.txt" "$work/disk"
  APT_CONFIG=$apt/apt.conf TMPDIR=$work/image-tmp bash "$copy/tools/vm32/image.sh" "$work/disk" >"$work/image-out.txt" 2>&1
  local status=$?
  [ -z "$(ls -A "$work/image-tmp")" ] && [ -z "$(find "$work/disk" -maxdepth 1 -name '*.step' 2>/dev/null)" ] ||
    fail "vm32/image.sh left its step logs: $(ls -A "$work/image-tmp" "$work/disk")"
  rm -rf "${work:?}/image-tmp/"*
  return $status
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
  update:no-apt) echo \"chroot: failed to run command 'apt-get': No such file or directory\" >&2; exit 127 ;;
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
# A step that fails before apt says why stops at once, with what it said.
echo no-apt >"$work/image-mirror"
rm -f "$work/image-apt.txt"
QV_APT_PAUSE=0 image
status=$?
[ $status = 1 ] && [ "$(grep -c '^apt-get' "$work/image-apt.txt")" = 1 ] &&
  [ "$(tail -n 1 "$work/image-out.txt")" = "vm32: stopped: the package lists' update failed: chroot: failed to run command 'apt-get': No such file or directory" ] ||
  fail "vm32/image.sh whose update failed before apt said why did not stop at once with what it said" \
    "(status $status, $(cat "$work/image-apt.txt")): $(cat "$work/image-out.txt")"
rm -f "$work/debootstrap-works" "$apt/sources.list.d/c.sources"

# vm32/bench_show.sh's screen of the simulated display keeps its end line,
# each one the simulator prints (tests/simulator/session_test.cpp holds them
# to the simulator), as the last line after the screen.
eval "$(sed -n '/^screen() {/,/^}/p' "$source_dir/tools/vm32/bench_show.sh")"
for end in "closed by the driver" "no closing command came" "stopped by SIGTERM before a closing command came"; do
  printf '+--------------------+\n|Hi                  |\n+--------------------+\ndisplay: %s\n' "$end" >"$work/sim-end.txt"
  [ "$(screen "$work/sim-end.txt" | tail -n 1)" = "display: $end" ] ||
    fail "bench_show.sh's screen loses the end line \"display: $end\": $(screen "$work/sim-end.txt")"
done

finish "the test machine's runner and image do what they are asked and refuse what they cannot do"
