#!/usr/bin/env bash
# Builds both backends and runs every test. The host backend (build/host) runs the whole
# suite, then again sanitized (build/asan); the cuda backend (build/cuda) is built wherever nvcc exists and its tests run in
# full on a machine with a GPU (without one they are skipped, except the smoke test that
# checks how the engine fails there).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

run_tree() {  # <backend> <build dir>
  local t0=$SECONDS
  cmake -S . -B "$2" -G Ninja -DKORVEX_BACKEND="$1" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$2" -j "$jobs"
  echo "== $1 backend built in $((SECONDS - t0)) s"
  ctest --test-dir "$2" --output-on-failure -j "$jobs" --timeout 900
}

run_tree host build/host
# The host backend again under AddressSanitizer and UndefinedBehaviorSanitizer, Octave tests
# included (against the instrumented MEX).
bash scripts/sanitize.sh build/asan
if command -v nvcc >/dev/null || [[ -x /usr/local/cuda/bin/nvcc ]]; then
  run_tree cuda build/cuda
else
  echo "== nvcc not found: cuda backend not built"
fi

# The Python package, installed into a fresh virtual environment, against build/host's MEX.
bash scripts/test_python.sh
