#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main jobs on the bundled
# sample scene: one network, a class tree, and prediction from the tree's
# bundle in all three routing modes, then from the network alone without
# labels. Results go to out/demo/; the last lines say where the maps are.
# LUMORA_DEMO_OUT chooses another folder, and LUMORA_DEMO_BUILD=0 runs the
# programs already built in LUMORA_BUILD_DIR (bench/demo_time.sh does both).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ "${LUMORA_DEMO_BUILD:-1}" = 0 ] || "$root/scripts/build.sh"
bin="${LUMORA_BUILD_DIR:-$root/build}/bin"
out="${LUMORA_DEMO_OUT:-$root/out/demo}"
scene=(--data "$root/data/sample/data.mat" --gt "$root/data/sample/gt.mat")
mkdir -p "$out"

echo "== lumora-train on data/sample =="
"$bin/lumora-train" "${scene[@]}" --epochs 60 --lr 0.001 --base_filters 16 --out-dir "$out/train"

# Short schedules keep the demo to a few minutes on two cores.
echo "== lumora-treefit on data/sample =="
"$bin/lumora-treefit" "${scene[@]}" --epochs 80 --lr 0.001 --base_filters 16 --ensembles 2 --leaf_ensembles 1 \
  --min_epochs 40 --val_interval 10 --routing hybrid --ssm_epochs 30 --out-dir "$out/tree"

echo "== lumora-predict on data/sample =="
"$bin/lumora-predict" "${scene[@]}" --model "$out/tree/spt_models.pkl" --routing all --out-dir "$out/predict"

echo "== lumora-predict from the single network, without labels =="
"$bin/lumora-predict" --data "$root/data/sample/data.mat" --model "$out/train/best_model.pth" \
  --out-dir "$out/predict-network"

echo
echo "== Maps =="
echo "  network:            $out/train/map.png (errors.png, gt.png, legend.png, training_curves.png)"
echo "  class tree:         $out/predict/map_{forest,hybrid,soft}.png, errors_*.png, gt.png, legend.png"
echo "  tree training:      $out/tree/training_curves.png"
echo "  without labels:     $out/predict-network/map.png and class_counts.csv"
echo "  for QGIS/GDAL:      the map*.tif beside each PNG (class ids with a colour table and class names)"
