#!/usr/bin/env bash
# Checks a dist/ written by scripts/release.sh: exactly the expected files
# with exactly the expected entries, SHA256SUMS and the jar's .sha256 files
# right, the jar's libraries the same as the archives', each library built for
# the platform its archive and jar entry name, debug files that go with their
# libraries, the portable Linux libraries (x86-64 and aarch64) and the DLL's
# tables, and the Maven repository in maven/: its files, their checksums, the
# classifier jars (one platform's library each, the archives' bytes), the
# extractor's jars, and every POM and maven-metadata.xml well-formed and as
# intended (MavenRepoCheck.java).
# Usage: check_dist.sh DIST_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:?usage: check_dist.sh DIST_DIR}" && pwd)
failures=0
fail() { echo "FAIL: $dist: $*" >&2; failures=$((failures + 1)); }
same_list() {  # WHAT EXPECTED ACTUAL
  if [[ "$2" != "$3" ]]; then
    fail "$1 holds:"$'\n'"$3"$'\n'"expected:"$'\n'"$2"
  fi
}

# shellcheck disable=SC2015 # deliberate: no jar gives an empty name, refused below
jar=$(cd "$dist" && ls tarnwick-natives-*.jar 2>/dev/null || true)
[[ $jar =~ ^tarnwick-natives-([0-9A-Za-z.+-]+)\.jar$ ]] || { fail "no single natives jar"; exit 1; }
version=${BASH_REMATCH[1]}
linux=tarnwick-$version-linux-x86_64
aarch64=tarnwick-$version-linux-aarch64
windows=tarnwick-$version-windows-x86_64

same_list "dist/" "$(printf '%s\n' SHA256SUMS "$linux.tar.gz" "$aarch64.tar.gz" "$windows.zip" "$jar" maven |
    LC_ALL=C sort)" "$(cd "$dist" && ls -1 | LC_ALL=C sort)"
(cd "$dist" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS does not verify"
same_list "SHA256SUMS" "$(printf '%s\n' "$jar" "$linux.tar.gz" "$aarch64.tar.gz" "$windows.zip" |
    LC_ALL=C sort)" "$(awk '{print $2}' "$dist/SHA256SUMS" | LC_ALL=C sort)"

contents() { printf "$1/%s\n" "$1" "$2" "$2.debug" mod-developers.md TarnwickServerConnectionHelper.java \
    tarnwick-model.jar model-files.md |
  sed "1s|/$1\$|/|" | LC_ALL=C sort; }
for archive in "$linux" "$aarch64"; do
  same_list "$archive.tar.gz" "$(contents "$archive" libtarnwick.so)" \
    "$(tar tzf "$dist/$archive.tar.gz" | LC_ALL=C sort)"
done
same_list "$windows.zip" "$(contents "$windows" tarnwick.dll | grep -v '/$')" \
  "$(unzip -Z1 "$dist/$windows.zip" | LC_ALL=C sort)"
# The classes are the extractor's, as its Maven artifact holds them: every
# source file of java/natives compiled, and the list of native methods that
# ContractCheck reads.
group=$dist/maven/vardel/tarnwick
extractor=$group/tarnwick-extractor/$version/tarnwick-extractor-$version
natives=$group/tarnwick-natives/$version/tarnwick-natives-$version
classes=$(unzip -Z1 "$extractor.jar" 2>/dev/null | grep -v '^META-INF/\|/$' || true)
for source in $(cd "$root/java/natives" && find . -name '*.java' | sed 's|^\./||'); do
  grep -qxF "${source%.java}.class" <<<"$classes" || fail "the extractor's jar lacks ${source%.java}.class"
done
grep -qxF tarnwick/natives/native-methods.txt <<<"$classes" ||
  fail "the extractor's jar lacks tarnwick/natives/native-methods.txt"
