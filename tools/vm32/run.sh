#!/usr/bin/env bash
# Runs a command inside a throwaway Debian 12 amd64 machine that can run 32-bit
# Windows programs under Wine: for machines whose kernel cannot run 32-bit
# programs. The machine runs under qemu-system-x86_64 (KVM where /dev/kvm can
# be used, TCG otherwise) and sees the project folder at the same path as here,
# so build folders and the tests' files stay valid; the command runs in the
# current folder, which must be inside the project. Its output comes back as it
# is printed and its exit code is this script's.
#
#   tools/vm32/run.sh [--timeout SECONDS] [BENCH OPTIONS] [--] COMMAND [ARGUMENT]...
#   tools/vm32/run.sh --prepare        only build the image
#   tools/vm32/run.sh --needed         exit 0 where 32-bit Windows programs
#                                      must run in the machine, 1 elsewhere
#
# The serial bench: real serial drivers of the machine's kernel on hardware
# that qemu emulates, with the far ends, the hardware's set-up and the adapter
# in reach of this machine (BACKEND is a qemu character device without its
# id: pty, file,path=F, pipe,path=P (P.in and P.out), socket,path=S,server=on,wait=off):
#   --uart BACKEND    a 16550A UART, the machine's /dev/ttyS1 (COM2 natively)
#   --usb BACKEND     an FTDI USB serial adapter on an xHCI controller, the
#                     machine's /dev/ttyUSB0 (qemu device id "adapter"); its
#                     drivers are loaded and its device waited for
#   --trace FILE      how the guest set the hardware up (speed, data bits,
#                     parity, stop bits), as qemu traces it, into FILE
#   --qmp SOCKET      qemu's control socket: device_del / device_add pull the
#                     adapter and plug one back
#   --share DIR       DIR of this machine at the same path in the machine,
#                     without a cache: each side sees the other's files at once
#
# The disk image is built once, from Debian's packages (image.sh; 4 to 6 min
# with its first start, without KVM, measured on a 2-core machine),
# and cached in ~/.cache/qv-731/vm32/ (or $XDG_CACHE_HOME); a change of its
# recipe builds a new one. Building it needs root: a user who is not root
# builds it through sudo (this script run again as root, with --prepare, on
# the user's cache), and what it leaves in the cache is the cache's owner's.
# Each run boots it with a throwaway overlay (qemu's -snapshot): nothing it
# writes stays, except in the project folder.
# The machine is stopped on success, failure, timeout (default 1800 s) or
# interrupt. QV_VM32_ACCEL=tcg forces TCG. QV_VM32=1 makes --needed say yes
# on any machine, QV_VM32=0 no.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" = --needed ]; then
  case ${QV_VM32:-} in
    1) exit 0 ;;
    0) exit 1 ;;
  esac
  # The same test as tools/wine_run.sh's: can this machine start the 32-bit
  # Wine loader at all (not where the kernel runs no 32-bit programs)?
  loader=$(command -v wine || echo /usr/lib/wine/wine)
  if [ -x "$loader" ] && ! "$loader" --version >/dev/null 2>&1; then
    exit 0
  fi
  exit 1
fi

limit=${QV_VM32_TIMEOUT:-1800}
prepare=0
uart=
usb=
trace=
qmp=
share=
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) limit=${2:?--timeout needs seconds}; shift 2 ;;
    --prepare) prepare=1; shift ;;
    --) shift; break ;;
    --uart) uart=${2:?--uart needs a qemu character device}; shift 2 ;;
    --usb) usb=${2:?--usb needs a qemu character device}; shift 2 ;;
    --trace) trace=${2:?--trace needs a file}; shift 2 ;;
    --qmp) qmp=${2:?--qmp needs a socket path}; shift 2 ;;
    --share) share=${2:?--share needs a folder}; shift 2 ;;
    -h | --help) sed -n '2,39p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "vm32: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
