#!/usr/bin/env bash
# The release, built once and checked once, as a player or mod developer
# receives it. scripts/release.sh must refuse the development key unless
# told, a working tree with changes, and an output directory it did not
# write; it checks its own output (tests/release/check_dist.sh: layout,
# checksums, entry modes, -devkey names, portable and hardened libraries, the
# DLL's tables, cmake --install's tree) and writes no dist/ when a check
# fails. A second build in other directories, with compiler flags in the
# environment and over an earlier release, must give the same bytes and
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
EXPECT="refusing to build a release with the development model key" expect_failure "release.sh without a key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh
EXPECT="refusing" expect_failure "release.sh with the development key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" \
  bash scripts/release.sh -DTARNWICK_MODEL_KEY=7461726E7769636B2D6465762D6B6579
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  probe=$root/release-untracked-probe
  touch "$probe"
  EXPECT="uncommitted changes" expect_failure "release.sh from a working tree with changes" \
    env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh --dev-key
  rm -f "$probe"
fi
mkdir dist-refused && printf 'mine\n' >dist-refused/keep
EXPECT="is not empty and holds no earlier release" expect_failure "release.sh into a directory it did not write" \
  env TARNWICK_DIST_DIR="$root/dist-refused/" bash scripts/release.sh --dev-key --allow-dirty
[[ $(ls -A dist-refused) == keep ]] || fail "a refused release changed dist-refused/"

