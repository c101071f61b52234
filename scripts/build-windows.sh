#!/usr/bin/env bash
# Cross-builds tarnwick.dll for Windows x86-64 with MinGW-w64: Release,
# stripped, the C and C++ runtimes linked in statically. The result is
# build-windows-release/jni/tarnwick.dll (the windows-release preset), with
# its debug information next to it in tarnwick.dll.debug, and beside it the
# test bridge that runs the DLL under wine for a Linux JVM (bridge_jvm.so,
# bridge_host.exe; tests/windows). Extra arguments go to the CMake configure
# step, e.g.  scripts/build-windows.sh -DTARNWICK_MODEL_KEY=<32 hex digits>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build-windows-release
cd "$root"

cmake --preset windows-release "$@"
cmake --build --preset windows-release -j "$(nproc)"

dll="$build_dir/jni/tarnwick.dll"
if [[ ! -f "$dll" ]]; then
  echo "error: the build finished but $dll is missing" >&2
  exit 1
fi
bash "$root/tests/windows/build_bridge.sh" "$build_dir/jni"
size=$(stat -c %s "$dll")
echo "tarnwick.dll: $dll ($size bytes, $(( (size + 1023) / 1024 )) KiB)"
