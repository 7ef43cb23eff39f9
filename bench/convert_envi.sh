#!/usr/bin/env bash
# ENVI conversion, lumora-convert vs the Python reference, on the same files
# in one run: a 512 x 512 x 224 int16 cube and a palette PNG label map.
#   bench/convert_envi.sh [BUILD_DIR] [REPEATS]
# Reports wall time and peak RSS (GNU time) of each run, and their ratios.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
repeats="${2:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$build/bin/convert_envi_make" "$work"
echo "scene: 512 x 512 x 224 int16 BSQ ($(du -h "$work/scene.img" | cut -f1)), label PNG 512 x 512"

measure() {  # command...: prints "seconds kbytes" of one run
  /usr/bin/time -v "$@" > "$work/stdout" 2> "$work/time" || { cat "$work/stdout" "$work/time" >&2; exit 1; }
  local wall rss
  wall=$(grep "Elapsed (wall clock)" "$work/time" | awk '{print $NF}' | awk -F: '{ if (NF == 3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
  rss=$(grep "Maximum resident set size" "$work/time" | awk '{print $NF}')
  echo "$wall $rss"
}

best() { sort -n | head -1; }
declare -a lt lr pt pr
for i in $(seq "$repeats"); do
  rm -rf "$work/out_l" "$work/out_p"
  read -r t m < <(measure "$build/bin/lumora-convert" --img "$work/scene.hdr" --gt "$work/labels.png" --out-dir "$work/out_l")
  lt+=("$t"); lr+=("$m")
  read -r t m < <(measure /usr/bin/python3 "$root/bench/convert_envi_reference.py" "$work/scene.hdr" "$work/labels.png" "$work/out_p")
  pt+=("$t"); pr+=("$m")
  echo "run $i: lumora ${lt[-1]} s, ${lr[-1]} KiB | python ${pt[-1]} s, ${pr[-1]} KiB"
done
l_time=$(printf '%s\n' "${lt[@]}" | best); p_time=$(printf '%s\n' "${pt[@]}" | best)
l_rss=$(printf '%s\n' "${lr[@]}" | best); p_rss=$(printf '%s\n' "${pr[@]}" | best)
echo "data.mat: lumora $(stat -c %s "$work/out_l/data.mat") bytes, python $(stat -c %s "$work/out_p/data.mat") bytes"
/usr/bin/python3 - "$work/out_l" "$work/out_p" <<'PY'
import sys, numpy as np, scipy.io
a = scipy.io.loadmat(sys.argv[1] + "/data.mat")["data"]; b = scipy.io.loadmat(sys.argv[2] + "/data.mat")["data"]
g = scipy.io.loadmat(sys.argv[1] + "/gt.mat")["gt"]; h = scipy.io.loadmat(sys.argv[2] + "/gt.mat")["gt"]
print("same arrays:", a.dtype == b.dtype and np.array_equal(a, b) and g.dtype == h.dtype and np.array_equal(g, h))
PY
awk -v lt="$l_time" -v pt="$p_time" -v lr="$l_rss" -v pr="$p_rss" 'BEGIN {
  printf "best of runs: lumora %.2f s, %.0f MiB | python %.2f s, %.0f MiB\n", lt, lr / 1024, pt, pr / 1024
  printf "ratios (lumora / python): time %.2fx, peak RSS %.2fx\n", lt / pt, lr / pr }'
