#!/usr/bin/env bash
# Runs every test: the native build with its unit and Java tests, the
# sanitizer and fuzz runs, and the Windows cross-build with its checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh

jobs=$(nproc)
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

for stage in scripts/stages/*.sh; do
  [[ -e "$stage" ]] || continue
  echo "== $stage"
  bash "$stage"
done
echo "All tests passed."
