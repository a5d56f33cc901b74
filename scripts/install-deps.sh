#!/usr/bin/env bash
# Installs what building and testing Korvex needs on Debian/Ubuntu, and nothing that is
# already there. Run as root (or with sudo available). The CUDA toolkit is not installed
# here: without it Korvex builds its host (CPU) backend.
set -euo pipefail

# fonts-freefont-otf: Octave's text renderer loads FreeSans for titles and labels; without it
# every figure warns and the demo falls back to an untitled montage.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libfftw3-dev
          octave liboctave-dev gnuplot-nox fonts-freefont-otf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
