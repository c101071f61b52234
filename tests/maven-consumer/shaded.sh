#!/usr/bin/env bash
# Copies of the extractor side by side in one JVM, as mods that shade it
# carry them: Debian's maven-shade-plugin builds the small mod twice with the
# extractor relocated into a package of its own (one.shaded.tarnwick.natives,
# two.shaded.tarnwick.natives), this platform's natives packed in. Then, each
# mod in a class loader of its own, under -Xcheck:jni:
#   - the plain mod (its jar and the jars Maven resolved) beside a shaded one;
#   - the two shaded ones;
# each pair both load the library, each from a verified file of its own, and
# reach it through a native call. The relocated ContractCheck passes on the
# shaded mod.
# Usage: shaded.sh SETTINGS VERSION PLATFORM MOD_SOURCES PLAIN_CLASSPATH WORK
#   SETTINGS     the Maven settings the stage uses (offline, dist/maven)
#   MOD_SOURCES  the small mod's src/main/java
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib.sh"
settings=$1 version=$2 platform=$3 sources=$4 plain=$5 work=$6

shaded=()
for name in one two; do
  project=$work/shaded-$name
  rm -rf "$project"
  mkdir -p "$project/src/main"
  cp -R "$sources" "$project/src/main/java"
  sed -e "s/@ARTIFACT@/shaded-$name/" -e "s/@PACKAGE@/$name.shaded/" -e "s/@PLATFORM@/$platform/" \
    "$here/shaded-pom.xml" >"$project/pom.xml"
  timeout 600 mvn -B -o -Daether.offline.protocols=file -s "$settings" -f "$project/pom.xml" \
    -Dtarnwick.version="$version" process-classes jar:jar shade:shade >"$project/maven.log" 2>&1 ||
    { cat "$project/maven.log" >&2; fail "the shaded mod $name"; }
  jar=$project/target/shaded-$name-1.0.jar
  entries=$(unzip -Z1 "$jar")
  grep -qxF "$name/shaded/tarnwick/natives/NativeLibraryExtractor.class" <<<"$entries" ||
    fail "shaded-$name-1.0.jar holds no relocated extractor"
  ! grep -q '^tarnwick/' <<<"$entries" || fail "shaded-$name-1.0.jar still holds tarnwick/natives/"
  grep -qxF "natives/$platform/libtarnwick.so" <<<"$entries" ||
    fail "shaded-$name-1.0.jar holds no natives/$platform/libtarnwick.so"
  # The relocated ContractCheck still reads its list beside it.
  java -cp "$jar" "$name.shaded.tarnwick.natives.ContractCheck" >"$project/contract.log" 2>&1 ||
    { cat "$project/contract.log" >&2; fail "ContractCheck relocated into $name.shaded"; }
  grep -q '^tarnwick contract: all ' "$project/contract.log" ||
    fail "ContractCheck relocated into $name.shaded: $(cat "$project/contract.log")"
  shaded+=("$jar")
  echo "shaded-$name-1.0.jar: the extractor in $name.shaded.tarnwick.natives"
done

javac --release 11 -d "$work/two-mods" "$here/TwoMods.java"
two_mods() {  # NAME GAME_DIR CLASSPATH_1 CLASSPATH_2
  local log=$work/$1.log
  java -Xcheck:jni -cp "$work/two-mods" TwoMods "${@:2}" >"$log" 2>&1 ||
    { cat "$log" >&2; fail "two mods, $1"; }
  cat "$log"
  check_jni_warnings "$log" "two mods, $1"
  local files
  files=$(grep -o ' loaded [^;]*' "$log" | awk '{print $2}')
  [[ $(wc -l <<<"$files") == 2 && $(sort -u <<<"$files" | wc -l) == 2 ]] ||
    fail "two mods, $1: not two files of their own: $files"
  [[ $(grep -c 'ended in java.util.concurrent.CompletionException: java.net.ConnectException' "$log") == 2 ]] ||
    fail "two mods, $1: a native call did not reach the library"
}
echo "-- the plain mod beside a shaded one"
two_mods plain-and-shaded "$work/game-shaded" "$plain" "${shaded[0]}"
echo "-- two mods shaded into different packages"
two_mods two-shaded "$work/game-shaded" "${shaded[0]}" "${shaded[1]}"
