"""Pattern estimation: the illumination read from the raw frames."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from . import _arrays, _core


class LowModulationWarning(UserWarning):
    """An orientation's pattern is too faint to estimate reliably (MCNR below about 3)."""


@dataclass(frozen=True)
class Pattern:
    """The illumination in korvex_masks' convention: frame f = a P + p was lit by
    1 + modulation[a] cos(2 pi (cos angle[a] x + sin angle[a] y) / period[a] + phase[f]),
    x the column and y the row (pixels), angles in [0, pi), phases in radians."""

    angle: np.ndarray  # (A,)
    period: np.ndarray  # (A,) pixels
    modulation: np.ndarray  # (A,)
    mcnr: np.ndarray  # (A,) modulation contrast-to-noise ratio; NaN where not estimated
    phase: np.ndarray  # (F,)
    low_modulation: np.ndarray  # (A,) bool: MCNR too low to trust

    @classmethod
    def from_core(cls, d: dict) -> "Pattern":
        count = len(d["angle"])
        mcnr = d["mcnr"] if len(d["mcnr"]) == count else [np.nan] * count
        low = d.get("low_modulation") or [False] * count
        return cls(*(np.asarray(v, dtype=np.float64) for v in
                     (d["angle"], d["period"], d["modulation"], mcnr, d["phase"])),
                   np.asarray(low, dtype=bool))

    def as_core(self) -> tuple:
        return (list(map(float, self.angle)), list(map(float, self.period)),
                list(map(float, self.modulation)), list(map(float, self.phase)))

    def masks(self, shape, dtype=np.float64) -> np.ndarray:
        """The (F, H, W) masks of this pattern."""
        height, width = _arrays.image_shape(shape)
        return _core.masks(height, width, *self.as_core()).astype(dtype, copy=False)


def warn_low_modulation(pattern: Pattern, stacklevel: int = 3) -> None:
    for a in np.flatnonzero(pattern.low_modulation):
        warnings.warn(
            f"orientation {a + 1} has MCNR {pattern.mcnr[a]:.3g}: its pattern is too faint to "
            "estimate reliably", LowModulationWarning, stacklevel=stacklevel)


def estimate_patterns(frames, otf, angles=3, phases=3, *, period=None, angle_guess=None):
    """Estimates the illumination of (F, H, W) `frames` (F = angles * phases, orientation-major)
    through the centred (H, W) `otf`. Returns (masks, Pattern): masks (F, H, W) of the frames'
    type, ready for reconstruct. `period` (pixels) and `angle_guess` (radians, one per
    orientation) narrow the search when known. Warns LowModulationWarning for an orientation
    whose MCNR is too low; the estimate is still returned."""
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
    guess_angles = [] if angle_guess is None else _arrays.per_orientation(
        "angle_guess", angle_guess, angles)
    estimator = _core.Estimator(frames.shape[1], frames.shape[2], angles, phases)
    pattern = Pattern.from_core(estimator.estimate(frames, otf, guess_period, guess_angles))
    warn_low_modulation(pattern)
    return pattern.masks(frames.shape[1:], frames.dtype), pattern
