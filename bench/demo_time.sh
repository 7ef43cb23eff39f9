#!/usr/bin/env bash
# The demo's programs timed step by step, with programs already built:
#   bench/demo_time.sh [BUILD_DIR]
# Prints each step's seconds as it ends, then wall, CPU user / sys and peak
# RSS of the whole. A build from before a step existed stops there; the
# steps before it still count.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
source "$root/bench/common.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Lines starting "== " open a step: each gets the seconds since the last.
steps() {
  local start last now
  start=$(date +%s.%N) last=$start
  while IFS= read -r line; do
    [[ "$line" == "== "* ]] || continue
    now=$(date +%s.%N)
    [ "$last" = "$start" ] || awk -v a="$last" -v b="$now" 'BEGIN { printf "  %6.1f s\n", b - a }'
    printf '%s' "${line%% ==*} =="
    last=$now
  done
  now=$(date +%s.%N)
  awk -v s="$start" -v a="$last" -v b="$now" 'BEGIN { printf "  %6.1f s\n  total %.1f s\n", b - a, b - s }'
}

echo "demo steps with $build:"
LUMORA_DEMO_BUILD=0 LUMORA_BUILD_DIR="$build" LUMORA_DEMO_OUT="$work/demo" \
  measure "demo" bash "$root/scripts/demo.sh" 2> "$work/stderr" | steps
grep -E '^\s+\[demo\]' "$work/stderr" || true
grep -m1 -E '^error' "$work/stderr" && echo "(stopped at that step)"
