#!/usr/bin/env bash
# Every benchmark, from one command: the decoder against OpenSSL (native),
# then loadRemoteMesh and signIn against plain Java, and the peak native
# memory of a model load. Uses (and if needed makes) the build in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}

if [[ ! -x "$build/bench/native/decode_bench" || ! -f "$build/bench-java.env" ]]; then
  bash scripts/deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_BENCH=ON
  cmake --build "$build" -j "$(nproc)"
fi

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
bash bench/run_native.sh "$build"
echo
echo "== library against plain Java"
bash bench/run_java.sh "$build"