echo "-- release build (release.sh checks its own output)"
bash scripts/release.sh --dev-key --allow-dirty
[[ $(ls dist/*-devkey*.tar.gz dist/*-devkey*.zip dist/*-devkey*.jar | wc -l) == 4 ]] ||
  fail "a --dev-key release without -devkey in its names: $(ls dist)"

echo "-- a failed check leaves no dist/"
EXPECT="no BIND_NOW" expect_failure "release.sh without hardening" env TARNWICK_DIST_DIR="$root/dist-unhardened" \
  bash scripts/release.sh --dev-key --allow-dirty -DTARNWICK_HARDEN=OFF
[[ ! -e dist-unhardened ]] || fail "a release that failed its checks wrote dist-unhardened/"
compgen -G "build-dist/release.*/release-configure.log" >/dev/null ||
  fail "the failed release left no build and logs in build-dist/"

echo "-- a second release build: other directories, flags in the environment, over an earlier release"
# An earlier release (its list names one file) and a file of the user's.
mkdir dist-again
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
printf 'mine\n' >dist-again/notes.txt
{ head -n 1 dist/.tarnwick-release; (cd dist-again && sha256sum tarnwick-0.0.9-old.zip); } \
  >dist-again/.tarnwick-release
printf 'edited\n' >dist-again/tarnwick-0.0.9-old.zip
EXPECT="changed since release.sh wrote them" expect_failure "release.sh over a changed earlier release" \
  env TARNWICK_DIST_DIR="$root/dist-again" bash scripts/release.sh --dev-key --allow-dirty
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
# A file of the user's under a name the release writes is refused, after the
# build; the earlier release must still be all there.
printf 'mine\n' >dist-again/SHA256SUMS
EXPECT="dist-again/SHA256SUMS is in the way and not from an earlier release" \
  expect_failure "release.sh over a file of the user's in the way" \
  env TARNWICK_DIST_DIR="$root/dist-again" bash scripts/release.sh --dev-key --allow-dirty
{ [[ $(cat dist-again/tarnwick-0.0.9-old.zip) == old && $(cat dist-again/SHA256SUMS) == mine ]] &&
  (cd dist-again && sed 1d .tarnwick-release | sha256sum --check --strict --quiet); } ||
  fail "a release refused for a file in the way changed dist-again/: $(ls -A dist-again)"
rm dist-again/SHA256SUMS
log=$(mktemp)
CXXFLAGS=-march=native CFLAGS=-march=native LDFLAGS=-Wl,-z,execstack \
  TARNWICK_RELEASE_BUILD_DIR="$root/build-dist-again" TARNWICK_DIST_DIR="$root/dist-again/" \
  bash scripts/release.sh --dev-key --allow-dirty >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
grep -F "ignoring CXXFLAGS=-march=native" "$log" || fail "CXXFLAGS not reported"
grep -F "Splitting the debug information of tarnwick.dll into tarnwick.dll.debug" "$log" ||
  fail "the release log does not name the DLL whose debug information it splits"
! grep -F '$<' "$log" || fail "the release log holds an unexpanded generator expression"
rm -f "$log"
[[ -z $(ls -A build-dist-again) ]] || fail "a good release left build-dist-again/release.*"
[[ ! -e dist-again/tarnwick-0.0.9-old.zip && $(cat dist-again/notes.txt) == mine ]] ||
  fail "release.sh did not replace exactly the earlier release: $(ls -A dist-again)"
if ! diff -r -x notes.txt dist dist-again >/dev/null; then
  diff -r -x notes.txt dist dist-again >&2 || true
  fail "two release builds differ"
fi
echo "dist/ is reproducible: both builds give"
cat dist/SHA256SUMS

echo "-- crash frames in dist/'s libraries"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar xzf dist/tarnwick-*-linux-x86_64.tar.gz -C "$unpacked"
unzip -q dist/tarnwick-*-windows-x86_64.zip -d "$unpacked"
bash tests/binaries/crash_frame.sh "$unpacked"/tarnwick-*-linux-x86_64/libtarnwick.so
bash tests/binaries/crash_frame.sh "$unpacked"/tarnwick-*-windows-x86_64/tarnwick.dll

echo "-- models sealed by the shipped tarnwick-model.jar open through the shipped library"
# The demo loads them through dist/'s libtarnwick.so and compares each text
# the loader gets with its source; scarf, sealed under another key, must not
# open.
shipped=$(echo "$unpacked"/tarnwick-*-linux-x86_64)
java=$(cmake_cache build Java_JAVA_EXECUTABLE)
bash demo/seal_models.sh "$java" "$shipped/tarnwick-model.jar" demo/models "$unpacked/models"
printf '#!/usr/bin/env bash\nexec bash %q %q %q %q %q %q\n' "$root/demo/run_demo.sh" "$java" \
  "$root/build/java/natives:$root/build/java/standins:$root/build/java/demo" \
  "$shipped/libtarnwick.so" "$unpacked/models" "$root/demo/models" >"$unpacked/run-demo.sh"
bash demo/check_demo.sh "$unpacked/run-demo.sh" >"$unpacked/demo.log" 2>&1 ||
  { cat "$unpacked/demo.log" >&2; fail "the demo with models sealed by the shipped tarnwick-model.jar"; }
grep -E '^\[[0-9]+\] loadRemoteMesh|completion  Mesh|demo output checked' "$unpacked/demo.log"

echo "-- the sizes docs/releasing.md gives, against dist/"
bash tests/release/check_doc_figures.sh dist docs/releasing.md

echo "-- the checkers reject what they must"
EXPECT="needs libm.so.6" expect_failure "check_portable_so.sh on libstdc++" \
  bash tests/release/check_portable_so.sh --release /usr/lib/x86_64-linux-gnu/libstdc++.so.6
EXPECT="(newer than GLIBC_2.17) for: arc4random" expect_failure "check_portable_so.sh on libstdc++'s symbols" \
  bash tests/release/check_portable_so.sh /usr/lib/x86_64-linux-gnu/libstdc++.so.6
# A PE header for ARM64 (machine 0xAA64 at the offset e_lfanew names).
arm64_pe=$unpacked/arm64.dll
{ printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00PE\x00\x00\x64\xaa'; } >"$arm64_pe"
[[ $(bash scripts/library-platform.sh "$arm64_pe") == windows-aarch64 ]] ||
  fail "library-platform.sh does not read an ARM64 PE header as windows-aarch64"
EXPECT="is for windows-aarch64 (PE machine 0xAA64), not for windows-x86_64" \
  expect_failure "library-platform.sh on an ARM64 PE header as windows-x86_64" \
  bash scripts/library-platform.sh "$arm64_pe" windows-x86_64
mkdir "$unpacked/dist"
cp -R dist/. "$unpacked/dist/"
printf 'x' >>"$unpacked/dist/$(cd dist && ls *.zip)"
EXPECT="SHA256SUMS does not verify" expect_failure "check_dist.sh on a changed archive" \
  bash tests/release/check_dist.sh "$unpacked/dist"
cp dist/*.zip "$unpacked/dist/"
classifier=$(cd dist && find maven -name '*-natives-linux-x86_64.jar')
printf 'x' >>"$unpacked/dist/$classifier"
EXPECT="maven/${classifier#maven/}.sha512 does not match the file" \
  expect_failure "check_dist.sh on a changed classifier jar" bash tests/release/check_dist.sh "$unpacked/dist"
# A tarnwick-model.jar whose key is not the libraries'.
wrong_key=$unpacked/wrong-key
mkdir -p "$wrong_key/key/tarnwick/tools"
cp -R dist/. "$wrong_key/"
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
plain=build-options/options-plain/jni/libtarnwick.so
[[ -f $plain ]] || fail "no $plain: stage 05-options.sh builds it"
EXPECT="no BIND_NOW
no stack protector
no fortified libc calls
not stripped: has a .symtab
no .gnu_debuglink section
no debug file" expect_failure "check_so.sh on the library built without hardening" \
  bash tests/binaries/check_so.sh "$plain"

echo "-- every compile command of the main build has the format warnings"
check_format_flags build/compile_commands.json

echo "-- loading the release jar as a mod does"
TARNWICK_TEST_SELECT=tarnwick.test.NativesJarTest TARNWICK_TEST_NATIVES_JAR="$root/$(ls dist/tarnwick-natives-*.jar)" \
  ctest --test-dir build -R '^java_tests$' --output-on-failure -V >"$unpacked/jar.log" 2>&1 ||
  { cat "$unpacked/jar.log" >&2; fail "NativesJarTest on the release jar"; }
# shellcheck disable=SC2015 # deliberate: either grep failing fails the check
grep -q "NativesJarTest" "$unpacked/jar.log" && ! grep -q "ServiceCallsTest" "$unpacked/jar.log" ||
  fail "TARNWICK_TEST_SELECT did not run NativesJarTest alone"
grep -E 'tests (successful|failed)' "$unpacked/jar.log"
echo "Release checks passed."
