#!/usr/bin/env bash
# The crypto library under AddressSanitizer and UndefinedBehaviorSanitizer:
# its unit tests once, then the payload decoder's fuzzer for about a minute
# from the committed seeds. Any finding fails the stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

build="build-sanitize"
fuzz_seconds=${TARNWICK_FUZZ_SECONDS:-60}

# The sanitize preset: TARNWICK_FUZZ puts -fsanitize=address,undefined
# -fno-sanitize-recover=all on the crypto tests' and the fuzzer's copies of
# the crypto library and on everything that links them.
cmake --preset sanitize
cmake --build --preset sanitize -j 2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
check "the crypto tests under ASan and UBSan" ctest --test-dir "$build" --output-on-failure

fuzz() {
  local status=0  # corpus and log stay global for the EXIT trap of the check's subshell
  corpus=$(mktemp -d)
  log=$(mktemp)
  trap 'rm -rf "$corpus" "$log"' EXIT
  cp fuzz/corpus/* "$corpus"/
  echo "Fuzzing decodeModelPayload for ${fuzz_seconds}s"
  "$build/fuzz/fuzz_model_payload" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz/" "$corpus" >"$log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$log"
    fail "the fuzzer failed (exit $status); any crashing input is in $build/fuzz/"
  fi
  grep -E '^Done [0-9]+ runs' "$log" || true
  grep -E 'stat::number_of_executed_units' "$log"
}
check "the decoder's fuzzer finds nothing in ${fuzz_seconds}s" fuzz
checks_done "sanitizers and fuzzing"