same_list "$jar (in order)" "$(printf '%s\n' META-INF/MANIFEST.MF \
    natives/linux-aarch64/libtarnwick.so natives/linux-aarch64/libtarnwick.so.sha256 \
    natives/linux-aarch64/tarnwick.version \
    natives/linux-x86_64/libtarnwick.so natives/linux-x86_64/libtarnwick.so.sha256 \
    natives/linux-x86_64/tarnwick.version \
    natives/windows-x86_64/tarnwick.dll natives/windows-x86_64/tarnwick.dll.sha256 \
    natives/windows-x86_64/tarnwick.version \
    $classes)" "$(unzip -Z1 "$dist/$jar")"

# The Maven repository: these files, each with its four checksums.
maven_files=$(printf '%s\n' "$extractor".{jar,pom} "$extractor"-{sources,javadoc}.jar "$natives.pom" \
    "$natives"-natives-{linux-x86_64,linux-aarch64,windows-x86_64}.jar \
    "$group"/tarnwick-{extractor,natives}/maven-metadata.xml | sed "s|^$dist/maven/||")
same_list "maven/" "$(for f in $maven_files; do printf '%s\n' "$f" "$f".{md5,sha1,sha256,sha512}; done |
    LC_ALL=C sort)" "$(cd "$dist/maven" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
for f in $maven_files; do
  for sum in md5 sha1 sha256 sha512; do
    [[ $(cat "$dist/maven/$f.$sum" 2>/dev/null) == $("${sum}sum" <"$dist/maven/$f" | awk '{print $1}') ]] ||
      fail "maven/$f.$sum does not match the file"
  done
done
for pom in "$extractor.pom" "$natives.pom"; do
  artifact=$(basename "$(dirname "$(dirname "$pom")")")
  grep -qF "<groupId>vardel.tarnwick</groupId>
  <artifactId>$artifact</artifactId>
  <version>$version</version>" "$pom" || fail "$(basename "$pom") does not name vardel.tarnwick:$artifact:$version"
done
grep -qF "<artifactId>tarnwick-extractor</artifactId>
      <version>$version</version>" "$natives.pom" || fail "the natives' POM does not depend on the extractor"
for metadata in "$group"/tarnwick-{extractor,natives}/maven-metadata.xml; do
  grep -qF "<version>$version</version>" "$metadata" || fail "$metadata does not list $version"
done
# As a build tool reads them: every POM and maven-metadata.xml parsed by a
# strict XML parser, with exactly the coordinates, packaging and dependencies
# intended.
java "$root/tests/release/MavenRepoCheck.java" "$dist/maven" "$version" ||
  fail "the Maven repository's POMs or metadata are not as intended"
same_list "the extractor's sources jar" "$(echo META-INF/MANIFEST.MF
    cd "$root/java/natives" && { find . -name '*.java'; echo ./tarnwick/natives/native-methods.txt; } |
      sed 's|^\./||' | LC_ALL=C sort)" \
  "$(unzip -Z1 "$extractor-sources.jar" 2>/dev/null | grep -v '/$')"
# (Listings are read whole first: grep -q stopping early would fail the pipe.)
javadoc_entries=$(unzip -Z1 "$extractor-javadoc.jar" 2>/dev/null || true)
grep -qxF tarnwick/natives/package-summary.html <<<"$javadoc_entries" ||
  fail "the javadoc jar has no tarnwick/natives/package-summary.html"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar xzf "$dist/$linux.tar.gz" -C "$work"
tar xzf "$dist/$aarch64.tar.gz" -C "$work"
unzip -q "$dist/$windows.zip" -d "$work"
unzip -q "$dist/$jar" -d "$work/jar"
unzip -q "$extractor.jar" -d "$work/extractor"
for class in $classes; do
  cmp -s "$work/jar/$class" "$work/extractor/$class" || fail "$class differs between $jar and the extractor's jar"
