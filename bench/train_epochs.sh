#!/usr/bin/env bash
# Seconds per epoch of lumora-train at 145 x 145 x 200, 17 classes, next to
# the network's training step and evaluation forward from the same run.
#   bench/train_epochs.sh [BUILD_DIR]
# The per-epoch figure is (T(20 epochs) - T(1 epoch)) / 19: loading, set-up
# and the test pass cancel out; the two validations (epochs 10 and 20) stay in.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import sys
import numpy as np
import scipy.io
rng = np.random.default_rng(0)
h, w, c, k = 145, 145, 200, 16
labels = (np.arange(h)[:, None] // 10 + np.arange(w)[None, :] // 37) % (k + 1)
spectra = rng.random((k + 1, c)).astype(np.float32)
cube = spectra[labels] + 0.1 * rng.standard_normal((h, w, c)).astype(np.float32)
scipy.io.savemat(f"{sys.argv[1]}/data.mat", {"cube": cube}, do_compression=True)
scipy.io.savemat(f"{sys.argv[1]}/gt.mat", {"gt": labels.astype(np.uint8)}, do_compression=True)
PY

run_epochs() {
  local start end
  start=$(date +%s.%N)
  "$build/bin/lumora-train" --data "$work/data.mat" --gt "$work/gt.mat" --epochs "$1" --out-dir "$work/run$1" > "$work/log$1"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
t1=$(run_epochs 1)
t20=$(run_epochs 20)
per_epoch=$(echo "($t20 - $t1) / 19" | bc -l)
printf 'lumora-train: 1 epoch %.1f s, 20 epochs %.1f s -> %.3f s per epoch\n' "$t1" "$t20" "$per_epoch"
echo "network step and evaluation forward (same run):"
"$build/bin/network_step" --height 145 --width 145 --bands 200 --classes 17 --no-breakdown
