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
build_preset() {  # PRESET
  local log=$out/$1.log
  cmake --preset "$1" >"$log" 2>&1 || { cat "$log" >&2; fail "$1: configure failed"; }
  cmake --build --preset "$1" -j 2 >>"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; fail "$1: build failed"; }
}
for preset in $presets; do
  check "$preset configures and builds" build_preset "$preset"
done

# The README's development preset configures (its build is the main run's,
# with debug information).
configure_dev() {
  cmake --preset dev >"$out/dev.log" 2>&1 || { cat "$out/dev.log" >&2; fail "the dev preset does not configure"; }
}
check "dev configures" configure_dev

# The portable option follows the sanitizer option both ways on reconfigure.
portable() {  # BUILD_DIR -D...: the value configure reports
  cmake "$@" 2>/dev/null | sed -n 's/^-- Portable Linux library (TARNWICK_PORTABLE_SO): //p'
}
portable_follows_sanitizer() {
  local dir=$out/options-library-only
  [[ $(portable "$dir") == ON ]] || fail "TARNWICK_PORTABLE_SO is not on by default"
  [[ $(portable "$dir" -DTARNWICK_JVM_SANITIZE=ON) == OFF ]] ||
    fail "TARNWICK_PORTABLE_SO stayed on in a TARNWICK_JVM_SANITIZE build"
  [[ $(portable "$dir" -DTARNWICK_JVM_SANITIZE=OFF) == ON ]] ||
    fail "TARNWICK_PORTABLE_SO did not come back after TARNWICK_JVM_SANITIZE"
}
check "TARNWICK_PORTABLE_SO: on, off under TARNWICK_JVM_SANITIZE, on again without it" \
  portable_follows_sanitizer

refused() {  # MESSAGE COMMAND...: COMMAND fails and says MESSAGE
  local message=$1
  shift
  EXPECT=$message expect_failure "$*" "$@"
}
check "TARNWICK_FUZZ with GCC is refused" refused "TARNWICK_FUZZ needs clang" \
  env CC=gcc CXX=g++ cmake -S . -B "$out/fuzz-gcc" -DTARNWICK_FUZZ=ON
check "TARNWICK_JVM_SANITIZE with clang is refused" refused "TARNWICK_JVM_SANITIZE needs GCC" \
  env CC=clang CXX=clang++ cmake -S . -B "$out/jvm-sanitize-clang" -DTARNWICK_JVM_SANITIZE=ON
check "TARNWICK_JVM_SANITIZE with TARNWICK_CRYPTO_ONLY is refused" \
  refused "TARNWICK_JVM_SANITIZE is for the library in a JVM" \
  cmake -S . -B "$out/jvm-sanitize-crypto" -DTARNWICK_JVM_SANITIZE=ON -DTARNWICK_CRYPTO_ONLY=ON
checks_done "option combinations"
