#!/usr/bin/env bash
# The shared library must export its seven JNI entry points and nothing else.
set -euo pipefail
nm=$1 library=$2
prefix=Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_
expected=$(printf "${prefix}%s\n" autoLogin getAvailableCosmetics getPlayerSkinInfo \
  loadRemoteMesh saveConfiguration signIn signOut | sort)
actual=$("$nm" -D --defined-only "$library" | awk '{print $NF}' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exported symbols differ from the seven entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: the seven entry points, nothing else"
