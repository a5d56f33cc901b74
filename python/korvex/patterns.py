"""The illumination pattern, written by hand or read from the raw frames."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field, fields

import numpy as np

from . import _arrays, _core
from ._threads import task_threads


class LowModulationWarning(UserWarning):
    """An orientation's pattern is too faint to estimate reliably (MCNR below about 3)."""


class UndersampledWarning(UserWarning):
    """The camera pixel is coarser than wavelength / (4 na): the frames are aliased
    (MATLAB's korvex:undersampled)."""


ORDERS = ("auto", 1, 2)


def orders_code(orders) -> int:
    """The core's code of `orders`: 'auto' 0, 1 or 2 harmonics."""
    if isinstance(orders, str) and orders == "auto":
        return 0
    if not isinstance(orders, bool) and orders in (1, 2):
        return int(orders)
    raise ValueError(f"orders must be 'auto', 1 or 2, got {orders!r}")


def _frozen(values, dtype=np.float64) -> np.ndarray:
    array = np.array(values, dtype=dtype)
    array.setflags(write=False)
    return array


@dataclass(frozen=True, eq=False)
class Pattern:
    """The illumination in korvex_masks' convention: frame f = a P + p was lit by

        1 + modulation[a] cos(t) + modulation2[a] cos(2 t + phase2[a]),
        t = 2 pi (cos angle[a] x + sin angle[a] y) / period[a] + phase[f],

    x the column and y the row (pixels from pixel 0), angles in [0, pi), phases in radians.
    The second harmonic (modulation2, phase2) is that of three-beam illumination; 0 for two.

    Written by hand, `angle` sets the orientations A and `phase` holds one phase per frame
    (A x P values, orientation-major); every per-orientation field takes a scalar for all:

        korvex.Pattern(angle=[0, 1.05, 2.09], period=5.2, phase=np.tile([0, 2.09, 4.19], 3))

    mcnr (the modulation contrast-to-noise ratio) is NaN and low_modulation False unless
    estimated. Patterns compare equal when every field does (NaN equal to NaN).
    """

    angle: np.ndarray  # (A,) radians
    period: np.ndarray  # (A,) pixels
    phase: np.ndarray  # (F,) radians, F = A x P
    modulation: np.ndarray = 1.0  # (A,)
    modulation2: np.ndarray = 0.0  # (A,) depth of the second harmonic
    phase2: np.ndarray = 0.0  # (A,) the second harmonic's own phase, radians
    mcnr: np.ndarray = np.nan  # (A,) NaN where not estimated
    mcnr2: np.ndarray = 0.0  # (A,) of the second harmonic; 0 where not measured
    low_modulation: np.ndarray = field(default=False)  # (A,) MCNR too low to trust

    def __post_init__(self):
        angle = np.atleast_1d(np.asarray(self.angle, dtype=np.float64))
        if angle.ndim != 1 or angle.size == 0:
            raise ValueError(f"angle must hold one value per orientation, got "
                             f"{_arrays.shape_text(angle.shape)}")
        count = angle.size
        phase = np.atleast_1d(np.asarray(self.phase, dtype=np.float64))
        if phase.ndim != 1 or phase.size % count or phase.size < 3 * count:
            raise ValueError(
                f"phase must hold one phase per frame, A x P values with P >= 3 for the "
                f"{count} orientation(s), got {phase.size} (for the same steps in every "
                f"orientation, np.tile(steps, {count}))")
        values = {"angle": angle, "phase": phase}
        for name in ("period", "modulation", "modulation2", "phase2", "mcnr", "mcnr2"):
            values[name] = _arrays.per_orientation(name, getattr(self, name), count,
                                                   allow_nan=name in ("mcnr", "mcnr2"))
        low = np.atleast_1d(np.asarray(self.low_modulation, dtype=bool))
        values["low_modulation"] = np.repeat(low, count) if low.size == 1 else low
        if values["low_modulation"].shape != (count,):
            raise ValueError(f"low_modulation must be a scalar or hold one value per "
                             f"orientation ({count}), got {low.size}")
        for name in ("angle", "phase"):
            if not np.isfinite(values[name]).all():
                raise ValueError(f"{name} holds NaN or Inf")
        for name, value in values.items():
            dtype = bool if name == "low_modulation" else np.float64
            object.__setattr__(self, name, _frozen(value, dtype))

    @property
    def orientations(self) -> int:
        return self.angle.size

    @property
    def phases(self) -> int:
        """Phases per orientation (P)."""
        return self.phase.size // self.angle.size

    def __eq__(self, other) -> bool:
        if not isinstance(other, Pattern):
            return NotImplemented
        return all(np.array_equal(getattr(self, f.name), getattr(other, f.name), equal_nan=True)
                   if f.name != "low_modulation" else
                   np.array_equal(self.low_modulation, other.low_modulation)
                   for f in fields(self))

    __hash__ = None

    @classmethod
    def from_core(cls, d: dict) -> "Pattern":
        count = len(d["angle"])

        def given(name, default):
            values = d.get(name)
            return values if values is not None and len(values) == count else default

        return cls(angle=d["angle"], period=d["period"], phase=d["phase"],
                   modulation=d["modulation"], modulation2=given("modulation2", 0.0),
                   phase2=given("phase2", 0.0), mcnr=given("mcnr", np.nan),
                   mcnr2=given("mcnr2", 0.0), low_modulation=given("low_modulation", False))

    def as_core(self) -> tuple:
        """angle, period, modulation, phase, modulation2, phase2 as the binding takes them."""
        return tuple(v.tolist() for v in (self.angle, self.period, self.modulation, self.phase,
                                          self.modulation2, self.phase2))

    def masks(self, shape, dtype=np.float64) -> np.ndarray:
        """The (F, H, W) masks of this pattern on an (H, W) grid."""
        height, width = _arrays.image_shape(shape)
        return _core.masks(height, width, *self.as_core()).astype(dtype, copy=False)


