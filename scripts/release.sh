#!/usr/bin/env bash
# Builds a release: the Linux libraries (x86-64, aarch64) and the Windows DLL in Release with the
# service's model key, and writes dist/:
#   tarnwick-<version>-linux-x86_64.tar.gz   library, debug file, docs/mod-developers.md, Java contract,
#                                            tarnwick-model.jar and docs/model-files.md
#   tarnwick-<version>-linux-aarch64.tar.gz  the same for Linux on 64-bit ARM
#   tarnwick-<version>-windows-x86_64.zip    the same for Windows
#   tarnwick-natives-<version>.jar           natives/<platform>/<library> (+ .sha256)
#                                            and the extractor's classes (tarnwick.natives)
#   maven/                                   a Maven repository: the extractor (with sources
#                                            and javadoc) and one natives jar per platform
#                                            (scripts/maven-repo.sh)
#   SHA256SUMS                               of the archives and the jar
#   .tarnwick-release                        the files this run wrote, with their hashes
#
# Usage: scripts/release.sh -DTARNWICK_MODEL_KEY=<32 hex digits> [other -D options]
#        scripts/release.sh --dev-key [...]    a test release with the development key
#        --allow-dirty                         build from a working tree with changes
#
# <version> is project()'s, with -devkey for a release with the development
# key and -dirty for one built from uncommitted changes; the jar's manifest and
# the DLL's version resource carry it too. Without --allow-dirty a working tree
# with changes (untracked files included) is refused.
#
# Every run configures all builds from scratch in a new directory under
# TARNWICK_RELEASE_BUILD_DIR (default build-dist), removed again on success;
# compiler and linker settings from the environment (CFLAGS, CXXFLAGS, CC,
# CMAKE_*, ...) are ignored, with a message. The result is checked
# (tests/release/check_dist.sh: layout, entry modes, hardening, exports and
# imports, portability) before anything is written to TARNWICK_DIST_DIR
# (default dist); when a check fails, that directory is left as it was. It
# must be new, empty, or hold an earlier release: then exactly the files that
# release listed in .tarnwick-release are replaced, and only while they are
# unchanged. Nothing else there is touched.
#
# The same sources give a byte-identical dist/, wherever the build directories
# are: entries carry the time SOURCE_DATE_EPOCH (default: the last commit's
# time) and come in a fixed order, and the compilers see the build and source
# paths under fixed names. It runs in the C locale whatever the caller's:
# the names it checks and the tools' output must not depend on the language
# of the machine (in tr_TR.UTF-8, [A-Za-z] holds neither i nor I).
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${TARNWICK_RELEASE_BUILD_DIR:-$root/build-dist}
dist=${TARNWICK_DIST_DIR:-$root/dist}
jobs=${TARNWICK_JOBS:-2}
marker_name=.tarnwick-release
marker_title="# tarnwick release.sh: the files of one release; a later run replaces exactly these"

refuse() { echo "release.sh: $*" >&2; exit 2; }

dev_key_allowed=0
allow_dirty=0
key=""
cmake_args=()
for arg in "$@"; do
  case $arg in
    --dev-key) dev_key_allowed=1 ;;
    --allow-dirty) allow_dirty=1 ;;
    -DTARNWICK_MODEL_KEY=*) key=${arg#*=}; cmake_args+=("$arg") ;;
    -DTARNWICK_VERSION_SUFFIX=*) refuse "the version suffix is release.sh's to set" ;;
    -D*) cmake_args+=("$arg") ;;
    *) refuse "unknown argument: $arg (see the comment at the top)" ;;
  esac
done
dev_key=$(cmake -P "$root/cmake/ModelKey.cmake")
suffix=""
if [[ -z "$key" || "${key,,}" == "$dev_key" ]]; then
  (( dev_key_allowed )) ||
    refuse "refusing to build a release with the development model key;" \
      "pass -DTARNWICK_MODEL_KEY=<the service's key>, or --dev-key for a test release"
  suffix+=-devkey
fi

if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1 &&
   [[ -n $(git -C "$root" status --porcelain) ]]; then
  (( allow_dirty )) ||
    refuse "the working tree has uncommitted changes (git status): commit them, or pass" \
      "--allow-dirty for a release marked -dirty"
  suffix+=-dirty
fi

# Settings the compilers, linkers or CMake would pick up from the environment.
for var in CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS ASMFLAGS CC CXX RC CPATH C_INCLUDE_PATH \
    CPLUS_INCLUDE_PATH LIBRARY_PATH GCC_EXEC_PREFIX COMPILER_PATH $(compgen -e | grep '^CMAKE_' || true); do
  if [[ -v $var ]]; then
    echo "release.sh: ignoring $var=${!var} from the environment: a release uses the project's settings" >&2
    unset "$var"
  fi
