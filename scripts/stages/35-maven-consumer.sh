#!/usr/bin/env bash
# The release's Maven repository (dist/maven, written by 30-release.sh) as a
# mod developer uses it: Debian's Maven builds a small mod from the shipped
# example class, taking the extractor and the natives from dist/maven as a
# file:// repository with checksum policy fail, offline, once with each of
# the document's Maven snippets (the extractor and every classifier; this
# platform's classifier alone, which must bring the extractor). Any warning
# of Maven's that names one of our artifacts fails the stage. Then:
#   - the mod signs in against a loopback server through the library the
#     build resolved (with each snippet), under -Xcheck:jni, and gets
#     CompletionException for a closed port; with only the Windows classifier
#     it is unsupported on Linux;
#   - the mod shaded by maven-shade-plugin, the extractor relocated, loads
#     beside the plain mod, and two mods shaded into different packages load
#     side by side (tests/maven-consumer/shaded.sh);
#   - ContractCheck passes on the mod and fails, naming the member, on a
#     loader class with a wrong constructor (without running its static
#     initialiser), and on classes with a field of another type, a method
#     that is not native and a static loadMesh;
#   - every Java block of docs/mod-developers.md compiles against the jars,
#     the document's Maven snippet is what the mod builds with, and its
#     contract table lists what ContractCheck checks, which covers every
#     class and descriptor in the library;
#   - a classifier jar with one byte changed, mvn -o without file:// allowed
#     (-Daether.offline.protocols=file), and a Maven run that reaches for a
#     repository not on this machine, all fail the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

dist_release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
local_repo=$work/local-repository

settings() {  # REPOSITORY_DIR [EXTRA_REPOSITORY_URL]: a settings file, printed
  # Debian's plugins come from /usr/share/maven-repo as a file:// repository
  # (it carries no checksums); the local repository is a fresh one, so that
  # nothing is written into the system's.
  local extra=""
  [[ -z ${2:-} ]] || extra="<repository><id>elsewhere</id><url>$2</url></repository>"
  cat <<XML
<settings>
  <localRepository>$local_repo</localRepository>
  <offline>true</offline>
  <profiles>
    <profile>
      <id>here</id>
      <repositories>
        <repository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases><snapshots><enabled>false</enabled></snapshots></repository>
        $extra
        <repository><id>tarnwick</id><url>file://$1</url>
          <releases><checksumPolicy>fail</checksumPolicy></releases><snapshots><enabled>false</enabled></snapshots></repository>
      </repositories>
      <pluginRepositories>
        <pluginRepository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases><snapshots><enabled>false</enabled></snapshots></pluginRepository>
      </pluginRepositories>
    </profile>
  </profiles>
  <activeProfiles><activeProfile>here</activeProfile></activeProfiles>
</settings>
XML
}

# The mod: the shipped class, the mod's and the game's classes it names (the
# stand-ins), its own main class, and the document's Maven snippet as its
# dependencies.
project=$work/mod
src=$project/src/main/java
mkdir -p "$src/example/mod" "$src/vardel/tarnwick/api/client/online"
cp -R java/standins/vardel java/standins/net "$src/"
cp java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java \
  "$src/vardel/tarnwick/api/client/online/"
cp tests/maven-consumer/ConsumerMain.java "$src/example/mod/"
xml_snippet() {  # N: the Nth xml block of docs/mod-developers.md
  awk -v n="$1" '/^```xml/ { if (++seen == n) inside = 1; next } inside && /^```/ { exit } inside' \
    docs/mod-developers.md
}
mod_pom() {  # SNIPPET: the mod's POM with these dependencies, printed
  grep -q '<artifactId>tarnwick-natives</artifactId>' <<<"$1" ||
    fail "docs/mod-developers.md has no Maven snippet with tarnwick-natives"
  awk -v deps="$1" '/@DEPENDENCIES@/ { print deps; next } { print }' tests/maven-consumer/pom.xml
}
mod_pom "$(xml_snippet 1)" >"$project/pom.xml"

maven() {  # SETTINGS VERSION [PROJECT]: builds the mod, offline; a hang ends at the time limit
  local dir=${3:-$project}
  rm -rf "$dir/target" "$local_repo/vardel"
  timeout 600 mvn -B -o -Daether.offline.protocols=file -s "$1" -f "$dir/pom.xml" \
    -Dtarnwick.version="$2" process-classes jar:jar
}
no_warning_about_our_artifacts() {  # LOG: Maven warned of nothing of ours
  if grep -E '^\[WARNING\].*vardel\.tarnwick' "$1"; then
    fail "Maven warned about our artifacts (above)"
  fi
}

