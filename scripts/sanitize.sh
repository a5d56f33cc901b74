#!/usr/bin/env bash
# Builds the host backend with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan),
# runs the whole C++ suite, then the Octave tests against the instrumented MEX. Octave itself
# is not instrumented, so the sanitizer runtime is preloaded into it (it must come first in
# the process) and leak reports are off there: they would be Octave's own.
# Usage: scripts/sanitize.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/asan}
jobs=$(nproc)

cmake -S . -B "$build" -G Ninja -DKORVEX_BACKEND=host -DKORVEX_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j "$jobs"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitized_ctest() {  # <asan options> <ctest arguments...>
  local asan=$1
  shift
  ASAN_OPTIONS="$asan:detect_stack_use_after_return=1:check_initialization_order=1" \
    ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 900 "$@"
}

echo "== C++ suite under ASan and UBSan"
sanitized_ctest detect_leaks=1 -LE 'octave|matlab'

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime="$("$cxx" -print-file-name=libasan.so):$("$cxx" -print-file-name=libubsan.so)"
for lib in ${runtime//:/ }; do
  [[ -e $lib ]] || { echo "sanitizer runtime $lib not found" >&2; exit 1; }
done
if ! command -v octave-cli >/dev/null; then
  echo "== octave-cli not found: the Octave tests are not run under the sanitizers"
  exit 0
fi
if [[ ! -e $build/matlab/KorvexCUDA.mex ]]; then
  echo "== no Octave MEX was built (mkoctfile missing?)" >&2
  exit 1
fi
echo "== Octave tests on the instrumented MEX (preloaded: $runtime)"
LD_PRELOAD="$runtime" sanitized_ctest detect_leaks=0 -L 'octave|matlab'
