#!/usr/bin/env bash
# One training step and one evaluation forward of the default network,
# lumora vs the Python reference, in the same run on the same machine:
# lumora with the C library's allocator defaults and as the programs run
# (freed memory kept), the reference as it is and under that same policy.
#   bench/network_step.sh [BUILD_DIR] [extra options, e.g. --steps 5]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
source "$root/bench/common.sh"
ref="$root/../shared/bench/reference_net.py"
shape=(--height 145 --width 145 --bands 200 --classes 17)

echo "lumora, C library allocator defaults (continuum removal included):"
measure "lumora, system allocator" "$build/bin/network_step" "${shape[@]}" --no-breakdown --system-allocator "$@"
echo "lumora, as the programs run (freed memory kept):"
measure "lumora" "$build/bin/network_step" "${shape[@]}" --no-breakdown "$@"
if [ -f "$ref" ]; then
  echo "python reference, as it is:"
  measure "python" /usr/bin/python3 "$ref" "${shape[@]}" "$@"
  echo "python reference, freed memory kept as lumora keeps it:"
  measure "python, kept memory" "${KEPT_MEMORY[@]}" /usr/bin/python3 "$ref" "${shape[@]}" "$@"
else
  echo "python reference not found at $ref: skipped"
fi
echo "lumora, stage by stage:"
"$build/bin/network_step" "${shape[@]}" "$@" | tail -1