# A time limit that is no number would mean none at all.
if ! [[ $limit =~ ^[0-9]+$ ]] || [ $((10#$limit)) = 0 ]; then
  echo "vm32: the time limit must be whole seconds above 0, not \"$limit\" (see --help)" >&2
  exit 2
fi
limit=$((10#$limit))
if [ $prepare = 0 ] && [ $# = 0 ]; then
  echo "vm32: no command (see --help)" >&2
  exit 2
fi
cwd=$(pwd)
case $cwd/ in
  "$root"/*) ;;
  *) echo "vm32: run it from inside $root, which is what the machine sees" >&2; exit 2 ;;
esac
if [ -n "$share" ]; then
  if [ ! -d "$share" ]; then
    echo "vm32: no folder $share to share (--share)" >&2
    exit 2
  fi
  share=$(cd "$share" && pwd)
  case $share/ in
    "$root"/*) echo "vm32: the shared folder must be outside $root, which the machine sees already" >&2; exit 2 ;;
  esac
fi
# debootstrap and mkfs.ext4 live in the system's sbin folders, which are not
# on the path of a user who is not root (nor of root through a plain su).
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
for tool in qemu-system-x86_64 debootstrap mkfs.ext4 unshare setpriv; do
  command -v "$tool" >/dev/null || { echo "vm32: $tool is missing; tools/setup.sh installs it" >&2; exit 2; }
done

cache_home=${XDG_CACHE_HOME:-$HOME/.cache}
cache=$cache_home/qv-731/vm32
recipe=$(cat "$here/image.sh" "$here/guest-init.sh" | sha256sum | cut -c1-16)
image=$cache/$recipe
job=
qemu_pid=
build_pid=
build_kill=
building=0
cleanup() {
  if [ -n "$build_pid" ]; then
    kill -TERM -- "$build_kill" 2>/dev/null
    wait "$build_pid" 2>/dev/null
  fi
  if [ -n "$qemu_pid" ]; then
    kill -KILL "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
    qemu_pid=
  fi
  # An image whose build or first start did not end.
  [ $building = 0 ] || rm -rf --one-file-system "$image.new"
  [ -z "$job" ] || rm -rf "$job"
}
trap cleanup EXIT
trap 'echo "vm32: interrupted; stopping the machine" >&2; exit 130' INT
trap 'echo "vm32: stopped; stopping the machine" >&2; exit 143' TERM HUP

# KVM where this machine offers it on a processor with hardware
# virtualisation (a /dev/kvm without it cannot boot a stock kernel), else TCG
# with a thread for each vCPU (qemu also falls back to it where KVM fails to
# start). No SMAP: qemu's TCG faults on the iret of 32-bit Wine with it.
accel=(-accel tcg,thread=multi -cpu max,smap=off)
accel_name=TCG
if [ "${QV_VM32_ACCEL:-}" != tcg ] && [ -r /dev/kvm ] && [ -w /dev/kvm ] &&
  grep -qw -e vmx -e svm /proc/cpuinfo; then
  accel=(-accel kvm "${accel[@]}")
  accel_name=KVM
fi

# console_filter LOG: the machine's console as it comes. The command's output
# passes; the machine's own lines, the kernel's (time-stamped, such as its
# power-off) and those of its start-up program, go to LOG, which a failure
# shows.
console_filter() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ ${line%$'\r'} =~ ^\[\ *[0-9]+\.[0-9]+\]\ |^vm32:\ \[guest\ |^reboot:\ Power\ down$ ]]; then
      printf '%s\n' "$line" >>"$1"
    else
      printf '%s\n' "$line"
    fi
  done
}
# show_console: the machine's own lines of its last start, after a failure.
show_console() {
  [ -s "$job/console.log" ] || return 0
  echo "vm32: the machine's own console lines:" >&2
  tail -n 40 "$job/console.log" | sed 's/^/  /' >&2
}

# boot IMAGE MODE TIMEOUT DISK_OPTIONS: boots the image with the job folder and the
# project shared in, prints the console as it comes (console_filter) and waits
# for the power off; leaves the job's exit code in $job/rc.
boot() {
  local disk=$1 mode=$2 timeout=$3 snapshot=$4 start now filter_pid
  local bench=() uarts=1
  if [ "$mode" = run ]; then
    if [ -n "$uart" ]; then
      bench+=(-chardev "$uart,id=uart" -device isa-serial,chardev=uart,index=1)
      uarts=2
    fi
    [ -z "$usb" ] || bench+=(-device qemu-xhci,id=xhci -chardev "$usb,id=adapter"
      -device usb-serial,chardev=adapter,id=adapter,bus=xhci.0)
    [ -z "$trace" ] || bench+=(-trace enable=serial_update_parameters -trace enable=usb_serial_set_baud
      -trace enable=usb_serial_set_data -trace "enable=usb_serial_unsupported*" -D "$trace")
    [ -z "$qmp" ] || bench+=(-qmp "unix:$qmp,server=on,wait=off")
    [ -z "$share" ] || bench+=(-fsdev "local,id=share,path=$share,security_model=none"
      -device virtio-9p-pci,fsdev=share,mount_tag=qvshare)
  fi
  {
    printf 'QV_MODE=%q\n' "$mode"
    printf 'QV_WORK=%q\n' "$root"
    # The bench's devices and folder are there only for the command's run, not
    # for the image's first start.
    if [ "$mode" = run ]; then
      [ -z "$share" ] || printf 'QV_SHARE=%q\n' "$share"
      [ -z "$usb" ] || printf 'QV_USB=1\n'
    fi
  } >"$job/job"
  rm -f "$job/rc" "$job/console" "$job/console.log"
  mkfifo "$job/console"
  console_filter "$job/console.log" <"$job/console" &
  filter_pid=$!
  # The console is the first serial line and the only one, as on a machine
  # without serial ports: Wine opens /dev/ttyS(n-1) for a COMn whose link
  # leads nowhere. The bench's UART is the second. qemu dies with this script
  # (parent-death signal).
  setpriv --pdeathsig KILL -- qemu-system-x86_64 -name qv-vm32 -nodefaults -no-user-config \
    "${accel[@]}" -smp 2 -m 3072 \
    -display none -monitor none -no-reboot \
    -chardev stdio,id=console,signal=off -serial chardev:console \
    -kernel "$disk/vmlinuz" -initrd "$disk/initrd.img" \
    -append "root=/dev/vda rw rootfstype=ext4 fastboot fsck.mode=skip console=ttyS0 8250.nr_uarts=$uarts quiet loglevel=3 panic=-1 init=/sbin/qv-init" \
    -drive "file=$disk/root.img,format=raw,if=virtio,cache=unsafe$snapshot" \
    -fsdev "local,id=job,path=$job,security_model=none" -device virtio-9p-pci,fsdev=job,mount_tag=qvrun \
    -fsdev "local,id=work,path=$root,security_model=none" -device virtio-9p-pci,fsdev=work,mount_tag=qvwork \
    "${bench[@]}" </dev/null >"$job/console" &
  qemu_pid=$!
  start=$(date +%s)
  while kill -0 "$qemu_pid" 2>/dev/null; do
    now=$(date +%s)
    if [ $((now - start)) -ge "$timeout" ]; then
      echo "vm32: no end after $timeout s; stopping the machine" >&2
      kill -KILL "$qemu_pid" 2>/dev/null
      wait "$qemu_pid" 2>/dev/null
      qemu_pid=
      wait "$filter_pid"
      return 124
    fi
    sleep 1
  done
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=
  wait "$filter_pid"
  return 0
}

# Without its job folder the script would write the machine's job to /.
if ! job=$(mktemp -d "${TMPDIR:-/tmp}/qv-vm32.XXXXXX"); then
  job=
  echo "vm32: cannot make the job folder in ${TMPDIR:-/tmp}" >&2
  exit 1
fi

# The image, built once per recipe; builds of other recipes are removed.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$image/ready" ] && [ "$(id -u)" != 0 ]; then
  # The build's steps need root (debootstrap, chroot): this script builds the
  # image again as root, through sudo, which starts it with a clean
  # environment (the cache is named on its command line). sudo is asked once
  # first, in the foreground, so that its refusal is told as such. The root
  # run takes the cache's lock itself; sudo passes a stop on to it.
  if ! command -v sudo >/dev/null; then
    echo "vm32: building the machine's disk image needs root (debootstrap, chroot), and this user is" \
      "not root and has no sudo: run tools/vm32/run.sh --prepare as root, with XDG_CACHE_HOME=$cache_home" >&2
    exit 1
  fi
  echo "vm32: building the machine's disk image needs root (debootstrap, chroot): through sudo"
  if ! refusal=$(sudo -- true 2>&1 </dev/null); then
    refusal=${refusal//$'\n'/; }
    echo "vm32: building the machine's disk image needs root, and sudo refused: ${refusal:-no reason given}" >&2
    exit 1
  fi
  exec 9>&-
  sudo -- env XDG_CACHE_HOME="$cache_home" ${QV_VM32_ACCEL:+QV_VM32_ACCEL="$QV_VM32_ACCEL"} \
    bash "$here/run.sh" --prepare &
  build_pid=$!
  build_kill=$build_pid
  wait "$build_pid" || exit $?
  build_pid=
  exec 9>"$cache/.lock"
  flock 9
  if [ ! -f "$image/ready" ]; then
    echo "vm32: the disk image built through sudo is not in $cache" >&2
    exit 1
  fi
fi
if [ ! -f "$image/ready" ]; then
  build_start=$(date +%s)
  echo "vm32: building the 32-bit test machine's disk image (once; 4 to 6 min without KVM)"
  rm -rf --one-file-system "$image.new"
  building=1
  # In a process group of its own, stopped with this script.
  setsid bash "$here/image.sh" "$image.new" &
  build_pid=$!
  build_kill=-$build_pid
  wait "$build_pid" || exit 1
  build_pid=
  echo "vm32:   $(date +%T) first start ($accel_name): package set-up and the Wine prefix"
  rc=0
  boot "$image.new" setup 900 "" || rc=$?
  if [ $rc != 0 ] || [ "$(cat "$job/rc" 2>/dev/null)" != 0 ]; then
    show_console
    echo "vm32: the image's first start failed" >&2
    exit 1
  fi
  rm -rf --one-file-system "$image"
  mv -T "$image.new" "$image"
  building=0
  touch "$image/ready"
  # Built through sudo for a user, the image and the lock are that user's, as
  # the cache is.
  if ! chown -hR "$(stat -c %u:%g "$cache")" "$image" "$cache/.lock"; then
    echo "vm32: the image is ready, but could not be given to the owner of $cache" >&2
    exit 1
  fi
  echo "vm32: image ready in $(($(date +%s) - build_start)) s: $image"
  for old in "$cache"/*; do
    [ "$old" = "$image" ] || rm -rf --one-file-system "$old"
  done
fi
exec 9>&-
[ $prepare = 0 ] || exit 0

# The command's output goes through a pipe, as under a test harness: on the
# serial console, Wine would draw on it as on a terminal.
{
  printf 'cd %q || exit 1\n' "$cwd"
  printf '%q ' "$@"
  printf '2>&1 | cat\n'
  printf 'exit "${PIPESTATUS[0]}"\n'
} >"$job/command"
echo "vm32: starting the 32-bit test machine ($accel_name, 2 vCPUs; about 10 s to boot)"
rc=0
boot "$image" run "$limit" ",snapshot=on" || rc=$?
if [ $rc != 0 ]; then
  show_console
  exit $rc
fi
if [ ! -f "$job/rc" ]; then
  show_console
  echo "vm32: the machine stopped before the command ended" >&2
  exit 1
fi
rc=$(cat "$job/rc")
[ "$rc" = 0 ] || show_console
exit "$rc"
