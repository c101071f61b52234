#!/usr/bin/env bash
# Runs the demo in a JVM with -Xcheck:jni. Fails when the demo reports a call
# that ended other than expected, or when the JVM printed a JNI warning.
# Usage: run_demo.sh JAVA CLASSES LIBRARY SEALED_MODELS MODEL_SOURCES
set -uo pipefail
java=$1 classes=$2 library=$3 sealed=$4 sources=$5
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$java" -Xcheck:jni -Dtarnwick.library="$library" -cp "$classes" \
  tarnwick.demo.Demo "$sealed" "$sources" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

. "$(dirname "$0")/../scripts/lib.sh"
check_jni_warnings "$log" "the demo's JVM"
exit "$status"
