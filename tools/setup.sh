#!/usr/bin/env bash
# Installs what building and testing the driver needs on a Debian machine, only what is missing.
# Run it as root or as a user who may use sudo: every step that changes the
# system (the i386 architecture, the package lists, the installs) then goes
# through sudo. Safe to run again: it does nothing when all is there, and
# touches neither apt nor the network then. A package mirror that is out of
# step for a while (tools/apt_steps.sh) gets a few tries, then the install
# goes on with the lists apt has, and falls back to the release's own suite;
# where nothing helps it says what failed and to try again later. Any other
# failure (no sudo, sudo refusing, apt's lock held by another program, an
# error of apt's) stops at once, with its cause as the last line.
set -euo pipefail

# as_root COMMAND...: runs a step that changes the system, through sudo for a
# user who is not root. sudo starts it with a clean environment, so what the
# step needs of it is given on its command line.
as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

# changing: before the first step that changes the system, the folder of its
# steps' logs, removed on every exit; where this user can change nothing, the
# reason as set-up's last word.
apt_dir=
changing() {
  [ -z "$apt_dir" ] || return 0
  if [ "$(id -u)" != 0 ] && ! command -v sudo >/dev/null; then
    echo "setup: installing needs root, and this user is not root and has no sudo: run it as root" >&2
    exit 1
  fi
  apt_dir=$(mktemp -d "${TMPDIR:-/tmp}/qv-setup.XXXXXX")
  trap 'rm -rf "$apt_dir"' EXIT
}

# apt's output is kept in a log of its own while set-up runs; what it says
# that matters is shown, and a step that fails ends with why.
source "$(dirname "$0")/apt_steps.sh"
# apt speaks English here, whatever the user's language: its words are read.
apt_run=(as_root env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get)
apt_say=setup
apt_os_release=${QV_OS_RELEASE:-/etc/os-release}
apt_log=

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed'; }

# The 64-bit mingw compiler and Wine run the Windows tests where the kernel
# cannot run 32-bit programs (see README).
for p in cmake ninja-build g++ make binutils googletest libgtest-dev libbenchmark-dev clang-format \
         g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
         wine64; do
  have_pkg "$p" || need+=("$p")
done
# libpng draws the simulated display's PNG pictures.
have_pkg libpng-dev || need+=(libpng-dev)
# python3 writes the release ZIP (tools/release_zip.py); git names the commit
# a package is built from (tools/package.sh, and its test).
for p in python3 git; do
  have_pkg "$p" || need+=("$p")
done
# Fuzzing (clang with libFuzzer), memcheck and the system-call counts.
for p in clang-14 libclang-rt-14-dev valgrind strace; do
  have_pkg "$p" || need+=("$p")
done
# Wine runs the 32-bit Windows build; it needs the i386 architecture.
added_i386=0
if ! have_pkg wine32:i386 || ! have_pkg wine; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    changing
    as_root dpkg --add-architecture i386 >"$apt_dir/step.log" 2>&1 || apt_stop "adding the i386 architecture" || exit 1
    added_i386=1
  fi
  need+=(wine wine32:i386)
fi

install() {
  echo "setup: installing $*"
  changing
  if [ -z "$apt_log" ]; then
    apt_log=$apt_dir/apt.log
    apt_update || exit 1
  fi
  apt_install "$@" || exit 1
}
# An architecture this run added for packages it could not install goes
# again, so that the machine is left as it was.
apt_undo() {
  if [ $added_i386 = 1 ] && as_root dpkg --remove-architecture i386 2>/dev/null; then
    echo "setup: the i386 architecture this run had added is removed again" >&2
  fi
}
[ ${#need[@]} -eq 0 ] || install "${need[@]}"

# The serial bench (tests/hardware/) runs in a throwaway virtual machine
# (tools/vm32/run.sh) on every machine, and where Wine cannot start 32-bit
# programs (a kernel without 32-bit support) the 32-bit Windows tests do too:
# qemu and what builds its disk from Debian's packages.
need=()
for p in qemu-system-x86 debootstrap e2fsprogs; do
  have_pkg "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] || install "${need[@]}"
echo "setup: all build and test tools are present"
