#!/usr/bin/env bash
# Checks what libtarnwick.so (x86-64 or aarch64) shows a reviewer, from its
# ELF headers:
#   - hardened: full RELRO (a GNU_RELRO segment and BIND_NOW), a stack that
#     is not executable, no text relocations, stack protector
#     (__stack_chk_fail) and fortified libc calls (__*_chk) in use;
#   - stripped (no .symtab, no .debug_* sections), with a build-id and a
#     .gnu_debuglink naming <library>.debug; that file must sit next to it
#     and carry the same build-id.
# Every failed check is reported; the exit status is 1 when any failed.
#
# Usage: tests/binaries/check_so.sh path/to/libtarnwick.so
set -euo pipefail
# The patterns below are ASCII ranges: in some locales [a-z] leaves out i.
export LC_ALL=C

if [[ $# -ne 1 ]]; then
  echo "usage: $0 path/to/libtarnwick.so" >&2
  exit 2
fi
so=$1
readelf=${READELF:-readelf}

failures=()
fail() { failures+=("$1"); }

if [[ ! -f "$so" ]]; then
  echo "FAIL: $so does not exist" >&2
  exit 1
fi
if ! header=$("$readelf" -hW "$so" 2>&1); then
  echo "FAIL: $readelf could not read $so:" >&2
  echo "$header" >&2
  exit 1
fi
grep -q 'Type:[[:space:]]*DYN' <<<"$header" || fail "not a shared object"
grep -Eq 'Machine:[[:space:]]*(Advanced Micro Devices X86-64|AArch64)$' <<<"$header" ||
  fail "neither x86-64 nor aarch64"

segments=$("$readelf" -lW "$so")
dynamic=$("$readelf" -dW "$so")
sections=$("$readelf" -SW "$so")
undefined=$("$readelf" --dyn-syms -W "$so" | awk '$7 == "UND" {print $8}' | sed 's/@.*//')

# --- hardening ------------------------------------------------------------
grep -q 'GNU_RELRO' <<<"$segments" || fail "no GNU_RELRO segment (link with -z relro)"
grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" ||
  fail "no BIND_NOW: RELRO is only partial (link with -z now)"
stack=$(awk '$1 == "GNU_STACK" {print $7}' <<<"$segments")
if [[ -z "$stack" ]]; then
  fail "no GNU_STACK segment: the stack may be executable"
elif [[ "$stack" == *E* ]]; then
  fail "executable stack (GNU_STACK flags $stack)"
fi
grep -q 'TEXTREL' <<<"$dynamic" && fail "has text relocations (not position independent)"
grep -qx '__stack_chk_fail' <<<"$undefined" ||
  fail "no stack protector: __stack_chk_fail is not used (-fstack-protector-strong)"
grep -Eqx '__[a-z_]+_chk' <<<"$(grep -vx '__stack_chk_fail' <<<"$undefined")" ||
  fail "no fortified libc calls (__*_chk) are used (-D_FORTIFY_SOURCE=2 with optimisation)"

# --- stripped, with its debug file ----------------------------------------
grep -Eq '\] \.symtab ' <<<"$sections" && fail "not stripped: has a .symtab"
grep -Eq '\] \.debug_' <<<"$sections" && fail "not stripped: has .debug_* sections"

build_id() { "$readelf" -n "$1" 2>/dev/null | sed -n 's/.*Build ID: *\([0-9a-f]*\).*/\1/p'; }
id=$(build_id "$so")
[[ -n "$id" ]] || fail "no build-id note"

debug_file="$so.debug"
if ! grep -q '\] \.gnu_debuglink ' <<<"$sections"; then
  fail "no .gnu_debuglink section"
else
  link=$("$readelf" -p .gnu_debuglink "$so" | awk '/\[ *0\]/ {print $3}')
  [[ "$link" == "$(basename "$debug_file")" ]] ||
    fail ".gnu_debuglink names '$link', not $(basename "$debug_file")"
fi
if [[ ! -f "$debug_file" ]]; then
  fail "no debug file $debug_file"
else
  grep -q '\] \.debug_line ' <<<"$("$readelf" -SW "$debug_file")" ||
    fail "$debug_file has no line table (.debug_line)"
  [[ -n "$id" && "$(build_id "$debug_file")" == "$id" ]] ||
    fail "$debug_file has build-id '$(build_id "$debug_file")', the library '$id'"
fi

# --- report ---------------------------------------------------------------
size=$(stat -c %s "$so")
echo "$so: $size bytes ($(( (size + 1023) / 1024 )) KiB), build-id ${id:-none}"
if (( ${#failures[@]} > 0 )); then
  echo "FAIL: $so is missing properties it must have:" >&2
  printf '  - %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "OK: $so is hardened (full RELRO, non-executable stack, stack protector, fortified calls)" \
  "and stripped, with its debug file"
