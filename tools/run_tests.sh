#!/usr/bin/env bash
# Installs what is missing, builds every configuration from scratch and runs
# every test: the native build (unit and end-to-end tests), the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit Windows DLL
# (export table, imports, version resource, and under Wine the end-to-end
# suite) and the 64-bit Windows build of the same sources under 64-bit Wine.
# Ends with the source format check and one summary line. Presets named as
# arguments are the only ones built and tested.
set -uo pipefail
cd "$(dirname "$0")/.."
# The names are checked before anything is done: each one's build folder is
# removed and made again.
presets="native native-sanitize fuzz windows-i686 windows-x86_64"
for preset in "$@"; do
  case " $presets " in
    *" $preset "*) ;;
    *) echo "run_tests: \"$preset\" is not a preset (one of: $presets)" >&2; exit 2 ;;
  esac
done
bash tools/setup.sh || exit 1

log=$(mktemp)
# The tests make their temporary folders in one of this run's own, which
# must be empty again at the end: every test removes what it made.
run_tmp=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$run_tmp"' EXIT
export TMPDIR=$run_tmp
status=0

# vm32_ctest ARGUMENTS...: ctest in the throwaway 32-bit machine
# (tools/vm32/run.sh), for a machine whose kernel cannot run 32-bit programs.
# It runs in the background so that an interrupt stops it at once.
vm32_ctest() {
  local pid rc tee_pid
  exec 3> >(tee -a "$log")
  tee_pid=$!
  tools/vm32/run.sh -- ctest "$@" >&3 2>&1 &
  pid=$!
  trap 'kill -TERM $pid 2>/dev/null; wait $pid; exit 130' INT TERM
  wait $pid
  rc=$?
  trap - INT TERM
  exec 3>&-
  wait $tee_pid
  return $rc
}
for preset in ${*:-$presets}; do
  echo "== $preset"
  rm -rf "build/$preset"
  if ! cmake --preset "$preset" -DQV_BUILD_TESTS=ON >/dev/null || ! cmake --build --preset "$preset"; then
    echo "== $preset: build failed"
    echo "0 tests passed, 1 tests failed out of 1" >>"$log"
    status=1
    continue
  fi
  if [ "$preset" = windows-i686 ] && tools/vm32/run.sh --needed; then
    echo "== $preset: the tests run in the 32-bit virtual machine (tools/vm32/run.sh)"
    vm32_ctest --preset "$preset" -E '^(dll_reproducible|serial_bench)$' || status=1
    # The second build to compare with needs the compiler, which only this
    # machine has; it runs no 32-bit program. The serial bench starts the
    # machine itself.
    ctest --preset "$preset" -R '^(dll_reproducible|serial_bench)$' 2>&1 | tee -a "$log"
    [ "${PIPESTATUS[0]}" = 0 ] || status=1
    continue
  fi
  ctest --preset "$preset" 2>&1 | tee -a "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
done

echo "== source format"
files=$(find driver diagnostics exports platform host simulator tools tests -name '*.cpp' -o -name '*.h' | sort)
if clang-format --dry-run --Werror $files; then
  echo "format: all $(echo "$files" | wc -l) files clean"
else
  echo "format: run clang-format -i on the files above"
  status=1
fi

echo "== temporary files"
left=$(find "$run_tmp" -mindepth 1 -maxdepth 1 | sed 's|^|  |')
if [ -n "$left" ]; then
  echo "left behind by the tests:"
  echo "$left"
  echo "0% tests passed, 1 tests failed out of 1" >>"$log"
  status=1
else
  echo "temporary files: the tests left none"
fi

# One line over every test run: ctest counts a skipped test as passed.
passed=0 failed=0 skipped=0
while read -r p f; do
  passed=$((passed + p - f))
  failed=$((failed + f))
done < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\2 \1/p' "$log")
skipped=$(grep -c '(Skipped)$' "$log" || true)
passed=$((passed - skipped))
[ $status = 0 ] || [ $failed -gt 0 ] || failed=1
echo
echo "tests: $passed passed, $failed failed, $skipped skipped"
exit $status
