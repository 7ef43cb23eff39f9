#!/usr/bin/env bash
# One training step and one evaluation forward of the default network,
# lumora vs the Python reference, in the same run on the same machine.
#   bench/network_step.sh [BUILD_DIR] [extra options, e.g. --steps 5]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
ref="$root/../shared/bench/reference_net.py"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
shape=(--height 145 --width 145 --bands 200 --classes 17)

rss() { /usr/bin/time -f '%M' "$@" 2> "$work/rss" > "$work/out"; cat "$work/out"; echo "peak RSS (time -f %M): $(( $(tail -1 "$work/rss") / 1024 )) MiB"; }
echo "lumora (continuum removal included):"
rss "$build/bin/network_step" "${shape[@]}" --no-breakdown "$@"
echo "python reference:"
rss /usr/bin/python3 "$ref" "${shape[@]}" "$@"
echo "lumora, stage by stage:"
"$build/bin/network_step" "${shape[@]}" "$@" | tail -1
