#!/usr/bin/env bash
# Writes the entry point table's native methods (jni/entry_points.h), one
# "name descriptor" line each in the table's order, to OUT: the list that
# ContractCheck checks a mod's class for, tarnwick/natives/native-methods.txt
# in the extractor's jar.
# Usage: native-methods.sh OUT
set -euo pipefail
(( $# == 1 )) || { echo "usage: $0 OUT" >&2; exit 2; }
. "$(dirname "$0")/lib.sh"
rows=$(entry_points descriptor)
[[ -n "$rows" ]] || fail "the entry point table has no rows"
printf '%s\n' "$rows" >"$1"
