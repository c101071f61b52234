#!/usr/bin/env bash
# The shipped binaries, libtarnwick.so and tarnwick.dll, as a player or a
# reviewer receives them:
#   - reproducible: each is built twice, in two unrelated directories, and
#     both the library and its debug file must come out byte for byte equal;
#   - hardened, stripped, with a debug file tied to it
#     (tests/binaries/check_so.sh, tests/windows/check_dll.sh);
#   - a crash frame as a JVM crash log prints it resolves to a function and
#     line (tests/binaries/crash_frame.sh);
#   - every compile command has -Wformat -Werror=format-security (warning
#     options leave no trace in the binaries);
#   - the .so checker rejects the library built with TARNWICK_HARDEN and
#     TARNWICK_SPLIT_DEBUG off, naming what it lacks.
# The DLL's loader and version-resource checks under wine are in
# 30-windows.sh. Everything goes into build-binaries/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

out=$root/build-binaries
jobs=$(nproc)
rm -rf "$out"
mkdir -p "$out"

build_so() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF "$@" \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; exit 1; }
  cmake --build "$dir" --target tarnwick -j "$jobs" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; exit 1; }
}

# Byte-for-byte equal, or the first differences and the failure.
expect_same() {
  local first=$1 second=$2
  if ! cmp -s "$first" "$second"; then
    echo "FAIL: not reproducible: $first and $second differ:" >&2
    cmp -l "$first" "$second" | head -n 10 >&2 || true
    exit 1
  fi
  echo "same bytes: $first ($(stat -c %s "$first") bytes) and $second"
}

# The second tree is deeper and named differently, so any build path left in
# a binary changes its bytes.
so_first=$out/so
so_second=$out/elsewhere/another/so-build
win_first=$out/win
win_second=$out/elsewhere/another/win-build
mkdir -p "$so_second" "$win_second"

echo "-- building libtarnwick.so twice"
build_so "$so_first" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
build_so "$so_second"
expect_same "$so_first/jni/libtarnwick.so" "$so_second/jni/libtarnwick.so"
expect_same "$so_first/jni/libtarnwick.so.debug" "$so_second/jni/libtarnwick.so.debug"

echo "-- building tarnwick.dll twice"
for dir in "$win_first" "$win_second"; do
  TARNWICK_WIN_BUILD_DIR=$dir bash scripts/build-windows.sh -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$dir.build.log" 2>&1 || { cat "$dir.build.log" >&2; exit 1; }
done
expect_same "$win_first/jni/tarnwick.dll" "$win_second/jni/tarnwick.dll"
expect_same "$win_first/jni/tarnwick.dll.debug" "$win_second/jni/tarnwick.dll.debug"

echo "-- checking the compile commands for the format warnings"
for commands in "$so_first/compile_commands.json" "$win_first/compile_commands.json"; do
  total=$(grep -c '"command":' "$commands")
  with_flags=$(grep '"command":' "$commands" | grep -c -- '-Wformat .*-Werror=format-security' || true)
  if (( total == 0 || with_flags != total )); then
    echo "FAIL: $with_flags of $total commands in $commands have -Wformat -Werror=format-security" >&2
    exit 1
  fi
  echo "all $total commands in $commands have -Wformat -Werror=format-security"
done

echo "-- checking their properties"
bash tests/binaries/check_so.sh "$so_first/jni/libtarnwick.so"
bash tests/windows/check_dll.sh "$win_first/jni/tarnwick.dll"

echo "-- resolving a crash frame in each"
bash tests/binaries/crash_frame.sh "$so_first/jni/libtarnwick.so"
bash tests/binaries/crash_frame.sh "$win_first/jni/tarnwick.dll"

echo "-- the .so checker must reject the library built without hardening and debug file"
plain=$out/plain
build_so "$plain" -DTARNWICK_HARDEN=OFF -DTARNWICK_SPLIT_DEBUG=OFF
log=$out/check_plain.log
if bash tests/binaries/check_so.sh "$plain/jni/libtarnwick.so" >"$log" 2>&1; then
  echo "FAIL: check_so.sh accepted a library built without hardening:" >&2
  cat "$log" >&2
  exit 1
fi
for message in "no BIND_NOW" "no stack protector" "no fortified libc calls" \
    "not stripped: has a .symtab" "no .gnu_debuglink section" "no debug file"; do
  if ! grep -qF -- "$message" "$log"; then
    echo "FAIL: check_so.sh did not report: $message; output:" >&2
    cat "$log" >&2
    exit 1
  fi
done
echo "check_so.sh rejects the unhardened library, as it must"

echo "Binary checks passed."
