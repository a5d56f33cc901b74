"""Figures of the korvex Python package, printed in one run:

1. overhead of Python over the C++ engine at 512 x 512 x 9, 40 iterations (the engine's own
   time is measured in C++ around Mapsim_Compute inside the same call);
2. no input copy for C-contiguous float32 (tracemalloc sees every numpy allocation);
3. a 20-time-point 256 x 256 x 9 double series on LocalCluster(n_workers=2, processes=True)
   against a sequential loop: time ratio and bit-identity (in a fresh process with
   KORVEX_FFTW_PLANNER=estimate, which its workers inherit: measured FFTW plans differ
   between processes);
4. peak memory of reconstruct_series over 10 and 50 time points beyond the output;
5. a kept korvex.Pipeline against fresh reconstruct_acquisition calls, 10 calls of each in
   alternation on a 256 x 256 x 9 camera acquisition (the pipeline's defaults, to 512 x 512),
   wall and process CPU seconds.

    python bench/python_bench.py [--repeats 5] [--parts 12345]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
import tracemalloc

import numpy as np


def stack(size, frames=9, dtype=np.float32, seed=1):
    import korvex

    shape = (size, size)
    otf = korvex.otf(shape, 1.2, 0.52, 0.065)
    masks = korvex.masks(shape, period=5.0)
    truth = np.random.default_rng(seed).random(shape) ** 4
    data = korvex.simulate(truth, masks, otf, photons=1000, seed=seed)
    return data.astype(dtype), masks.astype(dtype), otf.astype(dtype)


def machine():
    import korvex

    load = os.getloadavg()
    threads = os.environ.get("OMP_NUM_THREADS", "all")
    print(f"machine: {os.cpu_count()} CPUs, OMP_NUM_THREADS={threads}, "
          f"load {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, korvex backend '{korvex.backend}', "
          f"Python {sys.version.split()[0]}, numpy {np.__version__}")


def overhead(repeats):
    import korvex

    print("\n1. Python over the C++ engine, 512 x 512 x 9, 40 iterations, engine kept")
    print("   precision   python s   engine s   overhead")
    for dtype in (np.float32, np.float64):
        frames, masks, otf = stack(512, dtype=dtype)
        walls, engines = [], []
        with korvex.Reconstructor((512, 512), 9, 40) as r:
            r.reconstruct(frames, masks, otf)  # builds the engine and measures the plans
            for _ in range(repeats):
                start = time.perf_counter()
                result = r.reconstruct(frames, masks, otf)
                walls.append(time.perf_counter() - start)
                engines.append(result.seconds["reconstruction"])
        wall, engine = np.median(walls), np.median(engines)
        print(f"   {np.dtype(dtype).name:9s}   {wall:8.3f}   {engine:8.3f}   "
              f"{100 * (wall - engine) / engine:6.2f} %")


def no_copy():
    import korvex

    print("\n2. Input copies at 512 x 512 x 9 float32 (frames are "
          f"{512 * 512 * 9 * 4 / 2**20:.1f} MiB), peak numpy memory during the call")
    frames, masks, otf = stack(512)
    with korvex.Reconstructor((512, 512), 9, 2) as r:
        out = np.empty((512, 512), np.float32)
        r.reconstruct(frames, masks, otf, out=out)
        for name, value in (("C-contiguous float32", frames),
                            ("Fortran-ordered float32", np.asfortranarray(frames)),
                            ("C-contiguous float64", frames.astype(np.float64))):
            kept = value.copy()
            tracemalloc.start()
            r.reconstruct(value, masks, otf, out=out) if value.dtype == np.float32 else \
                r.reconstruct(value, masks.astype(np.float64), otf.astype(np.float64))
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            same = np.array_equal(kept, value)
            print(f"   {name:24s} peak {peak / 2**20:7.2f} MiB   input unchanged: {same}")


CLUSTER = """
import sys, time, warnings, numpy as np, dask.array as da
from dask.distributed import Client, LocalCluster
import korvex
from python_bench import stack
# The series is embedded in the graph here; a real one is read lazily.
warnings.filterwarnings("ignore", message="Sending large graph")
frames, masks, otf = stack(256, dtype=np.float64)
rng = np.random.default_rng(4)
series = np.stack([frames * s for s in rng.uniform(0.5, 2, 20)])
start = time.perf_counter()
with korvex.Reconstructor((256, 256), 9, 40) as r:
    loop = np.stack([r.reconstruct(f, masks, otf).image for f in series])
sequential = time.perf_counter() - start
print(f"   sequential loop, one engine, {sys.argv[1]:>3s} thread(s)   {sequential:7.2f} s",
      flush=True)
if sys.argv[1] == "1":
    sys.exit()
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                  dashboard_address=None) as cluster, Client(cluster):
    lazy = korvex.reconstruct_series(da.from_array(series, chunks=(1, 9, 256, 256)), masks,
                                     otf).image
    start = time.perf_counter()
    images = lazy.compute()
    distributed = time.perf_counter() - start
