#!/usr/bin/env bash
# The host platform's figures, from the acquisition pipeline with its defaults:
#   1. first call: a new process on a geometry an earlier process planned (its FFTW wisdom in
#      a scratch cache folder), against the warm calls of the same process (512^2 x 9);
#   2. load: 256^2 x 9 -> 512^2 beside two CPU-bound processes, against the same call alone;
#   3. dask: bench/series_bench.py (needs a Python with korvex and dask.distributed: set
#      KORVEX_PYTHON, default python3; skipped when it cannot import them).
#
#   bash bench/platform_figures.sh
#
# Builds korvex_pipeline_bench in build/host (KORVEX_BENCH_BUILD names another tree). Other
# work on the machine distorts the "alone" figure: compare the load averages printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KORVEX_BENCH_BUILD:-build/host}
python=${KORVEX_PYTHON:-python3}
bench=$build/bench/korvex_pipeline_bench
[[ -d $build ]] || cmake --preset host >/dev/null
cmake --build "$build" --target korvex_pipeline_bench >/dev/null

cache=$(mktemp -d)
competitors=()
cleanup() {
  for pid in "${competitors[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$cache"
}
trap cleanup EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
warm() { awk '/^warm call/ {print $(NF-1)}'; }

echo "== $(nproc) cores, OMP_NUM_THREADS=${OMP_NUM_THREADS:-unset}, load $(load)"
echo "== 1. first call of a new process on a geometry planned before (512^2 x 9 -> 1024^2)"
XDG_CACHE_HOME=$cache "$bench" --size 512 --repeats 1 | sed -n 2p | sed 's/^/   planning run: /'
XDG_CACHE_HOME=$cache "$bench" --size 512 --repeats 3

echo "== 2. 256^2 x 9 -> 512^2 alone, then beside two CPU-bound processes (load $(load))"
report=$("$bench" --size 256 --repeats 5)
echo "$report"
alone=$(warm <<<"$report")
for _ in 1 2; do
  bash -c 'while :; do :; done' &
  competitors+=($!)
done
sleep 1
report=$("$bench" --size 256 --repeats 5)
echo "$report"
busy=$(warm <<<"$report")
for pid in "${competitors[@]}"; do kill "$pid"; done
competitors=()
awk -v a="$alone" -v b="$busy" 'BEGIN {printf "   beside two competitors / alone: %.2f\n", b / a}'

echo "== 3. dask series on a 2-worker LocalCluster against serial (load $(load))"
if "$python" -c 'import korvex, dask.distributed' 2>/dev/null; then
  "$python" bench/series_bench.py
else
  echo "   skipped: $python cannot import korvex and dask.distributed"
fi