done

# The output directory: new, empty, or an earlier release whose listed files
# are still as release.sh wrote them.
dist=${dist%"${dist##*[!/]}"}
[[ -n "$dist" ]] || refuse "TARNWICK_DIST_DIR must not be /"
[[ "$dist" == /* ]] || dist=$PWD/$dist
earlier_files() {  # prints the names .tarnwick-release lists, after checking them
  local marker=$dist/$marker_name names name
  [[ $(head -n 1 "$marker") == "$marker_title" ]] || refuse "$marker is not release.sh's"
  names=$(sed 1d "$marker" | awk '{print $2}')
  for name in $names; do
    # Relative paths whose every part starts with a letter or digit: none
    # leads out of the directory.
    [[ "$name" =~ ^[A-Za-z0-9][A-Za-z0-9._+-]*(/[A-Za-z0-9][A-Za-z0-9._+-]*)*$ ]] ||
      refuse "$marker lists '$name'"
  done
  (cd "$dist" && sed 1d "$marker_name" | sha256sum --check --strict --quiet --ignore-missing) ||
    refuse "$dist: files of the earlier release changed since release.sh wrote them; move them away first"
  echo "$names"
}
if [[ -e "$dist" || -L "$dist" ]]; then
  [[ -d "$dist" ]] || refuse "$dist is not a directory"
  if [[ -f "$dist/$marker_name" ]]; then
    earlier_files >/dev/null
  elif [[ -n $(ls -A "$dist") ]]; then
    refuse "$dist is not empty and holds no earlier release: release.sh writes only to a new or" \
      "empty directory (TARNWICK_DIST_DIR), or over its own earlier release"
  fi
fi

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}
# binutils stamps PE files it rewrites with this time instead of the clock.
export SOURCE_DATE_EPOCH=$epoch
mkdir -p "$build_root"
build_root=$(cd "$build_root" && pwd)
work=$(mktemp -d "$build_root/release.XXXXXX")
finish() {
  local status=$?
  if (( status == 0 )); then
    rm -rf "$work"
  else
    echo "release.sh: failed; nothing written to $dist; the builds and logs are in $work" >&2
  fi
}
trap finish EXIT
linux_build=$work/linux
windows_build=$work/windows
aarch64_build=$work/linux-aarch64
cmake_args+=(-DTARNWICK_VERSION_SUFFIX="$suffix")
# An empty key selects the development key.
[[ -n "$key" ]] || cmake_args+=(-DTARNWICK_MODEL_KEY=)

build() {  # PRESET BUILD_DIR: configure the preset afresh in BUILD_DIR, build the library
  local preset=$1 dir=$2
  (cd "$root" && cmake --preset "$preset" -B "$dir" "${cmake_args[@]}") \
    >"$work/$preset-configure.log" 2>&1 || { cat "$work/$preset-configure.log" >&2; exit 1; }
  cmake --build "$dir" --target tarnwick -j "$jobs"
}

# The build gives the source and build paths fixed names, links the DLL
# without a time stamp, strips the libraries and leaves each one's debug
# information next to it (<library>.debug). The archives are packed from what
# cmake --install puts in place, which must be exactly the library, its debug
# file, the document for mod developers, the extractor's sources and the mod's
# class.
install_library() {  # BUILD_DIR LIBRARY (lib/libtarnwick.so or bin/tarnwick.dll) DIRECTORY
  local dir=$1 library=$2 into=$3 installed expected
  cmake --install "$dir" --prefix "$dir/installed" >"$dir/install.log" 2>&1 ||
    { cat "$dir/install.log" >&2; exit 1; }
  expected=$({ printf '%s\n' "$library" "$library.debug" share/doc/tarnwick/mod-developers.md \
      share/tarnwick/java/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java
    (cd "$root/java/natives" && find tarnwick -name '*.java' | sed 's|^|share/tarnwick/java/|'); } |
    LC_ALL=C sort)
  installed=$(cd "$dir/installed" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [[ "$installed" == "$expected" ]] ||
    { printf 'release.sh: cmake --install of %s gave:\n%s\nexpected:\n%s\n' "$dir" "$installed" "$expected" >&2
      exit 1; }
  cp "$dir/installed/$library" "$dir/installed/$library.debug" \
    "$dir/installed/share/doc/tarnwick/mod-developers.md" \
    "$dir/installed/share/tarnwick/java/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java" \
    "$into/"
}

echo "-- Linux library, and tarnwick-model.jar with the same model key"
build release "$linux_build"
cmake --build "$linux_build" --target tarnwick_model_jar -j "$jobs"
echo "-- Linux aarch64 library"
build linux-aarch64-release "$aarch64_build"
echo "-- Windows DLL"
build windows-release "$windows_build"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_build/CMakeCache.txt")
[[ -n "$version" ]] || { echo "release.sh: no project version in $linux_build" >&2; exit 1; }
version+=$suffix

echo "-- the extractor's classes, with the native methods ContractCheck checks for"
cmake --build "$linux_build" --target java_natives -j "$jobs"
classes=$linux_build/java/natives

echo "-- packing"
stage=$work/stage
out=$work/dist
mkdir -p "$out"
linux_dir=$stage/tarnwick-$version-linux-x86_64
windows_dir=$stage/tarnwick-$version-windows-x86_64
aarch64_dir=$stage/tarnwick-$version-linux-aarch64
mkdir -p "$linux_dir" "$windows_dir" "$aarch64_dir"
install_library "$linux_build" lib/libtarnwick.so "$linux_dir"
install_library "$windows_build" bin/tarnwick.dll "$windows_dir"
install_library "$aarch64_build" lib/libtarnwick.so "$aarch64_dir"
# The model tool is one jar for every platform, built beside the Linux library.
for dir in "$linux_dir" "$windows_dir" "$aarch64_dir"; do
  cp "$linux_build/tools/tarnwick-model.jar" "$root/docs/model-files.md" "$dir/"
done

find "$stage" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
find "$stage" -exec touch -h -d "@$epoch" {} +
for dir in "$linux_dir" "$aarch64_dir"; do
  (cd "$stage" && tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 \
    --numeric-owner -cf - "$(basename "$dir")") | gzip -9n >"$out/$(basename "$dir").tar.gz"
done
(cd "$stage" && find "$(basename "$windows_dir")" -type f | LC_ALL=C sort |
  TZ=UTC zip -X -q -D "$out/tarnwick-$version-windows-x86_64.zip" -@)
bash "$root/scripts/natives-jar.sh" "$out/tarnwick-natives-$version.jar" "$version" "$epoch" \
  "$classes" linux-x86_64="$linux_dir/libtarnwick.so" linux-aarch64="$aarch64_dir/libtarnwick.so" \
  windows-x86_64="$windows_dir/tarnwick.dll"
(cd "$out" && sha256sum -- *.jar *.tar.gz *.zip >SHA256SUMS)
bash "$root/scripts/maven-repo.sh" "$out/maven" "$version" "$epoch" "$classes" "$root/java/natives" \
  linux-x86_64="$linux_dir/libtarnwick.so" linux-aarch64="$aarch64_dir/libtarnwick.so" \
  windows-x86_64="$windows_dir/tarnwick.dll"

echo "-- checking the release"
bash "$root/tests/release/check_dist.sh" "$out"

# Into place: the earlier release's files out, the new ones in, the list last.
# The list names every file, those in maven/ by their path.
names=$(cd "$out" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
earlier=""
mkdir -p "$dist"
[[ ! -f "$dist/$marker_name" ]] || earlier=$(earlier_files)
# In the way, and refused before anything moves: a file of the user's under
# a name the release writes, or anything but a folder where it needs one.
in_the_way=$(for name in $names; do
  [[ ! -e "$dist/$name" ]] || grep -qxF -- "$name" <<<"$earlier" || echo "$name"
  folder=$(dirname -- "$name")
  while [[ $folder != . ]]; do
    [[ ! -e "$dist/$folder" && ! -L "$dist/$folder" ]] ||
      [[ -d "$dist/$folder" && ! -L "$dist/$folder" ]] || echo "$folder"
    folder=$(dirname -- "$folder")
  done
done | LC_ALL=C sort -u)
[[ -z "$in_the_way" ]] ||
  refuse "$(for name in $in_the_way; do echo "$dist/$name is in the way and not from an earlier release"; done)"
for name in $earlier; do rm -f -- "$dist/$name"; done
# Directories the earlier release's files leave empty go too.
[[ ! -d "$dist/maven" ]] || find "$dist/maven" -depth -type d -empty -delete
rm -f -- "$dist/$marker_name"
for name in $names; do
  mkdir -p -- "$(dirname -- "$dist/$name")"
  mv -- "$out/$name" "$dist/$name"
done
{ echo "$marker_title"; (cd "$dist" && sha256sum -- $names); } >"$dist/$marker_name.tmp"
mv -- "$dist/$marker_name.tmp" "$dist/$marker_name"
echo "Release $version in $dist:"
(cd "$dist" && for f in $(grep -v / <<<"$names"); do printf '  %-50s %8d bytes\n' "$f" "$(stat -c %s "$f")"; done)
echo "  maven/: $(find "$dist/maven" -type f | wc -l) files"
(cd "$dist/maven" && for f in $(find . -name '*.jar' | sed 's|^\./||' | LC_ALL=C sort); do
  printf '    %-70s %8d bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done)
