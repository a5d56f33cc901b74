"""The --preview picture: widefield and reconstruction (top) over their log-magnitude spectra
(bottom), as an 8-bit greyscale PNG written with zlib alone."""

from __future__ import annotations

import struct
import zlib

import numpy as np


def _scaled(image: np.ndarray) -> np.ndarray:
    low, high = np.percentile(image, [0.5, 99.8])
    return np.clip((image - low) / max(high - low, 1e-12) * 255, 0, 255).astype(np.uint8)


def _spectrum(image: np.ndarray) -> np.ndarray:
    # Tapered edges: a non-periodic image would cross its spectrum with edge streaks.
    window = np.outer(np.hanning(image.shape[0]), np.hanning(image.shape[1]))
    return np.log1p(np.abs(np.fft.fftshift(np.fft.fft2((image - image.mean()) * window))))


def _fourier_upsampled(image: np.ndarray, shape) -> np.ndarray:
    """The camera-grid image on the output grid by zero-padding its spectrum, so that its
    spectrum shows the widefield passband alone (pixel repetition would add replicas)."""
    spectrum = np.fft.fftshift(np.fft.fft2(image))
    padded = np.zeros(shape, complex)
    top, left = shape[0] // 2 - image.shape[0] // 2, shape[1] // 2 - image.shape[1] // 2
    padded[top:top + image.shape[0], left:left + image.shape[1]] = spectrum
    scale = shape[0] * shape[1] / image.size
    return np.real(np.fft.ifft2(np.fft.ifftshift(padded))) * scale


def preview(frames: np.ndarray, image: np.ndarray) -> np.ndarray:
    """The picture for one time point: `frames` (F, h, w) on the camera grid, `image` (H, W)."""
    widefield = _fourier_upsampled(np.asarray(frames, np.float64).mean(axis=0), image.shape)
    image = np.asarray(image, np.float64)
    gap = np.zeros((image.shape[0], 4), np.uint8)
    top = np.hstack([_scaled(widefield), gap, _scaled(image)])
    bottom = np.hstack([_scaled(_spectrum(widefield)), gap, _scaled(_spectrum(image))])
    return np.vstack([top, np.zeros((4, top.shape[1]), np.uint8), bottom])


def write_png(path: str, grey: np.ndarray) -> None:
    def chunk(tag: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + tag + data +
                struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))

    height, width = grey.shape
    rows = np.hstack([np.zeros((height, 1), np.uint8), grey]).tobytes()  # filter 0 a row
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))
