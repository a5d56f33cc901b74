#!/usr/bin/env bash
# The README's figures: filament stacks (256 x 256, 1000 and 100 photons, seed 1) from the
# repository's simulator, reconstructed by the tool in both modes and scored against truth2.
# Usage: bash bench/wiener/figures.sh [VENV]   (after setup.sh; run from anywhere)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
venv="${1:-$root/build/wiener-venv}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$root"
octave-cli --eval "
addpath('matlab'); addpath('bench/octave');
for photons = [1000 100]
  s = acquisition_filaments(256, 256, photons, 1);
  frames = s.frames; pattern = s.pattern; truth2 = s.truth2; na = s.na;
  wavelength = s.wavelength; pixelSize = s.pixelSize; n = 1.33;
  for m = {'estimate', 'given'}
    mode = m{1};
    save('-v7', sprintf('$work/%s%d.mat', mode, photons), 'frames', 'pattern', 'truth2', ...
         'na', 'wavelength', 'pixelSize', 'n', 'mode');
  end
end" 2>&1 | grep -v 'execution_exception' || true
for f in estimate1000 given1000 estimate100 given100; do
  "$venv/bin/python" bench/wiener/wiener_reconstruct.py "$work/$f.mat" "$work/out_$f.mat"
done
octave-cli --eval "
addpath('bench/wiener');
for f = {'estimate1000', 'given1000', 'estimate100', 'given100'}
  score_wiener(['$work/' f{1} '.mat'], ['$work/out_' f{1} '.mat']);
end" 2>&1 | grep -v 'execution_exception' || true
