"""From a camera acquisition to a super-resolved image: the C++ acquisition pipeline
(pattern estimation on the camera grid, Fourier up-sampling, the OTF from the optics, masks on
the fine grid, the engine)."""

from __future__ import annotations

import threading
import warnings
from dataclasses import dataclass

import numpy as np

from . import _arrays, _core
from ._threads import task_threads
from .patterns import (Pattern, UndersampledWarning, camera_background, estimate_with,
                       orders_code, warn_low_modulation)
from .results import AcquisitionResult

IMMERSION = 1.518  # oil
# The pipeline's defaults, chosen by measurement (docs/acquisition.md, docs/image_quality.md).
DEFAULTS = dict(_core.acquisition_defaults)
DATA_TERMS = ("frames", "masked")


@dataclass(frozen=True)
class Acquisition:
    """What the pipeline needs to know besides the frames; checked once."""

    na: float = 0.0
    wavelength: float = 0.0
    pixel_size: float = 0.0
    immersion: float = IMMERSION
    angles: int = 3
    phases: int = 3
    upsample: int = DEFAULTS["upsample"]
    iterations: int = DEFAULTS["iterations"]
    smoothness: float = DEFAULTS["smoothness"]
    step: float = DEFAULTS["step"]
    threshold: float = DEFAULTS["threshold"]
    nonnegative: bool = DEFAULTS["nonnegative"]
    data_term: str = DEFAULTS["data_term"]
    sparsity: float | None = None  # None: DEFAULTS["sparsity"] when nonnegative, else 0
    otf: np.ndarray | None = None
    orders: int = 0  # harmonics to estimate: 0 auto, 1 or 2
    background: float | np.ndarray = 0.0  # camera offset: a level or an (H, W) image, counts
    gain: float = 1.0  # counts per photon
    out_of_focus: bool = DEFAULTS["out_of_focus"]  # model the haze of thick specimens
    out_of_focus_width: float = 0.0  # the haze's low-pass, cycles per length unit; 0: default
    defocus: float = 0.0  # > 0: the haze seen through the OTF defocused by this distance
    out_of_focus_cost: float = 1.0  # the share of the sparsity penalty the haze's light pays

    @classmethod
    def checked(cls, *, na=None, wavelength=None, pixel_size=None, immersion=IMMERSION,
                angles=3, phases=3, upsample=DEFAULTS["upsample"],
                iterations=DEFAULTS["iterations"], smoothness=DEFAULTS["smoothness"],
                step=DEFAULTS["step"], threshold=DEFAULTS["threshold"],
                nonnegative=DEFAULTS["nonnegative"], data_term=DEFAULTS["data_term"],
                sparsity=None, otf=None, orders="auto", background=0.0,
                gain=1.0, out_of_focus=None, out_of_focus_width=None,
                defocus=None, out_of_focus_cost=None) -> "Acquisition":
        if otf is None and (na is None or wavelength is None or pixel_size is None):
            raise ValueError("na, wavelength and pixel_size are needed unless a measured otf "
                             "is given")
        optics = {name: 0.0 if value is None else _arrays.number(name, value, positive=True)
                  for name, value in (("na", na), ("wavelength", wavelength),
                                      ("pixel_size", pixel_size))}
        immersion = _arrays.number("immersion", immersion, positive=True)
        if optics["na"] >= immersion:
            raise ValueError(f"na ({optics['na']:g}) must be below the immersion medium's "
                             f"refractive index ({immersion:g})")
        if otf is not None:
            otf = _arrays.as_real("otf", otf, 2, "(H, W)", np.float64)
        if not isinstance(nonnegative, (bool, np.bool_)):
            raise TypeError(f"nonnegative must be True or False, got {nonnegative!r}")
        if data_term not in DATA_TERMS:
            raise ValueError(f"data_term must be 'frames' or 'masked', got {data_term!r}")
        if sparsity is not None:
            sparsity = _arrays.number("sparsity", sparsity)
            if sparsity > 0 and not nonnegative:
                raise ValueError("sparsity needs nonnegative: without the constraint the "
                                 "penalty only lowers the image's mean; set sparsity to 0 or "
                                 "nonnegative to True")
        out_of_focus = _out_of_focus(out_of_focus, out_of_focus_width, defocus,
                                     out_of_focus_cost)
        if np.ndim(background) == 0:
            background = camera_background(background, ())[0]
        else:
            background = _arrays.as_real("background", background, 2, "a number or (H, W)",
                                         np.float64)
        return cls(nonnegative=bool(nonnegative), data_term=data_term, sparsity=sparsity,
                   immersion=immersion, orders=orders_code(orders), background=background,
                   gain=_arrays.number("gain", gain, positive=True),
                   angles=_arrays.count("angles", angles),
                   phases=_arrays.count("phases", phases, minimum=3),
                   upsample=_arrays.count("upsample", upsample),
                   iterations=_arrays.count("iterations", iterations),
                   smoothness=_arrays.number("smoothness", smoothness),
                   step=_arrays.number("step", step, positive=True),
                   threshold=_arrays.number("threshold", threshold), otf=otf,
                   **out_of_focus, **optics)


