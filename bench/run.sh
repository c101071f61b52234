#!/usr/bin/env bash
# Every benchmark, from one command: the decoder against OpenSSL (native),
# then loadRemoteMesh and signIn against plain Java, and the peak native
# memory of a model load. Uses the build in the directory given, by default
# build/, which it makes with the ci preset when it lacks the benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}

if [[ ! -x "$build/bench/native/decode_bench" || ! -f "$build/bench-java.env" ]]; then
  [[ "$build" == build ]] || { echo "no benchmarks built in $build" >&2; exit 1; }
  bash scripts/deps.sh
  cmake --preset ci
  cmake --build --preset ci -j "$(nproc)"
fi

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
bash bench/run_native.sh "$build"
echo
echo "== library against plain Java"
bash bench/run_java.sh "$build"
echo
echo "== the start of the game: loadNatives against the floor"
if (( $(id -u) == 0 )); then
  bash bench/run_startup.sh "$build"
else
  echo "skipped: bench/run_startup.sh runs the JVMs as the test player and needs root"
fi
