"""A dask series on a 2-worker LocalCluster against the same series computed serially.

6 time points of 9 x 256 x 256 camera frames (the README's simulation), reconstructed by the
acquisition pipeline with its defaults (2x up-sampling: 512 x 512 out). The serial run is
reconstruct_series on the numpy array in this process; the dask run maps the same call over
one time point a chunk on LocalCluster(n_workers=2, threads_per_worker=1) (--workers and
--threads change it). Both are run once to warm up (plans, engines and, for dask, the workers'
imports), then timed in alternation, `--rounds` times each, so that a load that comes and goes
meets both alike. Prints the medians,
the median of the rounds' ratios dask / serial, the thread count a worker's task runs the core
on, the CPU seconds each spent (the dask run's in its workers, scheduler and client) and the
machine's load.

    python bench/series_bench.py [--steps 6] [--size 256] [--estimate once|each] [--rounds 5]
                                 [--workers 2] [--threads 1]
"""

import argparse
import os
import resource
import time

import warnings

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


def cpu():
    """CPU seconds of this process, all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(run, client=None):
    """Wall seconds, CPU seconds (this process and, with a client, its workers) and the
    result of run()."""
    workers = client.run(cpu) if client else {}
    start, used = time.perf_counter(), cpu()
    out = run()
    wall, used = time.perf_counter() - start, cpu() - used
    if client:
        used += sum(client.run(cpu)[w] - workers[w] for w in workers)
    return wall, used, out


def task_threads():
    """The thread count the core runs on inside a task of this worker."""
    try:
        from korvex._threads import task_threads as threads
    except ImportError:  # a build that leaves the count to the worker's environment
        return f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}"
    with threads():
        return korvex._core.threads()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=6)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--estimate", choices=("once", "each"), default="once")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1, help="threads per worker")
    args = parser.parse_args()
    import dask.array as da
    from dask.distributed import Client, LocalCluster, wait

    # The series travels to the workers once, in the graph that persists it.
    warnings.filterwarnings("ignore", message="Sending large graph")
    frames = series(args.steps, args.size)
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065, estimate=args.estimate)
    load = [os.getloadavg()[0]]
    with LocalCluster(n_workers=args.workers, threads_per_worker=args.threads, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        lazy = client.persist(da.from_array(frames, chunks=(1, -1, -1, -1)))
        wait(lazy)  # on the workers once, not in every graph
        serial_run = lambda: korvex.reconstruct_series(frames, quiet=True, **optics).image
        dask_run = lambda: korvex.reconstruct_series(lazy, **optics).image.compute()
        first = timed(serial_run)[0], timed(dask_run)[0]
        serial, distributed = [], []
        for _ in range(args.rounds):
            serial.append(timed(serial_run))
            distributed.append(timed(dask_run, client))
            load.append(os.getloadavg()[0])
        threads = {client.submit(task_threads, pure=False, workers=[w]).result()
                   for w in client.scheduler_info()["workers"]}
    s = np.array([t for t, _, _ in serial])
    d = np.array([t for t, _, _ in distributed])
    s_cpu = np.array([c for _, c, _ in serial])
    d_cpu = np.array([c for _, c, _ in distributed])
    image = serial[-1][2]
    difference = np.abs(image - distributed[-1][2]).max() / np.abs(image).max()
    print(f"series {args.steps} x 9 x {args.size}^2 -> {2 * args.size}^2, "
          f"estimate={args.estimate}, korvex from {os.path.dirname(korvex.__file__)}")
    print(f"machine: {os.cpu_count()} cores, load {min(load):.1f} to {max(load):.1f} during "
          f"the rounds")
    print(f"first runs:  serial {first[0]:.2f} s, dask {first[1]:.2f} s")
    print(f"serial (this process, its own threads)  median {np.median(s):.2f} s "
          f"(min {s.min():.2f}, max {s.max():.2f}) over {args.rounds} rounds")
    print(f"dask, {args.workers}-worker LocalCluster, {args.threads} thread(s) each  median {np.median(d):.2f} s "
          f"(min {d.min():.2f}, max {d.max():.2f}); a task's core threads: {sorted(threads)}")
    print(f"dask / serial: median of the rounds' ratios {np.median(d / s):.2f} "
          f"(min {np.min(d / s):.2f}, max {np.max(d / s):.2f}); largest difference of the "
          f"images / their peak {difference:.1e}")
    print(f"CPU seconds: serial median {np.median(s_cpu):.2f}, dask (workers, scheduler and "
          f"client) {np.median(d_cpu):.2f}: ratio {np.median(d_cpu / s_cpu):.2f}; on a machine "
          f"whose cores are busy elsewhere the wall times follow the cores each run gets")


if __name__ == "__main__":
    main()
