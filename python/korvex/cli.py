"""The `korvex` command line: raw frames in, super-resolved OME-TIFF out.

    korvex reconstruct RAW.tif -o OUT.ome.tif --na 1.2 --wavelength 0.52 --pixel-size 0.065

Results go to files, the pattern tables and timing to stdout, warnings and progress to stderr.
The input is read and the output written one time point (or plane) at a time. Bad input gets
a one-line error and exit status 2, an engine failure exit status 1, a low-modulation time
point under --strict exit status 3.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import logging
import signal
import sys
import time
import warnings
from contextlib import ExitStack

import numpy as np

from . import KorvexError, __version__
from ._errors import InputError
from ._safe_output import checked_targets, replacing
from ._tiff import write_ome
from .acquisition import DATA_TERMS, DEFAULTS, IMMERSION, Acquisition, Pipeline
from .files import RawFile
from .patterns import LowModulationWarning


class LowModulationRefused(Exception):
    """--strict: a time point's pattern is too faint (exit status 3)."""


class _Parser(argparse.ArgumentParser):
    """argparse with its usage errors on one line, like every other error."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {' '.join(message.split())} (see {self.prog} "
                  "--help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="korvex", description="MAP-SIM reconstruction of structured-illumination "
        "microscopy (Korvex). Exit status: 0 done, 2 bad input or usage, 1 engine failure, 3 "
        "a low-modulation time point under --strict.")
    verbs = parser.add_subparsers(dest="verb", metavar="COMMAND", required=True)
    r = verbs.add_parser(
        "reconstruct", formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        help="estimate the patterns and reconstruct every time point of a raw file",
        description="Reads raw SIM frames from a TIFF or OME-TIFF (or, with korvex[formats], "
        "a DeltaVision .dv, Nikon .nd2 or Zeiss .czi file; orientation-major unless --order "
        "says otherwise; camera background subtracted or given by --background), estimates "
        "the illumination, reconstructs every time point (and plane) on a grid --upsample "
        "times finer, one at a time, and writes a float32 OME-TIFF carrying the output pixel "
        "size, the settings and the patterns. Lengths are in micrometres.")
    r.add_argument("raw", metavar="RAW", help="raw frames: TIFF, OME-TIFF, or with "
                   "korvex[formats] .dv, .nd2, .czi")
    r.add_argument("-o", "--output", metavar="OUT.ome.tif", required=True,
                   help="reconstruction, float32 OME-TIFF: a new name or a regular file to "
                   "replace (written under a temporary name beside it, then renamed)")
    r.add_argument("--na", type=float, required=True, help="numerical aperture of the objective")
    r.add_argument("--wavelength", type=float, default=None,
                   help="emission wavelength, micrometres (e.g. 0.52); default: from the "
                   "file's metadata")
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
                   help="the file's stored axes, outermost first: T (time), Z (plane), A "
                   "(angle), P (phase), F (frames, angle-major), then Y X; consecutive letters "
                   "may share one stored axis (OMX: AZPYX splits 135 sections into 3 angles x 9 "
                   "planes x 5 phases). Default: the file's own axes, two unnamed ones read as "
                   "time then frames")
    r.add_argument("--background", type=float, default=0.0,
                   help="camera offset subtracted from every pixel, counts")
    r.add_argument("--gain", type=float, default=1.0,
                   help="camera gain, counts per photon (the frames are divided by it after "
                   "the offset is subtracted)")
    r.add_argument("--orders", choices=("auto", "1", "2"), default="auto",
                   help="pattern harmonics to estimate: auto (the second too when there are 5 "
                   "or more phases and it is significant), 1, or 2 (3-beam illumination)")
    r.add_argument("--estimate", choices=("once", "each"), default="once",
                   help="estimate the pattern on the first time point (its middle plane) only, "
                   "or on each time point and plane, printing each one's MCNR")
    r.add_argument("--strict", action="store_true",
                   help="stop with exit status 3, writing nothing, at a low-modulation pattern")
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
    r.add_argument("--out-of-focus", choices=("on", "off"),
                   default="on" if DEFAULTS["out_of_focus"] else "off",
                   help="model the light of the planes above and below the focus (a thick "
                   "specimen's haze) apart from the image; each time point's out-of-focus "
                   "share is printed and recorded (default "
                   f"{'on' if DEFAULTS['out_of_focus'] else 'off'}; a stack without haze is "
                   "reconstructed as with it off)")
    r.add_argument("--out-of-focus-width", type=float, default=None,
                   help="standard deviation of the Gaussian low-pass the haze is seen through, "
                   "cycles per micrometre (default: a share of the OTF cut-off); needs "
                   "--out-of-focus on")
    r.add_argument("--defocus", type=float, default=None,
                   help="see the haze through the OTF defocused by this distance, micrometres, "
                   "instead of the low-pass; needs --out-of-focus on")
    r.add_argument("--out-of-focus-cost", type=float, default=None,
                   help="share of the sparsity penalty the haze's light pays, 0 to 1 (default "
                   "1); about 0.95 takes more haze out of a sparse specimen (filaments, "
                   "vesicles, beads) but also a dense cell body's smooth light; needs "
                   "--out-of-focus on")
    r.add_argument("--preview", metavar="PREVIEW.png", default=None,
                   help="PNG of the first time point (its middle plane): widefield and "
                   "reconstruction (top), their log-magnitude spectra (bottom)")
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


def _unit_name(unit, raw) -> str:
    time_point, plane = unit
    name = f"time point {time_point + 1}"
    return name + (f", plane {plane + 1}" if raw.planes > 1 else "")


def _jsonable(value):
    """A pattern field as JSON: lists of numbers, None for NaN."""
    array = np.asarray(value)
    if array.dtype.kind == "f":
        return [None if not np.isfinite(v) else float(v) for v in array.ravel()]
    return array.tolist()


def _pattern_text(pattern) -> str:
    return json.dumps({f.name: _jsonable(getattr(pattern, f.name))
                       for f in dataclasses.fields(pattern)})


class _Report:
    """What each estimate tells: its MCNR on stdout, every low-modulation orientation and every
    other warning on stderr (low modulation is a refusal under --strict), and the patterns for
    the output's metadata."""

    def __init__(self, args, raw, pixel_size, write):
        self.args, self.raw, self.pixel_size, self.write = args, raw, pixel_size, write
        self.patterns = {}
        self.shares = {}

    def share(self, unit, result) -> None:
        """The out-of-focus share of a reconstructed image, printed with the model on."""
        self.shares[unit] = result.out_of_focus_share
        self.write(f"{_unit_name(unit, self.raw)}: out-of-focus share "
                   f"{result.out_of_focus_share:.3f}")

    def __call__(self, unit, pattern, caught=()) -> None:
        name = _unit_name(unit, self.raw)
        if not self.patterns:  # the reference: the table in full
            _print_pattern(pattern, self.pixel_size)
        self.patterns[unit] = pattern
        if self.args.estimate == "each":
            self.write(f"{name}: MCNR " + " ".join(f"{m:.1f}" for m in pattern.mcnr) +
                       ("  low" if pattern.low_modulation.any() else ""))
        for a in np.flatnonzero(pattern.low_modulation):
            message = (f"{name}: orientation {a + 1} has MCNR {pattern.mcnr[a]:.3g}: its "
                       "pattern is too faint to estimate reliably")
            if self.args.strict:
                raise LowModulationRefused(message + " (--strict)")
            self.write(f"korvex: warning: {message}", file=sys.stderr)
        for warning in caught:  # the estimator's other doubts
            if not issubclass(warning.category, LowModulationWarning):
                self.write(f"korvex: warning: {name}: {' '.join(str(warning.message).split())}",
                           file=sys.stderr)

    def annotations(self, acquisition, raw, reference) -> dict:
        """The output's OME MapAnnotation: the settings, then each estimated pattern."""
        args = self.args
        a = acquisition
        settings = {
            "software": f"korvex {__version__}", "source": args.raw,
            "na": a.na, "wavelength (um)": a.wavelength, "camera pixel size (um)": a.pixel_size,
            "immersion": a.immersion, "angles": a.angles, "phases": a.phases,
            "upsample": a.upsample, "iterations": a.iterations, "smoothness": a.smoothness,
            "step": a.step, "nonnegative": a.nonnegative, "data term": a.data_term,
            "sparsity": "default" if a.sparsity is None else a.sparsity,
            "background": args.background, "estimate": args.estimate,
            "order": args.order or "from the file",
            "out of focus": "on" if a.out_of_focus else "off",
        }
        if a.out_of_focus:
            settings["out-of-focus width (1/um)"] = a.out_of_focus_width or "default"
            settings["defocus (um)"] = a.defocus
            settings["out-of-focus cost"] = a.out_of_focus_cost
        text = {key: str(value) for key, value in settings.items()}
        if a.out_of_focus:  # one share per image, in the order of the output's planes
            text["out-of-focus share"] = json.dumps([self.shares[unit] for unit in raw.images])
        if args.estimate == "once":
            text["pattern"] = _pattern_text(self.patterns[reference])
            text["pattern estimated on"] = _unit_name(reference, raw)
        else:
            for unit, pattern in self.patterns.items():
                text[f"pattern, {_unit_name(unit, raw)}"] = _pattern_text(pattern)
        return text


