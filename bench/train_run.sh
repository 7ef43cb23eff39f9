#!/usr/bin/env bash
# A whole lumora-train run on a generated scene: wall, CPU user / sys and
# peak RSS (the share of sys time shows what page faults cost).
#   bench/train_run.sh [BUILD_DIR] [EPOCHS] [HEIGHT WIDTH BANDS] [LUMORA-TRAIN OPTIONS...]
# (default 300 epochs, 83 x 86 x 204), e.g. ... 150 145 145 200 --few_labels
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
epochs="${2:-300}"
h="${3:-83}" w="${4:-86}" c="${5:-204}"
extra=("${@:6}")
source "$root/bench/common.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" "$h" "$w" "$c" <<'PY'
import sys
import numpy as np
import scipy.io
out, h, w, c = sys.argv[1], *map(int, sys.argv[2:])
rng = np.random.default_rng(0)
k = 16
labels = (np.arange(h)[:, None] // 8 + np.arange(w)[None, :] // 21) % (k + 1)
spectra = rng.random((k + 1, c)).astype(np.float32)
cube = spectra[labels] + 0.1 * rng.standard_normal((h, w, c)).astype(np.float32)
scipy.io.savemat(f"{out}/data.mat", {"cube": cube}, do_compression=True)
scipy.io.savemat(f"{out}/gt.mat", {"gt": labels.astype(np.uint8)}, do_compression=True)
PY
echo "lumora-train ${extra[*]}, $epochs epochs on $h x $w x $c:"
measure "lumora-train" "$build/bin/lumora-train" --data "$work/data.mat" --gt "$work/gt.mat" --epochs "$epochs" \
  ${extra[@]+"${extra[@]}"} --out-dir "$work/run" > "$work/log"
grep -E "Test|Best" "$work/log" | tail -3 || true
