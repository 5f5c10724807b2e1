#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from the seeds kept in the
# repository. New inputs go to CORPUS (a temporary folder, removed at the
# end, when none is named); an input that fails is kept beside the target as
# artifacts/crash-... and its name printed.
#
#   run_fuzzer.sh FUZZER SECONDS SEEDS [CORPUS]
set -euo pipefail
fuzzer=$1
seconds=$2
seeds=$3
corpus=${4:-}
# The targets' own temporary folders go in one of ours, removed at the end.
# Each input makes the driver start its log afresh, and a file system on disk
# writes a file emptied and written again back to the disk at its close: in
# memory (/dev/shm, unless TMPDIR names another place) the targets take 1.5
# to 2 times as many inputs a second.
base=${TMPDIR:-}
if [ -z "$base" ]; then
  base=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
fi
work=$(mktemp -d "$base/qv-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
[ -n "$corpus" ] || corpus=$work/corpus
mkdir -p "$corpus" "$(dirname "$fuzzer")/artifacts"
# Absolute paths: the targets work in a temporary folder of their own.
fuzzer=$(realpath "$fuzzer")
seeds=$(realpath "$seeds")
corpus=$(realpath "$corpus")
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=20 -max_len=8192 -len_control=0 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$fuzzer")/artifacts/" "$corpus" "$seeds" 2>&1 |
  grep -v '^#[0-9]*[[:space:]]*\(NEW\|REDUCE\|pulse\)' || status=${PIPESTATUS[0]}
exit "$status"
