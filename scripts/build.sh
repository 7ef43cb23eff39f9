#!/usr/bin/env bash
# Installs what is missing, then configures and builds lumora in build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="${LUMORA_BUILD_DIR:-$root/build}"
mkdir -p "$build"
# LUMORA_WERROR=ON (as CI sets it) makes every compiler warning an error.
args=(-DCMAKE_BUILD_TYPE=Release)
if [ -n "${LUMORA_WERROR:-}" ]; then args+=("-DLUMORA_WERROR=$LUMORA_WERROR"); fi
cmake -S "$root" -B "$build" "${args[@]}" > "$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  exit 1
}
cmake --build "$build" -j"$(nproc)"
