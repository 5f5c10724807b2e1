#!/usr/bin/env bash
# The DLL comes out the same byte for byte when the same sources are built
# again: copied into a folder of another name, configured into a build folder
# of another name, built later and with another SOURCE_DATE_EPOCH (a build
# without one must not depend on it). Neither DLL holds the path of a source
# or build folder. Only the DLL is built again, to keep the test light.
#
#   check_reproducible_dll.sh SOURCE_DIR TOOLCHAIN_FILE BUILD_TYPE COMPILER QV-731.dll
set -u
source_dir=$(cd "$1" && pwd)
toolchain=$2
build_type=$3
compiler=$4
dll=$5
# The 32-bit test machine runs the tests without the compilers.
if ! command -v "$compiler" >/dev/null; then
  echo "no $compiler here: skipped"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy=$work/another-source-folder
mkdir "$copy"
tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude=./logs -cf - . | tar -C "$copy" -xf - ||
  { echo "FAIL: cannot copy $source_dir"; exit 1; }
case $toolchain in
  "$source_dir"/*) toolchain=$copy/${toolchain#"$source_dir"/} ;;
esac
again=$work/another-build-folder
if ! cmake -S "$copy" -B "$again" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$build_type" \
  -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCHMARKS=OFF >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  echo "FAIL: the copy does not configure"
  exit 1
fi
if ! SOURCE_DATE_EPOCH=$(($(date +%s) - 86400 * 400)) cmake --build "$again" --target QV-731 --parallel 2 >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "FAIL: the copy does not build"
  exit 1
fi
failures=0
rebuilt=$again/$(basename "$dll")
if ! cmp -s "$dll" "$rebuilt"; then
  echo "FAIL: $dll and its rebuild differ in $(cmp -l "$dll" "$rebuilt" 2>/dev/null | wc -l) bytes (at offsets," \
    "counted from 1: $(cmp -l "$dll" "$rebuilt" 2>/dev/null | head -n 8 | awk '{printf "%s ", $1}'))"
  failures=1
fi
for file in "$dll" "$rebuilt"; do
  for folder in "$source_dir" "$(cd "$(dirname "$dll")" && pwd)" "$work"; do
    if grep -qaF "$folder" "$file"; then
      echo "FAIL: $file holds the path $folder"
      failures=1
    fi
  done
done
[ $failures = 0 ] || exit 1
echo "$dll: built again from $copy into $again, the same $(stat -c %s "$dll") bytes" \
  "($(sha256sum "$dll" | cut -c1-16)...), with no source or build folder's path in it"
