"""Pattern estimation: the illumination read from the raw frames."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from . import _arrays, _core


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


@dataclass(frozen=True)
class Pattern:
    """The illumination in korvex_masks' convention: frame f = a P + p was lit by
    1 + modulation[a] cos(t) + modulation2[a] cos(2 t + phase2[a]),
    t = 2 pi (cos angle[a] x + sin angle[a] y) / period[a] + phase[f], x the column and y the
    row (pixels), angles in [0, pi), phases in radians. modulation2 is 0 for 2-beam
    illumination; 3-beam illumination adds the second harmonic."""

    angle: np.ndarray  # (A,)
    period: np.ndarray  # (A,) pixels
    modulation: np.ndarray  # (A,)
    mcnr: np.ndarray  # (A,) modulation contrast-to-noise ratio; NaN where not estimated
    phase: np.ndarray  # (F,)
    low_modulation: np.ndarray  # (A,) bool: MCNR too low to trust
    modulation2: np.ndarray | None = None  # (A,) second harmonic's depth; None: zeros
    phase2: np.ndarray | None = None  # (A,) its phase constant psi, radians; None: zeros
    mcnr2: np.ndarray | None = None  # (A,) its MCNR; None: NaN (not estimated)

    def __post_init__(self):
        count = np.size(self.angle)
        for name, fill in (("modulation2", 0.0), ("phase2", 0.0), ("mcnr2", np.nan)):
            value = getattr(self, name)
            value = np.full(count, fill) if value is None else np.asarray(value, np.float64)
            object.__setattr__(self, name, value)

    @classmethod
    def from_core(cls, d: dict) -> "Pattern":
        count = len(d["angle"])

        def estimated(values):
            return values if len(values) == count else [np.nan] * count

        low = d.get("low_modulation") or [False] * count
        return cls(*(np.asarray(v, dtype=np.float64) for v in
                     (d["angle"], d["period"], d["modulation"], estimated(d["mcnr"]),
                      d["phase"])),
                   np.asarray(low, dtype=bool),
                   *(np.asarray(v, dtype=np.float64) for v in
                     (d["modulation2"], d["phase2"], estimated(d["mcnr2"]))))

    def as_core(self) -> tuple:
        return tuple(list(map(float, v)) for v in (
            self.angle, self.period, self.modulation, self.phase, self.modulation2, self.phase2))

    def masks(self, shape, dtype=np.float64) -> np.ndarray:
        """The (F, H, W) masks of this pattern."""
        height, width = _arrays.image_shape(shape)
        return _core.masks(height, width, *self.as_core()).astype(dtype, copy=False)


def warn_low_modulation(pattern: Pattern, stacklevel: int = 3) -> None:
    for a in np.flatnonzero(pattern.low_modulation):
        warnings.warn(
            f"orientation {a + 1} has MCNR {pattern.mcnr[a]:.3g}: its pattern is too faint to "
            "estimate reliably", LowModulationWarning, stacklevel=stacklevel)


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
                      orders="auto", background=0.0, gain=1.0):
    """Estimates the illumination of (F, H, W) `frames` (F = angles * phases, orientation-major)
    through the centred (H, W) `otf`. Returns (masks, Pattern): masks (F, H, W) of the frames'
    type (float32 for integer camera data), ready for reconstruct. `period` (pixels) and
    `angle_guess` (radians: one per orientation, or the first orientation's alone, the others
    then taken pi / angles apart, as korvex_estimate_patterns reads it) narrow the search. `orders`: the
    harmonics to estimate, 'auto' (the second too when the frames hold 5 or more phases and it
    is significant), 1 or 2 (3-beam illumination). `background` (counts, a number or an (H, W)
    image) is subtracted from the frames first, and `gain` (counts per photon) divides the
    rest. Warns LowModulationWarning for an orientation whose MCNR is too low; the estimate
    is still returned."""
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
    guess_period = 0.0 if period is None else _arrays.number("period", period, positive=True)
    guess_angles = [] if angle_guess is None else _arrays.finite_values(
        "angle_guess", angle_guess)
    if len(guess_angles) not in (0, 1, angles):
        raise ValueError(f"angle_guess must hold one angle, or one per orientation ({angles}), "
                         f"got {len(guess_angles)}")
    level, image = camera_background(background, frames.shape[1:])
    gain = _arrays.number("gain", gain, positive=True)
    estimator = _core.Estimator(frames.shape[1], frames.shape[2], angles, phases)
    pattern = Pattern.from_core(estimator.estimate(
        frames, otf, guess_period, guess_angles, orders_code(orders), level, image, gain))
    warn_low_modulation(pattern)
    return pattern.masks(frames.shape[1:], frames.dtype), pattern
