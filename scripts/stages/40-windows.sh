#!/usr/bin/env bash
# The Windows DLL as the release ships it (dist/'s zip, from the release
# stage, whose dist check has already read its export and import tables,
# hardening, version resource and debug file), under wine:
#   - loaded with tests/windows/load_dll.cpp: LoadLibrary, the names of
#     jni/entry_points.h, no JNI_OnLoad, entry-point calls through a stand-in JNIEnv on the main
#     thread and on threads started after the load, DllMain's
#     DisableThreadLibraryCalls answer, the version resource;
#   - the Java suite and the demo on OpenJDK 17 under -Xcheck:jni, through
#     the test bridge (tests/windows/bridge_*), with a fault-injection DLL
#     from the windows-tests preset; only the tests named below are left out;
#     the demo's models are sealed by the zip's own tarnwick-model.jar;
#   - the crypto unit tests of the windows-tests preset.
# The checkers and the bridge are also shown deliberately wrong DLLs. Needs
# build/ (the main run's test classes and demo) and dist/; the rest goes into
# build-windows-tests/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

# Tests that cannot apply to the DLL: class#method, then why.
skipped=(
  "tarnwick.test.NativesJarTest#twoInstancesExtractOnceAndLaterStartsReuseTheCopy|extracts and loads the natives jar's linux-x86_64 entry, the Linux library"
  "tarnwick.test.NativesJarTest#aDamagedCopyIsReplacedAndAnUnusableGameDirFallsBackToTmp|extracts and loads the natives jar's linux-x86_64 entry, the Linux library"
  "tarnwick.test.NativesJarTest#errorsNameWhatIsMissingOrWhyLoadingFailed|checks the Linux extractor's messages about the linux-x86_64 entry"
  "tarnwick.test.NativesJarTest#copiesAndDirectoriesOthersOwnOrCanWriteAreNeverUsed|checks POSIX owners and modes of the extracted linux-x86_64 library, then loads it"
  "tarnwick.test.NativesJarTest#everyClassLoaderGetsAVerifiedCopyOfItsOwn|loads the natives jar's linux-x86_64 entry, the Linux library, in three class loaders"
)

build_dir=$root/build-windows-tests
stage_dir=$build_dir/stage
java=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
junit=/usr/share/java/junit-platform-console-standalone.jar
classes=$root/build/java
[[ -x "$java" ]] || fail "OpenJDK 17 is missing ($java)"
[[ -d $classes/tests ]] || fail "no build/java/tests: run scripts/test.sh"
zip=$(ls dist/tarnwick-*-windows-x86_64.zip 2>/dev/null || true)
[[ -f "$zip" ]] || fail "no dist/tarnwick-*-windows-x86_64.zip: the release stage runs first"

echo "-- the DLL the release ships, the fault-injection DLL, the bridge and the test programs"
rm -rf "$stage_dir"
mkdir -p "$stage_dir"
unzip -q -j "$zip" '*/tarnwick.dll' '*/tarnwick.dll.debug' -d "$stage_dir"
dll=$stage_dir/tarnwick.dll
version=$(basename "$zip" | sed 's/^tarnwick-\(.*\)-windows-x86_64\.zip$/\1/')
mkdir -p "$build_dir"
cmake --preset windows-tests >"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log" >&2; exit 1; }
cmake --build --preset windows-tests -j 2
check_format_flags "$build_dir/compile_commands.json"
# The test programs of the windows-tests preset, and the bridge's JVM half
# from the main run's build, beside each other (the JVM half starts
# bridge_host.exe from its own directory).
cp "$build_dir"/tests/windows/{load_dll.exe,bridge_host.exe,wrong_exports_dynamic.dll,wrong_exports_static.dll} \
  build/tests/windows/bridge_jvm.so "$stage_dir/"
# A second copy of the bridge hosts the fault-injection DLL: the file beside
# the copy names its DLL.
cp "$stage_dir/bridge_jvm.so" "$stage_dir/bridge_jvm_fault.so"
echo "$build_dir/jni/tarnwick_fault_injection.dll" >"$stage_dir/bridge_jvm_fault.so.target"


missing_mesh=Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh
EXPECT="missing export: $missing_mesh
unexpected export: JNI_OnLoad
unexpected export: tarnwick_debug_length
imports a DLL that Windows does not ship: libstdc++-6.dll
not stripped
DisableThreadLibraryCalls is not imported
no DYNAMIC_BASE
no HIGH_ENTROPY_VA
no NX_COMPAT
the version resource is missing
has a link time stamp
no .gnu_debuglink section
no debug file" check "check_dll.sh refuses a wrong DLL" expect_failure "check_dll.sh on a wrong DLL" \
  bash tests/windows/check_dll.sh "$stage_dir/wrong_exports_dynamic.dll"

echo "-- starting wine"
# A fresh prefix, and a wine server that outlives each program. Wine's own
# output goes to files: its background services inherit standard output and
# error, and would keep the test run's pipe open.
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
timeout 300 wineboot -i >"$stage_dir/wineboot.log" 2>&1 ||
  { cat "$stage_dir/wineboot.log" >&2; fail "wineboot could not set up $WINEPREFIX"; }

# The Windows form of an absolute path: wine maps drive Z: to /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

echo "-- loading tarnwick.dll under wine"
check "load_dll.exe: tarnwick.dll loads and behaves" \
  timeout 120 wine "$stage_dir/load_dll.exe" "$(windows_path "$dll")" "$version"
