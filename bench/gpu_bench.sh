#!/usr/bin/env bash
# The GPU check of Korvex, for a machine with an NVIDIA GPU and the CUDA toolkit (nvcc,
# CMake, Ninja): builds the cuda backend for this GPU only (the `gpu` preset, build/gpu), runs
# the backend-neutral tests, the checks only a GPU answers (bench/gpu_checks.cpp; the refusal
# check builds gpu_checks a second time for an architecture this GPU is not), and times the
# reconstruction against a cuFFT-only loop of the same 4 x F transforms, 512 and 2048 at 9
# frames, float and double, and the acquisition pipeline at 512^2 -> 1024^2 and
# 2048^2 -> 4096^2 (korvex_pipeline_bench). About 5 to 7 minutes, most of it the two builds.
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

log "checks only a GPU answers: shared pages, 1 x N and N x 1 images"
checks_log="${out:-/tmp}/korvex_gpu_checks.log"
"$build/bench/gpu_checks" 2>&1 | tee "$checks_log" || true
if [[ $preset == gpu ]]; then
  # A build for an architecture this GPU is not: the constructor must refuse the device.
  cc=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -1 | tr -d .)
  foreign=75
  [[ $cc == 75 ]] && foreign=80
  log "architecture refusal: gpu_checks built for sm_$foreign only (this GPU: ${cc:-unknown})"
  cmake -S . -B "$build-sm$foreign" -G Ninja -DKORVEX_BACKEND=cuda -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CUDA_ARCHITECTURES="$foreign-real" -DBUILD_TESTING=OFF >"$build/foreign.log" 2>&1 &&
    cmake --build "$build-sm$foreign" -j "$(nproc)" --target gpu_checks >>"$build/foreign.log" 2>&1 &&
    "$build-sm$foreign/bench/gpu_checks" --expect-refusal 2>&1 | tee -a "$checks_log" ||
    echo "gpu check architecture-refusal     FAIL  see $build/foreign.log" | tee -a "$checks_log"
fi

log "time per iteration against the cuFFT-only loop"
"$build/bench/korvex_bench" --sizes 512,2048 --iterations 20 --repeats 5 |
  tee "${out:-/tmp}/korvex_gpu_bench.txt"
"$build/bench/korvex_bench" --memory 2048 --precision float --iterations 2 | tail -n +3

# The acquisition pipeline with its defaults, each size in a process of its own (its peak
# resident set is the process's): the first call, the warm median and its stages.
log "acquisition pipeline: 512x512x9 -> 1024x1024 and 2048x2048x9 -> 4096x4096, float"
for size in 512 2048; do
  repeats=5
  [[ $size == 2048 ]] && repeats=2
  "$build/bench/korvex_pipeline_bench" --size "$size" --repeats "$repeats" |
    tee -a "${out:-/tmp}/korvex_gpu_pipeline.txt" ||
    echo "pipeline $size: FAILED" | tee -a "${out:-/tmp}/korvex_gpu_pipeline.txt"
done
log "summary"
grep '^gpu check' "$checks_log" || true
log "done"