done
for pair in linux-x86_64:$linux/libtarnwick.so linux-aarch64:$aarch64/libtarnwick.so \
    windows-x86_64:$windows/tarnwick.dll; do
  platform=${pair%%:*} archived=$work/${pair#*:}
  name=$(basename "$archived")
  bash "$root/scripts/library-platform.sh" "$archived" "$platform" >/dev/null ||
    fail "${pair#*:} is not built for $platform"
  bash "$root/scripts/library-platform.sh" "$work/jar/natives/$platform/$name" "$platform" >/dev/null ||
    fail "natives/$platform/$name is not built for $platform"
  (cd "$work/jar/natives/$platform" && sha256sum --check --strict --quiet "$name.sha256") ||
    fail "natives/$platform/$name.sha256 does not match the library"
  cmp -s "$archived" "$work/jar/natives/$platform/$name" ||
    fail "natives/$platform/$name differs from the one in the archive"
  [[ $(cat "$work/jar/natives/$platform/tarnwick.version") == "$version" ]] ||
    fail "natives/$platform/tarnwick.version is not $version"
  # Its classifier jar: the same paths, this platform only.
  classifier=$natives-natives-$platform.jar
  same_list "$(basename "$classifier") (in order)" "$(echo META-INF/MANIFEST.MF; printf '%s\n' \
      "natives/$platform/$name" "natives/$platform/$name.sha256" "natives/$platform/tarnwick.version" |
      LC_ALL=C sort)" \
    "$(unzip -Z1 "$classifier" 2>/dev/null)"
  mkdir -p "$work/$platform" && unzip -q "$classifier" -d "$work/$platform" 2>/dev/null || true
  for entry in "natives/$platform/$name" "natives/$platform/$name.sha256" "natives/$platform/tarnwick.version"; do
    cmp -s "$work/jar/$entry" "$work/$platform/$entry" ||
      fail "$entry differs between $jar and $(basename "$classifier")"
  done
  # A module of its own, so that it sits beside the extractor in one layer.
  grep -qx "Automatic-Module-Name: tarnwick\.natives\.${platform//-/\\.}" \
      <<<"$(unzip -p "$classifier" META-INF/MANIFEST.MF | tr -d '\r')" ||
    fail "$(basename "$classifier") is not the module tarnwick.natives.${platform//-/.}"
done

# The archives ship the mod's example class, not the tests' stand-in.
cmp -s "$work/$linux/TarnwickServerConnectionHelper.java" \
  "$root/java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java" ||
  fail "TarnwickServerConnectionHelper.java is not java/example's"

# The model tool: the same jar and document in every archive, the version in
# its manifest, and the model key the libraries carry.
tool=$work/$linux/tarnwick-model.jar
for archive in "$aarch64" "$windows"; do
  cmp -s "$tool" "$work/$archive/tarnwick-model.jar" || fail "$archive's tarnwick-model.jar differs from $linux's"
  cmp -s "$work/$archive/model-files.md" "$root/docs/model-files.md" || fail "$archive's model-files.md is not docs/'s"
done
cmp -s "$work/$linux/model-files.md" "$root/docs/model-files.md" || fail "$linux's model-files.md is not docs/'s"
tool_manifest=$(unzip -p "$tool" META-INF/MANIFEST.MF | tr -d '\r')
grep -qxF "Implementation-Version: $version" <<<"$tool_manifest" ||
  fail "tarnwick-model.jar's manifest does not name $version"
tool_key=$(unzip -p "$tool" tarnwick/tools/model.key 2>/dev/null || true)
if [[ ! $tool_key =~ ^[0-9a-f]{32}$ ]]; then
  fail "tarnwick-model.jar carries no model key"
else
  for library in "$work/$linux/libtarnwick.so" "$work/$aarch64/libtarnwick.so" "$work/$windows/tarnwick.dll"; do
    LC_ALL=C grep -qaP "$(sed 's/../\\x&/g' <<<"$tool_key")" "$library" ||
      fail "tarnwick-model.jar carries another key than $(basename "$(dirname "$library")")/$(basename "$library")"
  done
fi

