#!/usr/bin/env bash
# The release's Maven repository (dist/maven, written by 30-release.sh) as a
# mod developer who builds with Gradle uses it: Debian's Gradle 4.4, offline
# (--offline, no daemon, a Gradle home of the stage's own), builds a small mod
# from the shipped example class with docs/mod-developers.md's Groovy snippet
# (tests/gradle-consumer/build.gradle), taking dist/maven as a file://
# repository. Then:
#   - the build names none of our artifacts in a warning, and resolves the
#     extractor and every classifier, the bytes of dist/maven;
#   - this machine's classifier alone brings the extractor: the mod compiles
#     against the two, and signs in against a loopback server through them
#     under -Xcheck:jni;
#   - the document's Kotlin DSL snippet is the Groovy one, line for line;
#   - with one byte of that classifier jar changed, Gradle 4.4 builds on (it
#     verifies no checksums of a file:// repository), with the changed jar,
#     and the mod then does not load the library.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib.sh

dist_release
command -v gradle >/dev/null || fail "no gradle: scripts/deps.sh installs Debian's"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
natives=dist/maven/vardel/tarnwick/tarnwick-natives/$version/tarnwick-natives-$version

snippet() {  # LANGUAGE: the first such block of docs/mod-developers.md
  awk -v open="\`\`\`$1" '$0 == open { inside = 1; next } inside && /^```/ { exit } inside' docs/mod-developers.md
}
groovy=$(snippet groovy)
placeholders="maven { url 'file:///path/to/dist/maven' }
def tarnwickVersion = '0.1.0'"
while IFS= read -r line; do
  grep -qF -- "$line" <<<"$groovy" || fail "docs/mod-developers.md's Groovy snippet has no line: $line"
done <<<"$placeholders"