echo "-- the mod, built with Maven from dist/maven"
settings "$root/dist/maven" >"$work/settings.xml"
started=$(date +%s)
maven "$work/settings.xml" "$version" >"$work/maven.log" 2>&1 || { cat "$work/maven.log" >&2; fail "the Maven build of the mod"; }
echo "built in $(( $(date +%s) - started )) s"
no_warning_about_our_artifacts "$work/maven.log"
grep -F "tarnwick-natives" "$work/maven.log" | grep -F Downloaded || true
lib=$project/target/lib
natives=dist/maven/vardel/tarnwick/tarnwick-natives/$version/tarnwick-natives-$version
extractor=dist/maven/vardel/tarnwick/tarnwick-extractor/$version/tarnwick-extractor-$version.jar
[[ $(ls "$lib" | LC_ALL=C sort) == "$(printf '%s\n' "tarnwick-extractor-$version.jar" \
    "tarnwick-natives-$version-natives-"{linux-aarch64,linux-x86_64,windows-x86_64}.jar)" ]] ||
  fail "the mod's dependencies are: $(ls "$lib")"
for resolved in "$lib"/*.jar; do
  cmp -s "$resolved" "$(find dist/maven -name "$(basename "$resolved")")" ||
    fail "$(basename "$resolved") differs from dist/maven's"
done

echo "-- a call through the resolved library"
mod=$project/target/example-mod-1.0.jar
run_mod() {  # LOG CLASSPATH ARGUMENT...
  local log=$1 classpath=$2
  shift 2
  java -Xcheck:jni -cp "$classpath" example.mod.ConsumerMain "$@" >"$log" 2>&1 ||
    { cat "$log" >&2; fail "the mod with $classpath"; }
  cat "$log"
  check_jni_warnings "$log" "the mod"
}
run_mod "$work/run.log" "$mod:$lib/*" "$work/game"
copy=$(find "$work/game/tarnwick-natives" -name libtarnwick.so)
unzip -q "$natives-natives-$platform.jar" -d "$work/classifier"
cmp -s "$copy" "$work/classifier/natives/$platform/libtarnwick.so" ||
  fail "the library the mod loaded, $copy, is not the $platform classifier's"
echo "the mod loaded $copy, the natives-$platform classifier's library"
run_mod "$work/windows-only.log" "$mod:$lib/tarnwick-extractor-$version.jar:$lib/tarnwick-natives-$version-natives-windows-x86_64.jar" \
  --expect-unsupported "$work/game-windows-only"
[[ ! -e $work/game-windows-only ]] || fail "an unsupported platform wrote $work/game-windows-only"

echo "-- the mod with the document's one-classifier snippet: this platform's classifier alone"
# The classifier at the default scope: the extractor its POM brings is on the
# class path the mod compiles against.
one=$work/mod-one
mkdir -p "$one"
cp -R "$project/src" "$one/"
one_snippet=$(xml_snippet 2)
mod_pom "${one_snippet//natives-linux-x86_64/natives-$platform}" >"$one/pom.xml"
grep -qF "<classifier>natives-$platform</classifier>" "$one/pom.xml" ||
  fail "the document's second Maven snippet does not declare natives-$platform"
maven "$work/settings.xml" "$version" "$one" >"$work/maven-one.log" 2>&1 ||
  { cat "$work/maven-one.log" >&2; fail "the Maven build of the mod with one classifier"; }
no_warning_about_our_artifacts "$work/maven-one.log"
[[ $(ls "$one/target/lib" | LC_ALL=C sort) == "$(printf '%s\n' "tarnwick-extractor-$version.jar" \
    "tarnwick-natives-$version-natives-$platform.jar")" ]] ||
  fail "the mod with one classifier has the dependencies: $(ls "$one/target/lib")"
run_mod "$work/run-one.log" "$one/target/example-mod-1.0.jar:$one/target/lib/*" "$work/game-one"

# -- Copies of the extractor side by side: shaded by maven-shade-plugin
# (tests/maven-consumer/shaded.sh).
echo "-- mods that shade the extractor, beside the plain mod and each other"
bash tests/maven-consumer/shaded.sh "$work/settings.xml" "$version" "$platform" "$src" \
  "$mod:$lib/tarnwick-extractor-$version.jar:$lib/tarnwick-natives-$version-natives-$platform.jar" "$work"

echo "-- ContractCheck on the mod's classes"
java -cp "$project/target/classes:$extractor" tarnwick.natives.ContractCheck
mkdir -p "$work/wrong/src/vardel/tarnwick/api/asset"
cat >"$work/wrong/src/vardel/tarnwick/api/asset/JsonAssetLoader.java" <<'JAVA'
package vardel.tarnwick.api.asset;

import java.io.InputStream;
import vardel.tarnwick.api.client.model.Mesh;

/** A loader whose constructor takes the location as a string. */
public final class JsonAssetLoader {
    static {
        System.exit(3); // ContractCheck must not initialise the classes it checks
    }

