#!/usr/bin/env bash
# Checks the sizes a document gives for the files of a release against the
# release itself. Every table row of the form
#   | `NAME` ... | about N KiB |     (or MiB)
# names a file of DIST_DIR or of one of its archives, unpacked
# (tarnwick-<version>-<platform>/FILE); <version> stands for the release's
# version and <platform> for every platform at once (the file must then have
# the same size in each archive). N must be within 5% of the file's size. The
# rows as they should read are printed, so a failing document can be brought
# up to date from the output.
# Usage: check_doc_figures.sh DIST_DIR DOCUMENT
set -euo pipefail
dist=$(cd "${1:?usage: check_doc_figures.sh DIST_DIR DOCUMENT}" && pwd)
doc=${2:?usage: check_doc_figures.sh DIST_DIR DOCUMENT}
failures=0
fail() { echo "FAIL: $doc: $*" >&2; failures=$((failures + 1)); }

jar=$(cd "$dist" && ls tarnwick-natives-*.jar)
version=${jar#tarnwick-natives-}
version=${version%.jar}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$dist"/*.jar "$work/"
for archive in "$dist"/*.tar.gz; do tar xzf "$archive" -C "$work"; done
for archive in "$dist"/*.zip; do unzip -q "$archive" -d "$work"; done
cp "$dist"/*.tar.gz "$dist"/*.zip "$work/"

# about VALUE UNIT BYTES: whether VALUE UNIT is within 5% of BYTES.
about() {
  awk -v v="$1" -v u="$2" -v b="$3" 'BEGIN {
    s = (u == "MiB") ? v * 1048576 : v * 1024
    d = s - b; if (d < 0) d = -d
    exit !(d <= 0.05 * b) }'
}
# in_unit BYTES UNIT: BYTES in UNIT, as the document would write it.
in_unit() {
  awk -v b="$1" -v u="$2" 'BEGIN {
    if (u == "MiB") printf "%.1f", b / 1048576; else printf "%d", (b + 512) / 1024 }'
}

rows=0
while IFS= read -r line; do
  [[ $line =~ ^\|\ \`([^\`]+)\`.*\|\ about\ ([0-9]+(\.[0-9]+)?)\ (KiB|MiB)\ \|$ ]] || continue
  name=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]} unit=${BASH_REMATCH[4]}
  rows=$((rows + 1))
  path=${name//<version>/$version}
  platforms=(none)
  [[ $path != *"<platform>"* ]] || platforms=(linux-x86_64 linux-aarch64 windows-x86_64)
  sizes=()
  for platform in "${platforms[@]}"; do
    file=$work/${path//<platform>/$platform}
    if [[ ! -f $file ]]; then
      fail "\`$name\`: no ${file#"$work/"} in the release"
      continue 2
    fi
    sizes+=("$(stat -c %s "$file")")
  done
  if [[ $(printf '%s\n' "${sizes[@]}" | sort -u | wc -l) != 1 ]]; then
    fail "\`$name\` differs in size between the platforms: ${sizes[*]}"
    continue
  fi
  bytes=${sizes[0]}
  echo "\`$name\`: $bytes bytes; the document says about $value $unit, it is about $(in_unit "$bytes" "$unit") $unit"
  about "$value" "$unit" "$bytes" ||
    fail "\`$name\` is $bytes bytes, about $(in_unit "$bytes" "$unit") $unit; the document says about $value $unit"
done <"$doc"
((rows > 0)) || fail "no size rows (| \`NAME\` | about N KiB |) found"

if ((failures)); then exit 1; fi
echo "OK: the $rows sizes in $doc are within 5% of release $version's files"
