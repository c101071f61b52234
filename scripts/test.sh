#!/usr/bin/env bash
# Runs every test (what CI runs): the ci preset's build in build/ with its
# ctest suite, then every stage in scripts/stages/ in order (docs/testing.md),
# each with the time it took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh

started=$(date +%s)
jobs=$(nproc)
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"
echo "== build and ctest: $(( $(date +%s) - started )) s"

for stage in scripts/stages/*.sh; do
  [[ -e "$stage" ]] || continue
  echo "== $stage"
  stage_started=$(date +%s)
  bash "$stage"
  echo "== $stage: $(( $(date +%s) - stage_started )) s"
done
echo "All tests passed in $(( $(date +%s) - started )) s."