print(f"   LocalCluster, 2 worker processes x 1 thread {distributed:7.2f} s"
      f"   ratio loop / cluster {sequential / distributed:.2f}")
print(f"   bit-identical in double: {np.array_equal(images, loop)}"
      f" (max difference {np.abs(images - loop).max():.3g})")
"""


def cluster():
    print("\n3. 20 time points of 256 x 256 x 9, double, 40 iterations (KORVEX_FFTW_PLANNER="
          "estimate in fresh processes and the workers)", flush=True)
    here = os.path.dirname(os.path.abspath(__file__))
    # A loop on one thread first: the cluster's workers run one thread each.
    for threads in ("1", "all"):
        env = dict(os.environ, KORVEX_FFTW_PLANNER="estimate")
        if threads == "1":
            env["OMP_NUM_THREADS"] = "1"
        subprocess.run([sys.executable, "-c", CLUSTER, threads], env=env, cwd=here, check=True)


def peak_memory():
    import korvex

    print("\n4. Peak numpy memory of reconstruct_series (numpy input, 128 x 128 x 9 float32, "
          "10 iterations)")
    frames, masks, otf = stack(128)
    # Outside the measurement: the first call imports the progress bar's modules.
    korvex.reconstruct_series(frames[np.newaxis], masks, otf, iterations=1, quiet=True)
    for steps in (10, 50):
        series = np.repeat(frames[np.newaxis], steps, axis=0)
        tracemalloc.start()
        images = korvex.reconstruct_series(series, masks, otf, iterations=10,
                                           quiet=True).image
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"   T = {steps:2d}: input {series.nbytes / 2**20:6.2f} MiB, output "
              f"{images.nbytes / 2**20:5.2f} MiB, peak {peak / 2**20:5.2f} MiB, beyond the "
              f"output {(peak - images.nbytes) / 2**20:5.2f} MiB")


def kept_pipeline(calls=10):
    import resource

    import korvex

    print(f"\n5. {calls} calls of a 256 x 256 x 9 float32 acquisition to 512 x 512, the pipeline's "
          "defaults: fresh reconstruct_acquisition against one kept korvex.Pipeline, the two "
          "called in alternation so that a changing load meets both alike")
    frames, _, _ = stack(256)
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065)
    korvex.reconstruct_acquisition(frames, **optics)  # FFTW's plans measured outside
    fresh, kept = [], []

    def cpu():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    def timed(call, into):
        start, used = time.perf_counter(), cpu()
        result = call()
        # Wall and process CPU seconds, and everything but the engine's iterations: what
        # keeping the pipeline can save.
        into.append((time.perf_counter() - start, cpu() - used,
                     result.seconds["total"] - result.seconds["reconstruction"]))

    with korvex.Pipeline(frames.shape[1:], 9, **optics) as pipeline:
        for call in range(calls):
            timed(lambda: korvex.reconstruct_acquisition(frames, **optics), fresh)
            timed(lambda: pipeline.reconstruct(frames), kept)
            # What the call built anew (an older build does not say): the kept state serves
            # every call after the first.
            built = getattr(pipeline, "_built", ("unknown",))
            if call == 0:
                first_built = built
            elif built and built != ("unknown",):
                print(f"   kept call {call + 1} built {', '.join(built)}")
    fresh, kept = np.array(fresh), np.array(kept)
    reference = np.median(fresh[:, 0])
    print(f"   fresh calls: median {reference:.3f} s (min {fresh[:, 0].min():.3f}, max "
          f"{fresh[:, 0].max():.3f}), CPU {np.median(fresh[:, 1]):.3f} s; outside the "
          f"iterations {np.median(fresh[:, 2]):.3f} s")
    print("   kept calls:  " + " ".join(f"{t:.3f}" for t in kept[:, 0]) + " s, CPU (2nd on) "
          f"{np.median(kept[1:, 1]):.3f} s; outside the iterations (2nd on) "
          f"{np.median(kept[1:, 2]):.3f} s; the 1st built {', '.join(first_built)}")
    ratios = kept[1:, 0] / reference
    print(f"   2nd to {calls}th kept call / fresh median: max {ratios.max():.2f}, median "
          f"{np.median(ratios):.2f}; each against the fresh call before it: median "
          f"{np.median(kept[1:, 0] / fresh[1:, 0]):.2f}; CPU median "
          f"{np.median(kept[1:, 1]) / np.median(fresh[:, 1]):.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--parts", default="12345", help="which figures to print, e.g. 14")
    args = parser.parse_args()
    machine()
    parts = {"1": lambda: overhead(args.repeats), "2": no_copy, "3": cluster, "4": peak_memory,
             "5": kept_pipeline}
    for part in args.parts:
        parts[part]()
    machine()


if __name__ == "__main__":
    main()
