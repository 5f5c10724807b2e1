# Sourced by the host program's tests, native and under Wine: the line cut
# in the middle of a test pattern. The caller has a relay running in DIR and
# a fail function.
#
#   pattern_cut DIR END WHAT HOST_COMMAND...
#
# HOST_COMMAND draws `pattern 300` on the relay's end END (and nothing after
# it that could fail), its output going to DIR/cut.txt. Once the host has
# drawn the second page, DIR/hangup-END cuts the line; the later pages'
# calls fail, and the host ends with status 4 (Init succeeded, later calls
# failed). The line is plugged in again afterwards.
pattern_cut() {
  local dir=$1 end=$2 what=$3
  shift 3
  local pid status
  "$@" >"$dir/cut.txt" 2>&1 &
  pid=$!
  for _ in $(seq 300); do
    grep -q '^pattern 2/9: ' "$dir/cut.txt" 2>/dev/null && break
    sleep 0.05
  done
  : >"$dir/hangup-$end"
  status=0
  wait "$pid" || status=$?
  rm -f "$dir/hangup-$end"
  tr -d '\r' <"$dir/cut.txt" >"$dir/cut-lines.txt"
  [ $status = 4 ] || fail "$what: a line cut mid-pattern should end with status 4, got $status: $(cat "$dir/cut-lines.txt")"
  grep -q '^DISPLAYDLL_Init: .* status=1$' "$dir/cut-lines.txt" || fail "$what: Init failed: $(cat "$dir/cut-lines.txt")"
  grep -q '^pattern 1/9: [^(]*$' "$dir/cut-lines.txt" || fail "$what: the first page failed: $(cat "$dir/cut-lines.txt")"
  grep -q '^pattern 9/9: .* (.* of its .* calls failed)$' "$dir/cut-lines.txt" ||
    fail "$what: the last page after the cut did not fail: $(cat "$dir/cut-lines.txt")"
}
