#!/usr/bin/env bash
# Linux on 64-bit ARM. Cross-builds the aarch64 library and every test
# (GoogleTest from Debian's sources; the linux-aarch64-tests preset), checks
# that the library is packed only as linux-aarch64, runs the C++ tests and the
# library checks under qemu-aarch64 (the ARMv8 AES loop against the published
# vectors and the table loop, the dispatch check against HWCAP, portability:
# glibc only, at most GLIBC_2.17), then runs the whole Java suite, natives-jar
# test included, in Debian's arm64 OpenJDK 17 under qemu with -Xcheck:jni.
#
# The OpenSSL oracle tests are not cross-built (no arm64 libssl here); the
# payload fixtures they would make come from the committed copy instead.
#
# The arm64 JDK is fetched with apt-get download and unpacked into
# build-aarch64-jdk/ (TARNWICK_AARCH64_JDK_CACHE), never installed: installing
# it would pull the host's JDK to the same version. scripts/deps.sh adds the
# arm64 architecture to apt. Without binfmt the kernel cannot start aarch64
# programs, so the JVM starts child processes with VFORK (its default
# spawn helper is an aarch64 program) and every java it starts is the
# wrapper below. The tests' own time limits are stretched by
# TARNWICK_TIME_SCALE (default 5 here). Everything goes into
# build-linux-aarch64-tests/. The release's own aarch64 library is checked by
# the release stage (tests/release/check_dist.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

build=$root/build-linux-aarch64-tests
cache=${TARNWICK_AARCH64_JDK_CACHE:-$root/build-aarch64-jdk}
sysroot=/usr/aarch64-linux-gnu
jobs=$(nproc)
export TARNWICK_TIME_SCALE=${TARNWICK_TIME_SCALE:-5}
started=$(date +%s)

run_logged() {  # LOG COMMAND...: quiet unless it fails
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$*"; }
}

echo "-- cross-building the library and its tests (preset linux-aarch64-tests)"
mkdir -p "$build"
run_logged "$build/configure.log" cmake --preset linux-aarch64-tests
run_logged "$build/build.log" cmake --build --preset linux-aarch64-tests -j "$jobs"
so=$build/jni/libtarnwick.so

# After the build, each check below runs whatever the others found, and the
# stage reports every one by name.
library_is_aarch64() {
  bash scripts/library-platform.sh "$so" linux-aarch64
  echo "needs: $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
}
check "the library is built for linux-aarch64" library_is_aarch64

jar_packs_aarch64() {
  local jar=$build/tests/java/tarnwick-natives-dev.jar
  unzip -Z1 "$jar" | grep -x natives/linux-aarch64/libtarnwick.so >/dev/null ||
    fail "$jar has no natives/linux-aarch64/libtarnwick.so"
}
check "the natives jar packs it as linux-aarch64" jar_packs_aarch64
EXPECT="is for linux-aarch64 (ELF machine 183), not for linux-x86_64" \
  check "natives-jar.sh refuses it under linux-x86_64" \
  expect_failure "natives-jar.sh with the aarch64 library under linux-x86_64" \
  bash scripts/natives-jar.sh "$build/mislabelled.jar" 0 0 "$build/java/natives" linux-x86_64="$so"

echo "-- the C++ tests under qemu-aarch64"
check "the C++ tests under qemu-aarch64" \
  ctest --test-dir "$build" -E '^java_tests$' --output-on-failure -j "$jobs"
# Every crypto test must have run here: a skipped one would leave the ARMv8
# loop or the table loop unchecked.
crypto_tests_all_ran() {
  local log=$build/crypto_tests.log
  run_logged "$log" qemu-aarch64 -L "$sysroot" "$build/tests/crypto/crypto_tests"
  if grep -q SKIPPED "$log"; then
    grep SKIPPED "$log" >&2
    fail "crypto tests were skipped on aarch64"
  fi
  grep -E '^\[  PASSED  \]' "$log"
}
check "every crypto test runs on aarch64" crypto_tests_all_ran

# arm64_jdk: unpacks an arm64 OpenJDK 17 into $cache once and writes the
# wrapper $cache/java that runs it under qemu.
arm64_jdk() {
  local jdk=$cache/root/usr/lib/jvm/java-17-openjdk-arm64 java=$cache/java
  echo "-- an arm64 OpenJDK 17"
  if [[ ! -x $jdk/bin/java ]]; then
    rm -rf "$cache"
    mkdir -p "$cache/debs"
    (cd "$cache/debs" &&
      apt-get download -q openjdk-17-jre-headless:arm64 openjdk-17-jdk-headless:arm64 zlib1g:arm64 \
        2>&1 | grep -v '^W: Download is performed unsandboxed') ||
      fail "could not download the arm64 JDK (is arm64 added? run scripts/deps.sh)"
    for deb in "$cache"/debs/*.deb; do dpkg-deb -x "$deb" "$cache/root"; done
    # The JDK's configuration links point into /etc; point them at the
    # unpacked copies instead.
    find "$jdk/" -type l -lname '/etc/*' | while read -r link; do
      target=$(readlink "$link")
      if [[ -e $cache/root$target ]]; then ln -sfn "$cache/root$target" "$link"; fi
    done
  fi
  cat >"$java" <<WRAPPER
#!/bin/sh
exec qemu-aarch64 -L $sysroot -E LD_LIBRARY_PATH=$cache/root/lib/aarch64-linux-gnu:$cache/root/usr/lib/aarch64-linux-gnu \\
  $jdk/bin/java -Djdk.lang.Process.launchMechanism=VFORK "\$@"
WRAPPER
  chmod 0755 "$java"
  "$java" -XshowSettings:properties -version 2>&1 | grep -E '^ *(os\.arch|java\.vm\.version) ='
  [[ $("$java" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *os\.arch = //p') == aarch64 ]] ||
    fail "$java is not an aarch64 JVM"
}

java_suite() {
  local log=$build/java_tests.log status=0
  arm64_jdk
  echo "-- the Java suite in the aarch64 JVM (time limits x$TARNWICK_TIME_SCALE)"
  TARNWICK_TEST_JAVA=$cache/java ctest --test-dir "$build" -R '^java_tests$' --output-on-failure -V \
    >"$log" 2>&1 || status=$?
  if (( status != 0 )); then
    cat "$log" >&2
    fail "the Java suite in the aarch64 JVM"
  fi
  grep -E 'tests (successful|failed|found)' "$log"
  grep -q "NativesJarTest" "$log" || fail "NativesJarTest did not run"
}
check "the Java suite, NativesJarTest included, in the aarch64 JVM" java_suite

echo "aarch64 stage done in $(( $(date +%s) - started )) s."
checks_done "aarch64"
