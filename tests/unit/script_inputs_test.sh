#!/usr/bin/env bash
# The scripts that read files someone else wrote, shown crafted bad ones:
#   - scripts/library-platform.sh, which names the platform of a library from
#     its ELF or PE header: every machine it knows, one it does not, a
#     truncated header, a wrong signature, a PE offset past the end;
#   - scripts/release.sh's record of an earlier release (.tarnwick-release in
#     the output directory), read before anything is built: a list under
#     another title, names that lead out of the directory ("..", absolute),
#     and the development key spelt in capitals; and a well-formed record in
#     a locale whose letter ranges differ from C's.
# release.sh is run with a build directory it cannot create, so that a check
# that wrongly passes ends it at once (exit 1) instead of starting a build;
# every refusal here must be its own (exit 2, naming the problem).
# Usage: script_inputs_test.sh LIBRARY PLATFORM   (this build's Linux library
# and its platform, linux-x86_64 or linux-aarch64)
set -uo pipefail
library=$1 own=$2
case $own in
  linux-x86_64) own_machine=62 other=linux-aarch64 ;;
  linux-aarch64) own_machine=183 other=linux-x86_64 ;;
  *) echo "usage: $0 LIBRARY linux-x86_64|linux-aarch64" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/scripts/lib.sh"

platform() { bash "$root/scripts/library-platform.sh" "$@"; }

