#!/usr/bin/env bash
# Runs the decoder benchmark twice: with OpenSSL as it is (AES-NI), then with
# OpenSSL's AES-NI and PCLMUL use masked off through OPENSSL_ia32cap, the
# reference for the table decoder. Prints the medians of five repetitions.
#
#   bench/run_native.sh [build dir]     (default: build-bench)
#
# The build directory is configured (Release, crypto only, benchmarks on) and
# built when it has no decode_bench yet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build-bench}
bench="$build/bench/native/decode_bench"

if [[ ! -x "$bench" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_CRYPTO_ONLY=ON \
    -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=ON
  cmake --build "$build" --target decode_bench -j 2
fi

args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
medians() { grep -E '_median ' || true; }

echo "== OpenSSL with AES-NI"
"$bench" "${args[@]}" 2>/dev/null | medians
echo
echo "== OpenSSL with AES-NI and PCLMUL masked (OPENSSL_ia32cap=~0x200000200000000)"
OPENSSL_ia32cap="~0x200000200000000" "$bench" "${args[@]}" 2>/dev/null | medians
