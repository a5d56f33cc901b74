#!/usr/bin/env bash
# Installs what building and testing Korvex needs on Debian/Ubuntu, and nothing that is
# already there. Run as root (or with sudo available). The CUDA toolkit is not installed
# here: without it Korvex builds its host (CPU) backend.
set -euo pipefail

# fonts-freefont-otf: Octave's text renderer loads FreeSans for titles and labels; without it
# every figure warns and the demo falls back to an untitled montage.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libfftw3-dev octave liboctave-dev
          gnuplot-nox fonts-freefont-otf)
# The napari plugin's tests: a headless X server (Qt's offscreen platform alone gets no OpenGL
# context), Mesa's OpenGL and the X libraries Qt's xcb platform loads.
packages+=(xvfb xauth libgl1-mesa-dri libegl1 libxkbcommon-x11-0 libxcb-cursor0 libxcb-icccm4
           libxcb-image0 libxcb-keysyms1 libxcb-randr0 libxcb-render-util0 libxcb-shape0
           libxcb-xfixes0 libxcb-xinerama0 libxcb-xkb1 libfontconfig1 libdbus-1-3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# The presets (CMakePresets.json, schema 6 with workflows) need CMake 3.25: Debian 12 and
# Ubuntu 24.04 ship it; older releases need a newer CMake from elsewhere.
check_cmake() {
  local version
  version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
  if [[ -n $version ]] && ! printf '3.25\n%s\n' "$version" | sort -V -C; then
    echo "install-deps: CMake $version found, 3.25 or newer is needed" >&2
    exit 1
  fi
}

if ((${#missing[@]} == 0)); then
  check_cmake
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
check_cmake
