#!/usr/bin/env bash
# The release: scripts/release.sh must refuse the development key unless
# told, a working tree with changes, and an output directory it did not
# write; its dist/ must have the expected layout, checksums, entry modes and
# -devkey names, a portable, hardened Linux library and a sound DLL
# (tests/release/check_dist.sh), none at all when those checks fail, come out
# byte for byte the same from a second build in other directories with
# compiler flags in the environment, replace an earlier release and nothing
# else, and load in a JVM the way a mod loads it (NativesJarTest on the
# release jar). The checkers
# are also shown inputs they must reject. Uses build/ for the Java tests
# (configures it when missing); everything else goes to build-dist*/, build-release/ and
# dist*/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

expect_failure() {  # WHAT MESSAGE COMMAND...: must fail and print MESSAGE
  local what=$1 message=$2 log status=0
  shift 2
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if (( status == 0 )) || ! grep -qF -- "$message" "$log"; then
    echo "FAIL: $what: expected a failure reporting \"$message\"; got status $status:" >&2
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
  echo "$what: refused, as it must"
}

rm -rf dist dist-again dist-refused dist-unhardened build-dist build-dist-again
echo "-- what release.sh refuses, before it builds anything"
expect_failure "release.sh without a key" "refusing to build a release with the development model key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh
expect_failure "release.sh with the development key" "refusing" \
  env TARNWICK_DIST_DIR="$root/dist-refused" \
  bash scripts/release.sh -DTARNWICK_MODEL_KEY=7461726E7769636B2D6465762D6B6579
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  probe=$root/release-untracked-probe
  touch "$probe"
  expect_failure "release.sh from a working tree with changes" "uncommitted changes" \
    env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh --dev-key
  rm -f "$probe"
fi
mkdir dist-refused && printf 'mine\n' >dist-refused/keep
expect_failure "release.sh into a directory it did not write" "is not empty and holds no earlier release" \
  env TARNWICK_DIST_DIR="$root/dist-refused/" bash scripts/release.sh --dev-key --allow-dirty
[[ $(ls -A dist-refused) == keep ]] || { echo "FAIL: a refused release changed dist-refused/" >&2; exit 1; }

