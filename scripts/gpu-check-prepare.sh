#!/usr/bin/env bash
# Prepares scripts/gpu-check.sh for a GPU machine that has no network: run it
# here (Debian 12, with network). Downloads the Debian packages the check
# unpacks there into a private prefix (matio and the HDF5 library it links,
# libdeflate, zlib, {fmt}, CLI11, nlohmann-json, GoogleTest, pkgconf) and
# copies the Python reference network, all into .gpu-debs/ (ignored by git:
# carry it along with the working tree). Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/.gpu-debs"

PACKAGES=(
  libmatio-dev libmatio11 libhdf5-dev libhdf5-103-1 libaec0 libsz2
  libdeflate-dev libdeflate0 zlib1g-dev zlib1g
  libfmt-dev libfmt9 libcli11-dev nlohmann-json3-dev libgtest-dev
  pkgconf pkgconf-bin libpkgconf3
)

mkdir -p "$out/debs" "$out/bench"
cd "$out/debs"
missing=()
for p in "${PACKAGES[@]}"; do
  compgen -G "${p}_*.deb" > /dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! apt-get download "${missing[@]}" 2> /dev/null; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -q
    apt-get download "${missing[@]}"
  fi
fi
# Epochs appear as "%3a" in the names: plain names travel everywhere.
for f in *%3a*.deb; do [ -e "$f" ] && mv "$f" "${f//%3a/_}"; done

ref="$root/../shared/bench/reference_net.py"
if [ -f "$ref" ]; then
  cp "$ref" "$out/bench/reference_net.py"
else
  echo "warning: $ref not found: the GPU check will time lumora alone" >&2
fi
echo "prepared $out ($(du -sh "$out" | cut -f1)): ${#PACKAGES[@]} packages$([ -f "$out/bench/reference_net.py" ] && echo ", the Python reference")"
