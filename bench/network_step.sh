#!/usr/bin/env bash
# One training step and one evaluation forward of the default network,
# lumora vs the Python reference, in the same run on the same machine:
# lumora with the C library's allocator defaults and as the programs run
# (freed memory kept), the reference as it is and under that same policy;
# each under Debian's LibTorch/PyTorch 1.13 and, where present, under 2.x
# (lumora built in build-torch2/ by scripts/test-torch2.sh, PyTorch 2.x from
# scripts/libtorch2.sh python). All use every core. Ends with a table of
# ratios against Python 2.x (or 1.13 without it).
#   bench/network_step.sh [BUILD_DIR] [extra options, e.g. --steps 5]
#   LUMORA_TORCH2_BUILD=DIR, LUMORA_TORCH2_PYTHON=INTERPRETER override the 2.x ones.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
source "$root/bench/common.sh"
ref="$root/../shared/bench/reference_net.py"
shape=(--height 145 --width 145 --bands 200 --classes 17)
build2="${LUMORA_TORCH2_BUILD:-$root/build-torch2}"
python2="${LUMORA_TORCH2_PYTHON:-${LUMORA_CACHE:-$HOME/.cache/lumora}/torch-2.11.0/python3}"
results="$(mktemp -d)"
trap 'rm -rf "$results"' EXIT

# row NAME LABEL COMMAND...: measure, keeping the JSON line for the table.
row() {
  local name="$1"
  shift
  measure "$@" | tee "$results/$name"
}

echo "threads: $(nproc) for every run; $(uptime | sed 's/.*\(load average\)/\1/')"
echo "lumora (LibTorch 1.13), C library allocator defaults (continuum removal included):"
row l1-sys "lumora 1.13, system allocator" "$build/bin/network_step" "${shape[@]}" --no-breakdown --system-allocator "$@"
echo "lumora (LibTorch 1.13), as the programs run (freed memory kept):"
row l1 "lumora 1.13" "$build/bin/network_step" "${shape[@]}" --no-breakdown "$@"
if [ -x "$build2/bin/network_step" ]; then
  echo "lumora (LibTorch $(grep -m1 -o 'LibTorch [0-9.]*' "$build2/configure.log" 2> /dev/null | cut -d' ' -f2)), C library allocator defaults:"
  row l2-sys "lumora 2.x, system allocator" "$build2/bin/network_step" "${shape[@]}" --no-breakdown --system-allocator "$@"
  echo "lumora (LibTorch 2.x), as the programs run:"
  row l2 "lumora 2.x" "$build2/bin/network_step" "${shape[@]}" --no-breakdown "$@"
else
  echo "lumora against LibTorch 2.x not built in $build2 (scripts/test-torch2.sh): skipped"
fi
if [ -f "$ref" ]; then
  echo "python reference (PyTorch 1.13), as it is:"
  row p1 "python 1.13" /usr/bin/python3 "$ref" "${shape[@]}" "$@"
  echo "python reference (PyTorch 1.13), freed memory kept as lumora keeps it:"
  row p1-kept "python 1.13, kept memory" "${KEPT_MEMORY[@]}" /usr/bin/python3 "$ref" "${shape[@]}" "$@"
  if [ -x "$python2" ]; then
    echo "python reference (PyTorch $("$python2" -c 'import torch; print(torch.__version__)')), as it is:"
    row p2 "python 2.x" "$python2" "$ref" "${shape[@]}" "$@"
    echo "python reference (PyTorch 2.x), freed memory kept as lumora keeps it:"
    row p2-kept "python 2.x, kept memory" "${KEPT_MEMORY[@]}" "$python2" "$ref" "${shape[@]}" "$@"
  else
    echo "PyTorch 2.x not installed (scripts/libtorch2.sh python): skipped"
  fi
else
  echo "python reference not found at $ref: skipped"
fi
echo "lumora, stage by stage:"
"$build/bin/network_step" "${shape[@]}" "$@" | tail -1

python3 - "$results" <<'PY'
import json, os, sys
d = sys.argv[1]
def load(name):
    p = os.path.join(d, name)
    if not os.path.exists(p):
        return None
    for line in open(p):
        if line.startswith("{") and "train_step_median_s" in line:
            return json.loads(line)
rows = [(n, load(k)) for n, k in [("lumora 1.13", "l1"), ("lumora 2.x", "l2"), ("python 1.13", "p1"),
                                  ("python 2.x", "p2")]]
base_name, base = next(((n, r) for n, r in reversed(rows) if r and n.startswith("python")), (None, None))
print(f"\nmedian seconds (ratio to {base_name or 'nothing'}), freed memory as each runs by default:")
print(f"  {'':12} {'threads':>7} {'train step':>18} {'eval forward':>18}")
for name, r in rows:
    if not r:
        continue
    cells = []
    for key in ("train_step_median_s", "eval_forward_median_s"):
        ratio = f" ({r[key] / base[key]:.2f}x)" if base else ""
        cells.append(f"{r[key]:.3f} s{ratio}")
    print(f"  {name:12} {r['threads']:>7} {cells[0]:>18} {cells[1]:>18}")
PY
