#!/usr/bin/env bash
# Runs the fuzz targets natively (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) for as long as asked, each in turn. The corpus
# grows in build/fuzz/corpus/ from run to run; the seeds stay in
# tests/fuzz/corpus/. A failing input is kept as
# build/fuzz/tests/fuzz/artifacts/crash-...; run the target on that file to
# see the failure again.
#
#   tools/fuzz.sh [SECONDS_EACH] [init|calls]...     (default: 600 s, both)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(init calls)
bash tools/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
status=0
for target in "${targets[@]}"; do
  echo "== fuzz_$target for $seconds s"
  tests/fuzz/run_fuzzer.sh "build/fuzz/tests/fuzz/fuzz_$target" "$seconds" "tests/fuzz/corpus/$target" \
    "build/fuzz/corpus/$target" || status=1
done
exit $status
