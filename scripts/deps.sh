#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is
# missing; with the argument "demo", only what the demo needs. Needs root (or
# sudo) only when something must be installed.
set -euo pipefail

demo_packages=(cmake g++ make openjdk-17-jdk-headless zip)
packages=(
  cmake g++ clang libclang-rt-14-dev make
  openjdk-17-jdk-headless junit5
  libgtest-dev googletest libbenchmark-dev libssl-dev openssl
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user
  zip unzip shellcheck
  maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libmaven-jar-plugin-java
  libmaven-dependency-plugin-java libmaven-shade-plugin-java gradle
  libjimfs-java acl bindfs fuse3
  locales tzdata
)
# wine is installed without its recommends (no desktop stack).
wine_packages=(wine wine64)

missing() {
  local out=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || out+=("$p")
  done
  echo "${out[@]:-}"
}

need_arm64=0
if [[ "${1:-}" == demo ]]; then
  need=$(missing "${demo_packages[@]}")
  need_wine=""
else
  need=$(missing "${packages[@]}")
  need_wine=$(missing "${wine_packages[@]}")
  # scripts/stages/50-aarch64.sh downloads Debian's arm64 JDK (never installs
  # it), which apt offers only once arm64 is a foreign architecture.
  grep -x arm64 <<<"$(dpkg --print-foreign-architectures)" >/dev/null || need_arm64=1
fi
if [[ -z "$need" && -z "$need_wine" ]] && (( ! need_arm64 )); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if (( need_arm64 )); then $sudo dpkg --add-architecture arm64; fi
echo "Installing Debian packages: $need $need_wine"
$sudo apt-get update -q
# shellcheck disable=SC2086 # the lists are words, one package each
if [[ -n "$need" ]]; then $sudo apt-get install -y -q $need; fi
# shellcheck disable=SC2086
if [[ -n "$need_wine" ]]; then $sudo apt-get install -y -q --no-install-recommends $need_wine; fi
