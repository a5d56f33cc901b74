"""Thick-specimen SIM stacks: an in-focus layer plus out-of-focus light, imaged through a scalar
3-D PSF with a fringe contrast that falls with defocus.

Deliberately independent of Korvex's own model (its OTF, masks and up-sampler are not used),
so that scoring a reconstruction of these stacks is not an inverse crime:

- optics: NA 1.2 water (n 1.33), emission 0.52 um; per plane z the intensity PSF is
  |FT(pupil exp(2 pi i z sqrt(n^2/lambda^2 - rho^2)))|^2 on the simulation grid;
- camera: 256 x 256 pixels of 0.1 um; everything is drawn on a grid 2x finer (0.05 um, the
  grid of the 2x reconstruction), blurred, moved half a fine pixel so that the 2 x 2 blocks
  are centred on the camera pixels as the reconstructions assume, and binned;
- 2-beam illumination, 3 angles x 3 phases, period at 0.85 of the cut-off, fringe contrast
  exp(-(|z| / 1.818 um)^2.244) (1, 0.77, 0.29 at 0, 1, 2 um);
- Poisson noise: `photons` expected at the brightest camera pixel, on a background of 10.

Coordinates follow korvex_masks: x the column, y the row, in camera pixels from the centre
of camera pixel 0; the fine grid's pixel (r, c) sits at camera coordinates (r / 2, c / 2).
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

NA, IMMERSION, WAVELENGTH, PIXEL = 1.2, 1.33, 0.52, 0.1  # um
UPSAMPLE = 2
BACKGROUND = 10.0
CUTOFF = 2 * NA / WAVELENGTH  # 4.615 cycles/um
CARRIER = 0.85 * CUTOFF
SIM_LIMIT = CUTOFF + CARRIER  # 8.54 cycles/um
ANGLES = 0.3 + np.array([0, np.pi / 3, 2 * np.pi / 3])
PHASES = np.tile([0, 2 * np.pi / 3, 4 * np.pi / 3], 3)
PERIOD = 1 / (CARRIER * PIXEL)  # camera pixels


def contrast(z):
    """Fringe contrast at defocus z (um): through 1, 0.77 and 0.29 at 0, 1 and 2 um."""
    return np.exp(-(np.abs(z) / 1.818) ** 2.244)


def frequencies(shape, pixel):
    """Spatial frequencies (fy, fx) of an unshifted FFT grid, cycles per unit of pixel."""
    fy = np.fft.fftfreq(shape[0], pixel)[:, None]
    fx = np.fft.fftfreq(shape[1], pixel)[None, :]
    return fy, fx


def otf3d(shape, pixel, z):
    """Unshifted OTF (value 1 at zero frequency) of the scalar PSF defocused by z (um)."""
    fy, fx = frequencies(shape, pixel)
    rho2 = fx ** 2 + fy ** 2
    pupil = rho2 <= (NA / WAVELENGTH) ** 2
    kz = np.sqrt(np.maximum((IMMERSION / WAVELENGTH) ** 2 - rho2, 0))
    amplitude = np.fft.ifft2(pupil * np.exp(2j * np.pi * z * kz))
    otf = np.fft.fft2(np.abs(amplitude) ** 2)
    return otf / otf[0, 0].real


def carriers():
    """The pattern's wave vectors (fx, fy), cycles/um, one row per orientation."""
    return np.stack([np.cos(ANGLES), np.sin(ANGLES)], axis=1) * CARRIER


def illumination(shape, z):
    """(9, H, W) patterns on the fine grid at defocus z."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]] / UPSAMPLE  # camera pixels
    c = contrast(z)
    out = np.empty((len(PHASES), *shape))
    for f, phase in enumerate(PHASES):
        a = ANGLES[f // 3]
        t = 2 * np.pi * (np.cos(a) * cols + np.sin(a) * rows) / PERIOD + phase
        out[f] = 1 + c * np.cos(t)
    return out


# --- Specimens, on the fine grid -------------------------------------------------------------

def filaments(shape, count, rng):
    """Smooth random curves one fine pixel wide, of random brightness (as the filament
    specimen of bench/octave/acquisition_filaments.m, drawn vectorised)."""
    height, width = shape
    image = np.zeros(shape)
    steps = np.round((0.3 + rng.random(count)) * max(shape)).astype(int)
    position = rng.random((count, 2)) * [height, width]
    direction = rng.random(count) * 2 * np.pi
    brightness = 0.5 + rng.random(count)
    turn = np.zeros(count)
    for step in range(steps.max()):
        turn = 0.9 * turn + 0.02 * rng.standard_normal(count)
        direction = direction + turn
        position = position + 0.5 * np.stack([np.sin(direction), np.cos(direction)], 1)
        live = step < steps
        r = np.floor(position[live, 0]).astype(int) % height
        c = np.floor(position[live, 1]).astype(int) % width
        np.add.at(image, (r, c), 0.5 * brightness[live])
    return image


def _gaussian_blur(image, sigma):
    fy, fx = frequencies(image.shape, 1.0)
    return np.fft.ifft2(np.fft.fft2(image) * np.exp(-2 * (np.pi * sigma) ** 2 *
                                                    (fx ** 2 + fy ** 2))).real


def disc(shape, rng, radius=0.3, edge=8.0):
    """A soft-edged disc of about `radius` of the field, centred at random: diffuse light."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    centre = (0.3 + 0.4 * rng.random(2)) * shape
    r = np.hypot(rows - centre[0], cols - centre[1]) / (radius * min(shape))
    return 1 / (1 + np.exp((r - 1) * radius * min(shape) / edge))


