#!/usr/bin/env bash
# Builds a release: the Linux library and the Windows DLL in Release with the
# service's model key, and writes dist/:
#   tarnwick-<version>-linux-x86_64.tar.gz   library, debug file, README, Java contract
#   tarnwick-<version>-linux-aarch64.tar.gz  the same for Linux on 64-bit ARM
#   tarnwick-<version>-windows-x86_64.zip    the same for Windows
#   tarnwick-natives-<version>.jar           natives/<platform>/<library> (+ .sha256)
#                                            and tarnwick.natives.NativeLibraryExtractor
#   SHA256SUMS
#
# Usage: scripts/release.sh -DTARNWICK_MODEL_KEY=<32 hex digits> [other -D options]
#        scripts/release.sh --dev-key [...]    a build with the development key
#
# The same sources give a byte-identical dist/, wherever the build directories
# are: entries carry the time SOURCE_DATE_EPOCH (default: the last commit's
# time) and come in a fixed order, and the compilers see the build and source
# paths under fixed names. TARNWICK_RELEASE_BUILD_DIR (default build-dist)
# holds the builds, TARNWICK_DIST_DIR (default dist) receives the result.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${TARNWICK_RELEASE_BUILD_DIR:-$root/build-dist}
dist=${TARNWICK_DIST_DIR:-$root/dist}
jobs=${TARNWICK_JOBS:-2}

dev_key_allowed=0
key=""
cmake_args=()
for arg in "$@"; do
  case $arg in
    --dev-key) dev_key_allowed=1 ;;
    -DTARNWICK_MODEL_KEY=*) key=${arg#*=}; cmake_args+=("$arg") ;;
    -D*) cmake_args+=("$arg") ;;
    *) echo "release.sh: unknown argument: $arg (see the comment at the top)" >&2; exit 2 ;;
  esac
done
dev_key=$(sed -n 's/^set(TARNWICK_DEV_MODEL_KEY "\([0-9a-f]*\)")$/\1/p' "$root/cmake/ModelKey.cmake")
if [[ -z "$key" || "${key,,}" == "$dev_key" ]] && (( ! dev_key_allowed )); then
  echo "release.sh: refusing to build a release with the development model key;" \
       "pass -DTARNWICK_MODEL_KEY=<the service's key>, or --dev-key for a test release" >&2
  exit 2
fi
# An empty key selects the development key, also in a build directory that
# was configured with another one before.
[[ -n "$key" ]] || cmake_args+=(-DTARNWICK_MODEL_KEY=)

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}
# binutils stamps PE files it rewrites with this time instead of the clock.
export SOURCE_DATE_EPOCH=$epoch
mkdir -p "$build_root"
build_root=$(cd "$build_root" && pwd)
linux_build=$build_root/linux
windows_build=$build_root/windows
aarch64_build=$build_root/linux-aarch64

# The build gives the source and build paths fixed names, links the DLL
# without a time stamp, strips both libraries and leaves each one's debug
# information next to it (<library>.debug).
copy_library() {  # BUILT_LIBRARY DIRECTORY
  local built=$1 dir=$2
  [[ -f "$built.debug" ]] || { echo "release.sh: $built.debug is missing" >&2; exit 1; }
  cp "$built" "$built.debug" "$dir/"
}

echo "-- Linux library"
cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF \
  -DTARNWICK_PORTABLE_SO=ON "${cmake_args[@]}" >"$build_root/linux-configure.log"
cmake --build "$linux_build" --target tarnwick -j "$jobs"

echo "-- Linux aarch64 library"
cmake -S "$root" -B "$aarch64_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64-linux.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_PORTABLE_SO=ON "${cmake_args[@]}" \
  >"$build_root/linux-aarch64-configure.log"
cmake --build "$aarch64_build" --target tarnwick -j "$jobs"

echo "-- Windows DLL"
cmake -S "$root" -B "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF "${cmake_args[@]}" \
  >"$build_root/windows-configure.log"
cmake --build "$windows_build" --target tarnwick -j "$jobs"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_build/CMakeCache.txt")
[[ -n "$version" ]] || { echo "release.sh: no project version in $linux_build" >&2; exit 1; }

echo "-- the extractor class"
classes=$build_root/java-classes
rm -rf "$classes"
javac --release 11 -Xlint:all -Werror -encoding UTF-8 -d "$classes" \
  "$root/java/natives/tarnwick/natives/NativeLibraryExtractor.java"

echo "-- packing"
stage=$build_root/stage
rm -rf "$stage" "$dist.tmp"
mkdir -p "$dist.tmp"
contract=$root/java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java
linux_dir=$stage/tarnwick-$version-linux-x86_64
windows_dir=$stage/tarnwick-$version-windows-x86_64
aarch64_dir=$stage/tarnwick-$version-linux-aarch64
mkdir -p "$linux_dir" "$windows_dir" "$aarch64_dir"
copy_library "$linux_build/jni/libtarnwick.so" "$linux_dir"
copy_library "$windows_build/jni/tarnwick.dll" "$windows_dir"
copy_library "$aarch64_build/jni/libtarnwick.so" "$aarch64_dir"
for dir in "$linux_dir" "$windows_dir" "$aarch64_dir"; do
  cp "$root/README.md" "$contract" "$dir/"
done

find "$stage" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
find "$stage" -exec touch -h -d "@$epoch" {} +
for dir in "$linux_dir" "$aarch64_dir"; do
  (cd "$stage" && tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 \
    --numeric-owner -cf - "$(basename "$dir")") | gzip -9n >"$dist.tmp/$(basename "$dir").tar.gz"
done
(cd "$stage" && find "$(basename "$windows_dir")" -type f | LC_ALL=C sort |
  TZ=UTC zip -X -q -D "$dist.tmp/tarnwick-$version-windows-x86_64.zip" -@)
bash "$root/scripts/natives-jar.sh" "$dist.tmp/tarnwick-natives-$version.jar" "$version" "$epoch" \
  "$classes" linux-x86_64="$linux_dir/libtarnwick.so" linux-aarch64="$aarch64_dir/libtarnwick.so" \
  windows-x86_64="$windows_dir/tarnwick.dll"
(cd "$dist.tmp" && sha256sum -- *.jar *.tar.gz *.zip >SHA256SUMS)

rm -rf "$dist"
mv "$dist.tmp" "$dist"
echo "Release $version in $dist:"
(cd "$dist" && for f in *; do printf '  %-44s %8d bytes\n' "$f" "$(stat -c %s "$f")"; done)
