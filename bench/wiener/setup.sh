#!/usr/bin/env bash
# Installs napari-sim-processor's processing core into a virtual environment, without napari
# or Qt: the package itself with --no-deps, plus what its processors import (numpy, scipy,
# matplotlib). Usage: bash bench/wiener/setup.sh [VENV]   (default build/wiener-venv).
# Running it again is harmless: an existing environment that imports the core is kept.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
venv="${1:-$root/build/wiener-venv}"
python="${PYTHON:-python3}"

check='import importlib.util, numpy, scipy, matplotlib; assert importlib.util.find_spec("napari_sim_processor")'
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c "$check" 2>/dev/null; then
  echo "napari-sim-processor core already in $venv"
  exit 0
fi
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet numpy scipy matplotlib
"$venv/bin/python" -m pip install --quiet --no-deps napari-sim-processor==0.1.1
"$venv/bin/python" "$root/bench/wiener/wiener_reconstruct.py" --check
echo "napari-sim-processor core installed in $venv"
