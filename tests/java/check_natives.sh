#!/usr/bin/env bash
# The native methods that each compiled copy of the helper class declares (the
# shipped example's, the tests' stand-in) must be the rows of the entry point
# table: the same names with the same descriptors, none more, none fewer. So
# must the native methods that ContractCheck (in NATIVES_CLASS_DIR) checks a
# mod's class for.
# Usage: check_natives.sh JAVAP JAVA NATIVES_CLASS_DIR CLASS_DIR...
set -euo pipefail
javap=$1 java=$2 natives_classes=$3
shift 3
. "$(dirname "$0")/../../scripts/lib.sh"
class=$(entry_points class)
expected=$(entry_points descriptor | sort)
status=0
# same WHO NAMES: NAMES ("name descriptor" lines) must be the table's rows.
same() {
  if [[ "$2" == "$expected" ]]; then
    echo "$1: the $(wc -l <<<"$expected") entry points of the table"
  else
    echo "$1: native methods differ from the entry point table (< table, > $1):"
    diff <(echo "$expected") <(echo "$2") || true
    status=1
  fi
}
for dir in "$@"; do
  same "$class in $dir" "$("$javap" -s -p -cp "$dir" "$class" | awk '
    / native / {name = $0; sub(/\(.*/, "", name); sub(/.* /, "", name); getline
                sub(/^ *descriptor: /, ""); print name, $0}' | sort)"
done
same "what ContractCheck checks a mod's class for" \
  "$("$java" -cp "$natives_classes" tarnwick.natives.ContractCheck --list |
    awk -v class="$class" '$0 ~ /^static native method / {
      entry = $NF; sub(class ".", "", entry); sub(/\(/, " (", entry); print entry}' | sort)"
exit "$status"