EXPECT="no version resource
entry point not found: $missing_mesh
must not be exported: JNI_OnLoad
called JNI function table slot 4
expected one java/lang/NullPointerException(\"completion is null\"), got 0 throw(s)" \
  check "load_dll.exe refuses a wrong DLL" expect_failure "load_dll.exe on a wrong DLL" \
  timeout 120 wine "$stage_dir/load_dll.exe" "$(windows_path "$stage_dir/wrong_exports_static.dll")" "$version"

echo "-- the crypto unit tests under wine"
check "the crypto tests under wine" ctest --preset windows-tests -j 2

echo "-- the Java suite through tarnwick.dll"
# Every test method of the suite, but the skipped ones.
mapfile -t all_tests < <(
  for source in java/tests/tarnwick/test/*Test.java; do
    awk -v class="tarnwick.test.$(basename "$source" .java)" '
      /@Test/ { pending = 1 }
      pending && match($0, /void [A-Za-z0-9_]+\(/) {
        print class "#" substr($0, RSTART + 5, RLENGTH - 6); pending = 0 }' "$source"
  done)
annotated=$(cat java/tests/tarnwick/test/*Test.java | grep -c '@Test')
(( annotated == ${#all_tests[@]} )) ||
  fail "$annotated @Test annotations but ${#all_tests[@]} test methods found"
declare -A known=() skip_reason=()
for test in "${all_tests[@]}"; do known[$test]=1; done
echo "Skipped through the DLL:"
for entry in "${skipped[@]}"; do
  test=${entry%%|*}
  [[ -n "${known[$test]:-}" ]] || fail "the skip list names no test $test"
  skip_reason[$test]=${entry#*|}
  echo "  $test: ${entry#*|}"
done
selection=()
for test in "${all_tests[@]}"; do
  [[ -n "${skip_reason[$test]:-}" ]] || selection+=(--select-method "$test")
done
echo "${#all_tests[@]} tests, $(( ${#selection[@]} / 2 )) of them through tarnwick.dll"
# dist/ is a --dev-key release: the development key seals the test models.
key=$(cmake -P cmake/ModelKey.cmake)
run_classes=$classes/natives:$classes/standins:$classes/testsupport:$classes/tests
check "the Java suite through tarnwick.dll" env TARNWICK_BRIDGE_DLL="$dll" TARNWICK_TEST_JAVA="$java" \
  TARNWICK_TEST_JVM_OPTIONS=-Dtarnwick.windowsDll=true \
  bash java/run_junit.sh "$java" "$junit" "$run_classes" \
  "$stage_dir/bridge_jvm.so" "$key" "$stage_dir/bridge_jvm_fault.so" \
  "$root/build/tests/java/tarnwick-natives-dev.jar" "$classes/example:$classes/standins:$classes/testsupport:$classes/tests" \
  "${selection[@]}"

echo "-- the demo through tarnwick.dll, with models sealed by the zip's tarnwick-model.jar"
[[ -f build/demo/run-demo.sh ]] || fail "no build/demo/run-demo.sh: run scripts/test.sh"
unzip -q -j "$zip" '*/tarnwick-model.jar' -d "$stage_dir"
bash demo/seal_models.sh "$java" "$stage_dir/tarnwick-model.jar" demo/models "$stage_dir/models"
sed -e "s|'[^']*/libtarnwick.so'|'$stage_dir/bridge_jvm.so'|" \
  -e "s|'$root/build/demo/models'|'$stage_dir/models'|" build/demo/run-demo.sh >"$stage_dir/run-demo.sh"
grep -qF "'$stage_dir/models'" "$stage_dir/run-demo.sh" || fail "run-demo.sh names no sealed models to replace"
check "the demo through tarnwick.dll" env TARNWICK_BRIDGE_DLL="$dll" bash demo/check_demo.sh "$stage_dir/run-demo.sh"

# The bridge itself: a DLL that lacks an entry point fails that call as the
# JVM would, and one that calls a JNI function the bridge does not forward
# fails the call with an Error naming it, and so does one that calls a method
# with a call form its return type does not allow (tests/windows/wrong_exports.cpp:
# its signIn calls GetVersion, its saveConfiguration calls accept with
# CallObjectMethod).
echo "-- the bridge with a DLL that lacks an entry point, calls GetVersion and uses a wrong call form"
wrong_calls=$(TARNWICK_BRIDGE_DLL=$stage_dir/wrong_exports_static.dll "$java" -Xcheck:jni \
  -Dtarnwick.library="$stage_dir/bridge_jvm.so" -cp "$run_classes" \
  tarnwick.test.ChildJvm calls http://127.0.0.1:9 2>/dev/null || true)
expected_calls="threw java.lang.Error: tarnwick bridge: the DLL called JNI function GetVersion, which the bridge does not forward, completions 0
threw java.lang.Error: tarnwick bridge: the DLL called accept(Ljava/lang/Object;Ljava/lang/Object;)V with CallObjectMethod, which does not match its return type, completions 0
threw java.lang.UnsatisfiedLinkError: the DLL does not export $missing_mesh, completions 0"
echo "$wrong_calls"
wrong_calls_failed() {
  [[ "$wrong_calls" == "$expected_calls" ]] || fail "the calls through the wrong DLL should give:"$'\n'"$expected_calls"
}
check "the bridge fails the calls a wrong DLL cannot serve" wrong_calls_failed
checks_done "the Windows DLL"
