#!/usr/bin/env bash
# Runs the JUnit tests in a JVM with -Xcheck:jni and fails when the tests
# fail or when the JVM printed any JNI warning.
# Usage: run_junit.sh JAVA JUNIT_JAR CLASSPATH LIBRARY MODEL_KEY FAULT_LIBRARY [NATIVES_JAR MOD_CLASSPATH
#        [SELECTION...]]
# FAULT_LIBRARY is the test-only copy of the library whose allocations can
# be made to fail. NATIVES_JAR and MOD_CLASSPATH (the stand-ins and test
# classes, without the extractor) are for the tests that load the library
# from the natives jar. TARNWICK_TEST_JAVA, when set, names another java to
# run the tests (and their child JVMs) under. SELECTION (JUnit launcher
# options such as --select-method) replaces the scan of the whole class path;
# so does TARNWICK_TEST_SELECT, a space-separated list of test classes and
# class#method names, for running one test through ctest:
#   TARNWICK_TEST_SELECT=tarnwick.test.RemoteMeshTest ctest --test-dir build -R '^java_tests$' -V
# TARNWICK_TEST_JVM_OPTIONS adds options to the JVM; TARNWICK_TEST_NATIVES_JAR
# replaces NATIVES_JAR (the release stage runs the jar tests on the release
# jar). TARNWICK_TIME_SCALE (1 or more, for a JVM under emulation) stretches
# JUnit's default time limit here and the tests' own limits
# (tarnwick.test.Timeouts).
set -uo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
java=${TARNWICK_TEST_JAVA:-$1} junit=$2 classpath=$3 library=$4 key=$5 fault_library=$6
natives_jar=${TARNWICK_TEST_NATIVES_JAR:-${7:-}} mod_classpath=${8:-}
selection=("${@:9}")
for name in ${TARNWICK_TEST_SELECT:-}; do
  if [[ $name == *#* ]]; then selection+=(--select-method "$name"); else selection+=(--select-class "$name"); fi
done
(( ${#selection[@]} )) || selection=(--scan-class-path "$classpath")
read -r -a jvm_options <<<"${TARNWICK_TEST_JVM_OPTIONS:-}"
# A UTF-8 locale whatever the caller's, so that the JVM can name non-ASCII
# paths (some tests use them, as players' game directories do).
export LC_ALL=C.UTF-8
scale=${TARNWICK_TIME_SCALE:-1}
default_timeout=$(awk -v s="$scale" 'BEGIN { if (s + 0 < 1) exit 1; t = 60 * s; print (t == int(t) ? t : int(t) + 1) }') ||
  { echo "run_junit.sh: TARNWICK_TIME_SCALE must be 1 or more, not '$scale'" >&2; exit 2; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$java" -Xcheck:jni \
  -Dtarnwick.library="$library" -Dtarnwick.modelKey="$key" -Dtarnwick.java="$java" \
  -Dtarnwick.classpath="$classpath" -Dtarnwick.faultLibrary="$fault_library" \
  -Dtarnwick.nativesJar="$natives_jar" -Dtarnwick.modClasspath="$mod_classpath" \
  -Djunit.jupiter.execution.timeout.default="${default_timeout}s" "${jvm_options[@]}" \
  -jar "$junit" --class-path "$classpath" "${selection[@]}" \
  --disable-banner --details=tree --fail-if-no-tests 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

check_jni_warnings "$log"
exit $status
