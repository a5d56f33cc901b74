"""A dask series on a 2-worker LocalCluster against the same series computed serially.

6 time points of 9 x 256 x 256 camera frames (the README's simulation), reconstructed by the
acquisition pipeline with its defaults (2x up-sampling: 512 x 512 out). The serial run is
reconstruct_series on the numpy array in this process; the dask run maps the same call over
one time point a chunk on LocalCluster(n_workers=2, threads_per_worker=1). Each is timed
twice: the first run pays for plans, engines and (dask) the workers' imports; the second is
what a long series sees. Prints both and the ratio dask / serial of the second runs.

    python bench/series_bench.py [--steps 6] [--size 256] [--estimate once|each]
"""

import argparse
import os
import time

import numpy as np

import korvex


def series(steps, size):
    shape = (size, size)
    masks = korvex.masks(shape, period=5.0)
    otf = korvex.otf(shape, na=1.2, wavelength=0.52, pixel_size=0.065)
    rng = np.random.default_rng(0)
    truth = rng.random(shape) ** 4
    return np.stack([korvex.simulate(truth, masks, otf, photons=1000, seed=t)
                     for t in range(steps)]).astype(np.float32)


def timed(run):
    start = time.perf_counter()
    out = run()
    return time.perf_counter() - start, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=6)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--estimate", choices=("once", "each"), default="once")
    args = parser.parse_args()
    import dask.array as da
    from dask.distributed import Client, LocalCluster

    frames = series(args.steps, args.size)
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065, estimate=args.estimate)
    serial = [timed(lambda: korvex.reconstruct_series(frames, quiet=True, **optics).image)
              for _ in range(2)]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, \
            Client(cluster) as client:
        lazy = da.from_array(frames, chunks=(1, -1, -1, -1))
        lazy = client.persist(lazy)  # on the workers once, not in every graph
        dask_runs = [timed(lambda: korvex.reconstruct_series(lazy, **optics).image.compute())
                     for _ in range(2)]
        worker_threads = client.run(lambda: os.environ.get("OMP_NUM_THREADS", "unset"))
    difference = np.abs(serial[1][1] - dask_runs[1][1]).max() / np.abs(serial[1][1]).max()
    print(f"series {args.steps} x 9 x {args.size}^2 -> {2 * args.size}^2, estimate={args.estimate}, "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
    print(f"serial (this process)      first {serial[0][0]:6.2f} s   then {serial[1][0]:6.2f} s")
    print(f"dask, 2-worker LocalCluster first {dask_runs[0][0]:6.2f} s   then "
          f"{dask_runs[1][0]:6.2f} s   (workers' OMP_NUM_THREADS: "
          f"{sorted(set(worker_threads.values()))})")
    print(f"dask / serial              {dask_runs[1][0] / serial[1][0]:6.2f}   "
          f"largest difference of the images / their peak: {difference:.1e}")


if __name__ == "__main__":
    main()