# The mod: the shipped class, the stand-ins of the mod's and the game's
# classes, stage 35's main class; the snippet with REPOSITORY_DIR put in.
mod() {  # PROJECT_DIR REPOSITORY_DIR
  local src=$1/src/main/java
  mkdir -p "$src/example/mod" "$src/vardel/tarnwick/api/client/online"
  cp -R java/standins/vardel java/standins/net "$src/"
  cp java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java \
    "$src/vardel/tarnwick/api/client/online/"
  cp tests/maven-consumer/ConsumerMain.java "$src/example/mod/"
  printf "rootProject.name = 'example-mod'\n" >"$1/settings.gradle"
  local filled=${groovy//"file:///path/to/dist/maven"/"file://$2"}
  filled=${filled//"def tarnwickVersion = '0.1.0'"/"def tarnwickVersion = '$version'"}
  awk -v snippet="$filled" -v platform="$platform" \
    '/^@SNIPPET@$/ { print snippet; next } { gsub(/@PLATFORM@/, platform); print }' \
    tests/gradle-consumer/build.gradle >"$1/build.gradle"
}
gradle_build() {  # PROJECT_DIR LOG TASK...: offline, no daemon; a hang ends at the time limit
  local project=$1 log=$2
  shift 2
  timeout 300 env GRADLE_USER_HOME="$work/gradle-home" \
    gradle --offline --no-daemon --console=plain -p "$project" "$@" >"$log" 2>&1
}
no_warning_about_our_artifacts() {  # LOG
  if grep -F vardel.tarnwick "$1"; then
    fail "Gradle's log names our artifacts (above)"
  fi
}

echo "-- the mod, built with Gradle from dist/maven"
project=$work/mod
mod "$project" "$root/dist/maven"
started=$(date +%s)
gradle_build "$project" "$work/gradle.log" jar libraries compileWithOneClassifier oneClassifierLibraries ||
  { cat "$work/gradle.log" >&2; fail "the Gradle build of the mod"; }
echo "built in $(( $(date +%s) - started )) s"
check "Gradle's log names none of our artifacts" no_warning_about_our_artifacts "$work/gradle.log"
resolved_from_dist() {  # DIR EXPECTED_JAR...: DIR holds exactly these jars, dist/maven's bytes
  local dir=$1 resolved
  shift
  [[ $(ls "$dir" | LC_ALL=C sort) == "$(printf '%s\n' "$@" | LC_ALL=C sort)" ]] ||
    fail "$dir holds: $(ls "$dir")"
  for resolved in "$dir"/*.jar; do
    cmp -s "$resolved" "$(find dist/maven -name "$(basename "$resolved")")" ||
      fail "$(basename "$resolved") differs from dist/maven's"
  done
}
check "the document's snippet resolves the extractor and every classifier" resolved_from_dist \
  "$project/build/lib" "tarnwick-extractor-$version.jar" \
  "tarnwick-natives-$version-natives-"{linux-aarch64,linux-x86_64,windows-x86_64}.jar
one=$project/build/one-classifier
check "the natives-$platform classifier alone brings the extractor" resolved_from_dist \
  "$one/lib" "tarnwick-extractor-$version.jar" "tarnwick-natives-$version-natives-$platform.jar"

echo "-- a call through the one classifier and the extractor it brought"
run_mod() {  # LOG CLASSPATH GAME_DIRECTORY
  java -Xcheck:jni -cp "$2" example.mod.ConsumerMain "$3" >"$1" 2>&1
}
through_one_classifier() {
  run_mod "$work/run.log" "$one/classes:$one/lib/*" "$work/game" ||
    { cat "$work/run.log" >&2; fail "the mod built against one classifier"; }
  cat "$work/run.log"
  check_jni_warnings "$work/run.log" "the mod"
  local copy
  copy=$(find "$work/game/tarnwick-natives" -name libtarnwick.so)
  unzip -q "$natives-natives-$platform.jar" -d "$work/classifier"
  cmp -s "$copy" "$work/classifier/natives/$platform/libtarnwick.so" ||
    fail "the library the mod loaded, $copy, is not the $platform classifier's"
}
check "signIn through the classifier and the extractor Gradle resolved" through_one_classifier
kotlin_is_groovy() {
  # The Groovy lines in Kotlin: url = uri("..."), val for def, "..." for '...'
  # and calls with parentheses.
  local from_groovy kotlin
  from_groovy=$(sed -E -e "s/url '([^']*)'/url = uri(\"\\1\")/" \
    -e "s/^def ([A-Za-z]+) = '([^']*)'/val \\1 = \"\\2\"/" \
    -e 's/^( +)(implementation|runtimeOnly) ("[^"]*")/\1\2(\3)/' <<<"$groovy")
  kotlin=$(snippet kotlin)
  [[ -n $kotlin ]] || fail "docs/mod-developers.md has no Kotlin snippet"
  [[ $from_groovy == "$kotlin" ]] ||
    fail "the Kotlin snippet is not the Groovy one's equivalent:"$'\n'"$(diff <(echo "$from_groovy") <(echo "$kotlin"))"
}
check "the document's Kotlin snippet is its Groovy one, line for line" kotlin_is_groovy

echo "-- a classifier jar with one byte changed"
tampered_classifier() {
  local repo=$work/tampered target size
  cp -R dist/maven "$repo"
  target=$repo/${natives#dist/maven/}-natives-$platform.jar
  size=$(stat -c %s "$target")
  printf '\x00' | dd of="$target" bs=1 seek=$((size / 2)) conv=notrunc status=none
  cmp -s "$target" "$natives-natives-$platform.jar" && printf '\x01' |
    dd of="$target" bs=1 seek=$((size / 2)) conv=notrunc status=none
  ! cmp -s "$target" "$natives-natives-$platform.jar" || fail "the tampered jar is unchanged"
  mod "$work/mod-tampered" "$repo"
  # Gradle 4.4 checks no checksum of a file:// repository: the build goes on.
  # Should a Gradle verify them, this fails, and docs/mod-developers.md with it.
  gradle_build "$work/mod-tampered" "$work/gradle-tampered.log" oneClassifierLibraries ||
    { cat "$work/gradle-tampered.log" >&2; fail "Gradle refused the tampered jar: docs/mod-developers.md says it does not"; }
  cmp -s "$work/mod-tampered/build/one-classifier/lib/$(basename "$target")" "$target" ||
    fail "Gradle did not take the tampered jar"
  echo "Gradle built with the tampered jar; it verifies no checksums"
  # The extractor does not load the changed library.
  EXPECT="loadNatives returned false
online cosmetics are off
does not match its .sha256" expect_failure "the mod with the tampered classifier jar" \
    java -Xcheck:jni -cp "$one/classes:$work/mod-tampered/build/one-classifier/lib/*" example.mod.ConsumerMain \
    "$work/game-tampered"
}
check "a tampered classifier jar: Gradle takes it, the extractor refuses it" tampered_classifier
checks_done "the Gradle consumer"
