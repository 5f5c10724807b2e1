#!/usr/bin/env bash
# Makes the release package: builds the 32-bit and 64-bit Windows libraries
# and the host and simulator programs, installs them stripped, with the
# header, the package's own README (docs/package/README.txt, which names the
# commit) and the licence, and packs them into
# build/package/QV-731-<version>-win32-x64.zip (the 64-bit build in x64/),
# with its SHA-256 checksum beside it (.zip.sha256).
#
# The same commit gives the same ZIP byte for byte, in any folder and at any
# time: every time in it (the programs' time stamps, the ZIP's entries) is
# SOURCE_DATE_EPOCH when set, else the commit's own time, and the ZIP is
# written by tools/release_zip.py (sorted entries, fixed permissions, no extra
# fields). tools/check_reproducible.sh compares two clones' packages.
#
# The ZIP and its checksum are made and checked in a work folder of their
# own: the checksum, every file the package README names, every DLL and EXE
# in it (tests/check_dll.sh: exports, imports, version, security flags,
# relocations, time stamps), and that no file in it holds the path of the
# folders it was built in. Only once every check has passed, as the last
# step, are they moved into build/package/, where they replace the ZIPs (and
# checksums) of earlier runs, of this version or another. A run that fails,
# in its builds or its checks, leaves build/package/ as it found it.
#
# The commit and time given to the 32-bit build (its cache's
# QV_PACKAGE_COMMIT and QV_PACKAGE_EPOCH) are taken out of its cache again
# on every way out, a failed build or check included, so that a later build
# or install by hand in that folder names no commit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/setup.sh

if commit=$(git rev-parse --verify -q HEAD 2>/dev/null); then
  git diff --quiet HEAD -- || commit="$commit with changes not committed"
  epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}
elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  commit="not known (not a git checkout)"
  epoch=$SOURCE_DATE_EPOCH
else
  echo "package: not a git checkout: set SOURCE_DATE_EPOCH to the time to put in the package" >&2
  exit 2
fi
if ! [[ $epoch =~ ^[0-9]+$ ]]; then
  echo "package: SOURCE_DATE_EPOCH \"$epoch\" is not a count of seconds since 1970" >&2
  exit 2
fi
# The strip tools stamp the programs with this time.
export SOURCE_DATE_EPOCH=$epoch
echo "package: commit $commit, time $epoch ($(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC'))"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-package.XXXXXX")
named=0
staged=()
# unname: the commit and time out of the 32-bit build's cache; its next
# configure gives the README "not recorded" again.
unname() {
  cmake -U QV_PACKAGE_COMMIT -U QV_PACKAGE_EPOCH "$root/build/windows-i686" >/dev/null || return
  named=0
}
# On every way out: the commit and time out of the 32-bit build's cache where
# they may still be, the work folder and any half-moved file removed, and the
# run's own exit status kept.
cleanup() {
  local status=$?
  set +e
  if [ $named = 1 ] && [ -f "$root/build/windows-i686/CMakeCache.txt" ]; then
    # A configure that fails still writes the cache without them.
    unname 2>/dev/null ||
      echo "package: build/windows-i686 does not configure; the commit and time are out of its cache" >&2
  fi
  rm -rf "$work"
  [ ${#staged[@]} = 0 ] || rm -f "${staged[@]}"
  exit $status
}
trap cleanup EXIT

for preset in windows-x86_64 windows-i686; do
  echo "== $preset"
  # The package README, made in the 32-bit build, names the commit and the time.
  named_args=()
  if [ "$preset" = windows-i686 ]; then
    named=1
    named_args=(-DQV_PACKAGE_COMMIT="$commit" -DQV_PACKAGE_EPOCH="$epoch")
  fi
  cmake --preset "$preset" "${named_args[@]}" >/dev/null
  cmake --build --preset "$preset" --target QV-731 display_host display_sim
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-i686/CMakeCache.txt)
[ -n "$version" ] || { echo "package: no project version in build/windows-i686/CMakeCache.txt" >&2; exit 1; }
name=QV-731-$version-win32-x64
zip=$name.zip

# The ZIP and its checksum, in the work folder.
cmake --install build/windows-i686 --prefix "$work/$name" --strip >/dev/null
# The commit and time belong to this package alone: a later build or install
# in the same folder names none.
unname
python3 tools/release_zip.py "$work/$zip" "$epoch" "$work/$name"
(cd "$work" && sha256sum "$zip" >"$zip.sha256")

echo "== checks of $zip"
(cd "$work" && sha256sum -c "$zip.sha256")
listing=$(cmake -E tar tf "$work/$zip")
missing=0
for file in QV-731.dll display_host.exe display_sim.exe x64/QV-731.dll x64/display_host.exe x64/display_sim.exe \
            driver/display_driver.h LICENSE README.txt; do
  if ! grep -qx "$name/$file" <<<"$listing"; then
    echo "package: $file is missing from $zip" >&2
    missing=1
  fi
done
[ $missing = 0 ] || exit 1
echo "package: all the files its README names are in $zip"

# The programs as they are in the ZIP.
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/$zip")
unpacked=$work/unpacked/$name
tests/check_dll.sh --epoch "$epoch" i686-w64-mingw32-objdump "$unpacked/QV-731.dll" \
  "$unpacked/display_host.exe" "$unpacked/display_sim.exe"
tests/check_dll.sh --epoch "$epoch" x86_64-w64-mingw32-objdump "$unpacked/x64/QV-731.dll" \
  "$unpacked/x64/display_host.exe" "$unpacked/x64/display_sim.exe"
# No path of this folder, its build folders or the staging folder in any file.
if grep -rlaF -e "$root" -e "$work/$name" "$unpacked"; then
  echo "package: the files above hold the path of a folder they were built or staged in" >&2
  exit 1
fi

# Every check passed: the ZIP and its checksum into build/package/, first
# under names of their own (the work folder may be on another file system),
# then in place of those of earlier runs.
mkdir -p build/package
staged=("build/package/.$zip.new" "build/package/.$zip.sha256.new")
cp "$work/$zip" "${staged[0]}"
cp "$work/$zip.sha256" "${staged[1]}"
rm -f build/package/QV-731-*-win32-x64.zip build/package/QV-731-*-win32-x64.zip.sha256
mv -f "${staged[0]}" "build/package/$zip"
mv -f "${staged[1]}" "build/package/$zip.sha256"
staged=()
echo "== build/package/$zip.sha256"
cat "build/package/$zip.sha256"
echo "package: build/package/$zip is made and checked"
