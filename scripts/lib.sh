# shellcheck shell=bash
# Shell helpers shared by the stages, the test scripts and the demo's check.
# Source it:  . "$root/scripts/lib.sh"
# A helper that finds a fault says what it expected on standard error and
# exits 1 (fail), except check, which records a failed check and goes on, and
# checks_done, which fails once at the end naming them all.

# The JVM's complaints under -Xcheck:jni, in every form the JDKs print them.
TARNWICK_JNI_WARNINGS='WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)|Calling other JNI functions in the scope of'

fail() {  # MESSAGE...
  echo "FAIL: $*" >&2
  exit 1
}

# check_jni_warnings LOG [WHAT]: fails when LOG holds a JNI warning.
check_jni_warnings() {
  local log=$1 what=${2:-the JVM}
  if grep -qE "$TARNWICK_JNI_WARNINGS" "$log"; then
    grep -E "$TARNWICK_JNI_WARNINGS" "$log" >&2
    fail "$what reported JNI warnings under -Xcheck:jni"
  fi
}

# check NAME COMMAND...: runs one independent check in a subshell (so that a
# fail inside it ends only this check), prints "ok - NAME" or "not ok - NAME"
# and goes on. checks_done prints every failed check by name and fails when
# there was one, so one run shows every failure of a stage. Its own locals
# carry a _check_ prefix: bash scopes locals dynamically, so a plain "name" or
# "status" here would hide the caller's from the command it runs.
TARNWICK_FAILED_CHECKS=()
check() {
  local _check_name=$1 _check_status _check_errexit=${-//[^e]/}
  shift
  # Not "( ... ) || status=$?": bash ignores set -e inside a || list.
  set +e
  ( set -e; "$@" )
  _check_status=$?
  [[ -z "$_check_errexit" ]] || set -e
  if (( _check_status == 0 )); then
    echo "ok - $_check_name"
  else
    echo "not ok - $_check_name (exit $_check_status)" >&2
    TARNWICK_FAILED_CHECKS+=("$_check_name")
  fi
}
checks_done() {  # [WHAT]
  if (( ${#TARNWICK_FAILED_CHECKS[@]} > 0 )); then
    printf 'failed: %s\n' "${TARNWICK_FAILED_CHECKS[@]}" >&2
    fail "${1:-this stage}: ${#TARNWICK_FAILED_CHECKS[@]} check(s) failed"
  fi
  echo "${1:-this stage}: every check passed"
}

# expect_failure WHAT COMMAND...: COMMAND must fail, and its output must name
# every message given before it in EXPECT (one per line, fixed strings):
#   EXPECT=$'first\nsecond' expect_failure "check_dll.sh" bash tests/windows/check_dll.sh bad.dll
expect_failure() {
  local what=$1 log status=0 message
  shift
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if (( status == 0 )); then
    cat "$log" >&2
    rm -f "$log"
    fail "$what: accepted what it must refuse"
  fi
  while IFS= read -r message; do
    [[ -n "$message" ]] || continue
    if ! grep -qF -- "$message" "$log"; then
      cat "$log" >&2
      rm -f "$log"
      fail "$what: exited $status but did not report: $message"
    fi
  done <<<"${EXPECT:-}"
  rm -f "$log"
  echo "$what: refused, as it must"
}

# entry_points [COLUMN]: the rows of the entry point table (jni/entry_points.h),
# one a line, in its order: the method names; with COLUMN "export", the
# exported names; with "descriptor", "request" or "template", the name, a
# space and that column; with "class", only the Java class's binary name.
entry_points() {
  local table
  table=$(dirname "${BASH_SOURCE[0]}")/../jni/entry_points.h
  [[ -f "$table" ]] || fail "no entry point table at $table"
  awk -v column="${1:-name}" '
    /^#define TARNWICK_JAVA_CLASS / {
      class = $3; gsub(/"/, "", class); gsub(/\//, ".", class)
      prefix = class; gsub(/\./, "_", prefix); prefix = "Java_" prefix "_"
      if (column == "class") print class
    }
    /^X\(/ {
      name = $0; sub(/^X\( */, "", name); sub(/ *,.*/, "", name)
      n = 0; rest = $0
      while (match(rest, /"[^"]*"/)) {
        quoted[++n] = substr(rest, RSTART + 1, RLENGTH - 2); rest = substr(rest, RSTART + RLENGTH)
      }
      if (column == "name") print name
      else if (column == "export") print prefix name
      else if (column == "descriptor") print name, quoted[1]
      else if (column == "request") print name, quoted[2]
      else if (column == "template") print name, quoted[3]
    }' "$table"
}

# cmake_cache BUILD_DIR NAME: a value from BUILD_DIR's CMakeCache.txt.
cmake_cache() {
  local value
  value=$(LC_ALL=C sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null)
  [[ -n "$value" ]] || fail "no $2 in $1/CMakeCache.txt"
  printf '%s\n' "$value"
}

# check_format_flags COMPILE_COMMANDS_JSON: every compile command of the
# project's own sources has -Wformat -Werror=format-security (warning options
# leave no trace in the binaries, so the commands are what can be checked).
check_format_flags() {
  local total with
  total=$(grep '"command":' "$1" | grep -vc '/usr/src/googletest' || true)
  with=$(grep '"command":' "$1" | grep -v '/usr/src/googletest' |
    grep -c -- '-Wformat .*-Werror=format-security' || true)
  (( total > 0 && with == total )) ||
    fail "$with of $total commands in $1 have -Wformat -Werror=format-security"
  echo "all $total commands in $1 have -Wformat -Werror=format-security"
}

# The two unprivileged local users the security tests run as: the player,
# whose game loads the library, and another user who must never get code
# into it. Only root can create them; CI runs as root.
TARNWICK_PLAYER=tarnwick-player
TARNWICK_OTHER=tarnwick-other

# ensure_test_users: creates both users, each with a home directory and a
# group of its own, when missing.
ensure_test_users() {
  local user
  (( $(id -u) == 0 )) || fail "creating the test users $TARNWICK_PLAYER and $TARNWICK_OTHER needs root"
  for user in "$TARNWICK_PLAYER" "$TARNWICK_OTHER"; do
    id -u "$user" >/dev/null 2>&1 ||
      useradd --create-home --user-group --shell /bin/sh "$user" ||
      fail "useradd $user"
  done
}

# as_user USER COMMAND...: runs COMMAND as USER, with USER's home and a clean
# login environment but this PATH and JAVA_HOME. What it runs must be readable
# by USER: a checkout under /root is not, so copy what is needed to a
# directory USER can traverse first.
as_user() {
  local user=$1 home
  shift
  home=$(getent passwd "$user" | cut -d: -f6)
  runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH="$PATH" ${JAVA_HOME:+JAVA_HOME="$JAVA_HOME"} "$@"
}

# dist_release: for the stages that use the release in dist/: sets jar (the
# all-platform natives jar's name), version (the release's) and platform
# (this machine's, as the jars name it); fails when there is no release.
# shellcheck disable=SC2034  # set for the stage that calls it
dist_release() {
  [[ -d dist/maven ]] || fail "no dist/maven: scripts/stages/30-release.sh writes it"
  jar=$(cd dist && ls tarnwick-natives-*.jar)
  version=${jar#tarnwick-natives-}
  version=${version%.jar}
  case $(uname -m) in
    x86_64) platform=linux-x86_64 ;;
    aarch64) platform=linux-aarch64 ;;
    *) fail "no natives for $(uname -m)" ;;
  esac
}
