#!/usr/bin/env bash
# Fingerprint encoder timings, lumora vs the Python reference, in one run.
#   bench/pretrain_epoch.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
source "$root/bench/common.sh"
args=(--pixels 20000 --bands 200 --side 145)
echo "lumora:"
measure "lumora" "$build/bin/pretrain_epoch" "${args[@]}"
echo "python reference (continuum removal not included), as it is:"
measure "python" /usr/bin/python3 "$root/bench/reference_ssm.py" "${args[@]}"
echo "python reference, freed memory kept as lumora keeps it:"
measure "python, kept memory" "${KEPT_MEMORY[@]}" /usr/bin/python3 "$root/bench/reference_ssm.py" "${args[@]}"
