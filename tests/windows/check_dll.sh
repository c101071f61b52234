#!/usr/bin/env bash
# Checks what tarnwick.dll shows the system loader, from its PE headers:
#   - a 64-bit (x86-64) DLL, stripped, no larger than the size budget;
#   - it exports the JNI entry points of jni/entry_points.h, undecorated, and
#     nothing else
#     (in particular no JNI_OnLoad);
#   - it imports only DLLs that ship with Windows (the C++ runtime is linked
#     in statically), and DisableThreadLibraryCalls from KERNEL32.dll;
#   - hardened: ASLR (DYNAMIC_BASE, with a .reloc table), HIGH_ENTROPY_VA and
#     DEP (NX_COMPAT); the stack protector linked in (its symbols are in the
#     debug file);
#   - a version resource whose translation names its string block, and no
#     link time stamp (reproducible builds);
#   - a .gnu_debuglink, and tarnwick.dll.debug next to it with a line table
#     and the same build-id (CodeView RSDS signature).
# Every failed check is reported; the exit status is 1 when any failed.
#
# Usage: tests/windows/check_dll.sh path/to/tarnwick.dll
# TARNWICK_DLL_MAX_BYTES overrides the size budget (default 200 KiB).
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 path/to/tarnwick.dll" >&2
  exit 2
fi
dll=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
max_bytes=${TARNWICK_DLL_MAX_BYTES:-204800}

. "$(dirname "$0")/../../scripts/lib.sh"
mapfile -t expected_exports < <(entry_points export)
# DLLs every Windows installation has. Anything else (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll, ...) would not be found in a game
# client's process.
# ADVAPI32.dll is there for the stack protector's random guard value.
system_dll_pattern='^(kernel32\.dll|advapi32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$'

failures=()
fail() { failures+=("$1"); }

if [[ ! -f "$dll" ]]; then
  echo "FAIL: $dll does not exist" >&2
  exit 1
fi
if ! headers=$("$objdump" -p "$dll" 2>&1); then
  echo "FAIL: $objdump -p could not read $dll:" >&2
  echo "$headers" >&2
  exit 1
fi

# --- file kind ------------------------------------------------------------
grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE32+ x86-64 image"
characteristics=$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")
if [[ -z "$characteristics" ]] || (( (characteristics & 0x2000) == 0 )); then
  fail "not a DLL (Characteristics ${characteristics:-missing}, IMAGE_FILE_DLL unset)"
fi

# --- size and stripping ---------------------------------------------------
size=$(stat -c %s "$dll")
if (( size > max_bytes )); then
  fail "size $size bytes exceeds the budget of $max_bytes bytes"
fi
symbols=$("$objdump" -t "$dll" 2>&1 | grep -c '^\[' || true)
if (( symbols > 0 )); then
  fail "not stripped: $symbols entries in the COFF symbol table"
fi
if "$objdump" -h "$dll" | grep -q ' \.debug_'; then
  fail "not stripped: has .debug_* sections"
fi

# --- hardening ------------------------------------------------------------
dll_characteristics=$(awk '/^DllCharacteristics/ {print $2; exit}' <<<"$headers")
dll_characteristics=$(( 0x${dll_characteristics:-0} ))
(( dll_characteristics & 0x0040 )) || fail "no DYNAMIC_BASE: Windows cannot place it at a random address"
(( dll_characteristics & 0x0020 )) || fail "no HIGH_ENTROPY_VA: only low-entropy 64-bit ASLR"
(( dll_characteristics & 0x0100 )) || fail "no NX_COMPAT: data pages may be executable"
reloc_size=$(awk '/^Entry 5 / {print $3; exit}' <<<"$headers")
section_table=$("$objdump" -h "$dll")
if ! grep -q ' \.reloc ' <<<"$section_table" || (( 0x${reloc_size:-0} == 0 )); then
  fail "no .reloc table: Windows cannot relocate it"
fi

