#!/usr/bin/env bash
# The whole library under AddressSanitizer and UndefinedBehaviorSanitizer,
# inside a real JVM: builds it with GCC and TARNWICK_JVM_SANITIZE into
# build-jvm-sanitize/, then runs the Java tests with the compiler's libasan
# preloaded into every JVM they start. Any sanitizer report fails the stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

. scripts/lib.sh

build="build-jvm-sanitize"
cmake --preset jvm-sanitize >/dev/null
cmake --build --preset jvm-sanitize -j 2

libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
for lib in "$libasan" "$libstdcxx"; do
  [[ -e "$lib" ]] || fail "g++ names no such library: $lib"
done
java=$(readlink -f "$(cmake_cache "$build" Java_JAVA_EXECUTABLE)")

# Every JVM the tests start, child JVMs included, runs through this wrapper.
# The JVM handles SIGSEGV itself and frees little at exit: ASan must leave
# the signal to it and not look for leaks. libstdc++ is preloaded too: the
# java launcher is not a C++ program, and ASan can only intercept C++ throws
# if libstdc++ is there when it starts. The suppressions name faults of the
# JVM's own code, never the library's.
wrapper=$root/$build/java-with-sanitizers
cat >"$wrapper" <<WRAPPER
#!/bin/sh
export LD_PRELOAD="$libasan $libstdcxx"
export ASAN_OPTIONS=handle_segv=0:detect_leaks=0:allow_user_segv_handler=1:abort_on_error=1:suppressions=$root/tests/java/jvm-asan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$java" "\$@"
WRAPPER
chmod +x "$wrapper"

# One run of the suite; two checks read its log, so that a run with both a
# sanitizer report and failed tests shows both.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$(date +%s)
suite_status=0
TARNWICK_TEST_JAVA=$wrapper ctest --test-dir "$build" -R '^java_tests$' -V >"$log" 2>&1 || suite_status=$?
elapsed=$(( $(date +%s) - start ))

no_sanitizer_report() {
  if grep -qE "ERROR: AddressSanitizer|runtime error:|UndefinedBehaviorSanitizer|LeakSanitizer" "$log"; then
    grep -E -A30 "ERROR: AddressSanitizer|runtime error:|UndefinedBehaviorSanitizer|LeakSanitizer" "$log" >&2
    fail "a sanitizer reported a fault"
  fi
  echo "no sanitizer report in ${elapsed} s"
}
java_tests_pass() {
  if (( suite_status != 0 )); then
    tail -n 150 "$log" >&2
    fail "the Java tests failed under the sanitizers (ctest exited $suite_status)"
  fi
  echo "Java tests under ASan and UBSan in the JVM: $(grep -oE '[0-9]+ tests successful' "$log" | head -n 1)"
}
check "no sanitizer report from the Java tests" no_sanitizer_report
check "the Java tests pass under ASan and UBSan" java_tests_pass
checks_done "the JVM under sanitizers"
