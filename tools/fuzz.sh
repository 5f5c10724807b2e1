#!/usr/bin/env bash
# Runs the fuzz targets natively (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) for as long as asked, each in turn. The corpus
# grows in build/fuzz/corpus/ from run to run; the seeds stay in
# tests/fuzz/corpus/. A failing input is kept as
# build/fuzz/tests/fuzz/artifacts/crash-...; run the target on that file to
# see the failure again.
#
#   tools/fuzz.sh [SECONDS_EACH] [init|calls]...     (default: 600 s, both)
#
# The seconds and the targets may come in any order (tools/fuzz.sh calls 60);
# anything else is refused before anything is built.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=
targets=()
for word in "$@"; do
  case $word in
    init | calls) targets+=("$word") ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *)
      # libFuzzer reads 0 seconds as no limit at all.
      if [[ $word =~ ^[0-9]+$ ]] && [ $((10#$word)) -gt 0 ] && [ -z "$seconds" ]; then
        seconds=$((10#$word))
      else
        echo "fuzz: \"$word\" is neither a target (init, calls) nor the seconds (a whole number above 0, given once)" >&2
        exit 2
      fi
      ;;
  esac
done
[ -n "$seconds" ] || seconds=600
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
