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


def raw_frames(size: int, seed: int, phases: int = 3) -> np.ndarray:
    """3 x `phases` noisy frames of random beads, orientation-major, uint16."""
    rng = np.random.default_rng(seed)
    truth = (rng.random((size, size)) > 0.99).astype(float)
    y, x = np.mgrid[:size, :size]
    masks = np.stack([1 + 0.9 * np.cos(2 * np.pi * (np.cos(a) * x + np.sin(a) * y) / 3.2 +
                                       2 * np.pi * p / phases)
                      for a in (0.3, 1.35, 2.4) for p in range(phases)])
    clean = korvex.simulate(truth, masks, korvex.otf((size, size), 1.2, 0.52, 0.08))
    return rng.poisson(clean / clean.max() * 1000 + 10).astype(np.uint16)


def peak(path: Path, out: Path, *options) -> tuple[float, float, str]:
    """(peak RSS in MiB, seconds, stdout) of one `korvex reconstruct` in a fresh process."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", PEAK, "reconstruct", str(path), "-o", str(out),
                           "--na", "1.2", "--background", "10", "-q", *map(str, options)],
                          capture_output=True, text=True)
    status, kib = done.stdout.split()[-2:]
    if status != "0":
        sys.exit(done.stderr)
    return int(kib) / 1024, time.perf_counter() - start, done.stdout


def memory(args):
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        one = raw_frames(args.size, 0)
        for count in (1, args.times):
            tifffile.imwrite(folder / f"t{count}.tif", np.stack([one] * count), imagej=True,
                             metadata={"axes": "TZYX"})
        results = {count: peak(folder / f"t{count}.tif", folder / f"out{count}.tif",
                               "--wavelength", 0.52, "--pixel-size", 0.08,
                               "--iterations", args.iterations) for count in (1, args.times)}
    size = one.nbytes / 2**20
    output = 4 * (2 * args.size) ** 2 / 2**20
    print(f"korvex reconstruct, {args.times} x 9 x {args.size}^2 uint16 series "
          f"({size:.1f} MiB of frames and {output:.1f} MiB of output a time point), "
          f"{args.iterations} iterations, backend {korvex.backend}")
    for count, (mib, seconds, _) in results.items():
        print(f"  {count:3d} time point(s): peak RSS {mib:8.1f} MiB  ({seconds:.1f} s)")
    ratio = results[args.times][0] / results[1][0]
    print(f"  ratio {args.times} : 1 = {ratio:.3f} (holding the series in memory would add "
          f"{(args.times - 1) * (size + output):.0f} MiB)")


def omx(args):
    import mrc
    import tifffile

    planes = [raw_frames(args.size, z, phases=5) for z in range(9)]
    # One axis of 135 sections: angle-major, then the planes, the phase fastest.
    sections = np.stack(planes).reshape(9, 3, 5, args.size, args.size).transpose(1, 0, 2, 3, 4)
    with tempfile.TemporaryDirectory() as folder:
        path, out = Path(folder) / "omx.dv", Path(folder) / "out.ome.tif"
        mrc.imsave(str(path), sections.reshape(135, args.size, args.size),
                   metadata={"dx": 0.08, "dy": 0.08, "dz": 0.125, "wave0": 520})
        mib, seconds, stdout = peak(path, out, "--order", "AZPYX", "--angles", 3, "--phases", 5,
                                    "--iterations", args.iterations, "--estimate", "each")
        with tifffile.TiffFile(out) as tif:
            axes, shape = tif.series[0].axes, tif.series[0].shape
            pixels = tifffile.xml2dict(tif.ome_metadata)["OME"]["Image"]["Pixels"]
    print(f"korvex reconstruct omx.dv --order AZPYX --angles 3 --phases 5 (135 x {args.size}^2 "
          f"uint16, header: dx 0.08 um, wave 520 nm), {args.iterations} iterations, backend "
          f"{korvex.backend}")
    print("  " + stdout.strip().splitlines()[-2])
    print(f"  output {axes} {shape}, PhysicalSizeX {pixels['PhysicalSizeX']:.5g} "
          f"{pixels['PhysicalSizeXUnit']}, EmissionWavelength "
          f"{pixels['Channel']['EmissionWavelength']:g} nm; {seconds:.1f} s, peak RSS "
          f"{mib:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("figure", choices=("memory", "omx"))
    parser.add_argument("--size", type=int, default=None)
    parser.add_argument("--times", type=int, default=20)
    parser.add_argument("--iterations", type=int, default=10)
    args = parser.parse_args()
    args.size = args.size or (512 if args.figure == "memory" else 256)
    {"memory": memory, "omx": omx}[args.figure](args)


if __name__ == "__main__":
    main()
