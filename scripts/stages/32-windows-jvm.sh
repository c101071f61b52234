#!/usr/bin/env bash
# The Java suite through the Windows DLL. Builds tarnwick.dll as the release
# ships it (scripts/build-windows.sh; stage 40 checks that the release packs
# this same file), the fault-injection copy of it, and the test bridge
# (tests/windows/bridge_*), then runs the JUnit tests on OpenJDK 17 under
# -Xcheck:jni with the library property naming the bridge: every call the
# tests make runs in the DLL under wine. Only the tests named in the list
# below are left out, each for the reason given there. Then the demo runs
# through the DLL, and the bridge is shown a DLL it must refuse. Uses the
# build/ that scripts/test.sh made for the test classes and the demo; the
# rest goes into build-win/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

# Tests that cannot apply to the DLL: class#method, then why.
skipped=(
  "tarnwick.test.NativesJarTest#twoInstancesExtractOnceAndLaterStartsReuseTheCopy|extracts and loads the natives jar's linux-x86_64 entry, the Linux library"
  "tarnwick.test.NativesJarTest#aDamagedCopyIsReplacedAndAnUnusableGameDirFallsBackToTmp|extracts and loads the natives jar's linux-x86_64 entry, the Linux library"
  "tarnwick.test.NativesJarTest#errorsNameWhatIsMissingOrWhyLoadingFailed|checks the Linux extractor's messages about the linux-x86_64 entry"
  "tarnwick.test.NativesJarTest#copiesAndDirectoriesOthersOwnOrCanWriteAreNeverUsed|checks POSIX owners and modes of the extracted linux-x86_64 library, then loads it"
)

build_dir=$root/build-win
stage_dir=$build_dir/windows-jvm
java=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
junit=/usr/share/java/junit-platform-console-standalone.jar
[[ -x "$java" ]] || { echo "FAIL: OpenJDK 17 is missing ($java)" >&2; exit 1; }
[[ -d build/java/tests ]] || { echo "FAIL: no build/java/tests: run scripts/test.sh" >&2; exit 1; }

echo "-- building tarnwick.dll and the bridge"
# With the development key, as scripts/release.sh --dev-key builds it: the
# test models are sealed with that key.
bash scripts/build-windows.sh -DTARNWICK_MODEL_KEY=
dll=$build_dir/jni/tarnwick.dll

echo "-- building the fault-injection DLL"
fault_build=$build_dir/fault-injection
cmake -S "$root" -B "$fault_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=ON >"$build_dir/fault-injection.log"
cmake --build "$fault_build" --target tarnwick_fault_injection -j "$(nproc)"
# A second copy of the bridge hosts it: the file beside the copy names its DLL.
mkdir -p "$stage_dir"
cp "$build_dir/jni/bridge_jvm.so" "$stage_dir/bridge_jvm_fault.so"
cp "$build_dir/jni/bridge_host.exe" "$stage_dir/"
echo "$fault_build/java/libtarnwick_fault_injection.dll" >"$stage_dir/bridge_jvm_fault.so.target"

key=$(sed -n 's/^set(TARNWICK_DEV_MODEL_KEY "\([0-9a-f]*\)")$/\1/p' cmake/ModelKey.cmake)

echo "-- starting wine"
# A fresh prefix, and a wine server that outlives each host process. Wine's
# own output goes to files: its background services would otherwise hold the
# test run's output pipe open.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/tarnwick-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME=${HOME:-$WINEPREFIX}
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap stop_wine EXIT
wineserver -p >"$stage_dir/wineserver.log" 2>&1
if ! timeout 300 wineboot -i >"$stage_dir/wineboot.log" 2>&1; then
  echo "FAIL: wineboot could not set up $WINEPREFIX:" >&2
  cat "$stage_dir/wineboot.log" >&2
  exit 1
fi

classes=$root/build/java

