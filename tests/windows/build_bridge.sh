#!/usr/bin/env bash
# Builds the test bridge that runs tarnwick.dll under wine for a Linux JVM:
# bridge_jvm.so (the JNI library the JVM loads) and bridge_host.exe (the
# Windows program that hosts the DLL), both into OUT_DIR.
# Usage: build_bridge.sh OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
src=$root/tests/windows

. "$root/scripts/lib.sh"
jdk_include=$(jdk_include)

# The names of the JNI function table's slots, in jni.h's order, so that the
# host can name a function it does not forward.
mkdir -p "$out/bridge-gen"
sed -n '/^struct JNINativeInterface_ {/,/^};/p' "$jdk_include/jni.h" |
  grep -oE '(reserved[0-9]+;|JNICALL \*[A-Za-z0-9_]+\))' |
  sed -E 's/^JNICALL \*//; s/[;)]$//; s/.*/"&",/' >"$out/bridge-gen/jni_function_names.inc"

g++ -std=c++17 -O2 -Wall -Wextra -shared -fPIC \
  -I"$jdk_include" -I"$jdk_include/linux" -I"$root/jni" \
  -o "$out/bridge_jvm.so" "$src/bridge_jvm.cpp" -ldl
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -static -s \
  -isystem "$root/platform/windows/jni-include" -isystem "$jdk_include" -I"$out/bridge-gen" -I"$root/jni" \
  -o "$out/bridge_host.exe" "$src/bridge_host.cpp" -lws2_32
echo "bridge: $out/bridge_jvm.so, $out/bridge_host.exe"
