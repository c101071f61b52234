#!/usr/bin/env bash
# The shared library must export the entry points of jni/entry_points.h and
# nothing else.
set -euo pipefail
nm=$1 library=$2
. "$(dirname "$0")/../../scripts/lib.sh"
expected=$(entry_points export | sort)
actual=$("$nm" -D --defined-only "$library" | awk '{print $NF}' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exported symbols differ from the entry point table:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: the $(wc -l <<<"$expected") entry points of the table, nothing else"
