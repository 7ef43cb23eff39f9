#!/usr/bin/env bash
# Scene loading, lumora vs the Python reference, on the same files in one run.
#   bench/dataset_load.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
ref="$root/../shared/bench/reference_dataset.py"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$build/bin/dataset_load" --write "$work"
echo "scene: 610 x 340 x 103 float32, 10 classes ($(du -h "$work/data.mat" | cut -f1) compressed)"

rss() { /usr/bin/time -f '%M' "$@" 2> "$work/rss" > "$work/out"; cat "$work/out"; echo "peak RSS: $(( $(tail -1 "$work/rss") / 1024 )) MiB"; }
echo "lumora:"
rss "$build/bin/dataset_load" "$work/data.mat" "$work/gt.mat" --repeat 3
echo "python reference:"
rss /usr/bin/python3 "$ref" "$work/data.mat" "$work/gt.mat" --repeat 3
