#!/usr/bin/env bash
# Checks of the sources themselves, each reported by name: every shell script
# is clean of shellcheck's errors and warnings, and CMakeLists.txt asks for
# the CMake version that CMakePresets.json requires. Needs no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

shell_scripts() {
  git ls-files -- '*.sh' .ci/run 2>/dev/null ||
    find . -name '*.sh' -not -path './build*' -not -path './dist*'
}

shellcheck_clean() {
  local scripts
  mapfile -t scripts < <(shell_scripts)
  (( ${#scripts[@]} > 0 )) || fail "no shell scripts found"
  shellcheck --severity=warning "${scripts[@]}"
  echo "${#scripts[@]} scripts: no shellcheck errors or warnings"
}

cmake_versions_agree() {
  local lists presets
  lists=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9.]*\)).*/\1/p' CMakeLists.txt)
  presets=$(tr -d ' \n' <CMakePresets.json |
    sed -n 's/.*"cmakeMinimumRequired":{"major":\([0-9]*\),"minor":\([0-9]*\),"patch":\([0-9]*\)}.*/\1.\2.\3/p')
  [[ -n "$lists" && -n "$presets" ]] || fail "no CMake version in CMakeLists.txt ($lists) or CMakePresets.json ($presets)"
  [[ "$lists" == "$presets" || "$lists.0" == "$presets" ]] ||
    fail "CMakeLists.txt asks for CMake $lists, CMakePresets.json for $presets"
  echo "CMakeLists.txt and CMakePresets.json both ask for CMake $presets"
}

check "shellcheck" shellcheck_clean
check "CMake versions agree" cmake_versions_agree
checks_done "lint"
