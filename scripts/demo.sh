#!/usr/bin/env bash
# The demo in one command: installs what is missing, builds the library,
# tarnwick-model and the demo in build/ (the directory scripts/test.sh uses),
# then runs the demo. It starts a stand-in of the web service on loopback and
# drives every entry point through the real library, printing each
# request as the service received it and what the completion was given.
# TARNWICK_DEMO_BUILD_DIR picks another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh

build=${TARNWICK_DEMO_BUILD_DIR:-build}
log=$build/demo-build.log
mkdir -p "$build"
echo "Building the library, tarnwick-model and the demo in $build/ (log: $log)"
fail() {
  tail -n 40 "$log" >&2
  echo "$1; the whole log is in $log" >&2
  exit 1
}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || fail "Configuring failed"
# The demo is left out when tarnwick-model cannot be built (no libcrypto).
[[ -f $build/demo/run-demo.sh ]] || fail "The demo was not configured"
cmake --build "$build" --target demo -j "$(nproc)" >>"$log" 2>&1 || fail "The build failed"
echo
exec bash "$build/demo/run-demo.sh"
