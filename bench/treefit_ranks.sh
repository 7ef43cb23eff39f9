#!/usr/bin/env bash
# lumora-treefit on the sample scene in one process and over 2 processes on
# this machine, one intra-op thread each: wall seconds of both, each rank's
# training and waiting time, and whether the two bundles are byte-identical.
#   bench/treefit_ranks.sh [BUILD_DIR] [EPOCHS]   (default 80 epochs)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
epochs="${2:-80}"
source "$root/bench/common.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bin="$build/bin"
args=(--data "$root/data/sample/data.mat" --gt "$root/data/sample/gt.mat" --epochs "$epochs" --lr 0.001
      --base_filters 16 --ensembles 2 --leaf_ensembles 1 --min_epochs 40 --val_interval 10)
export OMP_NUM_THREADS=1

echo "== one process =="
start=$(date +%s.%N)
measure "1 rank" "$bin/lumora-treefit" "${args[@]}" --out-dir "$work/one" > "$work/one.log"
one=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')

echo "== two processes =="
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url="tcp://127.0.0.1:$port"
start=$(date +%s.%N)
"$bin/lumora-treefit" "${args[@]}" --out-dir "$work/two" --dist-url "$url" --world-size 2 --rank 1 \
  > "$work/rank1.log" 2>&1 &
worker=$!
measure "2 ranks" "$bin/lumora-treefit" "${args[@]}" --out-dir "$work/two" --dist-url "$url" --world-size 2 --rank 0 \
  > "$work/rank0.log"
wait "$worker"
two=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')

grep -h '^\[rank' "$work/rank0.log" "$work/rank1.log" | grep -E 'jobs:'
# Per job: the seconds each member took, for a model of more ranks.
grep -h 'member' "$work/rank1.log" | sed 's/^/  /'
awk -v a="$one" -v b="$two" 'BEGIN { printf "wall: 1 rank %.1f s, 2 ranks %.1f s, speed-up %.2f\n", a, b, a / b }'
for f in spt_models.pkl training_history.csv test_results.csv class_report_forest.csv; do
  if cmp -s "$work/one/$f" "$work/two/$f"; then echo "  $f: identical"; else echo "  $f: DIFFERS"; fi
done
