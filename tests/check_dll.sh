#!/usr/bin/env bash
# Checks the built DLL as a host's loader sees it: the export directory (the
# library's name, sixteen names with ordinals 1 to 16 in alphabetical order,
# each plain name and its decorated twin at the same address), the imports
# (system libraries only) and the version resource.
#
#   check_dll.sh OBJDUMP QV-731.dll
set -u
objdump=$1
dll=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dump=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }

# Export directory.
name=$(printf '%s\n' "$dump" | sed -n 's/^Name[[:space:]]\+[0-9a-f]\+ \(.*\)$/\1/p' | head -n1)
[ "$name" = QV-731.dll ] || fail "export directory names '$name', not QV-731.dll"
printf '%s\n' "$dump" | grep -q 'Ordinal Base 1$' || fail "ordinal base is not 1"

expected="1 DISPLAYDLL_DefaultParameters
2 DISPLAYDLL_DefaultParameters@0
3 DISPLAYDLL_Done
4 DISPLAYDLL_Done@0
5 DISPLAYDLL_DriverName
6 DISPLAYDLL_DriverName@0
7 DISPLAYDLL_Init
8 DISPLAYDLL_Init@16
9 DISPLAYDLL_PowerResume
10 DISPLAYDLL_PowerResume@0
11 DISPLAYDLL_SetPosition
12 DISPLAYDLL_SetPosition@8
13 DISPLAYDLL_Usage
14 DISPLAYDLL_Usage@0
15 DISPLAYDLL_Write
16 DISPLAYDLL_Write@4"
# "[   0] NAME" in the name table: the index is the ordinal less the base.
actual=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]\+\)\] \(.*\)$/\1 \2/p' | awk '{print $1 + 1, $2}')
if [ "$actual" != "$expected" ]; then
  fail "exported names and ordinals differ"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual")
fi

# "[   0] +base[   1] 16a0 Export RVA": each odd ordinal and the next share an address.
rvas=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]\+\] +base\[[[:space:]]*\([0-9]\+\)\] \([0-9a-f]\+\) Export RVA$/\1 \2/p')
[ "$(printf '%s\n' "$rvas" | grep -c .)" = 16 ] || fail "the export address table has not 16 entries"
printf '%s\n' "$rvas" | paste - - | while read -r o1 a1 o2 a2; do
  [ "$a1" = "$a2" ] || echo "FAIL: ordinals $o1 and $o2 lead to different code ($a1, $a2)"
done | grep . && failures=$((failures + 1))

# Imports: system libraries only, no runtime DLLs.
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' | sort -fu)
for lib in $imports; do
  case $(printf '%s' "$lib" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll) ;;
    *) fail "imports $lib, which is not a system library" ;;
  esac
done
[ -n "$imports" ] || fail "no import table found"

# Version resource: the fixed part (signature FEEF04BD, structure version
# 1.0, file version 1.0.30.174, product version the same) and the strings.
hex=$(od -An -tx1 -v "$dll" | tr -d ' \n')
printf '%s' "$hex" | grep -q 'bd04effe0000010000000100ae001e0000000100ae001e00' ||
  fail "no VERSIONINFO with file and product version 1.0.30.174"
strings=$(strings -el "$dll")
for pair in "FileVersion=1.0.30.174" "ProductVersion=1.0.30.174" "OriginalFilename=QV-731.dll"; do
  key=${pair%%=*}
  value=${pair#*=}
  printf '%s\n' "$strings" | grep -A1 -x "$key" | tail -n1 | grep -qx "$value" ||
    fail "version resource has no $key $value"
done
printf '%s\n' "$strings" | grep -qx FileDescription || fail "version resource has no FileDescription"

if [ $failures -gt 0 ]; then
  echo "$dll: $failures check(s) failed"
  exit 1
fi
echo "$dll: 16 exports, imports $(echo $imports), version 1.0.30.174: all checks passed"
