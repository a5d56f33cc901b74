#!/usr/bin/env bash
# The GPU check of Korvex, for a machine with an NVIDIA GPU and the CUDA toolkit (nvcc,
# CMake, Ninja): builds the cuda backend for this GPU only (the `gpu` preset, build/gpu), runs
# the backend-neutral tests and times the reconstruction against a cuFFT-only loop of the same
# 4 x F transforms, 512 and 2048 at 9 frames, float and double. About 3 to 5 minutes, most of
# it the build.
#
#   bash bench/gpu_bench.sh
#
# GoogleTest comes from the system or from sources in third_party_carry/googletest; with
# neither, the tests are skipped and the timing still runs. KORVEX_BACKEND=host in the
# environment runs the same steps on the host backend (the `gpu-rehearsal` preset,
# build/gpu-rehearsal), to rehearse the script on a machine without a GPU. Figures and logs
# are also written under $OUT when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=gpu
if [[ ${KORVEX_BACKEND:-cuda} == host ]]; then
  preset=gpu-rehearsal
fi
build=build/$preset
out=${OUT:-}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
started=$SECONDS

log() { echo "== $* ($((SECONDS - started)) s)"; }

if [[ $preset == gpu ]]; then
  nvidia-smi -L || true
fi
mkdir -p build
if [[ -f /usr/include/gtest/gtest.h || -f third_party_carry/googletest/CMakeLists.txt ]]; then
  # The preset's tests leave out the Octave ones and give each 300 s.
  log "configure, build and run the backend-neutral tests: $preset preset, $build"
  cmake --workflow --preset "$preset" 2>&1 | tee "${out:-/tmp}/korvex_gpu_tests.log" | tail -25
else
  log "configure and build: $preset preset, $build"
  cmake --preset "$preset" -DBUILD_TESTING=OFF >"build/$preset-configure.log" 2>&1 ||
    { cat "build/$preset-configure.log"; exit 1; }
  cmake --build --preset "$preset" 2>&1 | tail -3
  log "no GoogleTest (system or third_party_carry/googletest): tests skipped"
fi

log "time per iteration against the cuFFT-only loop"
"$build/bench/korvex_bench" --sizes 512,2048 --iterations 20 --repeats 5 |
  tee "${out:-/tmp}/korvex_gpu_bench.txt"
"$build/bench/korvex_bench" --memory 2048 --precision float --iterations 2 | tail -n +3
log "done"
