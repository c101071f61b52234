#!/usr/bin/env bash
# The crypto library under AddressSanitizer and UndefinedBehaviorSanitizer:
# its unit tests once, then the payload decoder's fuzzer for about a minute
# from the committed seeds. Any finding fails the stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

build=build-sanitize
fuzz_seconds=${TARNWICK_FUZZ_SECONDS:-60}

# TARNWICK_FUZZ adds -fsanitize=address,undefined -fno-sanitize-recover=all
# to the crypto library and everything that links it.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_CRYPTO_ONLY=ON -DTARNWICK_FUZZ=ON -DTARNWICK_BUILD_TESTS=ON
cmake --build "$build" -j 2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure

corpus=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$corpus" "$log"' EXIT
cp fuzz/corpus/* "$corpus"/

echo "Fuzzing decodeModelPayload for ${fuzz_seconds}s"
status=0
"$build/fuzz/fuzz_model_payload" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
  -artifact_prefix="$build/fuzz/" "$corpus" >"$log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
  tail -n 60 "$log"
  echo "The fuzzer failed (exit $status); any crashing input is in $build/fuzz/" >&2
  exit 1
fi
grep -E '^Done [0-9]+ runs' "$log" || true
grep -E 'stat::number_of_executed_units' "$log"
