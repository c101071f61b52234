#!/usr/bin/env bash
# Packs the natives jar that mods include:
#   META-INF/MANIFEST.MF
#   natives/<platform>/<library> and <library>.sha256 (sha256sum format)
#   natives/<platform>/tarnwick.version
#   tarnwick/natives/*.class, the extractor (any compiled class in CLASSES_DIR)
# Nothing sits directly in natives/: that is a legal package name, and a file
# there would put a package in every jar (the platform directories have a
# hyphen, so they are no package).
# Each jar is a module of its own name (Automatic-Module-Name): with classes,
# tarnwick.natives, the extractor's module; without, tarnwick.natives.<os>.<arch>
# for its one platform.
# Usage: natives-jar.sh OUT.jar VERSION EPOCH CLASSES_DIR PLATFORM=LIBRARY...
#   e.g. natives-jar.sh dist/x.jar 0.1.0 1700000000 classes linux-x86_64=libtarnwick.so
# CLASSES_DIR - packs no classes: a jar of one platform's library for a
# Maven classifier, beside the extractor's own artifact.
# Each library must be built for its platform (scripts/library-platform.sh
# reads its header), or nothing is packed.
# Every entry gets the time EPOCH (seconds, UTC) and fixed permissions, and the
# entries are in a fixed order, so the same inputs give the same bytes
# (scripts/pack-jar.sh).
set -euo pipefail
if (( $# < 5 )); then
  echo "usage: $0 OUT.jar VERSION EPOCH CLASSES_DIR PLATFORM=LIBRARY..." >&2
  exit 2
fi
out=$1 version=$2 epoch=$3 classes=$4
shift 4

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
if [[ "$classes" != - ]]; then
  module=tarnwick.natives
elif (( $# == 1 )); then
  platform=${1%%=*}
  module=tarnwick.natives.${platform//-/.}
else
  echo "$0: a jar without classes holds one platform" >&2
  exit 2
fi
mkdir -p "$stage/META-INF" "$stage/natives"
printf 'Manifest-Version: 1.0\r\nAutomatic-Module-Name: %s\r\nImplementation-Title: tarnwick natives\r\nImplementation-Version: %s\r\n\r\n' \
  "$module" "$version" >"$stage/META-INF/MANIFEST.MF"
for pair in "$@"; do
  platform=${pair%%=*} library=${pair#*=}
  bash "$(dirname "$0")/library-platform.sh" "$library" "$platform" >/dev/null
  name=$(basename "$library")
  mkdir -p "$stage/natives/$platform"
  cp "$library" "$stage/natives/$platform/$name"
  (cd "$stage/natives/$platform" && sha256sum "$name" >"$name.sha256")
  printf '%s\n' "$version" >"$stage/natives/$platform/tarnwick.version"
done
[[ "$classes" == - ]] || cp -R "$classes/." "$stage/"
bash "$(dirname "$0")/pack-jar.sh" "$stage" "$out" "$epoch"
