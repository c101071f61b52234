#!/usr/bin/env bash
# Packs a directory into a jar (a zip) that the same inputs always give byte
# for byte: every entry gets the time EPOCH (seconds, UTC), mode 0644 (0755
# for directories) and a fixed place, META-INF/MANIFEST.MF first (as
# JarInputStream expects), then the other files in byte order of their names.
# Changes the modes and times in DIRECTORY.
# Usage: pack-jar.sh DIRECTORY OUT.jar EPOCH
set -euo pipefail
if (( $# != 3 )); then
  echo "usage: $0 DIRECTORY OUT.jar EPOCH" >&2
  exit 2
fi
dir=$1 out=$2 epoch=$3
find "$dir" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
find "$dir" -exec touch -h -d "@$epoch" {} +
out_abs=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out_abs"
(
  cd "$dir"
  # zip stores local time: with TZ=UTC the entries read as EPOCH in UTC.
  { [[ ! -f META-INF/MANIFEST.MF ]] || echo META-INF/MANIFEST.MF
    find . -type f ! -path ./META-INF/MANIFEST.MF | sed 's|^\./||' | LC_ALL=C sort; } |
    TZ=UTC zip -X -q -D "$out_abs" -@
)
