#!/usr/bin/env bash
# Builds the host backend with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan)
# and runs every test there: the `asan` workflow preset. The Octave tests run against the
# instrumented MEX; Octave itself is not instrumented, so those tests preload the sanitizer
# runtime into it and turn its leak reports off (tests/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
t0=$SECONDS
cmake --workflow --preset asan
echo "== asan: configured, built and tested in $((SECONDS - t0)) s"

# Without octave-cli the Octave tests are reported as skipped; with it, a missing MEX means
# they never ran against the instrumented gateway.
if ! command -v octave-cli >/dev/null; then
  echo "== octave-cli not found: the Octave tests are not run under the sanitizers"
elif [[ ! -e build/asan/matlab/KorvexCUDA.mex ]]; then
  echo "== no Octave MEX was built (mkoctfile missing?)" >&2
  exit 1
fi
