#!/usr/bin/env bash
# The serial bench takes only the builds it names, built from the sources as
# they are: check_bench.sh, in a made-up project with builds of its own and
# no qemu on its PATH (so that nothing boots), fails a build that lacks a
# program or is older than a source that goes into it, and goes on to the
# machine (skipped here: no qemu) with both builds as they should be.
#
#   check_bench_builds.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-bench-builds.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/../support/checks.sh"

# The project: the bench's script, one file of each source place, and the
# builds (native/ and windows/), made again for each row.
project=$work/project
mkdir -p "$project/tests/hardware" "$project/platform/posix" "$project/exports"
cp "$source_dir/tests/hardware/check_bench.sh" "$project/tests/hardware/"
sources=(driver/a.cpp diagnostics/a.cpp host/a.cpp host/a_linux.cpp host/a_windows.cpp platform/win32.h
  platform/posix/a.cpp exports/QV-731.def
  exports/dll_main.cpp exports/version.rc exports/native.map)
for source in "${sources[@]}"; do mkdir -p "$project/$(dirname "$source")"; done
# A PATH with what the script needs and no qemu.
mkdir "$work/bin"
for tool in bash dirname find; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done

# Each row: what is done to fresh builds, the exit status and a line of the output.
rows=(
  ":|77|no qemu-system-x86_64 here"
  "rm native/QV-731.dll|1|no QV-731.dll in $project/native: build it first"
  "rm windows/display_host.exe|1|no display_host.exe in $project/windows: build it first"
  "touch platform/posix/a.cpp|1|$project/native/QV-731.dll is older than platform/posix/a.cpp: build it again"
  "touch exports/version.rc|1|$project/windows/QV-731.dll is older than exports/version.rc: build it again"
  "touch driver/a.cpp|1|$project/windows/QV-731.dll is older than driver/a.cpp: build it again"
  "touch -d 2000-01-01 native/display_host|1|$project/native/display_host is older than"
  "touch exports/native.map windows/*|1|$project/native/QV-731.dll is older than exports/native.map"
  "touch host/a.cpp|1|$project/windows/display_host.exe is older than host/a.cpp"
  "touch host/a_windows.cpp|1|$project/windows/display_host.exe is older than host/a_windows.cpp"
  "touch host/a_linux.cpp native/display_host|77|no qemu-system-x86_64 here"
)
for row in "${rows[@]}"; do
  IFS='|' read -r change status line <<<"$row"
  (cd "$project" && touch -d '2001-01-01' "${sources[@]}")
  rm -rf "$project/native" "$project/windows"
  mkdir "$project/native" "$project/windows"
  touch -d '2002-01-01' "$project/native/QV-731.dll" "$project/native/display_host" "$project/windows/QV-731.dll" \
    "$project/windows/display_host.exe"
  (cd "$project" && eval "$change")
  out=$(PATH=$work/bin bash "$project/tests/hardware/check_bench.sh" "$project" "$project/windows" "$project/native" 2>&1)
  got=$?
  [ "$got" = "$status" ] || fail "$change: check_bench.sh ended with $got, not $status: $out"
  grep -qF "check_bench: $line" <<<"$out" || fail "$change: check_bench.sh did not say \"$line\": $out"
done

finish "check_bench.sh: a missing or out-of-date build fails the bench before the machine starts"
