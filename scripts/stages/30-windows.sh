#!/usr/bin/env bash
# The Windows x86-64 DLL. Cross-builds tarnwick.dll with MinGW-w64, checks
# its export and import tables, hardening, version resource and debug file,
# loads it under wine, calls entry points through a stand-in JNIEnv (also on
# threads started after the load) and reads its version resource back, checks
# the answer DllMain gets from DisableThreadLibraryCalls, resolves a crash
# frame with addr2line, and runs the crypto unit tests, cross-built for
# Windows, under wine. The checkers are also shown a deliberately wrong DLL,
# which they must reject. Run from anywhere; needs the packages
# scripts/deps.sh installs. Everything goes into build-win/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

build_dir=$root/build-win
tools_dir=$build_dir/windows-tests   # load_dll.exe and the deliberately wrong DLLs
crypto_dir=$build_dir/crypto-tests   # the crypto library and its tests, for Windows
cxx=x86_64-w64-mingw32-g++-posix
jobs=$(nproc)

# The Windows form of an absolute path: wine maps drive Z: to /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a command that must fail, and checks that its output names each of
# the given problems.
expect_rejection() {
  local what=$1 log=$2
  shift 2
  local status=0
  "$@" >"$log" 2>&1 || status=$?
  if (( status == 0 )); then
    echo "FAIL: $what accepted a DLL it must reject; output:" >&2
    cat "$log" >&2
    exit 1
  fi
}
expect_in_log() {
  local what=$1 log=$2
  shift 2
  local message
  for message in "$@"; do
    if ! grep -qF -- "$message" "$log"; then
      echo "FAIL: $what did not report: $message; output:" >&2
      cat "$log" >&2
      exit 1
    fi
  done
}

echo "-- building tarnwick.dll"
bash scripts/build-windows.sh
dll=$build_dir/jni/tarnwick.dll

echo "-- checking its export and import tables, hardening and debug file"
bash tests/windows/check_dll.sh "$dll"

echo "-- resolving a crash frame in it with addr2line"
bash tests/binaries/crash_frame.sh "$dll"

# The version the resource must carry: the one project() declares.
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [[ -z "$version" ]]; then
  echo "FAIL: no project(tarnwick VERSION ...) in CMakeLists.txt" >&2
  exit 1
fi

echo "-- building the loader and the DLLs the checks must reject"
# The loader calls entry points through a stand-in JNIEnv, so it needs jni.h:
# the same JDK headers the toolchain file picks (JAVA_HOME, javac on PATH,
# default-java), with our Windows jni_md.h first.
jdk_include=""
javac_path=$(command -v javac || true)
for candidate in ${JAVA_HOME:+"$JAVA_HOME/include"} \
    ${javac_path:+"$(dirname "$(dirname "$(readlink -f "$javac_path")")")/include"} \
    /usr/lib/jvm/default-java/include; do
  if [[ -f "$candidate/jni.h" ]]; then
    jdk_include=$candidate
    break
  fi
done
if [[ -z "$jdk_include" ]]; then
  echo "FAIL: no JDK include directory with jni.h found (set JAVA_HOME)" >&2
  exit 1
fi
mkdir -p "$tools_dir"
"$cxx" -std=c++17 -O2 -Wall -Wextra -static -s \
  -isystem cmake/win-jni -isystem "$jdk_include" \
  -o "$tools_dir/load_dll.exe" tests/windows/load_dll.cpp -lversion
# Shared libstdc++, not stripped, no ASLR or DEP, no version resource, a time
# stamp and no debug file: every one of those checks must fail too.
"$cxx" -std=c++17 -O2 -shared -static-libgcc \
  -Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat \
  -o "$tools_dir/wrong_exports_dynamic.dll" tests/windows/wrong_exports.cpp
# Loadable without MinGW's DLLs, for the loader's own rejection test.
"$cxx" -std=c++17 -O2 -shared -static -s \
  -o "$tools_dir/wrong_exports_static.dll" tests/windows/wrong_exports.cpp

missing_mesh=Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh
log=$tools_dir/check_wrong.log
expect_rejection "check_dll.sh" "$log" \
  bash tests/windows/check_dll.sh "$tools_dir/wrong_exports_dynamic.dll"
expect_in_log "check_dll.sh" "$log" \
  "missing export: $missing_mesh" \
  "unexpected export: JNI_OnLoad" \
  "unexpected export: tarnwick_debug_length" \
  "imports a DLL that Windows does not ship: libstdc++-6.dll" \
  "not stripped" \
  "DisableThreadLibraryCalls is not imported" \
  "no DYNAMIC_BASE" \
  "no HIGH_ENTROPY_VA" \
  "no NX_COMPAT" \
  "the version resource is missing" \
  "has a link time stamp" \
  "no .gnu_debuglink section" \
  "no debug file"
echo "check_dll.sh rejects a DLL with the wrong exports and imports, as it must"

echo "-- building the crypto unit tests for Windows"
wine_bin=$(command -v wine)
cmake -S "$root" -B "$crypto_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DTARNWICK_CRYPTO_ONLY=ON \
  -DTARNWICK_BUILD_TESTS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine_bin"
cmake --build "$crypto_dir" -j "$jobs"

echo "-- starting wine"
# A fresh prefix per run, owned by whoever runs this. Wine's own output goes
# to files: its background services inherit standard output and error, and
# would keep a pipe open after the program under test is done.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/tarnwick-wine.XXXXXX)
export WINEDEBUG=-all
# No prompts for the .NET and HTML engines; no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME=${HOME:-$WINEPREFIX}
wine_log_dir=$build_dir/wine-logs
mkdir -p "$wine_log_dir"
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap stop_wine EXIT
wineserver -p >"$wine_log_dir/wineserver.log" 2>&1
if ! timeout 300 wineboot -i >"$wine_log_dir/wineboot.log" 2>&1; then
  echo "FAIL: wineboot could not set up $WINEPREFIX:" >&2
  cat "$wine_log_dir/wineboot.log" >&2
  exit 1
fi

echo "-- loading tarnwick.dll under wine"
log=$wine_log_dir/load_dll.log
status=0
timeout 120 wine "$tools_dir/load_dll.exe" "$(windows_path "$dll")" "$version" >"$log" 2>&1 ||
  status=$?
cat "$log"
if (( status != 0 )); then
  echo "FAIL: load_dll.exe exited with status $status" >&2
  exit 1
fi

log=$wine_log_dir/load_wrong.log
expect_rejection "load_dll.exe" "$log" \
  timeout 120 wine "$tools_dir/load_dll.exe" "$(windows_path "$tools_dir/wrong_exports_static.dll")" \
  "$version"
expect_in_log "load_dll.exe" "$log" \
  "no version resource" \
  "entry point not found: $missing_mesh" \
  "must not be exported: JNI_OnLoad" \
  "called JNI function table slot 4" \
  'expected one java/lang/NullPointerException("completion is null"), got 0 throw(s)'
echo "load_dll.exe rejects a DLL with the wrong exports and behaviour, as it must"

echo "-- running the crypto unit tests under wine"
ctest --test-dir "$crypto_dir" --output-on-failure --no-tests=error --timeout 300 -j "$jobs"

echo "Windows DLL checks passed."
