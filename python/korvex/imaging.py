"""The counterparts of korvex_otf, korvex_masks and korvex_simulate. The numbers come from
KorvexLib; this module only checks and shapes the arguments."""

from __future__ import annotations

import numpy as np

from . import _arrays, _core
from .patterns import Pattern


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
DEFAULT_STEPS = (0.0, 2 * np.pi / 3, 4 * np.pi / 3)


def masks(shape, pattern: Pattern | None = None, *, period=None, angles=None, phases=None,
          steps=None, modulation=None, modulation2=None, phase2=None) -> np.ndarray:
    """(F, H, W) illumination masks, frames orientation-major (all phases of angles[0] first):
    those of a `Pattern`, or of one given by its parts

        1 + modulation cos(t) + modulation2 cos(2 t + phase2),
        t = 2 pi (cos a x + sin a y) / period + phase, x the column, y the row.

    period, modulation (default 1), modulation2 and phase2 (the second harmonic of 3-beam
    illumination, default 0; 5 or more phases per orientation separate it): a scalar or one
    value per orientation; angles (default 0, pi/3, 2 pi/3) one per orientation. The phases
    are either `phases`, one per frame (A x P values, as a Pattern holds them), or `steps`,
    the P phases every orientation takes (default 0, 2 pi/3, 4 pi/3); never both."""
    height, width = _arrays.image_shape(shape)
    parts = dict(period=period, angles=angles, phases=phases, steps=steps, modulation=modulation,
                 modulation2=modulation2, phase2=phase2)
    if pattern is not None:
        if not isinstance(pattern, Pattern):
            raise TypeError(f"masks takes a Pattern (or period=..., by keyword), got "
                            f"{type(pattern).__name__}")
        given = [name for name, value in parts.items() if value is not None]
        if given:
            raise ValueError(f"masks takes a Pattern or its parts, not both: drop "
                             f"{', '.join(given)}")
        return pattern.masks((height, width))
    if period is None:
        raise ValueError("masks needs a Pattern or a period")
    if phases is not None and steps is not None:
        raise ValueError("give phases (one per frame) or steps (per orientation), not both")
    angles = np.atleast_1d(np.asarray(DEFAULT_ANGLES if angles is None else angles,
                                      dtype=np.float64))
    if phases is None:
        steps = np.atleast_1d(np.asarray(DEFAULT_STEPS if steps is None else steps,
                                         dtype=np.float64))
        if steps.ndim != 1 or steps.size < 3:
            raise ValueError(f"steps must hold at least 3 phases, got {steps.size}")
        phases = np.tile(steps, angles.size)
    built = Pattern(angle=angles, period=period, phase=phases,
                    modulation=1.0 if modulation is None else modulation,
                    modulation2=0.0 if modulation2 is None else modulation2,
                    phase2=0.0 if phase2 is None else phase2)
    return built.masks((height, width))


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
