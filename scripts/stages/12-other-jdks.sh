#!/usr/bin/env bash
# The Java tests again under every other JDK of version 11 or later under
# /usr/lib/jvm. The main run (ctest in scripts/test.sh) uses the JDK CMake
# found, Debian's 17; the game also runs on Java 21 and later, so a newer JDK
# in the image (the Temurin one) runs the same suite here. A JDK the machine
# lacks is skipped with a line saying so. Uses the build/ that scripts/test.sh
# made.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

. scripts/lib.sh

main_java=$(readlink -f "$(cmake_cache build Java_JAVA_EXECUTABLE)")
echo "main run: $main_java"

# Prints the java.specification.version of a java executable (17, 21, 1.8).
java_version() {
  "$1" -XshowSettings:properties -version 2>&1 |
    sed -n 's/^ *java\.specification\.version = //p'
}

declare -A seen=(["$main_java"]=1)
ran=0
temurin_found=0
for java in /usr/lib/jvm/*/bin/java; do
  [[ -x "$java" ]] || continue
  real=$(readlink -f "$java")
  [[ -z "${seen[$real]:-}" ]] || continue
  seen[$real]=1
  [[ "$java" != */temurin-* ]] || temurin_found=1
  version=$(java_version "$real")
  if [[ -z "$version" || "$version" == 1.* || "${version%%.*}" -lt 11 ]]; then
    echo "skipped $real: Java ${version:-of unknown version} is older than 11"
    continue
  fi
  check "Java tests under $real (Java $version)" \
    env TARNWICK_TEST_JAVA="$real" ctest --test-dir build -R '^java_tests$' --output-on-failure
  ran=$((ran + 1))
done
if (( !temurin_found )); then
  echo "skipped: no Temurin JDK under /usr/lib/jvm on this machine"
fi
echo "Java tests ran under $ran JDK(s) besides the main run's."
checks_done "other JDKs"
