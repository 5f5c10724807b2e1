#!/usr/bin/env bash
# The test command and what it runs refuse what they cannot do:
# - run_tests.sh takes only preset names, before removing any build folder;
# - fuzz.sh takes a target and the seconds in either order, or refuses;
# - tests/check_output.sh passes a program only on status 0 and the exact
#   lines, and passes a skip (77) on;
# - a test preset that finds no tests fails.
#
#   check_test_commands.sh SOURCE_DIR
source "$(dirname "$0")/stand_ins.sh" "$1"

# run_tests.sh: a name that is no preset is refused before anything is removed.
copy=$(project run_tests tools/run_tests.sh)
mkdir -p "$copy/build" "$copy/docs"
touch "$copy/docs/kept"
out=$(bash "$copy/tools/run_tests.sh" ../docs 2>&1)
status=$?
[ $status = 2 ] || fail "run_tests.sh ../docs should end with status 2, got $status: $out"
[ -e "$copy/docs/kept" ] || fail "run_tests.sh ../docs removed docs/"
grep -q 'run_tests: "../docs" is not a preset' <<<"$out" || fail "run_tests.sh ../docs: no reason given: $out"
# A preset is taken (here its build then fails: cmake is a stand-in that
# configures nothing).
stub "$work/bin/cmake" 'exit 1'
out=$(bash "$copy/tools/run_tests.sh" native 2>&1)
grep -q '^== native: build failed$' <<<"$out" || fail "run_tests.sh native: the preset was not taken: $out"
stub "$work/bin/cmake" 'exit 0'

# fuzz.sh: the seconds and the targets in either order; anything else refused.
copy=$(project fuzz tools/fuzz.sh)
stub "$copy/tests/fuzz/run_fuzzer.sh" 'echo "$(basename "$1") $2" >>"$(dirname "$0")/fuzzed.txt"'
fuzzed=$copy/tests/fuzz/fuzzed.txt
fuzz() {
  rm -f "$fuzzed"
  bash "$copy/tools/fuzz.sh" "$@" >"$work/fuzz-out.txt" 2>&1
}
expect_fuzzed() {
  local expected=$1 got
  shift
  fuzz "$@"
  got=$(cat "$fuzzed" 2>/dev/null | tr '\n' ',')
  [ "$got" = "$expected" ] || fail "fuzz.sh $*: fuzzed \"$got\", not \"$expected\": $(cat "$work/fuzz-out.txt")"
}
expect_fuzzed "fuzz_calls 600," calls
expect_fuzzed "fuzz_calls 30," calls 30
expect_fuzzed "fuzz_calls 30," 30 calls
expect_fuzzed "fuzz_init 45,fuzz_calls 45," 45
expect_fuzzed "fuzz_init 600,fuzz_calls 600,"
for wrong in "soon" "0" "-5" "calls 10 20" "init calls soon"; do
  # shellcheck disable=SC2086 # the words of each case
  fuzz $wrong
  status=$?
  [ $status = 2 ] || fail "fuzz.sh $wrong should be refused with status 2, got $status"
  [ ! -e "$fuzzed" ] || fail "fuzz.sh $wrong fuzzed: $(cat "$fuzzed")"
  grep -q '^fuzz: ".*" is neither a target' "$work/fuzz-out.txt" ||
    fail "fuzz.sh $wrong: no reason given: $(cat "$work/fuzz-out.txt")"
done

# tests/check_output.sh: the lines expected and status 0, or a failure with
# its reason; a program that prints the right lines and then fails or crashes
# fails; a skip (77) is passed on.
# expect_output STATUS REASON LINE... -- PROGRAM...: its status and reason.
expect_output() {
  local status=$1 reason=$2 out got
  shift 2
  out=$(bash "$source_dir/tests/check_output.sh" "$@" 2>&1)
  got=$?
  [ $got = "$status" ] || fail "check_output.sh $*: status $got, not $status: $out"
  [ -z "$reason" ] || grep -qxF -- "$reason" <<<"$out" || fail "check_output.sh $*: no \"$reason\": $out"
}
expect_output 0 "status 0 and the 2 lines expected from: printf one\r\ntwo\r\n" one two -- printf 'one\r\ntwo\r\n'
expect_output 1 "FAIL: status 3, not 0, from: bash -c echo one; echo two; exit 3" one two -- bash -c 'echo one; echo two; exit 3'
expect_output 1 "FAIL: status 139, not 0, from: bash -c echo one; echo two; kill -SEGV \$\$" one two -- \
  bash -c 'echo one; echo two; kill -SEGV $$'
expect_output 1 "FAIL: other lines than expected (< expected, > printed) from: printf one\n" one two -- printf 'one\n'
expect_output 1 "> three" one two -- printf 'one\ntwo\nthree\n'
expect_output 1 "> one two" one two -- printf 'one two\n'
expect_output 77 "" one -- bash -c 'echo one; exit 77'
expect_output 2 "" one two
expect_output 2 "" -- echo

# A test preset that finds no tests fails (it would count as passed): each
# one, on a build folder of its own with no tests in it.
mkdir "$work/presets"
cp "$source_dir/CMakePresets.json" "$work/presets/"
presets=$(cd "$work/presets" && ctest --list-presets | sed -n 's/^ *"\(.*\)"$/\1/p')
[ -n "$presets" ] || fail "ctest lists no test presets"
for preset in $presets; do
  mkdir -p "$work/presets/build/$preset"
  : >"$work/presets/build/$preset/CTestTestfile.cmake"
  out=$(cd "$work/presets" && ctest --preset "$preset" 2>&1)
  status=$?
  [ $status != 0 ] || fail "ctest --preset $preset found no tests and passed: $out"
done

finish "the test command takes only presets, fuzz.sh only targets and seconds, check_output.sh only the exact lines and status 0, and an empty preset fails"
