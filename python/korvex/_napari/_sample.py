"""Sample data: raw SIM frames as a camera records them, simulated with korvex's forward
model, so that the plugin can be tried without a file."""

from __future__ import annotations

import numpy as np

NA, WAVELENGTH, PIXEL_SIZE = 1.2, 0.52, 0.1  # micrometres
PERIOD = 2.55  # camera pixels: a pattern near the passband's edge
ANGLES = (0.2, 0.2 + np.pi / 3, 0.2 + 2 * np.pi / 3)
FACTOR = 2  # the specimen is drawn on a grid this much finer than the camera's


def filaments(shape, count, rng) -> np.ndarray:
    """Smoothly bending lines, as microtubules look."""
    image = np.zeros(shape)
    for _ in range(count):
        position = rng.uniform(0, shape)
        heading = rng.uniform(0, 2 * np.pi)
        points = []
        for _ in range(4 * max(shape)):
            heading += rng.normal(0, 0.03)
            position = position + 0.5 * np.array([np.sin(heading), np.cos(heading)])
            points.append(position)
        rows, columns = np.round(np.array(points)).astype(int).T
        inside = (rows >= 0) & (rows < shape[0]) & (columns >= 0) & (columns < shape[1])
        np.add.at(image, (rows[inside], columns[inside]), 1.0)
    return np.minimum(image, 4.0)


def blurred(image: np.ndarray, sigma: float) -> np.ndarray:
    """image through a Gaussian of standard deviation sigma pixels (periodic edges)."""
    fy, fx = np.meshgrid(np.fft.fftfreq(image.shape[0]), np.fft.fftfreq(image.shape[1]),
                         indexing="ij")
    gaussian = np.exp(-2 * np.pi ** 2 * sigma ** 2 * (fy ** 2 + fx ** 2))
    return np.fft.ifft2(np.fft.fft2(image) * gaussian).real


def camera_frames(specimen: np.ndarray, photons: float, rng,
                  haze: np.ndarray | None = None) -> np.ndarray:
    """(9, H, W) uint16 counts of a specimen drawn on the fine grid: lit by three orientations
    of three phases, imaged through the OTF and binned FACTOR x FACTOR onto the camera. `haze`,
    on the same grid, adds unpatterned light from out of focus."""
    import korvex

    fine = specimen.shape
    otf = korvex.otf(fine, NA, WAVELENGTH, PIXEL_SIZE / FACTOR)
    masks = korvex.masks(fine, period=PERIOD * FACTOR, angles=ANGLES)
    expected = korvex.simulate(specimen, masks, otf)
    if haze is not None:
        expected += korvex.simulate(haze, np.ones_like(masks), otf)
    height, width = fine[0] // FACTOR, fine[1] // FACTOR
    binned = expected.reshape(-1, height, FACTOR, width, FACTOR).sum(axis=(2, 4))
    counts = rng.poisson(binned / binned.max() * photons + 100)  # a camera offset of 100
    return counts.astype(np.uint16)


def _layer(data, name):
    metadata = {"korvex": {"kind": "raw", "pixel_size": PIXEL_SIZE, "na": NA,
                           "wavelength": WAVELENGTH, "background": 100.0}}
    scale = (1.0,) * (data.ndim - 2) + (PIXEL_SIZE, PIXEL_SIZE)
    return [(data, {"name": name, "scale": scale, "metadata": metadata}, "image")]


def simulated_acquisition(size: int = 256, photons: float = 1000.0, seed: int = 0):
    """One acquisition of 9 frames (3 angles x 3 phases) of size x size camera pixels."""
    rng = np.random.default_rng(seed)
    specimen = filaments((FACTOR * size,) * 2, size // 8, rng)
    return _layer(camera_frames(specimen, photons, rng), "simulated SIM")


def simulated_thick(size: int = 256, haze: float = 2.0, photons: float = 1000.0,
                    seed: int = 0):
    """One acquisition of a thick specimen: filaments in focus under another layer of them
    out of focus (blurred by a Gaussian of 0.4 µm, unpatterned) that carries `haze` times the
    in-focus light."""
    rng = np.random.default_rng(seed)
    fine = (FACTOR * size,) * 2
    specimen = filaments(fine, size // 8, rng)
    layer = blurred(filaments(fine, size // 4, rng), 0.4 / (PIXEL_SIZE / FACTOR))
    layer *= haze * specimen.sum() / layer.sum()
    return _layer(camera_frames(specimen, photons, rng, layer), "simulated thick SIM")


def simulated_series(size: int = 128, steps: int = 4, seed: int = 0):
    """A (T, 9, H, W) series of a specimen drifting by one camera pixel a time point."""
    rng = np.random.default_rng(seed)
    specimen = filaments((FACTOR * size,) * 2, size // 8, rng)
    frames = [camera_frames(np.roll(specimen, FACTOR * t, axis=1), 1000.0, rng)
              for t in range(steps)]
    return _layer(np.stack(frames), "simulated SIM series")
