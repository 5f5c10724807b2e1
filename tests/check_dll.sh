#!/usr/bin/env bash
# Checks the built DLL as a host's loader sees it: the export directory (the
# library's name, sixteen names with ordinals 1 to 16 in alphabetical order,
# each plain name and its decorated twin at the same address), the imports
# (system libraries only) and the version resource. Then the DLL and each
# program named after it as Windows loads them: marked for address space
# layout randomisation (DYNAMIC_BASE, and HIGH_ENTROPY_VA when 64-bit) and
# data execution prevention (NX_COMPAT), with relocations to move them, no
# section both writable and executable, and no time in them but the one given
# (--epoch, the package's time) or none (0), so that a rebuild of the same
# sources gives the same bytes.
#
#   check_dll.sh [--epoch SECONDS] OBJDUMP QV-731.dll [PROGRAM.exe...]
set -u
# objdump prints the PE header's time in the local time zone, and its words in
# the user's language: what is read here is read in UTC, in English.
export TZ=UTC0 LC_ALL=C
epoch=0
if [ "${1:-}" = --epoch ]; then
  epoch=$2
  shift 2
fi
objdump=$1
dll=$2
shift 2
source "$(dirname "$0")/support/checks.sh"

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

# u16/u32 FILE OFFSET: the little-endian number there.
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
# A time stamp is the one given or 0.
stamp_ok() { [ "$1" = 0 ] || [ "$1" = "$epoch" ]; }
[ "$epoch" = 0 ] && stamps=0 || stamps="$epoch or 0"

# pe_checks FILE: the security flags, relocations, sections and time stamps.
pe_checks() {
  local file=$1 pe opt magic bits chars dll_chars dirs reloc_size sections i at name flags stamp
  pe=$(u32 "$file" 60)
  if [ -z "$pe" ] || [ "$(u32 "$file" "$pe")" != 17744 ]; then # "PE\0\0"
    fail "$file: no PE header"
    return
  fi
  chars=$(u16 "$file" $((pe + 22)))
  opt=$((pe + 24))
  magic=$(u16 "$file" $opt)
  case $magic in
    267) bits=32 dirs=$((opt + 96)) ;;  # 0x10b: PE32
    523) bits=64 dirs=$((opt + 112)) ;; # 0x20b: PE32+
    *) fail "$file: optional header magic $magic is neither PE32 nor PE32+"; return ;;
  esac
  dll_chars=$(u16 "$file" $((opt + 70)))
  ((dll_chars & 0x40)) || fail "$file: not marked DYNAMIC_BASE (ASLR)"
  ((dll_chars & 0x100)) || fail "$file: not marked NX_COMPAT (DEP)"
  if [ $bits = 64 ]; then
    ((dll_chars & 0x20)) || fail "$file: 64-bit but not marked HIGH_ENTROPY_VA"
  fi
  ((chars & 0x1)) && fail "$file: its relocations are stripped (IMAGE_FILE_RELOCS_STRIPPED)"
  # Data directory 5: the base relocations.
  reloc_size=$(u32 "$file" $((dirs + 5 * 8 + 4)))
  [ "$reloc_size" -gt 0 ] || fail "$file: its base relocation directory is empty"
  sections=$(u16 "$file" $((pe + 6)))
  at=$((opt + $(u16 "$file" $((pe + 20)))))
  local reloc_section=0
  for ((i = 0; i < sections; i++, at += 40)); do
    name=$(dd if="$file" bs=1 skip=$at count=8 status=none | tr -d '\0')
    flags=$(u32 "$file" $((at + 36)))
    [ "$name" = .reloc ] && reloc_section=1
    # IMAGE_SCN_MEM_EXECUTE and IMAGE_SCN_MEM_WRITE.
    if ((flags & 0x20000000)) && ((flags & 0x80000000)); then
      fail "$file: section $name is both writable and executable"
    fi
  done
  [ $reloc_section = 1 ] || fail "$file: no .reloc section"
  stamp=$(u32 "$file" $((pe + 8)))
  stamp_ok "$stamp" || fail "$file: the PE header's time stamp is $stamp, not $stamps"
  # The export directory's own time stamp, for a file that has one.
  stamp=$("$objdump" -p "$file" | sed -n 's/^Time\/Date stamp[[:space:]]*\([0-9a-f]\+\)$/\1/p')
  if [ -n "$stamp" ]; then
    stamp_ok $((16#$stamp)) || fail "$file: the export directory's time stamp is $((16#$stamp)), not $stamps"
  fi
  checked="$checked $(basename "$file") ($bits-bit)"
}
checked=
for file in "$dll" "$@"; do
  pe_checks "$file"
done

finish "$dll: 16 exports, imports $(echo $imports), version 1.0.30.174: all checks passed
ASLR, DEP, relocations, no writable code, time stamps $stamps:$checked"
