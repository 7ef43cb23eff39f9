#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian's archive.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ccache pkg-config
  libtorch-dev
  libmatio-dev libdeflate-dev zlib1g-dev libgdal-dev libhdf5-dev libcairo2-dev
  libcli11-dev libfmt-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-torch python3-numpy python3-scipy python3-spectral python3-pil time
  python3-sklearn # bench/baselines.py
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
