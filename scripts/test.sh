#!/usr/bin/env bash
# Runs every test: the native build with its unit and Java tests, the
# sanitizer and fuzz runs, and the Windows cross-build with its checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_BENCH=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

for stage in scripts/stages/*.sh; do
  [[ -e "$stage" ]] || continue
  echo "== $stage"
  bash "$stage"
done
echo "All tests passed."
