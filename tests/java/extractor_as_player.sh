#!/usr/bin/env bash
# Runs the extractor's tests as a player meets them: as the unprivileged
# user tarnwick-player, with tarnwick-other as the other local user (a member
# of the player's own group). Root prepares what only root or the other user
# can make, in a directory both can traverse, and the player runs the JUnit
# tests there (tarnwick.natives.PosixChecksTest reads them from
# -Dtarnwick.fixtures): among them a noexec tmpfs, installed libraries, and
# a bindfs mount by the other user (with user_allow_other set in
# /etc/fuse.conf and /dev/fuse opened to users for the run, both restored
# after). Needs root; exits 77 (skipped) otherwise.
# Usage: extractor_as_player.sh JAVA JUNIT_JAR CLASSPATH LIBRARY MODEL_KEY FAULT_LIBRARY
#        NATIVES_JAR MOD_CLASSPATH   (as java/run_junit.sh takes them)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib.sh"
if (( $(id -u) != 0 )); then
  echo "skipped: creating $TARNWICK_PLAYER and $TARNWICK_OTHER needs root"
  exit 77
fi
java=${TARNWICK_TEST_JAVA:-$1} junit=$2 classpath=$3 library=$4 key=$5 fault_library=$6
natives_jar=${TARNWICK_TEST_NATIVES_JAR:-$7} mod_classpath=$8

ensure_test_users
tr ' ' '\n' <<<"$(id -nG "$TARNWICK_OTHER")" | grep -x "$TARNWICK_PLAYER" >/dev/null ||
  usermod -aG "$TARNWICK_PLAYER" "$TARNWICK_OTHER" || fail "usermod -aG $TARNWICK_PLAYER $TARNWICK_OTHER"

work=$(mktemp -d /tmp/tarnwick-as-player.XXXXXX)
# Undone on the way out: the mounts, and what the FUSE case changed system-wide.
fuse_conf_saved="" fuse_mode=""
cleanup() {
  set +e
  [[ -n ${fuse_view:-} ]] && mountpoint -q "$fuse_view" && umount "$fuse_view"
  [[ -n ${noexec_mount:-} ]] && mountpoint -q "$noexec_mount" && umount "$noexec_mount"
  [[ -n $fuse_conf_saved ]] && cp "$fuse_conf_saved" /etc/fuse.conf && rm -f "$fuse_conf_saved"
  [[ -n $fuse_mode ]] && chmod "$fuse_mode" /dev/fuse
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

# Copies of what the player's JVM reads (a build under /root is not readable).
copy() {  # PATH -> prints the copy's path
  local target
  mkdir -p "$work/files"
  # A folder of its own: called in $( ), a counter here would never advance.
  target=$(mktemp -d "$work/files/XXXXXX")/$(basename "$1")
  cp -r "$1" "$target"
  printf '%s\n' "$target"
}
copy_path() {  # COLON-SEPARATED LIST -> the copies, colon-separated
  local out=() entry
  IFS=: read -r -a entries <<<"$1"
  for entry in "${entries[@]}"; do out+=("$(copy "$entry")"); done
  (IFS=:; printf '%s\n' "${out[*]}")
}
test_classpath=$(copy_path "$classpath")
test_mod_classpath=$(copy_path "$mod_classpath")
test_library=$(copy "$library")
test_fault_library=$(copy "$fault_library")
test_natives_jar=$(copy "$natives_jar")
mkdir -p "$work/tree/java" "$work/tree/scripts"
cp "$root/java/run_junit.sh" "$work/tree/java/"
cp "$root/scripts/lib.sh" "$work/tree/scripts/"
chmod -R a+rX "$work"

# What only root or the other user can make.
fixtures="$work/fixtures"
mkdir -m 755 "$fixtures" "$fixtures/rootacl"
setfacl -m "u:$TARNWICK_OTHER:rwx" "$fixtures/rootacl"
mkdir -m 700 "$fixtures/rootacl/game"
chown "$TARNWICK_PLAYER:" "$fixtures/rootacl/game"
mkdir "$fixtures/othercache"
chown "$TARNWICK_OTHER:" "$fixtures/othercache"
chmod 777 "$fixtures/othercache"
mkdir "$fixtures/tmp"
chmod 1777 "$fixtures/tmp"
as_user "$TARNWICK_OTHER" mkdir -m 700 "$fixtures/tmp/tarnwick-$TARNWICK_PLAYER"

# A game directory on a tmpfs mounted noexec.
noexec_mount="$fixtures/noexec"
mkdir -m 755 "$noexec_mount"
mount -t tmpfs -o noexec,nosuid,nodev,size=16m,mode=755 tarnwick-noexec "$noexec_mount" ||
  fail "mounting a noexec tmpfs"
mkdir -m 700 "$noexec_mount/game"
chown "$TARNWICK_PLAYER:" "$noexec_mount/game"

# Installed libraries: root's, the other user's, and one in a folder an ACL
# lets the other user write.
mkdir -m 755 "$fixtures/installed"
for owner in root other shared; do
  mkdir -m 755 "$fixtures/installed/$owner"
  install -m 644 "$test_library" "$fixtures/installed/$owner/libtarnwick.so"
done
chown "$TARNWICK_OTHER:" "$fixtures/installed/other/libtarnwick.so"
setfacl -m "u:$TARNWICK_OTHER:rwx" "$fixtures/installed/shared"

# The other user's bindfs view of its own files, shown as the player's with
# mode go=rX. Other users reach a user's FUSE mount only with allow_other,
# which needs user_allow_other in /etc/fuse.conf; and /dev/fuse must be open
# to users, as it is on desktops.
fuse_conf_saved=$(mktemp "$work/fuse.conf.XXXXXX")
cp /etc/fuse.conf "$fuse_conf_saved" 2>/dev/null || : >"$fuse_conf_saved"
grep -qx user_allow_other /etc/fuse.conf 2>/dev/null || echo user_allow_other >>/etc/fuse.conf
fuse_mode=$(stat -c %a /dev/fuse)
chmod 666 /dev/fuse
# In a directory like /tmp, so that only the mount's owner gives it away.
mkdir "$fixtures/fuse"
chmod 1777 "$fixtures/fuse"
fuse_view="$fixtures/fuse/view"
as_user "$TARNWICK_OTHER" mkdir -m 755 "$fixtures/fuse/files" "$fuse_view"
as_user "$TARNWICK_OTHER" bindfs -o allow_other -u "$TARNWICK_PLAYER" -g "$TARNWICK_PLAYER" \
  -p u=rwX,go=rX "$fixtures/fuse/files" "$fuse_view" || fail "bindfs as $TARNWICK_OTHER"

echo "running the extractor's tests as $TARNWICK_PLAYER (fixtures in $fixtures)"
as_user "$TARNWICK_PLAYER" env \
  TARNWICK_TEST_SELECT="${TARNWICK_TEST_SELECT:-tarnwick.natives.PosixChecksTest tarnwick.natives.WindowsChecksTest tarnwick.test.NativesJarTest}" \
  TARNWICK_TEST_JVM_OPTIONS="-Dtarnwick.fixtures=$fixtures ${TARNWICK_TEST_JVM_OPTIONS:-}" \
  ${TARNWICK_TIME_SCALE:+TARNWICK_TIME_SCALE=$TARNWICK_TIME_SCALE} \
  bash "$work/tree/java/run_junit.sh" "$java" "$junit" "$test_classpath" "$test_library" "$key" \
  "$test_fault_library" "$test_natives_jar" "$test_mod_classpath"
