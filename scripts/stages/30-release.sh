#!/usr/bin/env bash
# The release, built once and checked once, as a player or mod developer
# receives it. scripts/release.sh must refuse the development key unless
# told, a working tree with changes, and an output directory it did not
# write; it checks its own output (tests/release/check_dist.sh: layout,
# checksums, entry modes, -devkey names, portable and hardened libraries, the
# DLL's tables, cmake --install's tree) and writes no dist/ when a check
# fails. A second build in other directories, with compiler flags in the
# environment, in another time zone and locale, and over an earlier release,
# must give the same bytes and
# replace that release and nothing else; one refused for a file of the
# user's in the way must leave that release as it was. Then, on dist/'s own
# files: a crash frame resolved in each x86-64 library, models sealed by the
# shipped tarnwick-model.jar opened by the shipped library (the demo), and the
# natives jar loaded as a mod loads it (NativesJarTest on the release jar).
# The checkers are also shown inputs they must reject, among them the library
# the options-plain preset built without hardening (stage 05) and an ARM64 PE
# header. The later stages use dist/ (its Maven repository, dist/maven:
# 35-maven-consumer.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

rm -rf dist dist-again dist-refused dist-unhardened build-dist build-dist-again
echo "-- what release.sh refuses, before it builds anything"
EXPECT="refusing to build a release with the development model key" \
  check "release.sh refuses to build without a key" expect_failure "release.sh without a key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh
EXPECT="refusing" check "release.sh refuses the development key unless told" \
  expect_failure "release.sh with the development key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" \
  bash scripts/release.sh -DTARNWICK_MODEL_KEY=7461726E7769636B2D6465762D6B6579
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  probe=$root/release-untracked-probe
  touch "$probe"
  EXPECT="uncommitted changes" check "release.sh refuses a working tree with changes" \
    expect_failure "release.sh from a working tree with changes" \
    env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh --dev-key
  rm -f "$probe"
fi
refuses_a_directory_of_the_users() {
  rm -rf dist-refused
  mkdir dist-refused && printf 'mine\n' >dist-refused/keep
  EXPECT="is not empty and holds no earlier release" expect_failure "release.sh into a directory it did not write" \
    env TARNWICK_DIST_DIR="$root/dist-refused/" bash scripts/release.sh --dev-key --allow-dirty
  [[ $(ls -A dist-refused) == keep ]] || fail "a refused release changed dist-refused/"
}
check "release.sh refuses a directory it did not write, and leaves it as it was" \
  refuses_a_directory_of_the_users

