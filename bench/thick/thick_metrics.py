"""Scores of a reconstruction against the in-focus and out-of-focus truths, on one grid.

`ring_correlation` and `frc` are the definitions of bench/octave/quality_scores.m and
matlab/korvex_frc.m (numpy ports); `leak` is the fit

    image = a * focus + b * haze + c,  both truths cut to the SIM pass band,

solved by least squares over a set of frequencies (the mean, c, left out), reported as b / a:
over the whole pass band, below 1 cycle/um (the haze) and within 1 cycle/um of the pattern's
carriers (out-of-focus structure folded in as false fine structure).
"""
from __future__ import annotations

import numpy as np


def _rings(shape, pixel):
    fy = np.fft.fftfreq(shape[0], pixel)[:, None]
    fx = np.fft.fftfreq(shape[1], pixel)[None, :]
    step = 1 / (min(shape) * pixel)
    radius = np.hypot(fx, fy)
    return np.round(radius / step).astype(int), radius, fy, fx


def ring_correlation(image, truth, pixel):
    """Pearson correlation with the truth after the best ring filter: each ring of the spectrum
    scaled by the real gain that brings it closest to the truth's (the mean does not count)."""
    x = np.fft.fft2(image)
    t = np.fft.fft2(truth)
    ring, *_ = _rings(image.shape, pixel)
    cross = np.bincount(ring.ravel(), (x * t.conj()).real.ravel())
    power = np.bincount(ring.ravel(), (np.abs(x) ** 2).ravel())
    gain = cross / np.maximum(power, np.finfo(float).tiny)
    gain[0] = 0
    filtered = gain[ring] * x
    t[0, 0] = 0
    return float((filtered * t.conj()).real.sum() /
                 np.sqrt((np.abs(filtered) ** 2).sum() * (np.abs(t) ** 2).sum()))


def _taper(n):
    w = np.ones(n)
    edge = max(1, n // 8)
    ramp = 0.5 - 0.5 * np.cos(np.pi * (np.arange(edge) + 0.5) / edge)
    w[:edge] = ramp
    w[n - edge:] = ramp[::-1]
    return w


def frc(image, reference, pixel, start=0.0):
    """Resolution (unit of pixel): first crossing of 0.5 by the Fourier ring correlation,
    means removed and edges tapered; the last ring's period where it never falls below.
    start > 0 looks for the crossing from that frequency on only (haze spoils the rings below
    1 cycle/um without saying anything about the resolution)."""
    window = np.outer(_taper(image.shape[0]), _taper(image.shape[1]))
    a = np.fft.fft2(window * (image - image.mean()))
    b = np.fft.fft2(window * (reference - reference.mean()))
    fy = np.fft.fftfreq(image.shape[0])[:, None]
    fx = np.fft.fftfreq(image.shape[1])[None, :]
    ring = np.round(np.hypot(fx, fy) * min(image.shape)).astype(int)
    rings = min(image.shape) // 2
    keep = ring < rings
    r = ring[keep]
    cross = np.bincount(r, (a * b.conj()).real[keep], rings)
    pa = np.bincount(r, (np.abs(a) ** 2)[keep], rings)
    pb = np.bincount(r, (np.abs(b) ** 2)[keep], rings)
    curve = cross / np.sqrt(pa * pb + np.finfo(float).tiny)
    frequency = np.arange(rings) / (min(image.shape) * pixel)
    first = max(1, int(np.ceil(start * min(image.shape) * pixel)))
    below = np.flatnonzero(curve[first:] < 0.5)
    if below.size == 0:
        return 1 / frequency[-1]
    i = below[0] + first
    if i == first and first > 1:
        return 1 / frequency[first]  # already below at `start`
    c0, c1 = curve[i - 1], curve[i]
    f = frequency[i - 1] + (c0 - 0.5) / (c0 - c1) * (frequency[i] - frequency[i - 1])
    return 1 / f


def leak(image, focus, haze, pixel, limit, carriers, near=1.0, low=1.0):
    """b / a of the fit image = a focus + b haze + c over the pass band |f| <= limit
    ("overall"), below `low` ("low") and within `near` of +-carriers ("carriers"); carriers
    are (fx, fy) rows in cycles per unit of pixel. Also returns a and b of the overall fit."""
    _, radius, fy, fx = _rings(image.shape, pixel)
    band = radius <= limit
    y = np.fft.fft2(image)
    a_hat = np.fft.fft2(focus) * band
    b_hat = np.fft.fft2(haze) * band
    close = np.zeros(image.shape, bool)
    for kx, ky in carriers:
        for sign in (1, -1):
            close |= np.hypot(fx - sign * kx, fy - sign * ky) < near
    sets = {"overall": band, "low": radius < low, "carriers": close & band}
    out = {}
    for name, where in sets.items():
        where = where.copy()
        where[0, 0] = False  # the mean is c's
        A, B, Y = a_hat[where], b_hat[where], y[where]
        gram = np.array([[np.vdot(A, A).real, np.vdot(A, B).real],
                         [np.vdot(B, A).real, np.vdot(B, B).real]])
        rhs = np.array([np.vdot(A, Y).real, np.vdot(B, Y).real])
        a, b = np.linalg.solve(gram, rhs)
        out[name] = b / a
        if name == "overall":
            out["a"], out["b"] = a, b
    return out
