#!/usr/bin/env bash
# Soak run (not part of CI; about two minutes): 100,000 signIn calls and
# 3,000 model loads in one JVM under -Xcheck:jni, sampling resident memory,
# native heap, threads and live completions at the start, middle and end,
# and saying whether any of them grows with the number of calls. Exits 1 if
# something grows, a call fails or the JVM prints a JNI warning.
#
#   bench/soak.sh [build dir]     (default: build, the test run's)
#
# A build directory without the benchmarks is configured with the ci preset
# (Release, the library, its tests and the benchmarks) and built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}

if [[ ! -f "$build/bench-java.env" ]]; then
  bash scripts/deps.sh
  cmake --preset ci -B "$build"
  cmake --build "$build" -j "$(nproc)"
fi
# shellcheck disable=SC1090
source "$build/bench-java.env"
if [[ -z "$SOAK_PROBE" ]]; then
  echo "the soak run needs Linux (glibc's mallinfo2)" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$JAVA" -Xcheck:jni -Xmx512m -Dtarnwick.library="$LIBRARY" -Dtarnwick.modelKey="$MODEL_KEY" \
  -Dsoak.probe="$SOAK_PROBE" -cp "$CLASSPATH" tarnwick.bench.Soak 2>&1 | tee "$log" || status=$?
. "$(dirname "$0")/../scripts/lib.sh"
check_jni_warnings "$log" "the soak run's JVM"
exit "$status"