# Each library names its debug file, and the debug file carries the debug
# information.
so=$work/$linux/libtarnwick.so
arm_so=$work/$aarch64/libtarnwick.so
dll=$work/$windows/tarnwick.dll
debug_link() {  # OBJCOPY LIBRARY: the file name in the library's .gnu_debuglink
  "$1" --dump-section .gnu_debuglink="$work/link" "$2" "$work/scratch" 2>/dev/null &&
    tr '\0' '\n' <"$work/link" | head -n 1
}
[[ $(debug_link objcopy "$so") == libtarnwick.so.debug ]] ||
  fail "libtarnwick.so does not link libtarnwick.so.debug"
readelf -S --wide "$so.debug" | grep -q ' \.debug_info ' || fail "libtarnwick.so.debug has no DWARF"
[[ $(debug_link aarch64-linux-gnu-objcopy "$arm_so") == libtarnwick.so.debug ]] ||
  fail "the aarch64 libtarnwick.so does not link libtarnwick.so.debug"
readelf -S --wide "$arm_so.debug" | grep -q ' \.debug_info ' ||
  fail "the aarch64 libtarnwick.so.debug has no DWARF"
[[ $(debug_link x86_64-w64-mingw32-objcopy "$dll") == tarnwick.dll.debug ]] ||
  fail "tarnwick.dll does not link tarnwick.dll.debug"
x86_64-w64-mingw32-objdump -h "$dll.debug" | grep -q ' \.debug_info ' ||
  fail "tarnwick.dll.debug has no DWARF"

# The debug information names the sources under a fixed directory, not this
# checkout's.
grep -qaF /src/tarnwick/jni/ "$so.debug" || fail "libtarnwick.so.debug does not name /src/tarnwick"
! grep -qaF "$root" "$so.debug" "$arm_so.debug" "$dll.debug" || fail "a debug file names $root"

bash "$root/tests/release/check_portable_so.sh" --release "$so" || fail "the Linux library is not portable"
bash "$root/tests/release/check_portable_so.sh" --release "$arm_so" ||
  fail "the Linux aarch64 library is not portable"
bash "$root/tests/binaries/check_so.sh" "$so" || fail "the Linux library is not hardened"
bash "$root/tests/binaries/check_so.sh" "$arm_so" || fail "the Linux aarch64 library is not hardened"
bash "$root/tests/unit/check_exports.sh" nm "$so" || fail "the Linux library's exports are wrong"
bash "$root/tests/unit/check_exports.sh" nm "$arm_so" || fail "the Linux aarch64 library's exports are wrong"
bash "$root/tests/windows/check_dll.sh" "$dll" || fail "the DLL's tables are wrong"

