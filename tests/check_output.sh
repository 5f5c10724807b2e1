#!/usr/bin/env bash
# Runs a test's program and passes only when it ends with status 0 and its
# standard output, carriage returns dropped, is exactly the lines given: a
# program that prints the right lines and then fails or crashes fails the
# test. (CTest's PASS_REGULAR_EXPRESSION alone ignores the exit status.) Its
# output and errors are shown as they come. A status of 77 (wine_run.sh,
# where this machine cannot run the program) is passed on, for CTest's
# SKIP_RETURN_CODE.
#
#   check_output.sh LINE... -- PROGRAM [ARGUMENT]...
set -u
expected=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  expected+=("$1")
  shift
done
if [ ${#expected[@]} = 0 ] || [ $# -lt 2 ]; then
  echo "check_output: no line expected or no program after \"--\" (see the top of $0)"
  exit 2
fi
shift
out=$(mktemp "${TMPDIR:-/tmp}/qv-output.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT
"$@" | tee "$out"
status=${PIPESTATUS[0]}
[ "$status" != 77 ] || exit 77
failed=0
if [ "$status" != 0 ]; then
  echo "FAIL: status $status, not 0, from: $*"
  failed=1
fi
if ! difference=$(diff <(printf '%s\n' "${expected[@]}") <(tr -d '\r' <"$out")); then
  echo "FAIL: other lines than expected (< expected, > printed) from: $*"
  printf '%s\n' "$difference"
  failed=1
fi
[ $failed = 0 ] || exit 1
echo "status 0 and the ${#expected[@]} lines expected from: $*"
