#!/usr/bin/env bash
# Every documented option combination configures and builds, and the ones
# that cannot work stop at configure with a message saying why. The default
# configuration is the main run's; this builds the others into
# build-options/, each only as far as its combination matters.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

out=$root/build-options
rm -rf "$out"
mkdir -p "$out"

# Each combination is a preset options-<name> (CMakePresets.json); its build
# preset names the targets where the combination matters. They are test
# fixtures, so they show only with TARNWICK_OPTION_CHECKS=1.
export TARNWICK_OPTION_CHECKS=1
presets=$(cmake --list-presets | sed -n 's/^ *"\(options-[a-z-]*\)".*/\1/p')
[[ -n "$presets" ]] || fail "no options-* presets in CMakePresets.json"
for preset in $presets; do
  log=$out/$preset.log
  cmake --preset "$preset" >"$log" 2>&1 || { cat "$log" >&2; fail "$preset: configure failed"; }
  cmake --build --preset "$preset" -j 2 >>"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; fail "$preset: build failed"; }
  echo "$preset: configures and builds"
done

# The README's development preset configures (its build is the main run's,
# with debug information).
cmake --preset dev >"$out/dev.log" 2>&1 || { cat "$out/dev.log" >&2; fail "the dev preset does not configure"; }
echo "dev: configures"

# The portable option follows the sanitizer option both ways on reconfigure.
portable() {  # BUILD_DIR -D...: the value configure reports
  cmake "$@" 2>/dev/null | sed -n 's/^-- Portable Linux library (TARNWICK_PORTABLE_SO): //p'
}
dir=$out/options-library-only
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
