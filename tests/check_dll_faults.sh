#!/usr/bin/env bash
# The DLL check itself (tests/check_dll.sh): the DLL and a program as built
# pass it, and copies of them with one fault each fail it, each with its own
# reason and that one alone. The faults are made by patching a copy's header
# bytes, at offsets worked out here from the PE format, and objdump's view of
# each copy shows the fault is there:
#
# - no DYNAMIC_BASE, no NX_COMPAT, and (64-bit) no HIGH_ENTROPY_VA;
# - relocations marked stripped, an empty base relocation directory, no
#   .reloc section;
# - a code section that is also writable;
# - a link time in the PE header, and in the DLL's export directory: refused
#   without --epoch and with another one, taken with --epoch of that time;
# - no PE header at all (a program).
#
#   check_dll_faults.sh OBJDUMP QV-731.dll PROGRAM.exe
set -u
# objdump prints the PE header's time in the local time zone, and its words in
# the user's language: what is read here is read in UTC, in English.
export TZ=UTC0 LC_ALL=C
objdump=$1
dll=$2
program=$3
check_dll=$(dirname "$0")/check_dll.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-check-dll.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/support/checks.sh"

# u16/u32 FILE OFFSET: the little-endian number there; put FILE OFFSET BYTES
# VALUE: that number written there.
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
put() {
  local bytes='' i
  for ((i = 0; i < $3; i++)); do
    bytes+=$(printf '\\x%02x' $((($4 >> (8 * i)) & 255)))
  done
  # shellcheck disable=SC2059 # the bytes, as escapes
  printf "$bytes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# layout FILE: the places in its headers: the PE signature (pe), the file
# characteristics (chars), the optional header (opt), PE32 or PE32+ (bits),
# its DllCharacteristics (dll_chars), the data directories (dirs), the
# number of sections (sections) and the section table (table).
layout() {
  pe=$(u32 "$1" 60)
  chars=$((pe + 22))
  opt=$((pe + 24))
  case $(u16 "$1" $opt) in
    267) bits=32 dirs=$((opt + 96)) ;;
    523) bits=64 dirs=$((opt + 112)) ;;
    *) bits=unknown dirs=0 ;;
  esac
  dll_chars=$((opt + 70))
  sections=$(u16 "$1" $((pe + 6)))
  table=$((opt + $(u16 "$1" $((pe + 20)))))
}
# section FILE NAME: the offset of that section's entry in the table.
section() {
  local i at
  layout "$1"
  for ((i = 0, at = table; i < sections; i++, at += 40)); do
    if [ "$(dd if="$1" bs=1 skip=$at count=8 status=none | tr -d '\0')" = "$2" ]; then
      echo $at
      return 0
    fi
  done
  return 1
}
# file_offset FILE RVA: where in the file that address of the loaded image is.
file_offset() {
  local i at va size raw
  layout "$1"
  for ((i = 0, at = table; i < sections; i++, at += 40)); do
    va=$(u32 "$1" $((at + 12)))
    size=$(u32 "$1" $((at + 16)))
    raw=$(u32 "$1" $((at + 20)))
    if [ "$2" -ge "$va" ] && [ "$2" -lt $((va + size)) ]; then
      echo $((raw + $2 - va))
      return 0
    fi
  done
  return 1
}

layout "$dll"
kind=$bits
[ $kind != unknown ] || { echo "FAIL: $dll: no PE32 or PE32+ header"; exit 1; }
echo "the ${kind}-bit $(basename "$dll") and $(basename "$program"), and copies with one fault each"

# As built: both pass.
out=$("$check_dll" "$objdump" "$dll" "$program" 2>&1)
status=$?
[ $status = 0 ] || fail "check_dll.sh fails the DLL and program as built (status $status): $out"

# copy_of NAME FILE: the copy of FILE for fault NAME, in a folder of its own.
copy_of() { echo "$work/$1-$(basename "$(dirname "$2")")-$(basename "$2")/$(basename "$2")"; }
# view FILE: objdump's view of a file: its -p, and each section of -h on one
# line ("section NAME: FLAGS").
view() {
  "$objdump" -p "$1" 2>&1
  "$objdump" -h "$1" 2>&1 | awk '/^ +[0-9]+ / { name = $2; next } name != "" { sub(/^ +/, ""); print "section " name ": " $0; name = "" }'
}
# fault NAME FILE REASON SAYS [CHECK_DLL_OPTION...]: a copy of FILE (the DLL
# or the program) with fault NAME (made by make_NAME on the copy), in which
# objdump's view holds a line that matches the extended pattern SAYS (or,
# for "!PATTERN", it shows the DllCharacteristics and no line matches);
# check_dll.sh with the options fails it with the reason "COPY: REASON" and
# no other.
fault() {
  local name=$1 file=$2 reason=$3 says=$4 copy dump out status
  shift 4
  copy=$(copy_of "$name" "$file")
  if [ ! -e "$copy" ]; then
    mkdir -p "$(dirname "$copy")"
    cp "$file" "$copy"
    "make_$name" "$copy" || { fail "$name: cannot make the fault in $copy"; return; }
  fi
  dump=$(view "$copy")
  if [[ $says == !* ]]; then
    grep -qE '^DllCharacteristics[[:space:]]+[0-9a-f]+$' <<<"$dump" && ! grep -qE -- "${says#!}" <<<"$dump" ||
      fail "$name: objdump cannot read $copy or still sees \"${says#!}\" in it"
  else
    grep -qE -- "$says" <<<"$dump" || fail "$name: objdump does not see \"$says\" in $copy"
  fi
  if [ "$file" = "$dll" ]; then
    out=$("$check_dll" "$@" "$objdump" "$copy" 2>&1)
  else
    out=$("$check_dll" "$@" "$objdump" "$dll" "$copy" 2>&1)
  fi
  status=$?
  [ $status = 1 ] || fail "$name: check_dll.sh $* ended with status $status, not 1, for $copy: $out"
  grep -qxF -- "FAIL: $copy: $reason" <<<"$out" || fail "$name: check_dll.sh $* gave not \"$reason\" for $copy: $out"
  [ "$(grep -c '^FAIL' <<<"$out")" = 1 ] || fail "$name: check_dll.sh $* gave more reasons than one for $copy: $out"
}
# passes NAME FILE OPTION...: check_dll.sh with those options passes the
# copy of FILE with fault NAME.
passes() {
  local file=$2 copy out
  copy=$(copy_of "$1" "$2")
  shift 2
  local files=("$dll" "$copy")
  [ "$file" != "$dll" ] || files=("$copy")
  out=$("$check_dll" "$@" "$objdump" "${files[@]}" 2>&1) || fail "check_dll.sh $* fails $copy: $out"
}

