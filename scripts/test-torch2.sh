#!/usr/bin/env bash
# The whole test suite against LibTorch 2.x from the PyPI torch wheel, on the
# CPU, in build-torch2/ (LUMORA_TORCH2_BUILD_DIR): installs what is missing,
# fetches the wheel's LibTorch and PyTorch 2.x for the interoperability checks
# (scripts/libtorch2.sh cpu python), builds and runs ctest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
args="$("$root/scripts/libtorch2.sh" cpu python)"
build="${LUMORA_TORCH2_BUILD_DIR:-$root/build-torch2}"
mkdir -p "$build"
if [ -n "${LUMORA_WERROR:-}" ]; then args="$args -DLUMORA_WERROR=$LUMORA_WERROR"; fi
# shellcheck disable=SC2086  # the printed arguments are words
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release $args > "$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  exit 1
}
grep "LibTorch" "$build/configure.log"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 600
