#!/usr/bin/env bash
# Runs the JUnit tests in a JVM with -Xcheck:jni and fails when the tests
# fail or when the JVM printed any JNI warning.
# Usage: run_junit.sh JAVA JUNIT_JAR CLASSPATH LIBRARY MODEL_KEY FAULT_LIBRARY
# FAULT_LIBRARY is the test-only copy of the library whose allocations can
# be made to fail. TARNWICK_TEST_JAVA, when set, names another java to run
# the tests (and their child JVMs) under.
set -uo pipefail
java=${TARNWICK_TEST_JAVA:-$1} junit=$2 classpath=$3 library=$4 key=$5 fault_library=$6
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$java" -Xcheck:jni \
  -Dtarnwick.library="$library" -Dtarnwick.modelKey="$key" -Dtarnwick.java="$java" \
  -Dtarnwick.classpath="$classpath" -Dtarnwick.faultLibrary="$fault_library" \
  -Djunit.jupiter.execution.timeout.default=60s \
  -jar "$junit" --class-path "$classpath" --scan-class-path "$classpath" \
  --disable-banner --details=tree --fail-if-no-tests 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

if grep -E "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)" "$log" >/dev/null; then
  echo "FAIL: the JVM reported JNI warnings under -Xcheck:jni:" >&2
  grep -E "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)" "$log" >&2
  exit 1
fi
exit $status