def _out_of_focus(enabled, width, defocus, cost=None) -> dict:
    """The out-of-focus model's settings, checked: None takes the core's default (width 0 is
    the core's own choice of low-pass, cost 1). A width, defocus or cost other than 1 needs the
    model on."""
    if enabled is None:
        enabled = DEFAULTS["out_of_focus"]
    if not isinstance(enabled, (bool, np.bool_)):
        raise TypeError(f"out_of_focus must be True, False or None, got {enabled!r}")
    settings = dict(out_of_focus=bool(enabled))
    for name, value in (("out_of_focus_width", width), ("defocus", defocus)):
        settings[name] = 0.0 if value is None else _arrays.number(name, value)
        if settings[name] > 0 and not enabled:
            raise ValueError(f"{name} applies to the out-of-focus model, which is off: set "
                             "out_of_focus to True")
    if cost is None:
        settings["out_of_focus_cost"] = 1.0
    else:
        settings["out_of_focus_cost"] = _arrays.number("out_of_focus_cost", cost)
        if not 0 <= settings["out_of_focus_cost"] <= 1:
            raise ValueError(f"out_of_focus_cost must be a number from 0 to 1, got {cost!r}")
        if settings["out_of_focus_cost"] != 1 and not enabled:
            raise ValueError("out_of_focus_cost applies to the out-of-focus model, which is off: "
                             "set out_of_focus to True")
    return settings


