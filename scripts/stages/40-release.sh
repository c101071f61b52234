#!/usr/bin/env bash
# The release: scripts/release.sh must refuse the development key unless
# told, and its dist/ must have the expected layout and checksums, a portable
# Linux library and a sound DLL (tests/release/check_dist.sh), come out byte
# for byte the same from a second build in other directories, and load in a
# JVM the way a mod loads it (NativesJarTest on the release jar). The checkers
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

echo "-- the development key needs --dev-key"
expect_failure "release.sh without a key" "refusing to build a release with the development model key" \
  env TARNWICK_DIST_DIR="$root/dist-refused" bash scripts/release.sh
expect_failure "release.sh with the development key" "refusing" \
  env TARNWICK_DIST_DIR="$root/dist-refused" \
  bash scripts/release.sh -DTARNWICK_MODEL_KEY=7461726E7769636B2D6465762D6B6579
[[ ! -e dist-refused ]] || { echo "FAIL: a refused release wrote dist-refused/" >&2; exit 1; }

echo "-- release build"
bash scripts/release.sh --dev-key
bash tests/release/check_dist.sh dist

echo "-- a second release build in other directories"
TARNWICK_RELEASE_BUILD_DIR="$root/build-dist-again" TARNWICK_DIST_DIR="$root/dist-again" \
  bash scripts/release.sh --dev-key >/dev/null
if ! diff -r dist dist-again >/dev/null; then
  echo "FAIL: two release builds differ:" >&2
  diff -r dist dist-again >&2 || true
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
