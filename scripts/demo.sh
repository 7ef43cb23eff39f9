#!/usr/bin/env bash
# Installs what is missing, builds, and trains a network on the bundled
# sample scene; results go to out/demo/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
bin="${LUMORA_BUILD_DIR:-$root/build}/bin"
out="$root/out/demo"
mkdir -p "$out"

echo "== lumora-train on data/sample =="
"$bin/lumora-train" --data "$root/data/sample/data.mat" --gt "$root/data/sample/gt.mat" \
  --epochs 60 --lr 0.001 --base_filters 16 --out-dir "$out/train"
