#!/bin/sh
# The 32-bit test machine's first and only process (PID 1, no service
# manager): mounts what a program needs, the job folder of run.sh (virtio-9p
# tag qvrun) and the project folder (tag qvwork) at the path it has outside,
# runs the job, leaves its exit code in the job folder and powers off.
#
# The job folder's "job" file sets QV_MODE (setup or run) and QV_WORK, and its
# "command" file is the bash script to run. For the serial bench it may also
# set QV_SHARE, a folder of the machine outside (tag qvshare) mounted at the
# same path without a cache, so that both sides see each other's files at
# once, and QV_USB=1, which loads the USB serial adapter's drivers and waits
# for its device.
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
HOME=/root
LANG=C.UTF-8
TERM=dumb
export PATH HOME LANG TERM

off() {
  sync
  mount -o remount,ro / 2>/dev/null
  echo o >/proc/sysrq-trigger
  sleep 30
  exit 1
}
say() { echo "vm32: [guest $(cut -d' ' -f1 /proc/uptime 2>/dev/null)s] $*"; }

mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mountpoint -q /run || mount -t tmpfs tmpfs /run
# The console is a serial line: plain newlines, so the output reads as on a terminal.
stty -onlcr </dev/console 2>/dev/null
hostname qv-vm32 2>/dev/null
ip link set lo up 2>/dev/null

modprobe 9pnet_virtio 2>/dev/null
mkdir -p /run/qv
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 qvrun /run/qv; then
  say "the job folder cannot be mounted"
  off
fi
QV_MODE=run
QV_WORK=
QV_SHARE=
QV_USB=0
. /run/qv/job
if [ -n "$QV_WORK" ]; then
  mkdir -p "$QV_WORK"
  # cache=loose: with none or mmap, this kernel's 9p maps parts of larger
  # programs as zeros and Wine runs them (seen with a 2 MB test program).
  # Nothing outside changes the folder while the machine runs.
  if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose qvwork "$QV_WORK"; then
    say "the project folder cannot be mounted at $QV_WORK"
    off
  fi
fi

if [ -n "$QV_SHARE" ]; then
  mkdir -p "$QV_SHARE"
  if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 qvshare "$QV_SHARE"; then
    say "the shared folder cannot be mounted at $QV_SHARE"
    off
  fi
fi
if [ "$QV_USB" = 1 ]; then
  modprobe -a xhci_pci ftdi_sio 2>/dev/null
  for _ in $(seq 300); do
    [ -e /dev/ttyUSB0 ] && break
    sleep 0.1
  done
  [ -e /dev/ttyUSB0 ] || say "no USB serial adapter after 30 s"
fi

# Wine for 32-bit programs, in the prefix the project's scripts use.
WINEPREFIX=$HOME/.cache/qv-731/wineprefix-win32
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
DISPLAY=
export WINEDEBUG WINEDLLOVERRIDES DISPLAY

rc=0
if [ "$QV_MODE" = setup ]; then
  # Once, on the new image: the i386 packages' set-up helpers, which cannot run
  # in the chroot where the build machine's kernel has no 32-bit programs, and
  # the Wine prefix.
  say "finishing the packages' set-up"
  dpkg --configure -a || rc=1
  for f in /var/lib/dpkg/info/*:i386.postinst; do
    [ -e "$f" ] || continue
    p=${f##*/}
    p=${p%.postinst}
    DPKG_MAINTSCRIPT_PACKAGE=${p%:i386} DPKG_MAINTSCRIPT_ARCH=i386 DPKG_MAINTSCRIPT_NAME=postinst \
      "$f" configure "$(dpkg-query -W -f='${Version}' "$p")" >/dev/null 2>&1 </dev/null || true
  done
  say "making the Wine prefix (about 1 min)"
  mkdir -p "${WINEPREFIX%/*}"
  WINEARCH=win32 WINEPREFIX=$WINEPREFIX wine wineboot -i >/dev/null 2>&1 </dev/null || rc=1
  WINEPREFIX=$WINEPREFIX wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || rc=1
  echo "$rc" >/run/qv/rc
  off
fi

# Wine's first process of a boot resets the prefix's COM links and leaves
# services running on its output: start the server for good and run that
# first process now, before the tests link their ports. The server reports to
# the output of whoever started it: not to the job's.
say "starting Wine"
WINEPREFIX=$WINEPREFIX wineserver -p </dev/null >/dev/null 2>&1
WINEPREFIX=$WINEPREFIX wine cmd /c exit </dev/null >/dev/null 2>&1
say "running the job"
bash /run/qv/command </dev/null
rc=$?
echo "$rc" >/run/qv/rc
say "the job ended with exit code $rc; powering off"
off
