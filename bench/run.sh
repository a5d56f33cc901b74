#!/usr/bin/env bash
# Host-backend benchmarks of Korvex in one run: time per iteration against the transforms it
# performs (256 to 2048, float and double), peak memory of a 2048 x 2048 x 9 reconstruction,
# and KorvexCUDA against the plain Octave implementation. See bench/README.md.
#
#   bash bench/run.sh [--quick]        build tree: $KORVEX_BENCH_BUILD (default build/bench)
#
# --quick skips 2048 and the Octave comparison. Threads: OMP_NUM_THREADS (default: all
# cores). Figures from a machine busy with other work are not worth keeping: the load
# average is printed before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[[ ${1:-} == --quick ]] && quick=1
build=${KORVEX_BENCH_BUILD:-build/bench}
jobs=$(nproc)

cmake -S . -B "$build" -G Ninja -DKORVEX_BACKEND=host -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(korvex_bench)
# The Octave MEX exists where Octave and mkoctfile were found at configure time.
if ((quick == 0)) && command -v octave-cli >/dev/null &&
  cmake --build "$build" --target help | grep -q KorvexCUDA_octave; then
  targets+=(KorvexCUDA_octave)
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}" | tail -1
bench="$build/bench/korvex_bench"

echo "== machine: $(uname -srm), $(nproc) cores, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== OMP_NUM_THREADS=${OMP_NUM_THREADS:-unset (all cores)}"

echo
echo "== time per iteration (ratio target on the host: <= 1.3 at 512)"
"$bench" --sizes 128,256,512,1024 --iterations 10 --repeats 5
if ((quick == 0)); then
  "$bench" --sizes 2048 --iterations 3 --repeats 2 | tail -n +5
fi

if ((quick == 0)); then
  echo
  echo "== memory (each in a fresh process)"
  "$bench" --memory 2048 --precision float --iterations 2 | tail -n +3
  "$bench" --memory 2048 --precision double --iterations 2 | tail -n +3

  echo
  echo "== KorvexCUDA against the vectorised Octave implementation (target >= 3)"
  if [[ -e $build/matlab/KorvexCUDA.mex ]]; then
    octave-cli --no-gui --norc --quiet --eval \
      "addpath('bench/octave'); compare_speed('mexdir', '$build/matlab');"
  else
    echo "Octave or its MEX build not available: comparison skipped"
  fi
fi
echo
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
