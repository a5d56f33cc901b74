#!/usr/bin/env bash
# Builds both backends and runs every test, each tree through its CMake workflow preset
# (CMakePresets.json). The host backend (build/host) runs the whole suite, an install of the
# tree included, then again sanitized (build/asan); the cuda backend (build/cuda) is built
# wherever nvcc exists and its tests run in full on a machine with a GPU (without one they are
# skipped, except the smoke test that checks how the engine fails there).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The test presets leave the job count to CTest, which reads it from here.
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

workflow() {  # <preset>
  local t0=$SECONDS
  cmake --workflow --preset "$1"
  echo "== $1: configured, built and tested in $((SECONDS - t0)) s"
}

workflow host
# The host backend again under AddressSanitizer and UndefinedBehaviorSanitizer, Octave tests
# included (against the instrumented MEX).
bash scripts/sanitize.sh
if command -v nvcc >/dev/null || [[ -x /usr/local/cuda/bin/nvcc ]]; then
  workflow cuda
else
  echo "== nvcc not found: cuda backend not built"
fi

# The Python package, installed into a fresh virtual environment, against build/host's MEX.
bash scripts/test_python.sh