# bytes FILE OFFSET HEX...: writes the bytes at OFFSET, in place.
bytes() {
  local file=$1 offset=$2
  shift 2
  printf "$(printf '\\x%s' "$@")" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

library_platform() {
  [[ $(platform "$library") == "$own" ]] || fail "this build's library is not named $own"
  platform "$library" "$own" >/dev/null || fail "this build's library refused as $own"
  EXPECT="is for $own (ELF machine $own_machine), not for $other" \
    expect_failure "the library as $other" platform "$library" "$other"

  # ELF: the machine is the two bytes at 18, after the 16-byte ident and the type.
  head -c 64 "$library" >"$work/elf"
  bytes "$work/elf" 18 b7 00
  [[ $(platform "$work/elf") == linux-aarch64 ]] || fail "an aarch64 ELF header is not named linux-aarch64"
  bytes "$work/elf" 18 3e 00
  [[ $(platform "$work/elf") == linux-x86_64 ]] || fail "an x86-64 ELF header is not named linux-x86_64"
  bytes "$work/elf" 18 28 00
  EXPECT="ELF machine 40 is no platform the jar carries" expect_failure "a 32-bit ARM ELF header" platform "$work/elf"
  head -c 19 "$library" >"$work/elf-short"
  EXPECT="cut short: no ELF machine field" expect_failure "an ELF header cut inside its machine field" platform "$work/elf-short"
  printf '\177ELX' >"$work/not-elf" && cat "$library" >>"$work/not-elf"
  EXPECT="neither an ELF nor a PE file" expect_failure "a wrong ELF signature" platform "$work/not-elf"

  # PE: MZ, the offset of the PE signature at 60, the machine after it.
  head -c 128 /dev/zero >"$work/pe"
  bytes "$work/pe" 0 4d 5a
  bytes "$work/pe" 60 40 00 00 00
  bytes "$work/pe" 64 50 45 00 00 64 86
  [[ $(platform "$work/pe") == windows-x86_64 ]] || fail "an x86-64 PE header is not named windows-x86_64"
  bytes "$work/pe" 68 64 aa
  [[ $(platform "$work/pe") == windows-aarch64 ]] || fail "an ARM64 PE header is not named windows-aarch64"
  bytes "$work/pe" 68 4c 01
  EXPECT="PE machine 0x014C is no platform the jar carries" expect_failure "a 32-bit x86 PE header" platform "$work/pe"
  bytes "$work/pe" 64 50 58 00 00 64 86
  EXPECT="no PE header" expect_failure "a wrong PE signature" platform "$work/pe"
  bytes "$work/pe" 64 50 45 00 00 64 86
  bytes "$work/pe" 60 00 10 00 00
  EXPECT="no PE header" expect_failure "a PE offset past the end of the file" platform "$work/pe"
  head -c 62 "$work/pe" >"$work/pe-short"
  EXPECT="no PE header" expect_failure "a PE file cut inside its offset" platform "$work/pe-short"
}
check "library-platform.sh names what it knows and refuses what it does not" library_platform

# release DIST ARGS...: release.sh into DIST, stopped before any build.
release() {
  local dist=$1
  shift
  env TARNWICK_DIST_DIR="$dist" TARNWICK_RELEASE_BUILD_DIR=/dev/null/build bash "$root/scripts/release.sh" "$@"
}
# refused WHAT MESSAGE DIST ARGS...: release.sh must exit 2 naming MESSAGE.
refused() {
  local what=$1 message=$2 status=0
  shift 2
  release "$@" >"$work/log" 2>&1 || status=$?
  [[ $status == 2 ]] && grep -qF -- "$message" "$work/log" ||
    fail "$what: exit $status, not 2 with '$message': $(cat "$work/log")"
}

earlier_release_record() {
  local title dist=$work/dist
  title=$(sed -n 's/^marker_title="\(.*\)"$/\1/p' "$root/scripts/release.sh")
  [[ -n $title ]] || fail "release.sh's title line not found"
  mkdir -p "$dist/sub"
  printf 'old\n' >"$dist/old.zip"
  printf 'mine\n' >"$work/outside"
  printf 'mine\n' >"$dist/sub/kept"
  # record LINE...: the earlier release's record, with the hash lines given.
  record() { { echo "$title"; printf '%s\n' "$@"; } >"$dist/.tarnwick-release"; }
  local old outside
  old=$(cd "$dist" && sha256sum old.zip)
  outside=$(sha256sum <"$work/outside" | cut -d' ' -f1)

  # A well-formed record passes this check: release.sh goes on to its build
  # directory, which cannot be made here.
  record "$old"
  local status=0
  release "$dist" --dev-key --allow-dirty >"$work/log" 2>&1 || status=$?
  [[ $status == 1 ]] && grep -qF "cannot create directory" "$work/log" ||
    fail "a well-formed earlier release was not accepted: exit $status: $(cat "$work/log")"

  # And in a locale whose letter ranges leave out i and I (tr_TR.UTF-8,
  # generated here): release.sh must read its own record all the same.
  local locales=$work/locales
  mkdir "$locales"
  localedef -i tr_TR -f UTF-8 "$locales/tr_TR.UTF-8" >/dev/null 2>&1 ||
    fail "localedef could not generate tr_TR.UTF-8 (Debian package locales)"
  status=0
  LOCPATH=$locales LC_ALL=tr_TR.UTF-8 release "$dist" --dev-key --allow-dirty >"$work/log" 2>&1 || status=$?
  [[ $status == 1 ]] && grep -qF "cannot create directory" "$work/log" ||
    fail "in tr_TR.UTF-8, a well-formed earlier release was not accepted: exit $status: $(cat "$work/log")"

  record "$old"
  sed -i '1s/^# /#  /' "$dist/.tarnwick-release"
  refused "a record under another title" ".tarnwick-release is not release.sh's" "$dist" --dev-key --allow-dirty
  for name in ../outside sub/../../outside ./old.zip .tarnwick-release sub/.hidden /etc/hostname -old.zip; do
    record "$old" "$outside  $name"
    refused "a record naming $name" ".tarnwick-release lists '$name'" "$dist" --dev-key --allow-dirty
  done
  [[ $(cat "$work/outside") == mine && $(cat "$dist/sub/kept") == mine && $(cat "$dist/old.zip") == old ]] ||
    fail "a refused release changed a file"
  record "$old" "$outside  sub/kept"
  printf 'changed\n' >"$dist/sub/kept"
  refused "a record whose file changed" "changed since release.sh wrote them" "$dist" --dev-key --allow-dirty
}
check "release.sh refuses an earlier release's record that is not its own or leads elsewhere" earlier_release_record

development_key_in_capitals() {
  local key
  key=$(cmake -P "$root/cmake/ModelKey.cmake")
  refused "the development key in capitals" "refusing to build a release with the development model key" \
    "$work/dist-key" "-DTARNWICK_MODEL_KEY=${key^^}"
  refused "the development key" "refusing to build a release with the development model key" \
    "$work/dist-key" "-DTARNWICK_MODEL_KEY=$key"
  [[ ! -e $work/dist-key ]] || fail "a refused release made its output directory"
}
check "release.sh refuses the development key however it is spelt" development_key_in_capitals

checks_done "script inputs"