class Pipeline:
    """The acquisition pipeline kept between calls: the pattern estimator, the up-sampler, the
    OTF and the engine of one geometry stay built, so that the second and later calls skip
    their set-up (as korvex_reconstruct keeps them in MATLAB).

        with korvex.Pipeline((H, W), 9, na=1.2, wavelength=0.52, pixel_size=0.065) as p:
            for frames in acquisitions:
                result = p.reconstruct(frames)

    shape is the camera's (H, W) and frames the count F = angles x phases of one acquisition
    (phases defaults to F / angles); the keywords are reconstruct_acquisition's. float32 and
    integer frames run in single precision, float64 in double (switching rebuilds). Threads
    may share one Pipeline: its calls take turns, and close() waits for a running one.
    Leaving the block, or close(), releases the memory it holds.
    """

    def __init__(self, shape, frames: int, *, angles=3, phases=None, **options):
        shape = _arrays.image_shape(shape)
        frames = _arrays.count("frames", frames)
        angles = _arrays.count("angles", angles)
        if phases is None:
            if frames % angles:
                raise ValueError(f"frames holds {frames} frames, not angles x phases: not a "
                                 f"multiple of angles = {angles}")
            phases = frames // angles
        self._setup(shape, frames, Acquisition.checked(angles=angles, phases=phases, **options))

    @classmethod
    def _of(cls, shape, frames: int, settings: "Acquisition") -> "Pipeline":
        """A Pipeline for settings already checked."""
        pipeline = cls.__new__(cls)
        pipeline._setup(shape, frames, settings)
        return pipeline

    def _setup(self, shape, frames, settings) -> None:
        self.shape, self.frames, self.settings = tuple(shape), frames, settings
        if frames != settings.angles * settings.phases:
            raise ValueError(f"frames holds {frames} frames, not angles x phases = "
                             f"{settings.angles} x {settings.phases}")
        self._pipelines = {}
        self._estimator = None
        self._built = ()  # what the last reconstruct built anew, by name: () when all was kept
        self._closed = False
        self._lock = threading.Lock()

    def __enter__(self) -> "Pipeline":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Releases what the pipeline keeps; it cannot be used afterwards."""
        with self._lock:
            self._release()
            self._closed = True

    def reconstruct(self, frames, pattern: Pattern | None = None) -> AcquisitionResult:
        """Reconstructs one (F, H, W) acquisition; the pattern is estimated unless given.
        Warns LowModulationWarning for an estimated orientation too faint to trust."""
        return self._reconstruct(frames, self.settings, pattern)

    def estimate(self, frames, *, period=None, angle_guess=None) -> Pattern:
        """The pattern of one (F, H, W) acquisition, as reconstruct would estimate it, without
        reconstructing."""
        pattern = self._estimate(frames, self.settings, period, angle_guess)
        warn_low_modulation(pattern)
        return pattern

    def _estimate(self, frames, a: "Acquisition", period=None, angle_guess=None) -> Pattern:
        frames = self._checked(frames)
        with task_threads(), self._lock:
            self._check_open()
            if self._estimator is None:
                self._estimator = _core.Estimator(*self.shape, a.angles, a.phases)
            otf = camera_otf(a, self.shape)
            # As the pipeline does: with the out-of-focus model, the in-focus light's depth.
            reach = _core.out_of_focus_reach(
                np.ascontiguousarray(otf, np.float64), a.na, a.wavelength, a.pixel_size,
                a.immersion, a.out_of_focus_width, a.defocus) if a.out_of_focus else 0.0
            return estimate_with(self._estimator, frames, otf.astype(frames.dtype), period,
                                 angle_guess, a.angles, a.orders or "auto", a.background, a.gain,
                                 reach)

    def _checked(self, frames) -> np.ndarray:
        frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
        expected = (self.frames, *self.shape)
        if frames.shape != expected:
            raise ValueError(f"frames must be {_arrays.shape_text(expected)} for this Pipeline, "
                             f"got {_arrays.shape_text(frames.shape)}")
        return frames

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("this Pipeline is closed")

    def _reconstruct(self, frames, a: "Acquisition", pattern, warn: bool = True,
                     where: str = "") -> AcquisitionResult:
        frames = self._checked(frames)
        if pattern is not None and not isinstance(pattern, Pattern):
            raise TypeError(f"pattern must be a korvex.Pattern, got {type(pattern).__name__}")
        level, image = camera_background(a.background, frames.shape[1:])
        with task_threads(), self._lock:
            self._check_open()
            pipeline = self._pipeline(frames.dtype)
            d = pipeline.reconstruct(frames, a.na, a.wavelength, a.pixel_size, a.immersion,
                                     a.angles, a.phases, float(a.upsample), a.iterations,
                                     a.smoothness, a.step, a.threshold, a.nonnegative,
                                     a.data_term == "frames", a.sparsity, a.otf,
                                     None if pattern is None else pattern.as_core(), a.orders,
                                     level, image, a.gain, a.out_of_focus,
                                     a.out_of_focus_width, a.defocus, a.out_of_focus_cost)
            self._built = tuple(d["built"])
        # A given pattern comes back as given (with its MCNR, which the core does not echo).
        found = Pattern.from_core(d["pattern"]) if pattern is None else pattern
        if warn and d["undersampled"]:
            warnings.warn(d["undersampled"], UndersampledWarning, stacklevel=4)
        if warn and d["estimated"]:
            warn_low_modulation(found, stacklevel=4, where=where)
        return AcquisitionResult(image=d["image"], iterations=int(d["iterations"]),
                                 seconds=dict(d["seconds"]), step=float(d["step"]),
                                 ratio=float(d["ratio"]), pattern=found,
                                 pixel_size=float(d["pixel_size"]),
                                 estimated=bool(d["estimated"]),
                                 out_of_focus_share=float(d["out_of_focus_share"]),
                                 out_of_focus=d["out_of_focus"])

    def _pipeline(self, dtype):
        if dtype not in self._pipelines:
            self._release()  # one pipeline holds device memory at a time
            kind = _core.PipelineFloat32 if dtype == np.float32 else _core.PipelineFloat64
            self._pipelines[dtype] = kind()
        return self._pipelines[dtype]

    def _release(self) -> None:
        for pipeline in self._pipelines.values():
            pipeline.release()
        self._pipelines.clear()
        self._estimator = None


def camera_otf(a: "Acquisition", shape) -> np.ndarray:
    """The camera grid's OTF the pipeline estimates with: the model's, or the measured one
    moved to the camera grid."""
    if a.otf is None:
        return _core.otf(*shape, a.na, a.wavelength, a.pixel_size)
    fine = (shape[0] * a.upsample, shape[1] * a.upsample)
    if a.otf.shape not in (tuple(shape), fine):
        raise ValueError(f"otf must be {_arrays.shape_text(shape)} (the camera grid) or "
                         f"{_arrays.shape_text(fine)} (the output grid), got "
                         f"{_arrays.shape_text(a.otf.shape)}")
    return a.otf if a.otf.shape == tuple(shape) else _core.resample_otf(a.otf, *shape)


def reconstruct_acquisition(frames, *, na=None, wavelength=None, pixel_size=None,
                            immersion=IMMERSION, angles=3, phases=3, upsample=2, otf=None,
                            pattern: Pattern | None = None, iterations=DEFAULTS["iterations"],
                            smoothness=DEFAULTS["smoothness"], step=DEFAULTS["step"],
                            threshold=DEFAULTS["threshold"], nonnegative=DEFAULTS["nonnegative"],
                            data_term=DEFAULTS["data_term"], sparsity=None, orders="auto",
                            background=0.0, gain=1.0, out_of_focus=None,
                            out_of_focus_width=None, defocus=None,
                            out_of_focus_cost=None) -> AcquisitionResult:
    """Reconstructs one camera acquisition of (F, H, W) frames (F = angles * phases,
    orientation-major; float or integer camera counts) on a grid `upsample` times finer.

    Camera units: `background` (counts; a number, or an (H, W) image of per-pixel offsets) is
    subtracted from every frame before anything else, and `gain` (counts per photon) divides
    the rest, so that the model sees photons. `orders`: the pattern's harmonics to estimate,
    'auto' (the second too when there are 5 or more phases and it is significant), 1 or 2
    (3-beam illumination; needs 5 or more phases). A camera pixel coarser than
    wavelength / (4 na) warns UndersampledWarning: the frames are aliased.

    Optics: na, the emission wavelength and the camera pixel_size in the sample plane (same
    length unit), immersion the medium's refractive index; or a measured centred `otf` on the
    camera or the fine grid. The pattern is estimated unless one is given. smoothness is
    KorvexCUDA's lambda, step its alpha; nonnegative keeps the image >= 0, and data_term
    "frames" compares the model with the frames themselves ("masked": with the masked frames,
    as KorvexCUDA does). sparsity weighs an L1 penalty that pulls dim pixels of the
    non-negative image to zero, as a share of the frames' mean level (None: DEFAULTS["sparsity"]
    with nonnegative, 0 without).

    Thick specimens: out_of_focus=True adds to the model the light of the planes above and
    below the focus, an unpatterned non-negative haze shared by every frame, estimated together
    with the image, so that it stays out of the image (None: DEFAULTS["out_of_focus"]). The
    haze is seen through a Gaussian low-pass of standard deviation out_of_focus_width (cycles
    per unit of pixel_size, e.g. 1/µm; None: the core's share of the OTF cut-off), or, with
    defocus > 0, through the OTF defocused by that distance (the wavelength's unit). The result's
    out_of_focus_share is the share of the modelled light assigned to the haze, and
    out_of_focus the haze as it adds to every frame, on the output grid (None with the model
    off). out_of_focus_cost (0 to 1, None: 1) is the share of the sparsity penalty the haze's
    light pays: 1 suits every specimen; about 0.95 takes more haze out of a sparse specimen
    (filaments, vesicles, beads) but takes a dense cell body's smooth light too. See
    docs/thick_specimens.md.

    Every call builds and releases the whole pipeline; korvex.Pipeline keeps it for the next."""
    frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
    options = dict(na=na, wavelength=wavelength, pixel_size=pixel_size, immersion=immersion,
                   upsample=upsample, iterations=iterations, smoothness=smoothness, step=step,
                   threshold=threshold, nonnegative=nonnegative, data_term=data_term,
                   sparsity=sparsity, otf=otf, orders=orders, background=background, gain=gain,
                   out_of_focus=out_of_focus, out_of_focus_width=out_of_focus_width,
                   defocus=defocus, out_of_focus_cost=out_of_focus_cost)
    with Pipeline(frames.shape[1:], frames.shape[0], angles=angles, phases=phases,
                  **options) as pipeline:
        return pipeline._reconstruct(frames, pipeline.settings, pattern)
