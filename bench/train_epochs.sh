#!/usr/bin/env bash
# Seconds per epoch of lumora-train at 145 x 145 x 200, 17 classes, next to
# the network's training step and evaluation forward from the same run, for
# lumora built against Debian's LibTorch 1.13 and, where present, against 2.x
# (build-torch2/, scripts/test-torch2.sh), and the Python reference's step
# under Debian's PyTorch 1.13 and PyTorch 2.x (scripts/libtorch2.sh python).
# Every run uses every core.
#   bench/train_epochs.sh [BUILD_DIR]
#   LUMORA_TORCH2_BUILD=DIR, LUMORA_TORCH2_PYTHON=INTERPRETER override the 2.x ones.
# The per-epoch figure is (T(20 epochs) - T(1 epoch)) / 19: loading, set-up
# and the test pass cancel out; the two validations (epochs 10 and 20) stay in.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
build2="${LUMORA_TORCH2_BUILD:-$root/build-torch2}"
python2="${LUMORA_TORCH2_PYTHON:-${LUMORA_CACHE:-$HOME/.cache/lumora}/torch-2.11.0/python3}"
ref="$root/../shared/bench/reference_net.py"
shape=(--height 145 --width 145 --bands 200 --classes 17)
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

run_epochs() {  # BUILD EPOCHS -> wall seconds
  local start end
  start=$(date +%s.%N)
  "$1/bin/lumora-train" --data "$work/data.mat" --gt "$work/gt.mat" --epochs "$2" --out-dir "$work/run$2" > "$work/log$2"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
lumora() {  # LABEL BUILD
  local t1 t20
  t1=$(run_epochs "$2" 1)
  t20=$(run_epochs "$2" 20)
  printf '%s: lumora-train 1 epoch %.1f s, 20 epochs %.1f s -> %.3f s per epoch\n' "$1" "$t1" "$t20" \
    "$(echo "($t20 - $t1) / 19" | bc -l)"
  echo "  network step and evaluation forward (same run):"
  "$2/bin/network_step" "${shape[@]}" --no-breakdown | sed 's/^/  /'
}

echo "threads: $(nproc) for every run; $(uptime | sed 's/.*\(load average\)/\1/')"
lumora "LibTorch 1.13" "$build"
if [ -x "$build2/bin/lumora-train" ]; then
  lumora "LibTorch $(grep -m1 -o 'LibTorch [0-9.]*' "$build2/configure.log" 2> /dev/null | cut -d' ' -f2)" "$build2"
else
  echo "lumora against LibTorch 2.x not built in $build2 (scripts/test-torch2.sh): skipped"
fi
if [ -f "$ref" ]; then
  echo "python reference step, PyTorch 1.13:"
  /usr/bin/python3 "$ref" "${shape[@]}" | sed 's/^/  /'
  if [ -x "$python2" ]; then
    echo "python reference step, PyTorch $("$python2" -c 'import torch; print(torch.__version__)'):"
    "$python2" "$ref" "${shape[@]}" | sed 's/^/  /'
  else
    echo "PyTorch 2.x not installed (scripts/libtorch2.sh python): skipped"
  fi
else
  echo "python reference not found at $ref: skipped"
fi
