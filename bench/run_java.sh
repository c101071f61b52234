#!/usr/bin/env bash
# The Java-side benchmarks: loadRemoteMesh against plain Java and against the
# floor (download plus loader, no decryption) at four model sizes, with page
# faults per load; loadRemoteMesh of an 8 MiB model and signIn round trips
# against plain Java; then the peak native memory of one load. Needs a build with -DTARNWICK_BUILD_BENCH=ON
# (scripts/test.sh makes one in build/).
set -euo pipefail
build=${1:-build}
# shellcheck disable=SC1090
source "$build/bench-java.env"
run() { "$JAVA" -Dtarnwick.library="$LIBRARY" -Dtarnwick.modelKey="$MODEL_KEY" -cp "$CLASSPATH" "$@"; }

run tarnwick.bench.Bench floor
run tarnwick.bench.Bench mesh
run tarnwick.bench.Bench signin

if [[ -n "$PEAK_ALLOC" ]]; then
  peak() {
    LD_PRELOAD="$PEAK_ALLOC" run -Dbench.modelBytes="$1" tarnwick.bench.Bench "$2" 2>&1 >/dev/null \
      | awk '/peak bytes/ {print $NF}'
  }
  for mib in 1 8 64; do
    bytes=$((mib << 20))
    library=$(peak $bytes memory)
    java=$(peak $bytes memory-java)
    awk -v m=$mib -v n=$bytes -v l="$library" -v j="$java" 'BEGIN {
      printf "one load of a %d MiB model, peak in native blocks of 1 MiB or more: library %.1f MiB, plain Java %.1f MiB, difference %.2f x the model\n",
        m, l / 1048576, j / 1048576, (l - j) / n }'
  done
fi
