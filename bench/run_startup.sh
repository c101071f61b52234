#!/usr/bin/env bash
# The start of the game: loadNatives of the shipped example class, cold (no
# copy on disk yet) and warm (the copy in place), each in a fresh JVM as the
# unprivileged player, against the floor (tarnwick.bench.StartupFloor: read
# the jar entry and the copy, compare them, System.load) in the same run.
# Rounds take the three in turn, in an order that rotates from round to
# round; it prints every time, the medians with the lowest and highest, the
# ratios of the medians and the medians of each round's ratios, and the JDK
# classes each side loads during the call. It does so twice: in JVMs that
# have done nothing else, and in JVMs that have logged one line through
# System.Logger before the clock starts, as a game has before its mods load
# (the first line sets up the JDK's logging, which the extractor's own log
# line would otherwise pay for).
#
#   bench/run_startup.sh [build dir] [rounds]     (default: build, 11)
#
# Needs root (it runs the JVMs as tarnwick-player, whom it creates) and a
# build with the tests and the benchmarks (the ci preset).
# TARNWICK_BENCH_NATIVES_JAR names another natives jar (the release's, or an
# older build's), TARNWICK_BENCH_EXAMPLE_CLASSES another build of the example
# class.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/lib.sh
build=${1:-build}
rounds=${2:-11}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || fail "rounds must be a positive number, not '$rounds'"
(( $(id -u) == 0 )) || fail "bench/run_startup.sh runs the JVMs as $TARNWICK_PLAYER and needs root"
[[ -f "$build/bench-java.env" ]] || fail "no benchmarks built in $build (cmake --preset ci)"
# shellcheck disable=SC1090
source "$build/bench-java.env"
jar=${TARNWICK_BENCH_NATIVES_JAR:-$build/tests/java/tarnwick-natives-dev.jar}
[[ -f "$jar" ]] || fail "no natives jar at $jar"
entries=$(unzip -Z1 "$jar")
resource=$(grep -m1 -E '^natives/[^/]+/(lib)?tarnwick\.(so|dll)$' <<<"$entries") ||
  fail "$jar holds no library"
ensure_test_users

work=$(mktemp -d /tmp/tarnwick-startup.XXXXXX)
trap '[[ -n ${KEEP_WORK:-} ]] || rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/classes"
cp -r "$build/java/bench" "$work/classes/bench"
cp -r "${TARNWICK_BENCH_EXAMPLE_CLASSES:-$build/java/example}" "$work/classes/example"
cp "$jar" "$work/classes/natives.jar"
chmod -R a+rX "$work/classes"
classpath=$work/classes/bench:$work/classes/natives.jar:$work/classes/example
for game in cold warm; do
  mkdir -m 700 "$work/game-$game"
  chown "$TARNWICK_PLAYER:" "$work/game-$game"
done

probe() {  # OUTPUT KIND [JVM OPTION...]: one fresh JVM as the player
  local out=$1 kind=$2
  shift 2
  local args
  case $kind in
    floor) args=(tarnwick.bench.StartupFloor "$resource" "$warm_copy") ;;
    cold) rm -rf "$work/game-cold/tarnwick-natives"
          args=(tarnwick.bench.StartupLoad "$work/game-cold") ;;
    warm) args=(tarnwick.bench.StartupLoad "$work/game-warm") ;;
  esac
  as_user "$TARNWICK_PLAYER" "$JAVA" "$@" -cp "$classpath" "${args[@]}" >"$out" 2>"$out.err" ||
    { cat "$out" "$out.err" >&2; fail "the $kind start failed"; }
}

# The warm side's copy, put there once by an untimed start.
probe "$work/setup" warm
warm_copy=$(find "$work/game-warm/tarnwick-natives" -name "$(basename "$resource")" -type f)
[[ -n "$warm_copy" ]] || fail "the first start left no copy in $work/game-warm"
warm_inode=$(stat -c %i "$warm_copy")

measure() {  # TITLE [JVM OPTION...]: the class counts, the rounds and their summary
  local title=$1 kind round i ms
  shift
  echo "== $title"
  # The classes loaded during the call (untimed; these also fill the page cache).
  echo "classes loaded during the call (from the JDK's archive / read from jars and modules):"
  for kind in floor cold warm; do
    probe "$work/classes-$kind" "$kind" "$@" -Xlog:class+load
    awk -v k="$kind" '/^startup-probe: begin/ { on = 1; next } /^startup-probe: end/ { on = 0 }
      on && /class,load/ { n++; if (/shared objects file/) s++ }
      END { printf "  %-5s %4d (%d / %d)\n", k, n, s, n - s }' "$work/classes-$kind"
  done
  echo "$rounds rounds, each side in a fresh JVM as $TARNWICK_PLAYER, order rotating:"
  local kinds=(floor cold warm)
  : >"$work/times"
  for ((round = 0; round < rounds; round++)); do
    for ((i = 0; i < 3; i++)); do
      kind=${kinds[(round + i) % 3]}
      probe "$work/run" "$kind" "$@"
      ms=$(awk '/^(floor|loadNatives) / { print $2, $3 }' "$work/run")
      [[ -n "$ms" ]] || { cat "$work/run" >&2; fail "the $kind start printed no time"; }
      echo "$round $kind $ms" >>"$work/times"
    done
    [[ -n "$(find "$work/game-cold/tarnwick-natives" -name "$(basename "$resource")" -type f)" ]] ||
      fail "the cold start left no copy in $work/game-cold"
    [[ "$(stat -c %i "$warm_copy")" == "$warm_inode" ]] || fail "a warm start replaced the copy"
  done
  echo " wall clock:"
  summarize 3 "$work/times"
  echo " the calling thread's time on a CPU:"
  summarize 4 "$work/times"
}

summarize() {  # FIELD TIMES: medians with the lowest and highest, and the ratios to the floor
  awk -v f="$1" '
    { t[$2, $1] = $f; v[$2] = v[$2] " " sprintf("%.1f", $f); if ($1 + 1 > n) n = $1 + 1 }
    function median(list,    a, c, i, j, x) {
      c = split(list, a, " ")
      for (i = 2; i <= c; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > x + 0; j--) a[j + 1] = a[j]; a[j + 1] = x }
      lo = a[1]; hi = a[c]
      return c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
    }
    END {
      for (k = 0; k < 3; k++) {
        kind = k == 0 ? "floor" : k == 1 ? "cold" : "warm"
        m[kind] = median(v[kind])
        printf "  %-5s median %7.1f ms (%.1f to %.1f):%s\n", kind, m[kind], lo, hi, v[kind]
      }
      for (k = 1; k < 3; k++) {
        kind = k == 1 ? "cold" : "warm"
        r = ""
        for (i = 0; i < n; i++) r = r " " sprintf("%.2f", t[kind, i] / t["floor", i])
        mr = median(r)
        printf "  %s / floor: %.2f (ratio of the medians); each round: median %.2f (%.2f to %.2f)\n",
          kind, m[kind] / m["floor"], mr, lo, hi
      }
    }' "$2"
}

measure "in a JVM that has done nothing else: the call sets up the JDK's logging"
measure "after one line through System.Logger, before the clock, as a game has logged before its mods start" \
  -Dbench.gameLogged=true