echo "-- release build (release.sh checks its own output), in UTC and the C locale"
TZ=UTC LC_ALL=C bash scripts/release.sh --dev-key --allow-dirty
devkey_names() {
  [[ $(ls dist/*-devkey*.tar.gz dist/*-devkey*.zip dist/*-devkey*.jar | wc -l) == 4 ]] ||
    fail "a --dev-key release without -devkey in its names: $(ls dist)"
}
check "a --dev-key release has -devkey in its names" devkey_names

echo "-- a failed check leaves no dist/"
EXPECT="no BIND_NOW" check "release.sh refuses a library without hardening" \
  expect_failure "release.sh without hardening" env TARNWICK_DIST_DIR="$root/dist-unhardened" \
  bash scripts/release.sh --dev-key --allow-dirty -DTARNWICK_HARDEN=OFF
no_dist_from_a_failed_release() {
  [[ ! -e dist-unhardened ]] || fail "a release that failed its checks wrote dist-unhardened/"
}
check "a release that failed its checks writes no dist-unhardened/" no_dist_from_a_failed_release
failed_release_kept_its_build() {
  compgen -G "build-dist/release.*/release-configure.log" >/dev/null ||
    fail "the failed release left no build and logs in build-dist/"
}
check "a failed release leaves its build and logs in build-dist/" failed_release_kept_its_build

echo "-- a second release build: other directories, flags in the environment, over an earlier release"
# An earlier release (its list names one file) and a file of the user's.
mkdir dist-again
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
printf 'mine\n' >dist-again/notes.txt
{ head -n 1 dist/.tarnwick-release; (cd dist-again && sha256sum tarnwick-0.0.9-old.zip); } \
  >dist-again/.tarnwick-release
printf 'edited\n' >dist-again/tarnwick-0.0.9-old.zip
EXPECT="changed since release.sh wrote them" check "release.sh refuses to replace a changed earlier release" \
  expect_failure "release.sh over a changed earlier release" \
  env TARNWICK_DIST_DIR="$root/dist-again" bash scripts/release.sh --dev-key --allow-dirty
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
# A file of the user's under a name the release writes, or where it needs a
# folder, is refused, after the build; the earlier release must still be all
# there.
printf 'mine\n' >dist-again/SHA256SUMS
printf 'mine\n' >dist-again/maven
EXPECT="dist-again/SHA256SUMS is in the way and not from an earlier release
dist-again/maven is in the way and not from an earlier release" \
  check "release.sh refuses a file of the user's in the way" \
  expect_failure "release.sh over a file of the user's in the way" \
  env TARNWICK_DIST_DIR="$root/dist-again" bash scripts/release.sh --dev-key --allow-dirty
earlier_release_whole() {
  { [[ $(cat dist-again/tarnwick-0.0.9-old.zip) == old && $(cat dist-again/SHA256SUMS) == mine &&
      $(cat dist-again/maven) == mine ]] &&
    (cd dist-again && sed 1d .tarnwick-release | sha256sum --check --strict --quiet); } ||
    fail "a release refused for a file in the way changed dist-again/: $(ls -A dist-again)"
}
check "a release refused for a file in the way leaves the earlier release whole" earlier_release_whole
rm dist-again/SHA256SUMS dist-again/maven
log=$(mktemp)
# Another machine's clock and language: a time zone 13:45 ahead of UTC in
# summer and a locale that sorts and cases letters unlike C (Turkish: upper
# and lower case interleaved, a dotless i), generated here for this build.
locales=$(mktemp -d)
localedef -i tr_TR -f UTF-8 "$locales/tr_TR.UTF-8" ||
  fail "localedef could not generate tr_TR.UTF-8 (Debian package locales)"
[[ $(printf 'b\nA\na\nB\n' | LOCPATH=$locales LC_ALL=tr_TR.UTF-8 sort | tr -d '\n') == AaBb ]] ||
  fail "the generated tr_TR.UTF-8 locale does not sort unlike C"
CXXFLAGS=-march=native CFLAGS=-march=native LDFLAGS=-Wl,-z,execstack \
  TZ=Pacific/Chatham LOCPATH="$locales" LC_ALL=tr_TR.UTF-8 \
  TARNWICK_RELEASE_BUILD_DIR="$root/build-dist-again" TARNWICK_DIST_DIR="$root/dist-again/" \
  bash scripts/release.sh --dev-key --allow-dirty >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
rm -rf "$locales"
cxxflags_reported() {
  grep -F "ignoring CXXFLAGS=-march=native" "$log" || fail "CXXFLAGS not reported"
}
check "the release log reports the CXXFLAGS it ignores" cxxflags_reported
dll_debug_named() {
  grep -F "Splitting the debug information of tarnwick.dll into tarnwick.dll.debug" "$log" ||
    fail "the release log does not name the DLL whose debug information it splits"
}
check "the release log names the DLL whose debug information it splits" dll_debug_named
no_generator_expression() {
  ! grep -F '$<' "$log" || fail "the release log holds an unexpanded generator expression"
}
check "the release log holds no unexpanded generator expression" no_generator_expression
rm -f "$log"
good_release_removes_its_build() {
  [[ -z $(ls -A build-dist-again) ]] || fail "a good release left build-dist-again/release.*"
}
check "a good release leaves nothing in build-dist-again/" good_release_removes_its_build
replaced_exactly_the_earlier_release() {
  [[ ! -e dist-again/tarnwick-0.0.9-old.zip && $(cat dist-again/notes.txt) == mine ]] ||
    fail "release.sh did not replace exactly the earlier release: $(ls -A dist-again)"
}
check "release.sh replaces exactly the earlier release" replaced_exactly_the_earlier_release
reproducible() {
  if ! diff -r -x notes.txt dist dist-again >/dev/null; then
    diff -r -x notes.txt dist dist-again >&2 || true
    fail "two release builds differ"
  fi
  echo "dist/ is reproducible: both builds give"
  cat dist/SHA256SUMS
}
check "two release builds give the same bytes" reproducible

echo "-- crash frames in dist/'s libraries"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar xzf dist/tarnwick-*-linux-x86_64.tar.gz -C "$unpacked"
unzip -q dist/tarnwick-*-windows-x86_64.zip -d "$unpacked"
check "a crash frame resolved in libtarnwick.so" \
  bash tests/binaries/crash_frame.sh "$unpacked"/tarnwick-*-linux-x86_64/libtarnwick.so
check "a crash frame resolved in tarnwick.dll" \
  bash tests/binaries/crash_frame.sh "$unpacked"/tarnwick-*-windows-x86_64/tarnwick.dll

echo "-- models sealed by the shipped tarnwick-model.jar open through the shipped library"
# The demo loads them through dist/'s libtarnwick.so and compares each text
# the loader gets with its source; scarf, sealed under another key, must not
# open.
shipped=$(echo "$unpacked"/tarnwick-*-linux-x86_64)
java=$(cmake_cache build Java_JAVA_EXECUTABLE)
shipped_demo() {
  bash demo/seal_models.sh "$java" "$shipped/tarnwick-model.jar" demo/models "$unpacked/models"
  printf '#!/usr/bin/env bash\nexec bash %q %q %q %q %q %q\n' "$root/demo/run_demo.sh" "$java" \
    "$root/build/java/natives:$root/build/java/standins:$root/build/java/demo" \
    "$shipped/libtarnwick.so" "$unpacked/models" "$root/demo/models" >"$unpacked/run-demo.sh"
  bash demo/check_demo.sh "$unpacked/run-demo.sh" >"$unpacked/demo.log" 2>&1 ||
    { cat "$unpacked/demo.log" >&2; fail "the demo with models sealed by the shipped tarnwick-model.jar"; }
  grep -E '^\[[0-9]+\] loadRemoteMesh|completion  Mesh|demo output checked' "$unpacked/demo.log"
}
check "models sealed by the shipped tarnwick-model.jar open through the shipped library" shipped_demo

echo "-- the sizes docs/releasing.md gives, against dist/"
check "the sizes docs/releasing.md gives match dist/" \
  bash tests/release/check_doc_figures.sh dist docs/releasing.md

echo "-- the checkers reject what they must"
EXPECT="needs libm.so.6" check "check_portable_so.sh refuses libstdc++" \
  expect_failure "check_portable_so.sh on libstdc++" \
  bash tests/release/check_portable_so.sh --release /usr/lib/x86_64-linux-gnu/libstdc++.so.6
EXPECT="(newer than GLIBC_2.17) for: arc4random" check "check_portable_so.sh refuses libstdc++'s symbols" \
  expect_failure "check_portable_so.sh on libstdc++'s symbols" \
  bash tests/release/check_portable_so.sh /usr/lib/x86_64-linux-gnu/libstdc++.so.6
# A PE header for ARM64 (machine 0xAA64 at the offset e_lfanew names).
arm64_pe=$unpacked/arm64.dll
{ printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00PE\x00\x00\x64\xaa'; } >"$arm64_pe"
arm64_pe_named() {
  [[ $(bash scripts/library-platform.sh "$arm64_pe") == windows-aarch64 ]] ||
    fail "library-platform.sh does not read an ARM64 PE header as windows-aarch64"
}
check "library-platform.sh reads an ARM64 PE header as windows-aarch64" arm64_pe_named
EXPECT="is for windows-aarch64 (PE machine 0xAA64), not for windows-x86_64" \
  check "library-platform.sh refuses an ARM64 PE header as windows-x86_64" \
  expect_failure "library-platform.sh on an ARM64 PE header as windows-x86_64" \
  bash scripts/library-platform.sh "$arm64_pe" windows-x86_64
# Each check of check_dist.sh below changes a copy of dist/ of its own.
dist_copy() {  # DIR: a fresh copy of dist/
  rm -rf "$1"
  mkdir -p "$1"
  cp -R dist/. "$1/"
}
changed_archive() {
  local copy=$unpacked/changed-archive
  dist_copy "$copy"
  printf 'x' >>"$copy/$(cd dist && ls *.zip)"
  EXPECT="SHA256SUMS does not verify" expect_failure "check_dist.sh on a changed archive" \
    bash tests/release/check_dist.sh "$copy"
}
check "check_dist.sh refuses a changed archive" changed_archive
changed_classifier_jar() {
  local copy=$unpacked/changed-classifier classifier
  dist_copy "$copy"
  classifier=$(cd dist && find maven -name '*-natives-linux-x86_64.jar')
  printf 'x' >>"$copy/$classifier"
  EXPECT="maven/${classifier#maven/}.sha512 does not match the file" \
    expect_failure "check_dist.sh on a changed classifier jar" bash tests/release/check_dist.sh "$copy"
}
check "check_dist.sh refuses a changed classifier jar" changed_classifier_jar
# The natives' POM or metadata changed as the repository writer could get it
# wrong, its checksums rewritten to match: the description unescaped, as a
# build tool must refuse it, a dependency on another artifact, another
# version listed.
changed_maven_file() {  # WHAT FILE_UNDER_NATIVES SED_SCRIPT EXPECTED_MESSAGE
  local copy=$unpacked/changed-maven-file file sum
  dist_copy "$copy"
  file=$(cd "$copy" && find maven/vardel/tarnwick/tarnwick-natives -name "$2")
  [[ -n $file ]] || fail "no $2 in maven/"
  sed -i "$3" "$copy/$file"
  ! cmp -s "$copy/$file" "dist/$file" || fail "sed '$3' left $file as it was"
  for sum in md5 sha1 sha256 sha512; do
    "${sum}sum" "$copy/$file" | awk '{printf "%s", $1}' >"$copy/$file.$sum"
  done
  EXPECT=$4 expect_failure "check_dist.sh on $1" bash tests/release/check_dist.sh "$copy"
}
malformed_or_wrong_maven_files() {
  changed_maven_file "a POM describing natives-<platform> unescaped" 'tarnwick-natives-*.pom' \
    's/&lt;platform&gt;/<platform>/' \
    'not well-formed XML: line 11, column 95: The element type "platform" must be terminated'
  changed_maven_file "a POM with another dependency" 'tarnwick-natives-*.pom' \
    's|<artifactId>tarnwick-extractor</artifactId>|<artifactId>tarnwick-other</artifactId>|' \
    "dependencies is \"dependency:groupId=vardel.tarnwick,artifactId=tarnwick-other,"
  changed_maven_file "metadata listing another version" maven-metadata.xml \
    's|<version>\(.*\)</version>|<version>\1-other</version>|' \
    'versions is "version='
}
check "check_dist.sh refuses the natives' POM not well-formed or with another dependency, and metadata listing another version" \
  malformed_or_wrong_maven_files
# A tarnwick-model.jar whose key is not the libraries'.
model_tool_with_another_key() {
  local wrong_key=$unpacked/wrong-key
  dist_copy "$wrong_key"
  mkdir -p "$wrong_key/key/tarnwick/tools"
  (
    cd "$wrong_key"
    archive=$(ls -- *-linux-x86_64.tar.gz)
    tar xzf "$archive"
    printf '000102030405060708090a0b0c0d0e0f\n' >key/tarnwick/tools/model.key
    (cd key && zip -q "../${archive%.tar.gz}/tarnwick-model.jar" tarnwick/tools/model.key)
    tar czf "$archive" "${archive%.tar.gz}"
    rm -rf "${archive%.tar.gz}" key
    sha256sum -- *.jar *.tar.gz *.zip >SHA256SUMS
  )
  EXPECT="tarnwick-model.jar carries another key than" expect_failure "check_dist.sh on a model tool with another key" \
    bash tests/release/check_dist.sh "$wrong_key"
}
check "check_dist.sh refuses a model tool with another key" model_tool_with_another_key
unhardened_library() {
  local plain=build-options/options-plain/jni/libtarnwick.so
  [[ -f $plain ]] || fail "no $plain: stage 05-options.sh builds it"
  EXPECT="no BIND_NOW
no stack protector
no fortified libc calls
not stripped: has a .symtab
no .gnu_debuglink section
no debug file" expect_failure "check_so.sh on the library built without hardening" \
    bash tests/binaries/check_so.sh "$plain"
}
check "check_so.sh refuses the library built without hardening" unhardened_library

echo "-- every compile command of the main build has the format warnings"
check "every compile command of the main build has the format warnings" \
  check_format_flags build/compile_commands.json

echo "-- loading the release jar as a mod does"
release_jar_as_a_mod() {
  TARNWICK_TEST_SELECT=tarnwick.test.NativesJarTest TARNWICK_TEST_NATIVES_JAR="$root/$(ls dist/tarnwick-natives-*.jar)" \
    ctest --test-dir build -R '^java_tests$' --output-on-failure -V >"$unpacked/jar.log" 2>&1 ||
    { cat "$unpacked/jar.log" >&2; fail "NativesJarTest on the release jar"; }
  # shellcheck disable=SC2015 # deliberate: either grep failing fails the check
  grep -q "NativesJarTest" "$unpacked/jar.log" && ! grep -q "ServiceCallsTest" "$unpacked/jar.log" ||
    fail "TARNWICK_TEST_SELECT did not run NativesJarTest alone"
  grep -E 'tests (successful|failed)' "$unpacked/jar.log"
}
check "NativesJarTest loads the release jar as a mod does" release_jar_as_a_mod
checks_done "the release"
