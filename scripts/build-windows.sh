#!/usr/bin/env bash
# Cross-builds tarnwick.dll for Windows x86-64 with MinGW-w64: Release,
# stripped, the C and C++ runtimes linked in statically. The result is
# build-windows-release/jni/tarnwick.dll (the windows-release preset), with
# its debug information next to it in tarnwick.dll.debug. Extra arguments go
# to the CMake configure step, e.g.
#   scripts/build-windows.sh -DTARNWICK_MODEL_KEY=<32 hex digits>
# The test bridge that runs the DLL under wine for a Linux JVM is built by
# the windows-tests preset and the main build (docs/testing.md).
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
size=$(stat -c %s "$dll")
echo "tarnwick.dll: $dll ($size bytes, $(( (size + 1023) / 1024 )) KiB)"