def warn_low_modulation(pattern: Pattern, stacklevel: int = 3, where: str = "") -> None:
    for a in np.flatnonzero(pattern.low_modulation):
        warnings.warn(
            f"{where}orientation {a + 1} has MCNR {pattern.mcnr[a]:.3g}: its pattern is too "
            "faint to estimate reliably", LowModulationWarning, stacklevel=stacklevel)


def camera_background(background, shape) -> tuple[float, np.ndarray | None]:
    """The core's form of `background`: a level, or a C-ordered (H, W) float64 image."""
    if np.ndim(background) == 0:
        level = float(np.asarray(background, dtype=np.float64))
        if not np.isfinite(level):
            raise ValueError(f"background must be finite, got {level}")
        return level, None
    image = _arrays.as_real("background", background, 2, "a number or (H, W)", np.float64)
    if image.shape != tuple(shape):
        raise ValueError(f"background must be a number or {_arrays.shape_text(shape)} like one "
                         f"frame, got {_arrays.shape_text(image.shape)}")
    return 0.0, image


def estimate_patterns(frames, otf, angles=3, phases=3, *, period=None, angle_guess=None,
                      orders="auto", background=0.0, gain=1.0) -> Pattern:
    """Estimates the illumination of (F, H, W) `frames` (F = angles * phases, orientation-major)
    through the centred (H, W) `otf` and returns the Pattern; `pattern.masks(frames.shape[1:])`
    gives the masks for reconstruct. `period` (pixels) and `angle_guess` (radians: one per
    orientation, or the first orientation's alone, the others then taken pi / angles apart,
    as korvex_estimate_patterns reads it) narrow the search. `orders`: the harmonics to
    estimate, 'auto' (the second too when the frames hold 5 or more phases and it is
    significant), 1 or 2 (3-beam illumination). `background` (counts, a number or an (H, W)
    image) is subtracted from the frames first, and `gain` (counts per photon) divides the
    rest. Warns LowModulationWarning for an orientation whose MCNR is too low, and
    UndersampledWarning when the otf's passband reaches the frames' Nyquist frequency (a
    camera pixel coarser than wavelength / (4 na)); the estimate is still returned."""
    frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
    otf = _arrays.as_real("otf", otf, 2, "(H, W)", frames.dtype)
    angles = _arrays.count("angles", angles)
    phases = _arrays.count("phases", phases, minimum=3)
    if frames.shape[0] != angles * phases:
        raise ValueError(f"frames holds {frames.shape[0]} frames, not angles x phases = "
                         f"{angles} x {phases}")
    if otf.shape != frames.shape[1:]:
        raise ValueError(f"otf must be {_arrays.shape_text(frames.shape[1:])}, got "
                         f"{_arrays.shape_text(otf.shape)}")
    with task_threads():
        estimator = _core.Estimator(frames.shape[1], frames.shape[2], angles, phases)
        pattern = estimate_with(estimator, frames, otf, period, angle_guess, angles, orders,
                                background, gain)
    warn_low_modulation(pattern)
    # Last, as in MATLAB: the likely cause of any low modulation above.
    warn_undersampled(otf)
    return pattern


def warn_undersampled(otf: np.ndarray, stacklevel: int = 3) -> None:
    """Warns UndersampledWarning when `otf` (centred, checked) says its frames are aliased."""
    undersampled, _, largest = _core.sampling(otf)
    if undersampled:
        warnings.warn(
            "the OTF's passband reaches the frames' Nyquist frequency: the camera pixel is "
            "coarser than wavelength / (4 na) and the frames are aliased. Record with a finer "
            f"camera pixel, at most {largest:.3g} times the present one (raising upsample does "
            "not help)", UndersampledWarning, stacklevel=stacklevel)


def estimate_with(estimator, frames, otf, period, angle_guess, angles, orders="auto",
                  background=0.0, gain=1.0, haze_frequency=0.0) -> Pattern:
    """One estimate with a kept `_core.Estimator` on checked arrays of one type; with
    haze_frequency > 0 (cycles per pixel) the depth is measured beyond it."""
    guess_period = 0.0 if period is None else _arrays.number("period", period, positive=True)
    guess_angles = [] if angle_guess is None else _arrays.finite_values(
        "angle_guess", angle_guess)
    if len(guess_angles) not in (0, 1, angles):
        raise ValueError(f"angle_guess must hold one angle, or one per orientation ({angles}), "
                         f"got {len(guess_angles)}")
    level, image = camera_background(background, frames.shape[1:])
    gain = _arrays.number("gain", gain, positive=True)
    return Pattern.from_core(estimator.estimate(frames, otf, guess_period, guess_angles,
                                                orders_code(orders), level, image, gain,
                                                haze_frequency))