# Any x86-64 runs them: no AVX (VEX-encoded) instructions, as a -march=native
# build would have.
for pair in objdump:$so x86_64-w64-mingw32-objdump:$dll; do
  vex=$("${pair%%:*}" -d --no-show-raw-insn "${pair#*:}" | awk -F'\t' 'NF >= 2 && $2 ~ /^v/' | wc -l)
  (( vex == 0 )) || fail "$(basename "${pair#*:}") has $vex AVX instructions"
done

# Entries as a player unpacks them: files rw-r--r--, directories rwxr-xr-x,
# owned by 0/0 in the tarball.
for archive in "$linux" "$aarch64"; do
  bad=$(tar tvzf "$dist/$archive.tar.gz" | awk '!(/^-rw-r--r-- 0\/0 / || /^drwxr-xr-x 0\/0 /)')
  [[ -z "$bad" ]] || fail "$archive.tar.gz has entries with other modes or owners:"$'\n'"$bad"
done
for archive in "$windows.zip" "$jar" $(cd "$dist" && find maven -name '*.jar' | LC_ALL=C sort); do
  modes=$(unzip -Z "$dist/$archive" | grep -E '^[-d][-rwxsStT]{9} ' | awk '{print $1}')
  # shellcheck disable=SC2015 # deliberate: either test failing fails the check
  [[ $(wc -l <<<"$modes") == $(unzip -Z1 "$dist/$archive" | wc -l) ]] &&
    ! grep -qvxE -- '-rw-r--r--|drwxr-xr-x' <<<"$modes" ||
    fail "$archive has entries with other modes:"$'\n'"$(unzip -Z "$dist/$archive")"
done

# The version names what was built: the DLL's version resource and the jar's
# manifest carry it, and -devkey is there exactly when the libraries carry the
# development key.
# (Each is read whole first: grep -q stopping early would fail the pipe.)
dll_strings=$(strings -el "$dll")
manifest=$(unzip -p "$dist/$jar" META-INF/MANIFEST.MF | tr -d '\r')
grep -qxF "$version" <<<"$dll_strings" || fail "the DLL's version resource does not name $version"
grep -qxF "Implementation-Version: $version" <<<"$manifest" || fail "the jar's manifest does not name $version"
# The all-platform jar and the extractor's are both the module tarnwick.natives
# (the first replaces the extractor and classifier jars, never beside them).
for module_jar in "$dist/$jar" "$extractor.jar"; do
  grep -qxF "Automatic-Module-Name: tarnwick.natives" <<<"$(unzip -p "$module_jar" META-INF/MANIFEST.MF | tr -d '\r')" ||
    fail "$(basename "$module_jar") is not the module tarnwick.natives"
done
# The module names mod-developers.md gives, one table row per jar, are the
# ones the jars carry.
rows=0
while IFS='|' read -r _ doc_jar doc_module _; do
  doc_jar=$(sed -E 's/^ *`([^`]*)`.*/\1/' <<<"$doc_jar") doc_module=$(sed -E 's/^ *`([^`]*)`.*/\1/' <<<"$doc_module")
  [[ $doc_jar == tarnwick-*.jar ]] || continue
  doc_jar=${doc_jar//<version>/$version}
  shipped=$(find "$dist" -name "$doc_jar" -print -quit)
  [[ -n $shipped ]] || fail "mod-developers.md's module table names $doc_jar, which the release lacks"
  grep -qxF "Automatic-Module-Name: $doc_module" <<<"$(unzip -p "$shipped" META-INF/MANIFEST.MF | tr -d '\r')" ||
    fail "mod-developers.md says $doc_jar is the module $doc_module; its manifest says otherwise"
  rows=$((rows + 1))
done < <(sed -n '/^### Module names/,/^### /p' "$root/docs/mod-developers.md" | grep '^| `')
(( rows == 5 )) || fail "mod-developers.md's module table has $rows rows of jars, not 5"
for maven_jar in $(cd "$dist" && find maven -name '*.jar' | LC_ALL=C sort); do
  maven_manifest=$(unzip -p "$dist/$maven_jar" META-INF/MANIFEST.MF | tr -d '\r')
  grep -qxF "Implementation-Version: $version" <<<"$maven_manifest" ||
    fail "$maven_jar's manifest does not name $version"
done
dev_key=$(cmake -P "$root/cmake/ModelKey.cmake")
[[ $dev_key =~ ^[0-9a-f]{32}$ ]] || fail "cmake/ModelKey.cmake gave no development key: $dev_key"
dev=0 && [[ $version == *-devkey* ]] && dev=1
so_dev=0 && LC_ALL=C grep -qaP "$(sed 's/../\\x&/g' <<<"$dev_key")" "$so" && so_dev=1
dll_dev=0 && grep -q '^development model key' <<<"$dll_strings" && dll_dev=1
arm_dev=0 && LC_ALL=C grep -qaP "$(sed 's/../\\x&/g' <<<"$dev_key")" "$arm_so" && arm_dev=1
[[ $so_dev$arm_dev$dll_dev == $dev$dev$dev ]] ||
  fail "version $version, but the development key is in the Linux library: $so_dev, the aarch64 one: $arm_dev, in the DLL's version resource: $dll_dev"

if (( failures )); then exit 1; fi
echo "OK: $dist holds release $version as expected"
