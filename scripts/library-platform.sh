#!/usr/bin/env bash
# Prints the natives jar platform a library is built for, read from its
# header: linux-x86_64 or linux-aarch64 for an ELF shared object,
# windows-x86_64 or windows-aarch64 for a PE DLL. Fails for anything else.
# With a second argument, fails unless the library is for that platform.
# Usage: library-platform.sh LIBRARY [EXPECTED_PLATFORM]
set -euo pipefail
library=${1:?usage: library-platform.sh LIBRARY [EXPECTED_PLATFORM]}
expected=${2:-}

# Unsigned little-endian integer of WIDTH bytes at OFFSET.
le() { od -An -t u"$2" -j "$1" -N "$2" --endian=little "$library" | tr -d ' '; }
# need OFFSET WIDTH WHAT: fails unless the file holds WIDTH bytes at OFFSET
# (od would read what there is of them).
size=$(stat -L -c %s "$library")
need() {
  (( size >= $1 + $2 )) || { echo "library-platform.sh: $library: cut short: $3" >&2; exit 1; }
}

magic=$(od -An -c -N 4 "$library" | tr -d ' ')
if [[ $magic == '177ELF' ]]; then
  need 18 2 "no ELF machine field"
  case $(le 18 2) in
    62) platform=linux-x86_64 ;;
    183) platform=linux-aarch64 ;;
    *) platform="" ;;
  esac
  what="ELF machine $(le 18 2)"
elif [[ ${magic:0:2} == MZ ]]; then
  need 60 4 "no PE header"
  pe=$(le 60 4)
  need "$pe" 6 "no PE header"
  [[ $(od -An -c -j "$pe" -N 4 "$library" | tr -d ' ') == 'PE\0\0' ]] ||
    { echo "library-platform.sh: $library: no PE header" >&2; exit 1; }
  case $(le $((pe + 4)) 2) in
    34404) platform=windows-x86_64 ;;   # 0x8664
    43620) platform=windows-aarch64 ;;  # 0xAA64
    *) platform="" ;;
  esac
  what="PE machine $(printf '0x%04X' "$(le $((pe + 4)) 2)")"
else
  echo "library-platform.sh: $library is neither an ELF nor a PE file" >&2
  exit 1
fi
if [[ -z $platform ]]; then
  echo "library-platform.sh: $library: $what is no platform the jar carries" >&2
  exit 1
fi
if [[ -n $expected && $platform != "$expected" ]]; then
  echo "library-platform.sh: $library is for $platform ($what), not for $expected" >&2
  exit 1
fi
echo "$platform"
