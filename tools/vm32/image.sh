#!/usr/bin/env bash
# The recipe of the 32-bit test machine's disk: a Debian 12 amd64 system with
# Debian's stock kernel and Wine for 32-bit programs, made only from Debian's
# packages. Writes vmlinuz, initrd.img and root.img (an ext4 image, made from
# the tree without mounting it) into DIR. run.sh calls it, boots the result
# once to finish the set-up inside (guest-init.sh), and caches it; a change of
# this file or of guest-init.sh makes it build a new one.
#
#   image.sh DIR        (as root; the steps' output goes to DIR/build.log)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
tree=$out/tree
log=$out/build.log
mkdir -p "$out"
: >"$log"

# What the guest needs: the kernel, Wine for 32-bit programs, ctest to run the
# tests, the objdump and strings of the DLL check, python3 for test helpers,
# the native programs' libraries (the simulated display's PNG pictures) and
# kmod, which loads the serial bench's USB drivers.
packages="linux-image-amd64 wine wine32:i386 wine64 cmake binutils binutils-mingw-w64-i686 python3 procps
  libpng16-16 kmod"

# The Debian mirror this machine's apt already uses, read by apt itself from
# its configuration (sources.list and sources.list.d/, one-line and deb822
# files, without the disabled ones), and nothing else: where apt names none,
# the image cannot be made. First the one whose downloaded Release says it is
# Debian's and serves Debian 12 (bookworm); where apt has downloaded nothing
# yet, one that serves bookworm's main, else another Debian release's.
checked=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI) $(ORIGIN)' 2>/dev/null || true)
unchecked=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI)' \
  2>/dev/null || true)
mirror=$(awk '$1 == "deb" && $2 == "bookworm" && $5 == "Debian" { print $4; exit }' <<<"$checked")
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 == "bookworm" && $3 == "main" { print $4; exit }' <<<"$unchecked")
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "main" &&
  $2 ~ /^(bullseye|trixie|forky|sid|oldstable|stable|testing|unstable)$/ { print $4; exit }' <<<"$unchecked")
if [ -z "$mirror" ]; then
  echo "vm32: this machine's apt configuration (/etc/apt/sources.list, /etc/apt/sources.list.d/) names no" \
    "Debian package mirror to make the machine's disk from: add the Debian mirror this machine should use" >&2
  exit 1
fi

step() { echo "vm32:   $(date +%T) $*"; }
fail() {
  echo "vm32: building the image failed; the last lines of $log:" >&2
  tail -n 25 "$log" >&2
  exit 1
}

# The chroot's mounts live in a mount namespace of their own, so that nothing
# stays mounted when a step fails or is interrupted. Inside a chroot, where /
# is no mount point, its propagation cannot be made private: there the mounts
# are left as they are (private already unless the system shares them) and
# each step unmounts what it mounted.
propagation=private
unshare --mount --propagation private true 2>/dev/null || propagation=unchanged
in_tree() {
  unshare --mount --propagation $propagation -- /bin/sh -ec '
    tree=$1; shift
    mount -t proc proc "$tree/proc"
    mount -t sysfs sys "$tree/sys"
    mount --rbind /dev "$tree/dev"
    rc=0
    chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive "$@" || rc=$?
    umount -R "$tree/dev" "$tree/sys" "$tree/proc"
    exit $rc' in_tree "$tree" "$@"
}

rm -rf --one-file-system "$tree"
step "debootstrap: a minimal Debian 12 from $mirror (about 1 to 2 min)"
unshare --mount --propagation $propagation -- debootstrap --variant=minbase bookworm "$tree" "$mirror" >>"$log" 2>&1 || fail

step "the kernel, Wine for 32-bit programs and ctest (about 2 min)"
# No services start in the chroot; the initramfs holds just what finds the disk.
printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
chmod 755 "$tree/usr/sbin/policy-rc.d"
mkdir -p "$tree/etc/initramfs-tools/conf.d"
printf 'MODULES=list\n' >"$tree/etc/initramfs-tools/conf.d/qv-vm32"
printf 'virtio_pci\nvirtio_blk\next4\n' >>"$tree/etc/initramfs-tools/modules"
in_tree dpkg --add-architecture i386 >>"$log" 2>&1 || fail
# The lists and the install live through a mirror out of step for a while,
# as on the machine itself (tools/apt_steps.sh); the release they fall back
# to is the image's own.
# Each step's own log is kept in a folder of its own, removed on every exit.
source "$here/../apt_steps.sh"
apt_dir=$(mktemp -d "${TMPDIR:-/tmp}/qv-vm32-apt.XXXXXX")
trap 'rm -rf "$apt_dir"' EXIT
apt_run=(in_tree apt-get)
apt_say=vm32
apt_log=$log
apt_os_release=$tree/etc/os-release
apt_update || exit 1
# shellcheck disable=SC2086
apt_install $packages || exit 1
in_tree apt-get clean >>"$log" 2>&1 || fail
rm -rf "$tree"/var/lib/apt/lists/* "$tree/usr/sbin/policy-rc.d"

step "the machine's own start-up program and the disk image"
install -m 755 "$here/guest-init.sh" "$tree/sbin/qv-init"
echo qv-vm32 >"$tree/etc/hostname"
kernel=$(ls "$tree"/boot/vmlinuz-* | sort -V | tail -n 1)
cp "$kernel" "$out/vmlinuz"
cp "$tree/boot/initrd.img-${kernel##*/vmlinuz-}" "$out/initrd.img"
# The tree and room for the Wine prefix and what the tests write.
size_mb=$(($(du -sm "$tree" | cut -f1) + 1536))
rm -f "$out/root.img"
truncate -s "${size_mb}M" "$out/root.img"
mkfs.ext4 -q -F -L qv-vm32 -d "$tree" "$out/root.img" >>"$log" 2>&1 || fail
rm -rf --one-file-system "$tree"
step "image ready ($size_mb MB, sparse)"
