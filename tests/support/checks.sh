# The shell tests' failure counter, sourced by each: a failed check says what
# it saw and is counted, and the test ends on the count.
#
#   fail TEXT...   says "FAIL: TEXT" and counts it
#   finish TEXT    ends the test: status 0 with TEXT when nothing failed,
#                  status 1 with the count otherwise
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" != 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1"
  exit 0
}
