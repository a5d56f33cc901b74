#!/usr/bin/env bash
# The reconstruction demo in one command: installs what is missing, builds KorvexCUDA for the
# backend this machine supports (cuda with a GPU and the toolkit, host otherwise) and runs
# korvex_demo in Octave. Extra arguments are passed to korvex_demo as Octave expressions,
# e.g.  bash scripts/demo.sh "'size'" 512 "'iterations'" 60
# A first argument `thick` runs the thick-specimen variant (out-of-focus haze, reconstructed
# without and with the out-of-focus model): bash scripts/demo.sh thick "'haze'" 3
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
mkdir -p build
cmake -S . -B build/demo -G Ninja -DKORVEX_BACKEND=auto -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_TESTING=OFF -DKORVEX_BUILD_BENCHMARKS=OFF > build/demo-build.log 2>&1 \
  || { cat build/demo-build.log; exit 1; }
cmake --build build/demo --target KorvexCUDA_octave korvex_reconstruct_octave -j "$(nproc)" >> build/demo-build.log 2>&1 \
  || { cat build/demo-build.log; exit 1; }
grep -E "Korvex backend|Octave MEX" build/demo-build.log || true

variant="" figure=korvex_demo.png
if [[ "${1:-}" == thick ]]; then
  variant="'thick', " figure=korvex_demo_thick.png
  shift
fi
args=""
for a in "$@"; do args="$args, $a"; done
# The build folder goes on the path last so that it comes first (its MEX shadows the help file).
# Octave 7's gnuplot toolkit reports a harmless error while Octave exits; it is filtered out.
octave-cli --no-gui --norc --quiet --eval \
  "addpath('$PWD/matlab'); addpath('$PWD/build/demo/matlab'); korvex_demo(${variant}'output', '$PWD/$figure'$args);" \
  2>&1 | { grep -v "ignoring const execution_exception" || true; }
echo "Figure: $PWD/$figure"
