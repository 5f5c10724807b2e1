# What the toolbox's script tests share, sourced by each with the project's
# folder: its full path as $source_dir, a work folder $work removed on exit,
# the failure counter (fail, finish), and stand-ins. Each script under test
# runs as a copy in a folder of its own, with stand-ins for what it would
# start (set-up, cmake, the fuzzer, qemu), so nothing is installed, built or
# booted, and a fault harms only the copy.
#
#   source stand_ins.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
source "$source_dir/tests/support/checks.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-scripts.XXXXXX")
trap 'rm -rf "$work"' EXIT

# stub PATH CONTENTS: a stand-in program.
stub() {
  mkdir -p "$(dirname "$1")"
  printf '#!/usr/bin/env bash\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
# project NAME FILE...: a copy of the project holding only those files, with
# set-up standing in (it would install packages).
project() {
  local copy=$work/$1 file
  shift
  for file in "$@"; do
    mkdir -p "$copy/$(dirname "$file")"
    cp "$source_dir/$file" "$copy/$file"
  done
  stub "$copy/tools/setup.sh" 'exit 0'
  echo "$copy"
}
# cmake that does nothing, first on the path.
stub "$work/bin/cmake" 'exit 0'
export PATH=$work/bin:$PATH
