#!/usr/bin/env bash
# Checks that a Linux library loads on any Linux of its processor (x86-64 or
# aarch64) with glibc 2.17 or later: it needs no shared library but glibc's
# own (libc.so.6 and that processor's dynamic loader) and no glibc symbol
# version newer than 2.17; its glibc shim (platform/linux/glibc_compat.cpp)
# says the process may run several threads.
# With --release it must also be stripped, point at its debug file, and be no
# larger than 256 KiB.
# Usage: check_portable_so.sh [--release] LIBRARY
set -euo pipefail
release=0
if [[ ${1:-} == --release ]]; then release=1; shift; fi
so=${1:?usage: check_portable_so.sh [--release] LIBRARY}
max_glibc=2.17
max_bytes=$((256 * 1024))
failures=0
fail() { echo "FAIL: $so: $*" >&2; failures=$((failures + 1)); }

machine=$(readelf -h --wide "$so" | sed -n 's/^ *Machine: *//p')
case $machine in
  *X86-64) loader=ld-linux-x86-64.so.2 ;;
  AArch64) loader=ld-linux-aarch64.so.1 ;;
  *) fail "machine $machine is neither x86-64 nor AArch64"; loader=none ;;
esac
needed=$(readelf -d --wide "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.6 | "$loader") ;;
    *) fail "needs $lib" ;;
  esac
done

# Every version the library asks of any shared library, with the symbols.
highest=0
while read -r version; do
  [[ $version == GLIBC_* ]] || { fail "needs symbol version $version"; continue; }
  number=${version#GLIBC_}
  if [[ $(printf '%s\n%s\n' "$number" "$max_glibc" | sort -V | tail -n 1) != "$max_glibc" ]]; then
    symbols=$(readelf --dyn-syms --wide "$so" |
      awk -v v="@$version" '$7 == "UND" && index($8, v) {sub(/@.*/, "", $8); print $8}' | tr '\n' ' ')
    fail "needs $version (newer than GLIBC_$max_glibc) for: $symbols"
  fi
  if [[ $(printf '%s\n%s\n' "$number" "$highest" | sort -V | tail -n 1) == "$number" ]]; then
    highest=$number
  fi
done < <(readelf -V --wide "$so" | sed -n 's/.*Name: \([^ ]*\) *Flags.*/\1/p' | sort -u)

# The shim's __libc_single_threaded must read 0, "not known to be single
# threaded": were it 1, the static libstdc++'s reference counts and guards
# would take their non-atomic paths in a JVM's many threads. The symbol comes
# from the library's symbol table or its debug file's, the byte from the
# library itself (a zero one may sit in .bss, which has no bytes in the file).
shim=__wrap___libc_single_threaded
symbols=$so
readelf -S --wide "$so" | grep -q ' \.symtab ' || symbols=$so.debug
read -r address bytes index < <(readelf -s --wide "$symbols" 2>/dev/null |
  awk -v name="$shim" '$8 == name {print $2, $3, $7; exit}') || true
if [[ -z ${address:-} || ${bytes:-} != 1 ]]; then
  fail "no one-byte $shim in the symbol table of $symbols"
else
  read -r type section_address offset < <(readelf -S --wide "$so" | sed 's/\[ */[/' |
    awk -v i="[$index]" '$1 == i {print $3, $4, $5}') || true
  value=0
  if [[ -z ${type:-} ]]; then
    fail "$shim is in section $index, which $so does not have"
  elif [[ $type != NOBITS ]]; then
    value=$(od -An -tu1 -j $((0x$offset + 0x$address - 0x$section_address)) -N 1 "$so" | tr -d ' ')
  fi
  [[ $value == 0 ]] || fail "$shim is $value, not 0: libstdc++ would skip its atomic operations"
fi

size=$(stat -c %s "$so")
if (( release )); then
  readelf -S --wide "$so" | grep -q ' \.symtab ' && fail "not stripped"
  readelf -S --wide "$so" | grep -q ' \.gnu_debuglink ' || fail "has no .gnu_debuglink"
  (( size <= max_bytes )) || fail "$size bytes, more than $max_bytes"
fi

if (( failures )); then exit 1; fi
echo "OK: $so ($machine) needs only $(echo $needed | tr ' ' ','); highest glibc version GLIBC_$highest; $shim 0; $size bytes"
