#!/usr/bin/env bash
# Writes the release's Maven repository: a directory that serves as is as a
# repository (a file:// URL, or copied to a web server) for Gradle and Maven.
#   vardel/tarnwick/tarnwick-extractor/<version>/
#     tarnwick-extractor-<version>.jar          the extractor's classes
#     tarnwick-extractor-<version>-sources.jar  their sources
#     tarnwick-extractor-<version>-javadoc.jar  their API documentation
#     tarnwick-extractor-<version>.pom
#   vardel/tarnwick/tarnwick-natives/<version>/
#     tarnwick-natives-<version>-natives-<platform>.jar   one per platform:
#         natives/<platform>/<library>, its .sha256 and tarnwick.version;
#         module tarnwick.natives.<os>.<arch> (the extractor's: tarnwick.natives)
#     tarnwick-natives-<version>.pom            depends on the extractor
#   vardel/tarnwick/<artifact>/maven-metadata.xml
# and beside every file its .md5, .sha1, .sha256 and .sha512 (the hex digits
# alone, as repositories carry them). The classifier jars keep the resource
# paths of the all-platform jar, so the extractor finds its platform's
# library in either. The metadata lists this one version; its lastUpdated is
# EPOCH, not the clock, so the same inputs give the same bytes.
# Usage: maven-repo.sh OUT_DIR VERSION EPOCH CLASSES_DIR SOURCES_DIR PLATFORM=LIBRARY...
#   SOURCES_DIR holds the extractor's sources (tarnwick/natives/*.java).
set -euo pipefail
if (( $# < 6 )); then
  echo "usage: $0 OUT_DIR VERSION EPOCH CLASSES_DIR SOURCES_DIR PLATFORM=LIBRARY..." >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
out=$1 version=$2 epoch=$3 classes=$4 sources=$5
shift 5
group=vardel.tarnwick
group_dir=$out/${group//.//}
extractor_dir=$group_dir/tarnwick-extractor/$version
natives_dir=$group_dir/tarnwick-natives/$version
mkdir -p "$extractor_dir" "$natives_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

manifest() {  # DIR TITLE [EXTRA LINE]: a manifest with CR LF line ends
  mkdir -p "$1/META-INF"
  { printf 'Manifest-Version: 1.0\r\nImplementation-Title: %s\r\nImplementation-Version: %s\r\n' "$2" "$version"
    [[ -z ${3:-} ]] || printf '%s\r\n' "$3"
    printf '\r\n'; } >"$1/META-INF/MANIFEST.MF"
}

xml_escape() {  # TEXT: printed with & < > " ' as XML's predefined entities
  # (The replacements are quoted: bash 5.2 reads a bare & in them as the match.)
  local text=${1//"&"/"&amp;"}
  text=${text//"<"/"&lt;"}
  text=${text//">"/"&gt;"}
  text=${text//'"'/"&quot;"}
  printf '%s' "${text//"'"/"&apos;"}"
}

pom() {  # ARTIFACT PACKAGING NAME DESCRIPTION [DEPENDENCY ARTIFACT]
  local g a v p n d
  g=$(xml_escape "$group") a=$(xml_escape "$1") v=$(xml_escape "$version")
  p=$(xml_escape "$2") n=$(xml_escape "$3") d=$(xml_escape "$4")
  cat <<POM
<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:schemaLocation="http://maven.apache.org/POM/4.0.0 https://maven.apache.org/xsd/maven-4.0.0.xsd">
  <modelVersion>4.0.0</modelVersion>
  <groupId>$g</groupId>
  <artifactId>$a</artifactId>
  <version>$v</version>
  <packaging>$p</packaging>
  <name>$n</name>
  <description>$d</description>
POM
  if [[ -n ${5:-} ]]; then
    cat <<POM
  <dependencies>
    <dependency>
      <groupId>$g</groupId>
      <artifactId>$(xml_escape "$5")</artifactId>
      <version>$v</version>
    </dependency>
  </dependencies>
POM
  fi
  echo "</project>"
}

# The extractor: classes, sources, API documentation.
mkdir -p "$work/classes" "$work/sources"
manifest "$work/classes" "tarnwick extractor" "Automatic-Module-Name: tarnwick.natives"
cp -R "$classes/." "$work/classes/"
bash "$here/pack-jar.sh" "$work/classes" "$extractor_dir/tarnwick-extractor-$version.jar" "$epoch"
manifest "$work/sources" "tarnwick extractor sources"
cp -R "$sources/." "$work/sources/"
# What sits beside the classes and is not one (the native methods'
# list) goes with the sources too, as a build from them needs it.
(cd "$classes" && find . -type f ! -name '*.class' -exec cp --parents {} "$work/sources/" \;)
bash "$here/pack-jar.sh" "$work/sources" "$extractor_dir/tarnwick-extractor-$version-sources.jar" "$epoch"
# -notimestamp keeps the date out of the pages.
javadoc -quiet -notimestamp -Xdoclint:none --release 11 -encoding UTF-8 -charset UTF-8 \
  -d "$work/javadoc" -sourcepath "$sources" -subpackages tarnwick.natives \
  -doctitle "tarnwick extractor $version" -windowtitle "tarnwick extractor $version" >"$work/javadoc.log" 2>&1 ||
  { cat "$work/javadoc.log" >&2; exit 1; }
manifest "$work/javadoc" "tarnwick extractor API documentation"
bash "$here/pack-jar.sh" "$work/javadoc" "$extractor_dir/tarnwick-extractor-$version-javadoc.jar" "$epoch"
pom tarnwick-extractor jar "tarnwick extractor" \
  "Puts the tarnwick native library for this platform in place, verified, for System.load." \
  >"$extractor_dir/tarnwick-extractor-$version.pom"

# The natives: one jar per platform, no classes.
for pair in "$@"; do
  bash "$here/natives-jar.sh" "$natives_dir/tarnwick-natives-$version-natives-${pair%%=*}.jar" \
    "$version" "$epoch" - "$pair"
done
pom tarnwick-natives pom "tarnwick natives" \
  "The tarnwick native library, one classifier per platform: natives-<platform>." \
  tarnwick-extractor >"$natives_dir/tarnwick-natives-$version.pom"

updated=$(TZ=UTC date -d "@$epoch" +%Y%m%d%H%M%S)
for artifact in tarnwick-extractor tarnwick-natives; do
  g=$(xml_escape "$group") a=$(xml_escape "$artifact") v=$(xml_escape "$version")
  cat >"$group_dir/$artifact/maven-metadata.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<metadata>
  <groupId>$g</groupId>
  <artifactId>$a</artifactId>
  <versioning>
    <latest>$v</latest>
    <release>$v</release>
    <versions>
      <version>$v</version>
    </versions>
    <lastUpdated>$updated</lastUpdated>
  </versioning>
</metadata>
XML
done

find "$group_dir" -type f | while read -r file; do
  for sum in md5 sha1 sha256 sha512; do
    "${sum}sum" "$file" | awk '{printf "%s", $1}' >"$file.$sum"
  done
done
find "$out" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