# The flags of DllCharacteristics (objdump lists the names of those set).
clear_flag() {
  layout "$1"
  put "$1" $dll_chars 2 $(($(u16 "$1" $dll_chars) & ~$2))
}
make_no_dynamic_base() { clear_flag "$1" 0x40; }
make_no_nx_compat() { clear_flag "$1" 0x100; }
make_no_high_entropy_va() { clear_flag "$1" 0x20; }
# Relocations marked stripped; an empty base relocation directory (entry 5);
# the .reloc section under another name.
make_relocs_stripped() {
  layout "$1"
  put "$1" $chars 2 $(($(u16 "$1" $chars) | 0x1))
}
make_empty_relocations() {
  layout "$1"
  put "$1" $((dirs + 5 * 8 + 4)) 4 0
}
make_no_reloc_section() {
  local at
  at=$(section "$1" .reloc) || return 1
  printf '.rel0c\0\0' | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}
# .text also writable (IMAGE_SCN_MEM_WRITE).
make_writable_code() {
  local at
  at=$(section "$1" .text) || return 1
  put "$1" $((at + 36)) 4 $(($(u32 "$1" $((at + 36))) | 0x80000000))
}
# A link time: 2009-02-13 23:31:30 UTC, in the PE header and in the export
# directory (data directory entry 0).
stamp=1234567890
make_pe_time() {
  layout "$1"
  put "$1" $((pe + 8)) 4 $stamp
}
make_export_time() {
  local at
  layout "$1"
  at=$(file_offset "$1" "$(u32 "$1" "$dirs")") || return 1
  put "$1" $((at + 4)) 4 $stamp
}
make_no_pe_header() {
  layout "$1"
  printf 'PX' | dd of="$1" bs=1 seek="$pe" conv=notrunc status=none
}

for file in "$dll" "$program"; do
  fault no_dynamic_base "$file" "not marked DYNAMIC_BASE (ASLR)" '!^[[:space:]]+DYNAMIC_BASE$'
  fault no_nx_compat "$file" "not marked NX_COMPAT (DEP)" '!^[[:space:]]+NX_COMPAT$'
  if [ $kind = 64 ]; then
    fault no_high_entropy_va "$file" "64-bit but not marked HIGH_ENTROPY_VA" '!^[[:space:]]+HIGH_ENTROPY_VA$'
  fi
  fault relocs_stripped "$file" "its relocations are stripped (IMAGE_FILE_RELOCS_STRIPPED)" \
    '^[[:space:]]+relocations stripped$'
  fault empty_relocations "$file" "its base relocation directory is empty" \
    '^Entry 5 [0-9a-f]+ 00000000 Base Relocation Directory'
  fault no_reloc_section "$file" "no .reloc section" '^section \.rel0c: '
  fault writable_code "$file" "section .text is both writable and executable" \
    '^section \.text: CONTENTS, ALLOC, LOAD, CODE'
  fault pe_time "$file" "the PE header's time stamp is $stamp, not 0" '^Time/Date[[:space:]]+Fri Feb 13 23:31:30 2009$'
  fault pe_time "$file" "the PE header's time stamp is $stamp, not 1500000000 or 0" \
    '^Time/Date[[:space:]]+Fri Feb 13 23:31:30 2009$' --epoch 1500000000
  passes pe_time "$file" --epoch $stamp
done
fault export_time "$dll" "the export directory's time stamp is $stamp, not 0" '^Time/Date stamp[[:space:]]+499602d2$'
fault export_time "$dll" "the export directory's time stamp is $stamp, not 1500000000 or 0" \
  '^Time/Date stamp[[:space:]]+499602d2$' --epoch 1500000000
passes export_time "$dll" --epoch $stamp
fault no_pe_header "$program" "no PE header" 'file format not recognized'

finish "check_dll.sh passes the ${kind}-bit DLL and program as built and fails each fault, for its own reason"
