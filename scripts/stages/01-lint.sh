#!/usr/bin/env bash
# Checks of the sources themselves, each reported by name: every shell script
# is clean of shellcheck's errors and warnings, CMakeLists.txt asks for the
# CMake version that CMakePresets.json requires, and the stages' own check
# helper (scripts/lib.sh) reports every check and hides none of the caller's
# variables. Needs no build.
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

# The stages' check and checks_done, on a stage of three checks: the first
# fails in its middle command, and the two after it must still run and
# report; the commands run under set -e and see the caller's variables, even
# ones named as check's own would be; checks_done names the failed check and
# fails.
lib_checks_report_each() {
  local out status=0
  out=$(bash -c '
    set -euo pipefail
    . scripts/lib.sh
    name=outer status=7
    fails_midway() { false; echo "ran past a failed command"; }
    callers_variables() { echo "sees name=$name status=$status"; }
    check "first" fails_midway
    check "second" callers_variables
    check "third" true
    checks_done "the example"
    echo "went on after checks_done"' 2>&1) || status=$?
  printf '%s\n' "$out" | sed 's/^/  | /'
  (( status != 0 )) || fail "a stage with a failed check exited 0"
  [[ $out == *"not ok - first (exit 1)"* ]] || fail "no \"not ok - first (exit 1)\""
  [[ $out != *"ran past a failed command"* ]] || fail "a checked command went on after a command failed"
  [[ $out == *"sees name=outer status=7"$'\n'"ok - second"* ]] ||
    fail "the second check did not run, or did not see the caller's name and status"
  [[ $out == *"ok - third"* ]] || fail "the third check did not run"
  [[ $out == *"failed: first"$'\n'"FAIL: the example: 1 check(s) failed"* ]] ||
    fail "checks_done did not name the failed check"
  [[ $out != *"failed: second"* && $out != *"failed: third"* ]] || fail "checks_done named a check that passed"
  [[ $out != *"went on after checks_done"* ]] || fail "checks_done did not end the stage"
}

check "shellcheck" shellcheck_clean
check "CMake versions agree" cmake_versions_agree
check "lib.sh's check runs every check, reports each by name, hides nothing of the caller's" \
  lib_checks_report_each
checks_done "lint"