    public JsonAssetLoader(InputStream stream, String location) {}

    public Mesh loadMesh(boolean flag) {
        return null;
    }
}
JAVA
javac --release 11 -cp "$project/target/classes" -d "$work/wrong/classes" \
  "$work/wrong/src/vardel/tarnwick/api/asset/JsonAssetLoader.java"
echo "-- ContractCheck on a loader class with a wrong constructor"
status=0
java -cp "$work/wrong/classes:$project/target/classes:$extractor" tarnwick.natives.ContractCheck \
  >"$work/wrong.log" 2>&1 || status=$?
cat "$work/wrong.log"
(( status == 1 )) || fail "ContractCheck exited $status on the wrong loader class, not 1 (3: it ran its initialiser)"
grep -qxF "missing constructor: vardel/tarnwick/api/asset/JsonAssetLoader.<init>(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V" \
  "$work/wrong.log" || fail "ContractCheck did not name the constructor"
grep -qF "found instead: <init>(Ljava/io/InputStream;Ljava/lang/String;)V" "$work/wrong.log" ||
  fail "ContractCheck did not name the constructor it found"
[[ $(grep -c '^missing\|^mistyped' "$work/wrong.log") == 1 ]] || fail "ContractCheck reported more than the constructor"
shown=$(awk '/^For a `JsonAssetLoader` whose constructor takes a `String` location it prints:/ { section = 1; next }
  section && /^    / { print substr($0, 5); seen = 1; next }
  section && seen && NF { exit }' docs/mod-developers.md)
[[ "$shown" == "$(cat "$work/wrong.log")" ]] ||
  fail "docs/mod-developers.md shows ContractCheck's report as:"$'\n'"$shown"$'\n'"but it printed:"$'\n'"$(cat "$work/wrong.log")"

echo "-- ContractCheck on a mod class with a mistyped field, a method that is not native, a static loadMesh"
mkdir -p "$work/wrong2/src/vardel/tarnwick/api/client/online" "$work/wrong2/src/vardel/tarnwick/api/asset"
# The shipped class's native declarations, but signIn a Java method, and
# HTTP_CLIENT of another type.
shipped=java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java
{
  echo "package vardel.tarnwick.api.client.online;"
  grep '^import ' "$shipped"
  echo "public final class TarnwickServerConnectionHelper {"
  echo "    public static Object HTTP_CLIENT;"
  tr '\n' ' ' <"$shipped" | grep -o 'public static native [^;]*;' |
    sed 's/^public static native \(void signIn([^)]*)\);$/public static \1 {}/'
  echo "}"
} >"$work/wrong2/src/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java"
grep -qF 'public static void signIn(' "$work/wrong2/src/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java" ||
  fail "the wrong class has no Java method signIn"
cat >"$work/wrong2/src/vardel/tarnwick/api/asset/JsonAssetLoader.java" <<'JAVA'
package vardel.tarnwick.api.asset;

import java.io.InputStream;
import net.minecraft.resources.ResourceLocation;
import vardel.tarnwick.api.client.model.Mesh;

/** The right constructor, but loadMesh static. */
public final class JsonAssetLoader {
    public JsonAssetLoader(InputStream stream, ResourceLocation location) {}

    public static Mesh loadMesh(boolean flag) {
        return null;
    }
}
JAVA
mapfile -t wrong_sources < <(find "$work/wrong2/src" -name '*.java')
javac --release 11 -nowarn -cp "$project/target/classes:$extractor" -d "$work/wrong2/classes" "${wrong_sources[@]}"
status=0
java -cp "$work/wrong2/classes:$project/target/classes:$extractor" tarnwick.natives.ContractCheck \
  >"$work/wrong2.log" 2>&1 || status=$?
cat "$work/wrong2.log"
(( status == 1 )) || fail "ContractCheck exited $status on the wrong classes, not 1"
EXPECTED="missing static field: vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.HTTP_CLIENT:Ljava/net/http/HttpClient;
    found instead: static HTTP_CLIENT:Ljava/lang/Object;
mistyped static native method: vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.signIn(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V is not native: its calls never reach the library
mistyped method: vardel/tarnwick/api/asset/JsonAssetLoader.loadMesh(Z)Lvardel/tarnwick/api/client/model/Mesh; is static; the library calls it on an instance"
[[ $(grep -v '^tarnwick contract:' "$work/wrong2.log") == "$EXPECTED" ]] ||
  fail "ContractCheck's report on the wrong classes is not:"$'\n'"$EXPECTED"

echo "-- ContractCheck from an extractor jar repackaged without its list of native methods"
cp "$extractor" "$work/stripped.jar"
zip -q -d "$work/stripped.jar" tarnwick/natives/native-methods.txt
status=0
java -cp "$project/target/classes:$work/stripped.jar" tarnwick.natives.ContractCheck >"$work/stripped.log" 2>&1 ||
  status=$?
cat "$work/stripped.log"
(( status == 1 )) || fail "ContractCheck exited $status without its list of native methods, not 1"
grep -qF "not checked: the static native methods of vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper" \
  "$work/stripped.log" || fail "ContractCheck did not say that it checked no native method"

echo "-- docs/mod-developers.md against the shipped jars"
bash tests/release/check_doc_java.sh docs/mod-developers.md "$project/target/classes:$lib/*"
java -cp "$extractor" tarnwick.natives.ContractCheck --list >"$work/contract.list"
while read -r entry; do
  grep -qF -- "\`${entry##* }\`" docs/mod-developers.md || fail "docs/mod-developers.md does not list $entry"
done <"$work/contract.list"
echo "docs/mod-developers.md lists all $(wc -l <"$work/contract.list") entries ContractCheck checks"
# The all-platform jar's entries, as the document shows them.
listed=$(awk '/^## Loading it: the natives jar/ { section = 1; next }
  section && /^    / { print substr($0, 5); seen = 1; next }
  section && seen && NF { exit }' docs/mod-developers.md)
[[ "$listed" == "$(unzip -Z1 "dist/$jar")" ]] ||
  fail "docs/mod-developers.md lists the natives jar as:"$'\n'"$listed"$'\n'"but it holds:"$'\n'"$(unzip -Z1 "dist/$jar")"
echo "docs/mod-developers.md lists the natives jar's $(unzip -Z1 "dist/$jar" | wc -l) entries as they are"
# Every class name and descriptor in the library's strings is among them.
library="$work/classifier/natives/$platform/libtarnwick.so"
strings -n 3 "$library" | grep -E '^\([^ ]*\)[^ ()]+$|^L[a-z]+/[A-Za-z0-9/$]+;$|^(java|vardel|net)/[A-Za-z0-9/$]+$' |
  LC_ALL=C sort -u >"$work/library.names"
(( $(wc -l <"$work/library.names") > 20 )) || fail "found only $(wc -l <"$work/library.names") names in $library"
while read -r name; do
  grep -qF -- "$name" "$work/contract.list" || fail "the library looks up $name, which ContractCheck does not check"
done <"$work/library.names"
echo "ContractCheck covers the $(wc -l <"$work/library.names") class names and descriptors in $(basename "$library")"

echo "-- a classifier jar with one byte changed"
cp -R dist/maven "$work/tampered"
target=$work/tampered/${natives#dist/maven/}-natives-$platform.jar
size=$(stat -c %s "$target")
printf '\x00' | dd of="$target" bs=1 seek=$((size / 2)) conv=notrunc status=none
cmp -s "$target" "$natives-natives-$platform.jar" && printf '\x01' |
  dd of="$target" bs=1 seek=$((size / 2)) conv=notrunc status=none
! cmp -s "$target" "$natives-natives-$platform.jar" || fail "the tampered jar is unchanged"
settings "$work/tampered" >"$work/settings-tampered.xml"
EXPECT="Checksum validation failed" expect_failure "the Maven build with a tampered classifier jar" \
  maven "$work/settings-tampered.xml" "$version"

echo "-- mvn -o without -Daether.offline.protocols=file, as docs/mod-developers.md says"
rm -rf "$project/target" "$local_repo/vardel"
EXPECT="Cannot access central (file:///usr/share/maven-repo) in offline mode" \
  expect_failure "the offline Maven build without file:// allowed" \
  timeout 600 mvn -B -o -s "$work/settings.xml" -f "$project/pom.xml" -Dtarnwick.version="$version" process-classes

echo "-- a Maven run that reaches for a repository not on this machine"
settings "$root/dist/maven" https://repo.maven.apache.org/maven2 >"$work/settings-network.xml"
EXPECT="in offline mode" expect_failure "the Maven build that needs the network" \
  maven "$work/settings-network.xml" "$version-absent"
echo "Maven consumer checks passed."
