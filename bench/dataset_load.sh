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

source "$root/bench/common.sh"
echo "lumora:"
measure "lumora" "$build/bin/dataset_load" "$work/data.mat" "$work/gt.mat" --repeat 3
echo "python reference, as it is:"
measure "python" /usr/bin/python3 "$ref" "$work/data.mat" "$work/gt.mat" --repeat 3
echo "python reference, freed memory kept as lumora keeps it:"
measure "python, kept memory" "${KEPT_MEMORY[@]}" /usr/bin/python3 "$ref" "$work/data.mat" "$work/gt.mat" --repeat 3
