#!/usr/bin/env bash
# The acquisition pipeline's figures (docs/acquisition.md): resolution at 1000 photons on the
# 2x and the camera grid, time at 512 x 512 x 9 in / 1024 x 1024 out on the host backend, and
# the pipeline's overhead over the engine alone.
#
#   bash bench/acquisition_figures.sh [true]   build tree: $KORVEX_BENCH_BUILD (build/bench)
#
# `true` uses the simulation's pattern instead of estimating it. Threads: OMP_NUM_THREADS
# (default 2, the figures' two cores). Other work on the machine distorts the times: the load
# average is printed before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

pattern=estimated
[[ ${1:-} == true ]] && pattern=true
build=${KORVEX_BENCH_BUILD:-build/bench}
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}

cmake -S . -B "$build" -G Ninja -DKORVEX_BACKEND=host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target KorvexCUDA_octave korvex_reconstruct_octave | tail -1

echo "== machine: $(uname -srm), $(nproc) cores, OMP_NUM_THREADS=$OMP_NUM_THREADS, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
# The build folder goes on the path last so that its MEX files shadow the help files.
octave-cli --no-gui --norc --quiet --eval \
  "addpath('$PWD/matlab'); addpath('$PWD/bench/octave'); addpath('$PWD/$build/matlab'); acquisition_figures('pattern', '$pattern');" \
  2>&1 | { grep -v "ignoring const execution_exception" || true; }
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