# --- version resource and reproducibility ----------------------------------
resource_size=$(awk '/^Entry 2 / {print $3; exit}' <<<"$headers")
(( 0x${resource_size:-0} > 0 )) || fail "no resources: the version resource is missing"
# VarFileInfo's Translation names the language and code page pairs under
# which Windows looks the strings up: each must name a StringFileInfo block
# (here "040904B0", U.S. English in Unicode), or Properties > Details shows
# none of them. Read from the .rsrc section's bytes: the key "Translation" in
# UTF-16LE, its value 32-bit aligned after it, wValueLength 4 bytes before it.
utf16_hex() { printf '%s' "$1" | iconv -f ASCII -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }
rsrc=$(mktemp)
if "${OBJCOPY:-x86_64-w64-mingw32-objcopy}" -O binary --only-section=.rsrc "$dll" "$rsrc" 2>/dev/null &&
   [[ -s $rsrc ]]; then
  resource=$(od -An -v -tx1 "$rsrc" | tr -d ' \n')
  le16() { local h=${resource:$(($1 * 2)):4}; echo $((0x${h:2:2}${h:0:2})); }
  key=$(utf16_hex Translation)0000
  before=${resource%%"$key"*}
  if [[ $before == "$resource" ]]; then
    fail "the version resource has no Translation"
  else
    at=$((${#before} / 2))
    value=$(((at + ${#key} / 2 + 3) / 4 * 4))
    (($(le16 $((at - 4))) >= 4)) || fail "the version resource's Translation is empty"
    for ((pair = value; pair < value + $(le16 $((at - 4))); pair += 4)); do
      block=$(printf '%04X%04X' "$(le16 $pair)" "$(le16 $((pair + 2)))")
      [[ $resource == *"$(utf16_hex "$block")0000"* || $resource == *"$(utf16_hex "${block,,}")0000"* ]] ||
        fail "the version resource's Translation names $block (language 0x${block:0:4}, code page $((0x${block:4}))), but no string block has that name"
    done
  fi
fi
rm -f "$rsrc"
grep -q '^Time/Date[[:space:]].* 1970$' <<<"$headers" ||
  fail "has a link time stamp ($(awk '/^Time\/Date/ {$1 = ""; print; exit}' <<<"$headers")), not 0"

# --- debug file -------------------------------------------------------------
signature() { "$objdump" -p "$1" 2>/dev/null | sed -n 's/.*RSDS signature \([0-9a-f]*\).*/\1/p'; }
grep -q ' \.gnu_debuglink ' <<<"$section_table" || fail "no .gnu_debuglink section"
dll_signature=$(signature "$dll")
[[ -n "$dll_signature" ]] || fail "no build-id (CodeView RSDS record)"
debug_file="$dll.debug"
if [[ ! -f "$debug_file" ]]; then
  fail "no debug file $debug_file"
else
  grep -q ' \.debug_line ' <<<"$("$objdump" -h "$debug_file")" ||
    fail "$debug_file has no line table (.debug_line)"
  [[ -n "$dll_signature" && "$(signature "$debug_file")" == "$dll_signature" ]] ||
    fail "$debug_file has build-id '$(signature "$debug_file")', the DLL '$dll_signature'"
  # Read whole: grep -q stopping early would end objdump with SIGPIPE.
  grep -Eq ' __stack_chk_fail$' <<<"$("$objdump" -t "$debug_file")" ||
    fail "no stack protector: __stack_chk_fail is not linked in (-fstack-protector-strong)"
fi

# --- exports --------------------------------------------------------------
# The names follow the "[Ordinal/Name Pointer] Table" heading, one a line.
mapfile -t exports < <(awk '
  /^\[Ordinal\/Name Pointer\] Table/ {in_table = 1; next}
  in_table && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ {print $NF; next}
  in_table {in_table = 0}' <<<"$headers" | LC_ALL=C sort)

for name in "${expected_exports[@]}"; do
  grep -qxF "$name" <<<"$(printf '%s\n' "${exports[@]}")" || fail "missing export: $name"
done
for name in "${exports[@]}"; do
  [[ -z "$name" ]] && continue
  grep -qxF "$name" <<<"$(printf '%s\n' "${expected_exports[@]}")" || fail "unexpected export: $name"
done
grep -q '^JNI_OnLoad' <<<"$(printf '%s\n' "${exports[@]}")" && fail "exports JNI_OnLoad (the library must not have one)"
duplicates=$(printf '%s\n' "${exports[@]}" | uniq -d)
[[ -n "$duplicates" ]] && fail "exported more than once: $duplicates"

# --- imports --------------------------------------------------------------
mapfile -t imported_dlls < <(awk '/^[[:space:]]*DLL Name:/ {print $3}' <<<"$headers")
if (( ${#imported_dlls[@]} == 0 )); then
  fail "no import table found"
fi
for name in "${imported_dlls[@]}"; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$name")
  [[ "$lower" =~ $system_dll_pattern ]] || fail "imports a DLL that Windows does not ship: $name"
done

# Functions imported from KERNEL32.dll: the member names listed under its
# "DLL Name:" line, up to the next blank line.
mapfile -t kernel32_functions < <(awk '
  /^[[:space:]]*DLL Name:/ {in_dll = (tolower($3) == "kernel32.dll"); next}
  /^[[:space:]]*$/ {in_dll = 0; next}
  in_dll && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ {print $3}' <<<"$headers")
grep -qxF DisableThreadLibraryCalls <<<"$(printf '%s\n' "${kernel32_functions[@]}")" ||
  fail "DisableThreadLibraryCalls is not imported from KERNEL32.dll (DllMain missing or changed?)"

# --- report ---------------------------------------------------------------
echo "$dll: $size bytes ($(( (size + 1023) / 1024 )) KiB), ${#exports[@]} exports"
for name in "${imported_dlls[@]}"; do
  count=$(awk -v dll="$name" '
    /^[[:space:]]*DLL Name:/ {in_dll = ($3 == dll); next}
    /^[[:space:]]*$/ {in_dll = 0; next}
    in_dll && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ {n++}
    END {print n + 0}' <<<"$headers")
  echo "  imports $name: $count functions"
done

if (( ${#failures[@]} > 0 )); then
  echo "FAIL: $dll does not meet the DLL contract:" >&2
  printf '  - %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "OK: $dll exports exactly the ${#expected_exports[@]} entry points, imports only system DLLs, is hardened," \
  "versioned and stripped, with its debug file"
