"""Peak resident memory of `korvex reconstruct` on a series against one time point of it:
the command line reads and writes one time point at a time, so the peak should not grow with
the series' length.

    python bench/cli_memory_bench.py [--size 512] [--times 20] [--iterations 10]

Prints the peak RSS of a run on 1 time point and on the whole series (each a fresh process),
and their ratio.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import tifffile

import korvex

PEAK = """
import resource, sys
from korvex import cli
status = cli.main(sys.argv[1:])
print(status, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def raw_frames(size: int, seed: int) -> np.ndarray:
    """9 noisy frames of random beads under 3 x 3 patterns, uint16."""
    rng = np.random.default_rng(seed)
    truth = (rng.random((size, size)) > 0.99).astype(float)
    y, x = np.mgrid[:size, :size]
    masks = np.stack([1 + 0.9 * np.cos(2 * np.pi * (np.cos(a) * x + np.sin(a) * y) / 3.2 +
                                       2 * np.pi * p / 3)
                      for a in (0.3, 1.35, 2.4) for p in range(3)])
    clean = korvex.simulate(truth, masks, korvex.otf((size, size), 1.2, 0.52, 0.08))
    return rng.poisson(clean / clean.max() * 1000 + 10).astype(np.uint16)


def peak(path: Path, out: Path, iterations: int) -> tuple[float, float]:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", PEAK, "reconstruct", str(path), "-o", str(out),
                           "--na", "1.2", "--wavelength", "0.52", "--pixel-size", "0.08",
                           "--background", "10", "--iterations", str(iterations), "-q"],
                          capture_output=True, text=True, check=True)
    status, kib = done.stdout.split()[-2:]
    assert status == "0", done.stderr
    return int(kib) / 1024, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--times", type=int, default=20)
    parser.add_argument("--iterations", type=int, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        one = raw_frames(args.size, 0)
        for count in (1, args.times):
            tifffile.imwrite(folder / f"t{count}.tif", np.stack([one] * count), imagej=True,
                             metadata={"axes": "TZYX"})
        results = {count: peak(folder / f"t{count}.tif", folder / f"out{count}.tif",
                               args.iterations) for count in (1, args.times)}
    size = one.nbytes / 2**20
    output = 4 * (2 * args.size) ** 2 / 2**20
    print(f"korvex reconstruct, {args.times} x 9 x {args.size}^2 uint16 series "
          f"({size:.1f} MiB of frames and {output:.1f} MiB of output a time point), "
          f"{args.iterations} iterations, backend {korvex.backend}")
    for count, (mib, seconds) in results.items():
        print(f"  {count:3d} time point(s): peak RSS {mib:8.1f} MiB  ({seconds:.1f} s)")
    ratio = results[args.times][0] / results[1][0]
    print(f"  ratio {args.times} : 1 = {ratio:.3f} (holding the series in memory would add "
          f"{(args.times - 1) * (size + output):.0f} MiB)")


if __name__ == "__main__":
    main()
