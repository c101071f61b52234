#!/usr/bin/env bash
# Runs the demo and checks that it went through every entry point of
# jni/entry_points.h, that the stand-in service answered each, and that it
# showed what it is meant to show.
# Usage: check_demo.sh RUN_DEMO_SCRIPT
set -uo pipefail
output=$(bash "$1" 2>&1)
status=$?
echo "$output"
. "$(dirname "$0")/../scripts/lib.sh"
# After lib.sh, whose fail would end the script at the first failure: this
# one counts them, so one run names every one.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

((status == 0)) || fail "the demo exited with $status"
# Every entry point of the table is called, and the service got a request on
# its template's path (each "{}" any text).
while read -r entry; do
  grep -qE "^\[[0-9]+\] $entry\(" <<<"$output" || fail "no call of $entry"
done < <(entry_points)
declare -A requests
while read -r entry request; do requests[$entry]=$request; done < <(entry_points request)
while read -r entry path; do
  method=${requests[$entry]%% *}
  pattern=${path%%\?*}
  pattern=${pattern//./\\.}
  pattern=${pattern//\{\}/[^ ?]*}
  grep -qE "service got $method $pattern([? ]|$)" <<<"$output" ||
    fail "the service got no $method ${path%%\?*} for $entry"
done < <(entry_points template)
grep -qF "no such endpoint" <<<"$output" && fail "the stand-in service has no route for a request"
expect() {
  grep -qF -- "$1" <<<"$output" || fail "the output lacks: $1"
}
expect "service got GET /auto_login?mc_uuid="
expect "service got POST /member/update_cosmetic"
expect "Content-Type: application/json"
expect "service got GET /models/cosmetics/wings.enc"
expect "threw       IllegalStateException: 404 no model named crown"
expect "Padding error: 0x80 not found."
expect "completion  Mesh(0 bytes)"
expect "All calls ended as expected."
lines=$(wc -l <<<"$output")
((lines <= 60)) || fail "the output has $lines lines; it should stay short"

if ((failures > 0)); then
  exit 1
fi
echo "demo output checked"
