#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
build="${LUMORA_BUILD_DIR:-$root/build}"
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 600
