#!/usr/bin/env bash
# The thick-specimen study of docs/thick_specimens.md: sets up one virtual environment with the
# korvex package (built from this checkout) and the Wiener-type tool's core, runs
# bench/thick/thick_study.py, copies its figure panel to docs/thick_specimens.png and, where
# the Octave MEX files are built, runs bench/thick/thin_check.m on the thin stacks.
# Usage: bash bench/thick/run_study.sh [OUTDIR] [--quick]   (default build/thick; about
# 4 minutes on 2 quiet cores, 8 on busy ones, --quick one). KORVEX_STUDY_VENV names another
# environment.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/thick"
if [[ $# -gt 0 && $1 != --* ]]; then
  out="$1"
  shift
fi
out="$(realpath -m "$out")"
venv="$(realpath -m "${KORVEX_STUDY_VENV:-$root/build/study-venv}")"

bash "$root/bench/wiener/setup.sh" "$venv"
"$venv/bin/python" -m pip install --quiet -Cbuild-dir="$root/build/study-pybuild" \
    "$root"
# From outside the source tree, so that the installed package is the one imported.
(cd /tmp && "$venv/bin/python" "$root/bench/thick/test_thick.py" &&
    OMP_NUM_THREADS="${OMP_NUM_THREADS:-2}" "$venv/bin/python" "$root/bench/thick/thick_study.py" "$out" "$@")
cp "$out/thick_specimens.png" "$root/docs/thick_specimens.png"
# The thin stacks of docs/image_quality.md, where the MEX files of build/host are built.
mex="${KORVEX_MEX_DIR:-$root/build/host/matlab}"
if [[ -f "$mex/korvex_reconstruct.mex" ]] && command -v octave-cli >/dev/null; then
  (cd "$root" && octave-cli --no-gui --eval "addpath('matlab'); addpath('bench/octave');
      addpath('bench/thick'); addpath('$mex'); thin_check()") | tee "$out/thin_check.md"
else
  echo "thin check skipped: no $mex/korvex_reconstruct.mex (cmake --build build/host)"
fi
echo "tables: $out/results.md; panel: docs/thick_specimens.png"
