#!/usr/bin/env bash
# Packs tarnwick-model.jar: the manifest (Main-Class, version), the tool's
# classes and tarnwick/tools/model.key, the model key the build carries.
# Usage: pack_jar.sh OUT.jar CLASSES_DIR KEY_FILE VERSION
# Entries get the time SOURCE_DATE_EPOCH (default 1980-01-01, the first time a
# zip entry can hold); scripts/pack-jar.sh gives them fixed modes and order.
set -euo pipefail
out=$1 classes=$2 key_file=$3 version=$4
epoch=${SOURCE_DATE_EPOCH:-315532800}
[[ $(cat "$key_file") =~ ^[0-9a-f]{32}$ ]] || { echo "pack_jar.sh: $key_file holds no key" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/META-INF"
printf 'Manifest-Version: 1.0\r\nMain-Class: tarnwick.tools.ModelTool\r\nImplementation-Title: tarnwick-model\r\nImplementation-Version: %s\r\n\r\n' \
  "$version" >"$stage/META-INF/MANIFEST.MF"
cp -R "$classes/." "$stage/"
cp "$key_file" "$stage/tarnwick/tools/model.key"

bash "$(dirname "$0")/../../scripts/pack-jar.sh" "$stage" "$out" "$epoch"
