"""The counterparts of korvex_otf, korvex_masks and korvex_simulate. The numbers come from
KorvexLib; this module only checks and shapes the arguments."""

from __future__ import annotations

import numpy as np

from . import _arrays, _core


def otf(shape, na, wavelength, pixel_size) -> np.ndarray:
    """The (H, W) incoherent OTF of an aberration-free circular pupil, centred as the engine
    takes it (zero frequency at row H // 2, column W // 2, value 1 there).

    na: numerical aperture; wavelength: emission wavelength; pixel_size: pixel side in the
    sample plane, in the same unit as wavelength (micrometres, say)."""
    height, width = _arrays.image_shape(shape)
    na = _arrays.number("na", na, positive=True)
    wavelength = _arrays.number("wavelength", wavelength, positive=True)
    pixel_size = _arrays.number("pixel_size", pixel_size, positive=True)
    cutoff = 2 * na / wavelength
    step = 1 / (max(height, width) * pixel_size)
    if cutoff <= step:
        raise ValueError(
            f"no passband: the cut-off 2*na/wavelength = {cutoff:g} is not above the frequency "
            f"step 1/(N*pixel_size) = {step:g}"
        )
    return _core.otf(height, width, na, wavelength, pixel_size)


DEFAULT_ANGLES = (0.0, np.pi / 3, 2 * np.pi / 3)
DEFAULT_PHASES = (0.0, 2 * np.pi / 3, 4 * np.pi / 3)


def masks(shape, period, angles=DEFAULT_ANGLES, phases=DEFAULT_PHASES, modulation=1.0,
          modulation2=0.0, phase2=0.0):
    """(F, H, W) illumination masks 1 + m cos(t) + m2 cos(2 t + phase2),
    t = 2 pi (cos a x + sin a y) / period + phase, x the column and y the row, frames
    orientation-major (all phases of angles[0] first). m2 = modulation2 > 0 makes the masks of
    3-beam illumination, whose second harmonic steps twice as fast; 5 or more phases per
    orientation separate it.

    period, modulation, modulation2 and phase2: a scalar or one value per orientation. phases:
    the P steps every orientation takes, or one phase per frame (A * P values, P >= 3) when any
    of the others is given per orientation -- the form of a Pattern from estimate_patterns, as
    korvex_masks reads it (Pattern.masks builds its masks directly)."""
    height, width = _arrays.image_shape(shape)
    angles = np.atleast_1d(np.asarray(angles, dtype=np.float64))
    phases = np.atleast_1d(np.asarray(phases, dtype=np.float64))
    if angles.ndim != 1 or phases.ndim != 1 or angles.size == 0 or phases.size == 0:
        raise ValueError("angles and phases must be non-empty vectors")
    count = angles.size
    per_frame = any(np.size(v) > 1 for v in (period, modulation, modulation2, phase2)) and (
        phases.size % count == 0 and phases.size >= 3 * count
    )
    periods = _arrays.per_orientation("period", period, count)
    depths = _arrays.per_orientation("modulation", modulation, count)
    depths2 = _arrays.per_orientation("modulation2", modulation2, count)
    constants2 = _arrays.per_orientation("phase2", phase2, count)
    if not per_frame:
        phases = np.tile(phases, count)
    return _core.masks(height, width, angles.tolist(), periods, depths, phases.tolist(), depths2,
                       constants2)


def simulate(truth, masks, otf, *, photons=None, background=0.0, seed=None) -> np.ndarray:
    """(F, H, W) camera frames of the (H, W) `truth` under (F, H, W) `masks` through the
    centred (H, W) `otf`: the forward model the engine inverts, as float64.

    photons=None returns the noise-free model plus `background`. A number scales the stack so
    that its brightest noise-free pixel expects that many photons, adds `background` photons
    and draws Poisson counts (numpy's generator, seeded by `seed`)."""
    truth = _arrays.as_real("truth", truth, 2, "(H, W)", np.float64)
    masks = _arrays.as_real("masks", masks, 3, "(F, H, W)", np.float64)
    otf = _arrays.as_real("otf", otf, 2, "(H, W)", np.float64)
    if masks.shape[1:] != truth.shape or otf.shape != truth.shape:
        raise ValueError(
            f"masks must be (F, {truth.shape[0]}, {truth.shape[1]}) and otf "
            f"{_arrays.shape_text(truth.shape)} like truth, got {_arrays.shape_text(masks.shape)} "
            f"and {_arrays.shape_text(otf.shape)}"
        )
    for name, array in (("truth", truth), ("masks", masks), ("otf", otf)):
        if not np.isfinite(array).all():
            raise ValueError(f"{name} holds NaN or Inf values")
    background = _arrays.number("background", background)
    level = np.inf if photons is None else _arrays.number("photons", photons, positive=True)
    expected = _core.simulate(truth, masks, otf, level, background)
    if photons is None:
        return expected
    return np.random.default_rng(seed).poisson(expected).astype(np.float64)
