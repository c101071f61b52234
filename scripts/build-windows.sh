#!/usr/bin/env bash
# Cross-builds tarnwick.dll for Windows x86-64 with MinGW-w64: Release,
# stripped, the C and C++ runtimes linked in statically. The result is
# build-win/jni/tarnwick.dll, with its debug information next to it in
# tarnwick.dll.debug, and beside it the test bridge that runs the DLL under
# wine for a Linux JVM (bridge_jvm.so, bridge_host.exe; tests/windows). Extra arguments go to the CMake configure step,
# e.g.  scripts/build-windows.sh -DTARNWICK_MODEL_KEY=<32 hex digits>
# TARNWICK_WIN_BUILD_DIR picks another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${TARNWICK_WIN_BUILD_DIR:-$root/build-win}

cmake -S "$root" -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DTARNWICK_BUILD_TESTS=OFF \
  "$@"
cmake --build "$build_dir" --target tarnwick -j "$(nproc)"

dll="$build_dir/jni/tarnwick.dll"
if [[ ! -f "$dll" ]]; then
  echo "error: the build finished but $dll is missing" >&2
  exit 1
fi
bash "$root/tests/windows/build_bridge.sh" "$build_dir/jni"
size=$(stat -c %s "$dll")
echo "tarnwick.dll: $dll ($size bytes, $(( (size + 1023) / 1024 )) KiB)"