def _available_bytes() -> float:
    """MemAvailable from /proc/meminfo; infinity where it cannot be read."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return float(line.split()[1]) * 1024
    except OSError:
        pass
    return float("inf")


def _reconstruct(args) -> None:
    from tqdm.auto import tqdm

    targets = checked_targets([args.raw], {"-o": args.output, "--preview": args.preview})
    with RawFile(args.raw, order=args.order, angles=args.angles, phases=args.phases) as raw:
        _run(args, raw, targets, tqdm)


def _run(args, raw, targets, tqdm) -> None:
    if not np.isfinite(args.background):
        raise InputError(f"--background must be a finite number, got {args.background}")
    # The out-of-focus model's settings, each with the value that leaves the model as it is
    # (any other, given with the model off, would be ignored) and its bound, if any.
    for option, value, neutral, bound in (
            ("--out-of-focus-width", args.out_of_focus_width, 0, None),
            ("--defocus", args.defocus, 0, None),
            ("--out-of-focus-cost", args.out_of_focus_cost, 1, 1)):
        if value is None:
            continue
        if bound is not None and not 0 <= value <= bound:
            raise InputError(f"{option} must be a number from 0 to {bound}, got {value}")
        if not (np.isfinite(value) and value >= 0):
            raise InputError(f"{option} must be a non-negative finite number, got {value}")
        if value != neutral and args.out_of_focus == "off":
            raise InputError(f"{option} applies to the out-of-focus model, which is off: give "
                             "--out-of-focus on")
    optics = {}
    for name, given, option in (("pixel_size", args.pixel_size, "--pixel-size"),
                                ("wavelength", args.wavelength, "--wavelength")):
        optics[name] = given if given is not None else getattr(raw, name)
        if optics[name] is None:
            raise InputError(f"{args.raw}: {raw.missing[name]}: give {option}")
    acquisition = Acquisition.checked(
        na=args.na, wavelength=optics["wavelength"], pixel_size=optics["pixel_size"],
        immersion=args.immersion, angles=args.angles, phases=args.phases,
        upsample=args.upsample, iterations=args.iterations, smoothness=args.smoothness,
        step=args.step, nonnegative=args.nonnegative, data_term=args.data_term,
        sparsity=args.sparsity, background=args.background, gain=args.gain,
        orders=args.orders if args.orders == "auto" else int(args.orders),
        out_of_focus=args.out_of_focus == "on", out_of_focus_width=args.out_of_focus_width,
        defocus=args.defocus, out_of_focus_cost=args.out_of_focus_cost)
    height, width = raw.shape
    # float64 files run in double precision whatever their byte order; the rest in single.
    dtype = np.dtype(np.float64 if raw.dtype.kind == "f" and raw.dtype.itemsize == 8
                     else np.float32)
    need = raw.frames * height * width * (raw.dtype.itemsize + dtype.itemsize)
    available = _available_bytes()
    if need > available:
        raise InputError(f"{args.raw}: one time point's frames need {need / 2**30:.3g} GiB, "
                         f"more than the {available / 2**30:.3g} GiB available")
    units = raw.images
    reference = (0, raw.planes // 2)  # a middle plane is the likeliest in focus
    start = time.perf_counter()
    with Pipeline._of((height, width), raw.frames, acquisition) as pipeline:
        report = _Report(args, raw, optics["pixel_size"], tqdm.write)

        def run(unit, pattern=None):
            frames = raw.read(*unit).astype(dtype)  # the pipeline takes out the offset
            if not np.isfinite(frames).all():
                raise InputError(f"{args.raw}: {_unit_name(unit, raw)}: the frames hold NaN "
                                 "or Inf values")
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = pipeline._reconstruct(frames, acquisition, pattern,
                                               warn=pattern is None)
            if pattern is None:
                report(unit, result.pattern, caught)
            if acquisition.out_of_focus:
                report.share(unit, result)
            return frames, result

        # The reference first, before the output is opened: a refusal leaves a clean one line.
        frames, first = run(reference)
        pattern = first.pattern
        picture = None
        if args.preview:
            from ._preview import preview

            picture = preview(frames, first.image)
        del frames

        def images(bar):
            for unit in units:
                if unit == reference:
                    image = first.image
                else:
                    image = run(unit, None if args.estimate == "each" else pattern)[1].image
                bar.update()
                yield image

        axes = ("T" if raw.times > 1 else "") + ("Z" if raw.planes > 1 else "") + "YX"
        shape = ([raw.times] if raw.times > 1 else []) + (
            [raw.planes] if raw.planes > 1 else []) + list(first.image.shape)
        channel = {"EmissionWavelength": acquisition.wavelength * 1e3,
                   "EmissionWavelengthUnit": "nm"}
        with ExitStack() as outputs:
            bar = outputs.enter_context(tqdm(total=len(units), unit="image", file=sys.stderr,
                                             leave=False,
                                             disable=args.quiet or len(units) == 1))
            if picture is not None:
                from ._preview import write_png

                write_png(outputs.enter_context(replacing(targets["--preview"])), picture)
            write_ome(targets["-o"], images(bar), shape, axes, first.pixel_size, channel,
                      lambda: report.annotations(acquisition, raw, reference))
    seconds = time.perf_counter() - start
    low = sum(bool(p.low_modulation.any()) for p in report.patterns.values())
    if low:  # the warnings may have scrolled away
        print(f"korvex: warning: {low} of {len(report.patterns)} estimated pattern(s) have low "
              "modulation", file=sys.stderr)
    if report.shares:
        print(f"out-of-focus share: mean {np.mean(list(report.shares.values())):.3f}, "
              f"range {min(report.shares.values()):.3f} to {max(report.shares.values()):.3f}")
    planes = f" x {raw.planes} planes" if raw.planes > 1 else ""
    print(f"{raw.times} time point(s){planes} of {raw.frames} x {height} x {width} in "
          f"{seconds:.2f} s; "
          f"output {' x '.join(map(str, shape))} at {first.pixel_size:.5g} um per pixel -> "
          f"{args.output}")


def _terminated(signum, frame):
    raise SystemExit(128 + signum)  # unwinds, so that temporary files are removed


def main(argv=None) -> int:
    args = _parser().parse_args(argv)  # usage errors exit 2 through argparse
    logging.getLogger("tifffile").disabled = True  # its notes on odd files are not ours to print
    previous = signal.signal(signal.SIGTERM, _terminated)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the estimates' warnings are reported by _Report
            _reconstruct(args)
    except (InputError, ValueError, TypeError, OSError) as error:
        print(f"korvex: error: {' '.join(str(error).split())}", file=sys.stderr)
        return 2
    except MemoryError:
        print("korvex: error: not enough memory for this input", file=sys.stderr)
        return 2
    except LowModulationRefused as error:
        print(f"korvex: error: {error}", file=sys.stderr)
        return 3
    except KorvexError as error:
        print(f"korvex: engine failure: {' '.join(str(error).split())}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("korvex: interrupted", file=sys.stderr)
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0


if __name__ == "__main__":
    sys.exit(main())
