"""From a camera acquisition to a super-resolved image: the C++ acquisition pipeline
(pattern estimation on the camera grid, Fourier up-sampling, the OTF from the optics, masks on
the fine grid, the engine)."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np

from . import _arrays, _core
from .patterns import (Pattern, UndersampledWarning, camera_background, orders_code,
                       warn_low_modulation)

IMMERSION = 1.518  # oil
# The pipeline's defaults, chosen by measurement (docs/acquisition.md, docs/image_quality.md).
DEFAULTS = dict(_core.acquisition_defaults)
DATA_TERMS = ("frames", "masked")


@dataclass(frozen=True)
class AcquisitionResult:
    image: np.ndarray  # (upsample H, upsample W), float32 or float64 like the frames
    pattern: Pattern  # on the camera grid, estimated or as given
    estimated: bool  # whether `pattern` was estimated
    iterations: int
    step: float
    ratio: float
    pixel_size: float  # of the output: camera pixel / upsample (0 when none was given)
    seconds: dict = field(default_factory=dict)  # time of each stage


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

    @classmethod
    def checked(cls, *, na=None, wavelength=None, pixel_size=None, immersion=IMMERSION,
                angles=3, phases=3, upsample=DEFAULTS["upsample"],
                iterations=DEFAULTS["iterations"], smoothness=DEFAULTS["smoothness"],
                step=DEFAULTS["step"], threshold=DEFAULTS["threshold"],
                nonnegative=DEFAULTS["nonnegative"], data_term=DEFAULTS["data_term"],
                sparsity=None, otf=None, orders="auto", background=0.0,
                gain=1.0) -> "Acquisition":
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
                   threshold=_arrays.number("threshold", threshold), otf=otf, **optics)


class AcquisitionReconstructor:
    """The pipeline kept between calls: one engine per geometry, rebuilt when it changes."""

    def __init__(self):
        self._pipelines = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for pipeline in self._pipelines.values():
            pipeline.release()
        self._pipelines.clear()

    def reconstruct(self, frames, acquisition: Acquisition, pattern: Pattern | None = None,
                    warn: bool = True) -> AcquisitionResult:
        frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
        expected = acquisition.angles * acquisition.phases
        if frames.shape[0] != expected:
            raise ValueError(f"frames holds {frames.shape[0]} frames, not angles x phases = "
                             f"{acquisition.angles} x {acquisition.phases}")
        pipeline = self._pipeline(frames.dtype)
        a = acquisition
        level, image = camera_background(a.background, frames.shape[1:])
        d = pipeline.reconstruct(frames, a.na, a.wavelength, a.pixel_size, a.immersion,
                                 a.angles, a.phases, float(a.upsample), a.iterations,
                                 a.smoothness, a.step, a.threshold, a.nonnegative,
                                 a.data_term == "frames", a.sparsity, a.otf,
                                 None if pattern is None else pattern.as_core(), a.orders,
                                 level, image, a.gain)
        found = Pattern.from_core(d["pattern"])
        if warn:
            if d["undersampled"]:
                warnings.warn(d["undersampled"], UndersampledWarning, stacklevel=4)
            warn_low_modulation(found, stacklevel=4)
        return AcquisitionResult(d["image"], found, bool(d["estimated"]), int(d["iterations"]),
                                 float(d["step"]), float(d["ratio"]), float(d["pixel_size"]),
                                 dict(d["seconds"]))

    def _pipeline(self, dtype):
        if dtype not in self._pipelines:
            self.close()  # one pipeline holds device memory at a time
            kind = _core.PipelineFloat32 if dtype == np.float32 else _core.PipelineFloat64
            self._pipelines[dtype] = kind()
        return self._pipelines[dtype]


def reconstruct_acquisition(frames, *, na=None, wavelength=None, pixel_size=None,
                            immersion=IMMERSION, angles=3, phases=3, upsample=2, otf=None,
                            pattern: Pattern | None = None, iterations=DEFAULTS["iterations"],
                            smoothness=DEFAULTS["smoothness"], step=DEFAULTS["step"],
                            threshold=DEFAULTS["threshold"], nonnegative=DEFAULTS["nonnegative"],
                            data_term=DEFAULTS["data_term"], sparsity=None, orders="auto",
                            background=0.0, gain=1.0) -> AcquisitionResult:
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
    with nonnegative, 0 without)."""
    acquisition = Acquisition.checked(
        na=na, wavelength=wavelength, pixel_size=pixel_size, immersion=immersion, angles=angles,
        phases=phases, upsample=upsample, iterations=iterations, smoothness=smoothness,
        step=step, threshold=threshold, nonnegative=nonnegative, data_term=data_term,
        sparsity=sparsity, otf=otf, orders=orders, background=background, gain=gain)
    with AcquisitionReconstructor() as reconstructor:
        return reconstructor.reconstruct(frames, acquisition, pattern)