def cell_body(shape, rng):
    """A dense cell body filling about half the field (bench/octave/acquisition_cell.m's
    specimen): soft wobbly edge, textured cytoplasm, granules, a dimmer nucleus."""
    height, width = shape
    y, x = np.mgrid[0:height, 0:width]
    x = (x + 1 - width / 2) / width
    y = (y + 1 - height / 2) / height
    angle = 2 * np.pi * rng.random()
    u = x * np.cos(angle) + y * np.sin(angle)
    v = -x * np.sin(angle) + y * np.cos(angle)
    radius = np.hypot(u / 0.36, v / 0.24) * (1 + 0.06 * np.sin(3 * np.arctan2(v, u) +
                                                               6 * rng.random()))
    body = 1 / (1 + np.exp((radius - 1) * width / 8))
    nucleus = 1 / (1 + np.exp((np.hypot((u - 0.05) / 0.12, v / 0.09) - 1) * width / 12))
    texture = (_gaussian_blur(rng.standard_normal(shape), 6) +
               0.5 * _gaussian_blur(rng.standard_normal(shape), 2))
    texture = 0.6 + 0.4 * texture / np.abs(texture).max()
    granules = np.zeros(shape)
    count = round(height * width / 4000)
    granules.flat[rng.integers(0, height * width, count)] = 1 + rng.random(count)
    granules = _gaussian_blur(granules, 1.5)
    return 0.05 + body * (texture * (1 - 0.5 * nucleus) + 3 * granules)


# --- Stacks ----------------------------------------------------------------------------------

@dataclass
class Stack:
    frames: np.ndarray  # (9, H, W) camera counts, background included
    focus: np.ndarray  # (2H, 2W) in-focus truth on the output grid
    haze: np.ndarray  # (2H, 2W) out-of-focus object, projected, carrying max(K, 1) x focus's light
    planes: list = field(default_factory=list)  # (z, share of the out-of-focus light)
    # (9, H, W) the out-of-focus light's expected counts in `frames`: what a reconstruction
    # that knew the haze exactly would take out (its photon noise stays in the frames)
    haze_frames: np.ndarray | None = None
    photons: float = 0.0
    K: float = 0.0


def image_planes(layers, shape):
    """Noise-free (9, H/2, W/2) camera frames of [(z, object)] on the fine grid."""
    fy, fx = frequencies(shape, PIXEL / UPSAMPLE)
    # Half a fine pixel: fine pixel 2i of the output grid becomes the centre of camera pixel
    # i's 2 x 2 block (the blurred image is band-limited, so the shift is exact).
    shift = np.exp(-2j * np.pi * (fx + fy) * 0.5 * PIXEL / UPSAMPLE)
    total = np.zeros((len(PHASES), *shape), complex)
    for z, obj in layers:
        otf = otf3d(shape, PIXEL / UPSAMPLE, z) * shift
        lit = illumination(shape, z) * obj
        total += np.fft.fft2(lit) * otf
    fine = np.fft.ifft2(total).real
    h, w = shape[0] // UPSAMPLE, shape[1] // UPSAMPLE
    return fine.reshape(len(PHASES), h, UPSAMPLE, w, UPSAMPLE).sum(axis=(2, 4))


def thick_stack(kind="filaments", K=1.0, planes=((1.0, 0.5), (1.5, 0.25), (2.0, 0.25)),
                photons=1000, seed=1, size=256):
    """One stack: an in-focus specimen ("filaments" or "cell") and, K times its light, out-of-
    focus filaments (half) and a diffuse disc (half) spread over `planes` [(z um, share)].
    The specimen is drawn from `seed` (the same for every K), the noise from seed + 1000."""
    shape = (UPSAMPLE * size, UPSAMPLE * size)
    rng = np.random.default_rng(seed)
    if kind == "filaments":
        focus = filaments(shape, round(size * size / 400), rng)
    elif kind == "cell":
        focus = cell_body(shape, rng)
    else:
        raise ValueError(f"kind must be 'filaments' or 'cell', got {kind!r}")
    strands = filaments(shape, round(size * size / 400), rng)
    glow = disc(shape, rng)
    flux = focus.sum()
    haze_unit = 0.5 * flux * (strands / strands.sum() + glow / glow.sum())
    haze = max(K, 1.0) * haze_unit
    shares = np.array([s for _, s in planes]) / sum(s for _, s in planes)
    hazy = [(z, K * s * haze_unit) for (z, _), s in zip(planes, shares) if K > 0]
    in_focus = image_planes([(0.0, focus)], shape)
    out_of_focus = image_planes(hazy, shape) if hazy else np.zeros_like(in_focus)
    clean = in_focus + out_of_focus
    scale = photons / clean.max()
    noise = np.random.default_rng(seed + 1000)
    frames = noise.poisson(clean * scale + BACKGROUND).astype(np.float64)
    return Stack(frames=frames, focus=focus, haze=haze, planes=list(planes),
                 photons=photons, K=K, haze_frames=out_of_focus * scale)


def true_pattern():
    """The in-focus pattern as korvex.Pattern's fields."""
    return dict(angle=ANGLES, period=PERIOD, phase=PHASES, modulation=1.0)


def widefield(frames):
    """Mean of the background-subtracted frames, Fourier up-sampled 2x onto the output grid
    (fine pixel 0 on camera pixel 0)."""
    mean = frames.mean(axis=0) - BACKGROUND
    h, w = mean.shape
    spectrum = np.fft.fftshift(np.fft.fft2(mean))
    padded = np.zeros((UPSAMPLE * h, UPSAMPLE * w), complex)
    top, left = (UPSAMPLE * h - h) // 2, (UPSAMPLE * w - w) // 2
    padded[top:top + h, left:left + w] = spectrum
    return np.fft.ifft2(np.fft.ifftshift(padded)).real * UPSAMPLE ** 2
