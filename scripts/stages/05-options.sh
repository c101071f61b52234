#!/usr/bin/env bash
# Every option combination the README documents configures and builds, and
# the ones that cannot work stop at configure with a message saying why. The
# default configuration is the main run's; this builds the others into
# build-options/, each only as far as its combination matters.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

out=$root/build-options
rm -rf "$out"
mkdir -p "$out"

# builds NAME "TARGET..." [ENV=VALUE...] -- [-D...]: configure and build.
builds() {
  local name=$1 targets=$2 envs=() dir=$out/$1
  shift 2
  while [[ $1 != -- ]]; do envs+=("$1"); shift; done
  shift
  env "${envs[@]}" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; fail "$name: configure failed"; }
  # shellcheck disable=SC2086
  cmake --build "$dir" -j 2 ${targets:+--target $targets} >>"$dir.log" 2>&1 ||
    { tail -n 40 "$dir.log" >&2; fail "$name: build failed"; }
  echo "$name: configures and builds"
}

builds library-only "" CC=gcc CXX=g++ -- -DTARNWICK_BUILD_TESTS=OFF
builds bench-without-tests "java_bench decode_bench" -- -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=ON
builds crypto-only "" -- -DTARNWICK_CRYPTO_ONLY=ON
builds crypto-only-bench "" -- -DTARNWICK_CRYPTO_ONLY=ON -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=ON
builds fuzz-without-tests "fuzz_model_payload" CC=clang CXX=clang++ -- \
  -DTARNWICK_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF
builds fuzz-with-tests "tarnwick crypto_tests" \
  CC=clang CXX=clang++ -- -DTARNWICK_FUZZ=ON
builds plain "tarnwick" -- -DTARNWICK_HARDEN=OFF -DTARNWICK_SPLIT_DEBUG=OFF -DTARNWICK_BUILD_TESTS=OFF

# The portable option follows the sanitizer option both ways on reconfigure.
portable() {  # BUILD_DIR -D...: the value configure reports
  cmake "$@" 2>/dev/null | sed -n 's/^-- Portable Linux library (TARNWICK_PORTABLE_SO): //p'
}
dir=$out/library-only
[[ $(portable "$dir") == ON ]] || fail "TARNWICK_PORTABLE_SO is not on by default"
[[ $(portable "$dir" -DTARNWICK_JVM_SANITIZE=ON) == OFF ]] ||
  fail "TARNWICK_PORTABLE_SO stayed on in a TARNWICK_JVM_SANITIZE build"
[[ $(portable "$dir" -DTARNWICK_JVM_SANITIZE=OFF) == ON ]] ||
  fail "TARNWICK_PORTABLE_SO did not come back after TARNWICK_JVM_SANITIZE"
echo "TARNWICK_PORTABLE_SO: on, off under TARNWICK_JVM_SANITIZE, on again without it"

EXPECT="TARNWICK_FUZZ needs clang" expect_failure "TARNWICK_FUZZ with GCC" \
  env CC=gcc CXX=g++ cmake -S . -B "$out/fuzz-gcc" -DTARNWICK_FUZZ=ON
EXPECT="TARNWICK_JVM_SANITIZE needs GCC" expect_failure "TARNWICK_JVM_SANITIZE with clang" \
  env CC=clang CXX=clang++ cmake -S . -B "$out/jvm-sanitize-clang" -DTARNWICK_JVM_SANITIZE=ON
EXPECT="TARNWICK_JVM_SANITIZE is for the library in a JVM" expect_failure "TARNWICK_JVM_SANITIZE crypto-only" \
  cmake -S . -B "$out/jvm-sanitize-crypto" -DTARNWICK_JVM_SANITIZE=ON -DTARNWICK_CRYPTO_ONLY=ON
echo "Option combinations checked."