echo "-- release build"
bash scripts/release.sh --dev-key --allow-dirty
bash tests/release/check_dist.sh dist
[[ $(ls dist/*-devkey*.tar.gz dist/*-devkey*.zip dist/*-devkey*.jar | wc -l) == 4 ]] ||
  { echo "FAIL: a --dev-key release without -devkey in its names:" $(ls dist) >&2; exit 1; }
# The DLL that stage 32 ran the Java suite through is the one the release packs.
if [[ -f build-win/jni/tarnwick.dll ]]; then
  if ! unzip -p dist/tarnwick-*-windows-x86_64.zip '*/tarnwick.dll' | cmp -s - build-win/jni/tarnwick.dll; then
    echo "FAIL: the release's tarnwick.dll differs from build-win/jni/tarnwick.dll" >&2
    exit 1
  fi
  echo "the release packs the tarnwick.dll the Java suite ran through (build-win/jni)"
fi

echo "-- a failed check leaves no dist/"
expect_failure "release.sh without hardening" "no BIND_NOW" env TARNWICK_DIST_DIR="$root/dist-unhardened" \
  bash scripts/release.sh --dev-key --allow-dirty -DTARNWICK_HARDEN=OFF
[[ ! -e dist-unhardened ]] || { echo "FAIL: a release that failed its checks wrote dist-unhardened/" >&2; exit 1; }
compgen -G "build-dist/release.*/linux-configure.log" >/dev/null ||
  { echo "FAIL: the failed release left no build and logs in build-dist/" >&2; exit 1; }

echo "-- a second release build: other directories, flags in the environment, over an earlier release"
# An earlier release (its list names one file) and a file of the user's.
mkdir dist-again
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
printf 'mine\n' >dist-again/notes.txt
{ head -n 1 dist/.tarnwick-release; (cd dist-again && sha256sum tarnwick-0.0.9-old.zip); } \
  >dist-again/.tarnwick-release
printf 'edited\n' >dist-again/tarnwick-0.0.9-old.zip
expect_failure "release.sh over a changed earlier release" "changed since release.sh wrote them" \
  env TARNWICK_DIST_DIR="$root/dist-again" bash scripts/release.sh --dev-key --allow-dirty
printf 'old\n' >dist-again/tarnwick-0.0.9-old.zip
log=$(mktemp)
CXXFLAGS=-march=native CFLAGS=-march=native LDFLAGS=-Wl,-z,execstack \
  TARNWICK_RELEASE_BUILD_DIR="$root/build-dist-again" TARNWICK_DIST_DIR="$root/dist-again/" \
  bash scripts/release.sh --dev-key --allow-dirty >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
grep -F "ignoring CXXFLAGS=-march=native" "$log" || { echo "FAIL: CXXFLAGS not reported" >&2; exit 1; }
rm -f "$log"
[[ -z $(ls -A build-dist-again) ]] || { echo "FAIL: a good release left build-dist-again/release.*" >&2; exit 1; }
[[ ! -e dist-again/tarnwick-0.0.9-old.zip && $(cat dist-again/notes.txt) == mine ]] ||
  { echo "FAIL: release.sh did not replace exactly the earlier release:" $(ls -A dist-again) >&2; exit 1; }
if ! diff -r -x notes.txt dist dist-again >/dev/null; then
  echo "FAIL: two release builds differ:" >&2
  diff -r -x notes.txt dist dist-again >&2 || true
  exit 1
fi
echo "dist/ is reproducible: both builds give"
cat dist/SHA256SUMS

echo "-- the checkers reject what they must"
expect_failure "check_portable_so.sh" "needs libm.so.6" \
  bash tests/release/check_portable_so.sh --release /usr/lib/x86_64-linux-gnu/libstdc++.so.6
expect_failure "check_portable_so.sh" "(newer than GLIBC_2.17) for: arc4random" \
  bash tests/release/check_portable_so.sh /usr/lib/x86_64-linux-gnu/libstdc++.so.6
tampered=$(mktemp -d)
trap 'rm -rf "$tampered"' EXIT
cp dist/* "$tampered/"
printf 'x' >>"$tampered/$(cd dist && ls *.zip)"
expect_failure "check_dist.sh" "SHA256SUMS does not verify" bash tests/release/check_dist.sh "$tampered"

echo "-- CMake presets and cmake --install"
cmake --preset dev >/dev/null
for preset in release windows-release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 >/dev/null
  rm -rf "build-$preset/installed"
  cmake --install "build-$preset" --prefix "build-$preset/installed" >/dev/null
done
java_files="share/tarnwick/java/tarnwick/natives/NativeLibraryExtractor.java
share/tarnwick/java/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java"
for pair in release:lib/libtarnwick.so windows-release:bin/tarnwick.dll; do
  preset=${pair%%:*} library=${pair#*:}
  expected=$(printf '%s\n' "$library" "$library.debug" share/doc/tarnwick/README.md $java_files |
    LC_ALL=C sort)
  installed=$(cd "build-$preset/installed" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  if [[ "$installed" != "$expected" ]]; then
    echo "FAIL: cmake --install of the $preset preset gave:"$'\n'"$installed"$'\n'"expected:"$'\n'"$expected" >&2
    exit 1
  fi
done
bash tests/release/check_portable_so.sh build-release/installed/lib/libtarnwick.so
bash tests/windows/check_dll.sh build-windows-release/installed/bin/tarnwick.dll

echo "-- loading the release jar as a mod does"
if [[ ! -f build/CMakeCache.txt ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build --target java_classes -j 2 >/dev/null
junit=/usr/share/java/junit-platform-console-standalone.jar
classes=build/java
log=$(mktemp)
status=0
LC_ALL=C.UTF-8 java -Xcheck:jni -Dtarnwick.java="$(command -v java)" \
  -Dtarnwick.nativesJar="$root/$(ls dist/tarnwick-natives-*.jar)" \
  -Dtarnwick.modClasspath="$root/$classes/example:$root/$classes/standins:$root/$classes/tests" \
  -Djunit.jupiter.execution.timeout.default=120s \
  -jar "$junit" --class-path "$classes/natives:$classes/standins:$classes/tests" \
  --select-class tarnwick.test.NativesJarTest --disable-banner --details=tree \
  --fail-if-no-tests >"$log" 2>&1 || status=$?
cat "$log"
if (( status != 0 )) || grep -qE "WARNING in native method|JNI (WARNING|ERROR)" "$log"; then
  echo "FAIL: NativesJarTest on the release jar" >&2
  exit 1
fi
echo "Release checks passed."
