#!/usr/bin/env bash
# The native library exports the eight entry points under their plain names
# and nothing else.
set -u
expected="DISPLAYDLL_DefaultParameters
DISPLAYDLL_Done
DISPLAYDLL_DriverName
DISPLAYDLL_Init
DISPLAYDLL_PowerResume
DISPLAYDLL_SetPosition
DISPLAYDLL_Usage
DISPLAYDLL_Write"
actual=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TDBRW]$/ {print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "FAIL: $1 exports differ from the eight entry points"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual")
  exit 1
fi
echo "$1: exports the eight entry points only"
