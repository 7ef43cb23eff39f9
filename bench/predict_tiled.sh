#!/usr/bin/env bash
# lumora-predict tile by tile on a 1024 x 1024 x 100 scene, next to the
# whole-scene run on 512 x 512 x 100, with a small class tree trained on a
# 128 x 128 x 100 scene of the same kind: wall seconds and peak RSS of each,
# and how the tiled map of the 512 x 512 scene agrees with its untiled map.
#   bench/predict_tiled.sh [BUILD_DIR] [TILE]   (default tile 256)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
tile="${2:-256}"
source "$root/bench/common.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Fields of 48 x 48 pixels, each of one of five crop-like spectra, with a
# per-pixel gain and noise.
/usr/bin/python3 - "$work" <<'PY'
import os
import sys
import numpy as np
import scipy.io
out = sys.argv[1]
bands, k = 100, 5
spectra = np.random.default_rng(1).random((k + 1, bands)).astype(np.float32)
def scene(name, side, seed):
    rng = np.random.default_rng(seed)
    n = side // 48 + 1
    # The training scene holds every class once at least; the others draw theirs.
    fields = (np.add.outer(3 * np.arange(n), np.arange(n)) % k + 1) if name == "train" \
        else rng.integers(1, k + 1, size=(n, n))
    labels = np.kron(fields, np.ones((48, 48), dtype=np.int64))[:side, :side]
    gain = 1.0 + 0.1 * rng.standard_normal((side, side, 1)).astype(np.float32)
    cube = spectra[labels] * gain + 0.05 * rng.standard_normal((side, side, bands)).astype(np.float32)
    os.makedirs(f"{out}/{name}")
    scipy.io.savemat(f"{out}/{name}/data.mat", {"cube": cube.astype(np.float32)})
    scipy.io.savemat(f"{out}/{name}/gt.mat", {"gt": labels.astype(np.uint8)})
scene("train", 128, 2)
scene("s512", 512, 3)
scene("s1024", 1024, 4)
PY

echo "Machine load before: $(uptime)"
echo "lumora-treefit on 128 x 128 x 100 (the small bundle):"
measure "treefit 128" "$build/bin/lumora-treefit" --data "$work/train/data.mat" --gt "$work/train/gt.mat" \
  --epochs 20 --ensembles 1 --leaf_ensembles 1 --base_filters 16 --num_filters 4 --val_interval 10 --min_epochs 10 \
  --out-dir "$work/fit" > "$work/fit.log"
model="$work/fit/spt_models.pkl"

predict() {
  local label="$1" name="$2" out="$3"
  shift 3
  measure "$label" "$build/bin/lumora-predict" --data "$work/$name/data.mat" --model "$model" --routing forest \
    --out-dir "$work/$out" "$@" > "$work/$out.log"
  grep -E "^Tiles:|Inference complete" "$work/$out.log" || true
}

echo "lumora-predict, forest routing:"
predict "untiled 512 x 512 x 100" s512 p512 --gt "$work/s512/gt.mat"
predict "tiled ($tile) 512 x 512 x 100" s512 p512t --gt "$work/s512/gt.mat" --tile "$tile"
predict "tiled ($tile) 1024 x 1024 x 100, no labels" s1024 p1024t --tile "$tile"

/usr/bin/python3 - "$work/p512/map_forest.png" "$work/p512t/map_forest.png" <<'PY'
import sys
import numpy as np
from PIL import Image
a, b = (np.asarray(Image.open(p).convert("RGB")) for p in sys.argv[1:3])
same = np.all(a == b, axis=2)
print(f"512 x 512 map, tiled against untiled: {same.sum()} of {same.size} pixels identical ({100 * same.mean():.4f} %)")
PY
echo "Machine load after: $(uptime)"
