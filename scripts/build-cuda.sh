#!/usr/bin/env bash
# Compiles and links every target against the CUDA LibTorch of the PyPI torch
# wheel (scripts/libtorch2.sh cuda) and the CUDA toolkit (nvcc on PATH or in
# /usr/local/cuda), in build-cuda/ (LUMORA_CUDA_BUILD_DIR). A check to run by
# hand: nothing runs without a GPU. Prints the versions it used.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
if ! command -v nvcc > /dev/null && [ -x /usr/local/cuda/bin/nvcc ]; then export PATH="/usr/local/cuda/bin:$PATH"; fi
command -v nvcc > /dev/null || { echo "build-cuda: nvcc not found (install the CUDA toolkit)" >&2; exit 1; }
args="$("$root/scripts/libtorch2.sh" cuda)"
build="${LUMORA_CUDA_BUILD_DIR:-$root/build-cuda}"
mkdir -p "$build"
# shellcheck disable=SC2086  # the printed arguments are words
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release $args > "$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  exit 1
}
cmake --build "$build" -j"$(nproc)"
echo "built with $(grep -m1 'LibTorch' "$build/configure.log" | sed 's/^-- //'), $(grep -m1 'CUDA detected' "$build/configure.log" | sed 's/^-- //')"
echo "nvcc: $(nvcc --version | sed -n 's/.*release \([0-9.]*\), \(V[0-9.]*\).*/\1 (\2)/p')"
echo "liblumora_core.so needs: $(readelf -d "$build/lib/liblumora_core.so" | grep -o 'lib\(torch\|c10\)[a-z_]*\.so' | tr '\n' ' ')"
