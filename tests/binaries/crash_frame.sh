#!/usr/bin/env bash
# Turns a native frame as a JVM crash log (hs_err_pid*.log) prints it,
# "libtarnwick.so+0x3780" or "tarnwick.dll+0x26d0", back into a function and
# a source line, the way the README tells a developer to, and checks the
# answer. The frame is one inside loadRemoteMesh: its offset comes from the
# stripped library's export table, as the JVM's would from the loaded module.
#   - with <library>.debug next to the library, addr2line (following the
#     library's .gnu_debuglink, CRC checked) must name the entry point and a
#     line of its definition in jni/remote_mesh.cpp;
#   - with the library alone, it must find no line: the line table lives only
#     in the debug file.
#
# Usage: tests/binaries/crash_frame.sh path/to/libtarnwick.so|tarnwick.dll
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 path/to/libtarnwick.so|tarnwick.dll" >&2
  exit 2
fi
library=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
function=Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh
source_file=jni/remote_mesh.cpp
into_function=0x10   # a crash a few instructions into the function

# The lines of the definition: from the one naming the function to its
# closing brace in the first column.
first_line=$(grep -n "^$function(" "$root/$source_file" | cut -d: -f1)
last_line=$(awk -v from="$first_line" 'NR > from && /^}/ {print NR; exit}' "$root/$source_file")

# The module offset a crash log shows, and the address addr2line wants.
case $library in
  *.dll)
    objdump=x86_64-w64-mingw32-objdump
    addr2line=x86_64-w64-mingw32-addr2line
    headers=$("$objdump" -p "$library")
    # An export's name index is its index into the export address table.
    index=$(awk -v name="$function" '
      /^\[Ordinal\/Name Pointer\] Table/ {in_table = 1; next}
      in_table && $NF == name {gsub(/[^0-9]/, "", $2); print $2; exit}' <<<"$headers")
    rva=$(awk -v want="$index" '
      /^Export Address Table --/ {in_table = 1; next}
      in_table && /^[[:space:]]*$/ {exit}
      in_table && $2 + 0 == want {print $(NF - 2); exit}' \
      <<<"$(sed 's/\[ */[ /g; s/\]/ ]/g' <<<"$headers")")
    offset=$(( 0x$rva + into_function ))
    # A PE image's addresses start at its preferred base; a crash log's
    # offset is from wherever Windows put it.
    image_base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
    address=$(( 0x$image_base + offset ))
    ;;
  *.so)
    addr2line=addr2line
    # The first segment is mapped at the load address, so offsets are the
    # symbol values themselves.
    value=$(nm -D --defined-only "$library" | awk -v name="$function" '$3 == name {print $1}')
    offset=$(( 0x$value + into_function ))
    address=$offset
    ;;
  *)
    echo "FAIL: $library is neither a .so nor a .dll" >&2
    exit 2
    ;;
esac
frame=$(printf '%s+0x%x' "$(basename "$library")" "$offset")
echo "crash frame: $frame"

# -i lists inlined calls innermost first; the last pair is the function the
# address belongs to.
resolved=$("$addr2line" -f -i -e "$library" "$(printf '0x%x' "$address")")
echo "$resolved" | sed 's/^/  /'
name=$(tail -n 2 <<<"$resolved" | head -n 1)
location=$(tail -n 1 <<<"$resolved")
file=${location%%:*}
line=${location##*:}
line=${line%% *}
status=0
if [[ "$name" != "$function" ]]; then
  echo "FAIL: $frame resolved to '$name', not $function" >&2
  status=1
fi
if [[ "$file" != "/src/tarnwick/$source_file" ]] || ! [[ "$line" =~ ^[0-9]+$ ]] ||
   (( line < first_line || line > last_line )); then
  echo "FAIL: $frame resolved to $location, not a line in $source_file:$first_line-$last_line" >&2
  status=1
fi

# Without its debug file the stripped library has no lines to give.
alone=$(mktemp -d)
trap 'rm -rf "$alone"' EXIT
cp "$library" "$alone/"
without=$("$addr2line" -e "$alone/$(basename "$library")" "$(printf '0x%x' "$address")")
if [[ "$without" != "??:0" && "$without" != "??:?" ]]; then
  echo "FAIL: without its debug file, $frame still resolves to $without (not stripped?)" >&2
  status=1
fi
(( status == 0 )) && echo "OK: $frame is $name at $location"
exit "$status"
