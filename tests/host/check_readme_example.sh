#!/usr/bin/env bash
# The package README's C example, built from the README as it stands, under
# Wine: it loads QV-731.dll from its own folder, opens COM3 (one end of a
# relay's line), writes a text and closes the port. Exits 77 (skipped) where
# Wine cannot run it.
# It runs in the tests' own prefix PREFIX, under the build folder.
#
#   check_readme_example.sh PTY_RELAY README_EXAMPLE_EXE PREFIX
set -u
relay=$1
exe=$2
prefix=$3
tests=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-example.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The driver makes its logs folder in the current one.
cd "$work" || exit 1
status=0
"$tests/with_ports.sh" --wine "$prefix" "$relay" "$exe" >out.txt 2>&1 || status=$?
[ $status = 77 ] && exit 77
tr -d '\r' <out.txt >lines.txt
if [ $status != 0 ] || ! grep -qx 'QV-731 v1\.0\.30\.174 (status 1)' lines.txt; then
  echo "FAIL: the README's example ended with status $status and said:"
  cat lines.txt
  exit 1
fi
echo "the README's example loaded the DLL and called Init, Write and Done: $(cat lines.txt)"
