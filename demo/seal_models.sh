#!/usr/bin/env bash
# Seals the demo's models with a tarnwick-model.jar: top_hat and
# cosmetics/wings under the key the jar carries, scarf under another key (the
# model the library must fail to decrypt). The build seals them with its own
# jar; the release and Windows stages with the jar the release ships.
# Usage: seal_models.sh JAVA TARNWICK_MODEL_JAR SOURCES_DIR OUT_DIR
set -euo pipefail
java=$1 jar=$2 sources=$3 out=$4
# Any key but the library's will do for the model that must not decrypt.
other_key=0f1e2d3c4b5a69788796a5b4c3d2e1f0
mkdir -p "$out/cosmetics"
for model in top_hat cosmetics/wings; do
  "$java" -jar "$jar" seal "$sources/$model.json" "$out/$model.enc"
done
"$java" -jar "$jar" seal "$sources/scarf.json" "$out/scarf.enc" --key "$other_key"
