#!/usr/bin/env bash
# The demo in one command: installs the Debian packages the demo needs when
# any is missing, builds the library, tarnwick-model.jar and the demo with the
# demo preset in build-demo/, then runs the demo. It starts a stand-in of the
# web service on loopback and drives every entry point through the real
# library, printing each request as the service received it and what the
# completion was given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh demo

build="build-demo"
log=$build/demo-build.log
mkdir -p "$build"
echo "Building the library, tarnwick-model.jar and the demo in $build/ (log: $log)"
fail() {
  tail -n 40 "$log" >&2
  echo "$1; the whole log is in $log" >&2
  exit 1
}
cmake --preset demo >"$log" 2>&1 || fail "Configuring failed"
# The demo is left out when tarnwick-model.jar cannot be built (no JDK).
[[ -f $build/demo/run-demo.sh ]] || fail "The demo was not configured"
cmake --build --preset demo -j "$(nproc)" >>"$log" 2>&1 || fail "The build failed"
echo
exec bash "$build/demo/run-demo.sh"
