"""The `korvex` command line: TIFF in, super-resolved TIFF out.

    korvex reconstruct RAW.tif -o OUT.tif --na 1.2 --wavelength 0.52 --pixel-size 0.065

Results go to files, the pattern table and timing to stdout, progress to stderr. Bad input
gets a one-line error and exit status 2; an engine failure exit status 1.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np

from . import KorvexError
from ._tiff import InputError, read_series, write_series
from .acquisition import DATA_TERMS, DEFAULTS, IMMERSION, Acquisition, AcquisitionReconstructor
from .patterns import UndersampledWarning


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvex", description="MAP-SIM reconstruction of structured-illumination "
        "microscopy (Korvex). Exit status: 0 done, 2 bad input or usage, 1 engine failure.")
    verbs = parser.add_subparsers(dest="verb", metavar="COMMAND", required=True)
    r = verbs.add_parser(
        "reconstruct", formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        help="estimate the patterns and reconstruct every time point of a TIFF",
        description="Reads a TIFF or OME-TIFF of raw SIM frames (orientation-major: all phases "
        "of the first orientation, then the next; camera background subtracted or given by "
        "--background), estimates the illumination, reconstructs every time point on a grid "
        "--upsample times finer, and writes a float32 ImageJ TIFF (T, Y, X) carrying the "
        "output pixel size. Lengths are in micrometres.")
    r.add_argument("raw", metavar="RAW.tif", help="raw frames: TIFF or OME-TIFF")
    r.add_argument("-o", "--output", metavar="OUT.tif", required=True,
                   help="reconstruction, float32 TIFF (written under a temporary name, then "
                   "renamed)")
    r.add_argument("--na", type=float, required=True, help="numerical aperture of the objective")
    r.add_argument("--wavelength", type=float, required=True,
                   help="emission wavelength, micrometres (e.g. 0.52)")
    r.add_argument("--pixel-size", type=float, default=None,
                   help="camera pixel side in the sample plane, micrometres; default: from the "
                   "file's OME or ImageJ metadata")
    r.add_argument("--immersion", type=float, default=IMMERSION,
                   help="refractive index of the immersion medium")
    r.add_argument("--angles", type=int, default=3, help="pattern orientations A")
    r.add_argument("--phases", type=int, default=3, help="phases per orientation P")
    r.add_argument("--upsample", type=int, default=DEFAULTS["upsample"],
                   help="output grid refinement (1 keeps the camera grid)")
    r.add_argument("--order", default=None,
                   help="dimension order of the file, letters T (time), F (frames), Y, X, e.g. "
                   "TFYX; default: the file's own, two unnamed axes read as time then frames")
    r.add_argument("--background", type=float, default=0.0,
                   help="camera offset subtracted from every pixel, counts")
    r.add_argument("--gain", type=float, default=1.0,
                   help="camera gain, counts per photon (the frames are divided by it after "
                   "the offset is subtracted)")
    r.add_argument("--orders", choices=("auto", "1", "2"), default="auto",
                   help="pattern harmonics to estimate: auto (the second too when there are 5 "
                   "or more phases and it is significant), 1, or 2 (3-beam illumination)")
    r.add_argument("--estimate", choices=("once", "each"), default="once",
                   help="estimate the pattern on the first time point only, or on each")
    r.add_argument("--iterations", type=int, default=DEFAULTS["iterations"],
                   help="iteration limit")
    r.add_argument("--smoothness", type=float, default=DEFAULTS["smoothness"],
                   help="regularisation weight (KorvexCUDA's lambda)")
    r.add_argument("--step", type=float, default=DEFAULTS["step"],
                   help="initial step size (KorvexCUDA's alpha)")
    r.add_argument("--nonnegative", action=argparse.BooleanOptionalAction,
                   default=DEFAULTS["nonnegative"], help="keep the image >= 0")
    r.add_argument("--data-term", choices=DATA_TERMS, default=DEFAULTS["data_term"],
                   help="compare the model with the frames or with the masked frames")
    r.add_argument("--sparsity", type=float, default=None,
                   help="L1 pull of dim pixels to zero, a share of the frames' mean level "
                   f"(default {DEFAULTS['sparsity']:g} with --nonnegative, 0 without)")
    r.add_argument("--preview", metavar="PREVIEW.png", default=None,
                   help="PNG of the first time point: widefield and reconstruction (top), their "
                   "log-magnitude spectra (bottom)")
    r.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    return parser


def _print_pattern(pattern, pixel_size: float) -> None:
    print("orientation  angle (deg)  period (px)  period (um)  modulation   MCNR  "
          "modulation2  phase2 (deg)  MCNR2")
    for a in range(len(pattern.angle)):
        flag = "  low" if pattern.low_modulation[a] else ""
        print(f"{a + 1:11d}  {np.degrees(pattern.angle[a]):11.3f}  {pattern.period[a]:11.4f}  "
              f"{pattern.period[a] * pixel_size:11.5f}  {pattern.modulation[a]:10.3f}  "
              f"{pattern.mcnr[a]:5.1f}  {pattern.modulation2[a]:11.3f}  "
              f"{np.degrees(pattern.phase2[a]):12.2f}  {pattern.mcnr2[a]:5.1f}{flag}")


def _reconstruct(args) -> None:
    from tqdm.auto import tqdm

    frames, pixel_size = read_series(args.raw, args.order)
    if args.pixel_size is not None:
        pixel_size = args.pixel_size
    if pixel_size is None:
        raise InputError(f"{args.raw}: no pixel size in the metadata: give --pixel-size")
    if not np.isfinite(frames).all():
        raise InputError(f"{args.raw}: the frames hold NaN or Inf values")
    acquisition = Acquisition.checked(
        na=args.na, wavelength=args.wavelength, pixel_size=pixel_size,
        immersion=args.immersion, angles=args.angles, phases=args.phases,
        upsample=args.upsample, iterations=args.iterations, smoothness=args.smoothness,
        step=args.step, nonnegative=args.nonnegative, data_term=args.data_term,
        sparsity=args.sparsity, background=args.background, gain=args.gain,
        orders=args.orders if args.orders == "auto" else int(args.orders))
    if frames.shape[1] != args.angles * args.phases:
        raise InputError(f"{args.raw}: {frames.shape[1]} frames a time point, not angles x "
                         f"phases = {args.angles} x {args.phases} (see --order)")
    start = time.perf_counter()
    steps = frames.shape[0]
    with AcquisitionReconstructor() as reconstructor:
        def run(t, pattern=None):
            stack = frames[t].astype(np.float32, copy=False)
            return stack, reconstructor.reconstruct(stack, acquisition, pattern, warn=t == 0)

        # The first time point outside the progress bar: a refusal leaves a clean one line.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stack, result = run(0)
        for warning in caught:  # low modulation is flagged in the table
            if issubclass(warning.category, UndersampledWarning):
                print(f"korvex: warning: {' '.join(str(warning.message).split())}",
                      file=sys.stderr)
        pattern = result.pattern
        first = (stack, result.image)
        images = np.empty((steps, *result.image.shape), np.float32)
        images[0] = result.image
        with tqdm(total=steps, initial=1, disable=args.quiet or steps == 1, unit="time point",
                  file=sys.stderr) as bar:
            for t in range(1, steps):
                images[t] = run(t, None if args.estimate == "each" else pattern)[1].image
                bar.update()
    seconds = time.perf_counter() - start
    _print_pattern(pattern, pixel_size)
    write_series(args.output, images, result.pixel_size)
    if args.preview:
        from ._preview import preview, write_png

        write_png(args.preview, preview(*first))
    print(f"{steps} time point(s) of {frames.shape[1]} x {frames.shape[2]} x {frames.shape[3]} "
          f"in {seconds:.2f} s; output {images.shape[1]} x {images.shape[2]} at "
          f"{result.pixel_size:.5g} um per pixel -> {args.output}")


def main(argv=None) -> int:
    args = _parser().parse_args(argv)  # usage errors exit 2 through argparse
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # low modulation is flagged in the table
            _reconstruct(args)
    except (InputError, ValueError, TypeError, OSError) as error:
        print(f"korvex: error: {' '.join(str(error).split())}", file=sys.stderr)
        return 2
    except KorvexError as error:
        print(f"korvex: engine failure: {' '.join(str(error).split())}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("korvex: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
