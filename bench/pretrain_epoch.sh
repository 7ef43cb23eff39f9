#!/usr/bin/env bash
# Fingerprint encoder timings, lumora vs the Python reference, in one run.
#   bench/pretrain_epoch.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
echo "lumora:"
"$build/bin/pretrain_epoch" --pixels 20000 --bands 200 --side 145
echo "python reference (continuum removal not included):"
/usr/bin/python3 "$root/bench/reference_ssm.py" --pixels 20000 --bands 200 --side 145