# Every test method of the suite, but the skipped ones.
mapfile -t all_tests < <(
  for source in java/tests/tarnwick/test/*Test.java; do
    awk -v class="tarnwick.test.$(basename "$source" .java)" '
      /@Test/ { pending = 1 }
      pending && match($0, /void [A-Za-z0-9_]+\(/) {
        print class "#" substr($0, RSTART + 5, RLENGTH - 6); pending = 0 }' "$source"
  done)
annotated=$(cat java/tests/tarnwick/test/*Test.java | grep -c '@Test')
if (( annotated != ${#all_tests[@]} )); then
  echo "FAIL: $annotated @Test annotations but ${#all_tests[@]} test methods found" >&2
  exit 1
fi
declare -A known=() skip_reason=()
for test in "${all_tests[@]}"; do known[$test]=1; done
echo "Skipped through the DLL:"
for entry in "${skipped[@]}"; do
  test=${entry%%|*}
  [[ -n "${known[$test]:-}" ]] || { echo "FAIL: the skip list names no test $test" >&2; exit 1; }
  skip_reason[$test]=${entry#*|}
  echo "  $test: ${entry#*|}"
done
selection=()
for test in "${all_tests[@]}"; do
  [[ -n "${skip_reason[$test]:-}" ]] || selection+=(--select-method "$test")
done
echo "-- ${#all_tests[@]} tests, $(( ${#selection[@]} / 2 )) of them through tarnwick.dll"

TARNWICK_BRIDGE_DLL=$dll TARNWICK_TEST_JAVA=$java TARNWICK_TEST_JVM_OPTIONS=-Dtarnwick.windowsDll=true \
  bash java/run_junit.sh "$java" "$junit" "$classes/natives:$classes/standins:$classes/tests" \
  "$build_dir/jni/bridge_jvm.so" "$key" "$stage_dir/bridge_jvm_fault.so" \
  "$classes/tarnwick-natives-dev.jar" "$classes/standins:$classes/tests" "${selection[@]}"

echo "-- the demo through tarnwick.dll"
[[ -f build/demo/run-demo.sh ]] || { echo "FAIL: no build/demo/run-demo.sh: run scripts/test.sh" >&2; exit 1; }
sed "s|'[^']*/libtarnwick.so'|'$build_dir/jni/bridge_jvm.so'|" build/demo/run-demo.sh >"$stage_dir/run-demo.sh"
TARNWICK_BRIDGE_DLL=$dll bash demo/check_demo.sh "$stage_dir/run-demo.sh"

# The bridge itself: a DLL that lacks an entry point fails that call as the
# JVM would, and one that calls a JNI function the bridge does not forward
# fails the call with an Error naming it (tests/windows/wrong_exports.cpp:
# its signIn calls GetVersion, its saveConfiguration does nothing).
echo "-- the bridge with a DLL that lacks an entry point and calls GetVersion"
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -shared -static -s \
  -o "$stage_dir/wrong_exports.dll" tests/windows/wrong_exports.cpp
wrong_calls=$(TARNWICK_BRIDGE_DLL=$stage_dir/wrong_exports.dll "$java" -Xcheck:jni \
  -Dtarnwick.library="$build_dir/jni/bridge_jvm.so" -cp "$classes/natives:$classes/standins:$classes/tests" \
  tarnwick.test.ChildJvm calls http://127.0.0.1:9 2>/dev/null || true)
expected_calls="threw java.lang.Error: tarnwick bridge: the DLL called JNI function GetVersion, which the bridge does not forward, completions 0
threw nothing, completions 0
threw java.lang.UnsatisfiedLinkError: the DLL does not export Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh, completions 0"
if [[ "$wrong_calls" != "$expected_calls" ]]; then
  printf 'FAIL: the bridge gave, for the wrong DLL:\n%s\nexpected:\n%s\n' "$wrong_calls" "$expected_calls" >&2
  exit 1
fi
echo "$wrong_calls"
echo "Java tests and the demo through tarnwick.dll passed."
