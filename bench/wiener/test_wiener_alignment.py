"""Checks of bench/wiener/wiener_reconstruct.py on a tiny noise-free stack made here.

    build/wiener-venv/bin/python -m unittest bench/wiener/test_wiener_alignment.py

The tests that run the tool skip where napari-sim-processor is not installed (see setup.sh).
Not part of CI.
"""
import importlib.util
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import numpy as np
    import wiener_reconstruct as wr  # numpy and scipy
    HAVE_NUMPY = True
except ImportError:  # not the venv of bench/wiener/setup.sh: everything skips
    HAVE_NUMPY = False

HAVE_TOOL = HAVE_NUMPY and importlib.util.find_spec('napari_sim_processor') is not None
NA, WAVELENGTH, PIXEL = 1.2, 0.52, 0.1
if HAVE_NUMPY:
    PATTERN = dict(angle=0.3 + np.array([0, np.pi / 3, 2 * np.pi / 3]),
                   period=np.full(3, 1 / (0.85 * 2 * NA / WAVELENGTH) / PIXEL),
                   phase=np.tile([0.4, 0.4 + 2 * np.pi / 3, 0.4 + 4 * np.pi / 3], 3))


def simulate(height=128, width=128, seed=0, points=400):
    """Noise-free stack: points on the 2x grid (fine pixel (r, c) at camera coordinates
    (r/2, c/2)), times the pattern, through the widefield OTF, sampled at camera pixels."""
    rng = np.random.default_rng(seed)
    truth = np.zeros((2 * height, 2 * width))
    truth[rng.integers(0, 2 * height, points), rng.integers(0, 2 * width, points)] = \
        rng.uniform(0.5, 1.5, points)
    y, x = np.mgrid[0:2 * height, 0:2 * width] / 2.0
    fy = np.fft.fftfreq(2 * height, PIXEL / 2)[:, None]
    fx = np.fft.fftfreq(2 * width, PIXEL / 2)[None, :]
    rho = np.minimum(np.hypot(fx, fy) / (2 * NA / WAVELENGTH), 1)
    otf = 2 / np.pi * (np.arccos(rho) - rho * np.sqrt(1 - rho ** 2))
    frames = np.zeros((height, width, 9))
    for f in range(9):
        a, period = PATTERN['angle'][f // 3], PATTERN['period'][f // 3]
        mask = 1 + np.cos(2 * np.pi * (np.cos(a) * x + np.sin(a) * y) / period + PATTERN['phase'][f])
        frames[:, :, f] = np.real(np.fft.ifft2(otf * np.fft.fft2(mask * truth)))[::2, ::2]
    return frames * 1000, truth


def peak_shift(image, reference):
    """(rows, cols) position of the cross-correlation peak, parabola-refined."""
    c = np.real(np.fft.ifft2(np.fft.fft2(image - image.mean()) *
                             np.conj(np.fft.fft2(reference - reference.mean()))))
    peak = np.unravel_index(np.argmax(c), c.shape)
    shift = []
    for axis, n in enumerate(c.shape):
        lo, hi = list(peak), list(peak)
        lo[axis], hi[axis] = (peak[axis] - 1) % n, (peak[axis] + 1) % n
        a, b, d = c[tuple(lo)], c[peak], c[tuple(hi)]
        whole = peak[axis] - n if peak[axis] >= n / 2 else peak[axis]
        shift.append(whole + 0.5 * (a - d) / (a - 2 * b + d))
    return np.array(shift)


def fourier_shift(image, dy, dx, sigma=0.0):
    """image moved by (dy, dx) pixels, and blurred by a Gaussian of sigma pixels."""
    fy = np.fft.fftfreq(image.shape[0])[:, None]
    fx = np.fft.fftfreq(image.shape[1])[None, :]
    kernel = np.exp(-2j * np.pi * (fy * dy + fx * dx) - 2 * (np.pi * sigma) ** 2 * (fx ** 2 + fy ** 2))
    return np.real(np.fft.ifft2(np.fft.fft2(image) * kernel))


@unittest.skipUnless(HAVE_NUMPY, 'numpy/scipy missing (use the venv of bench/wiener/setup.sh)')
class PatternConversion(unittest.TestCase):
    def test_round_trip(self):
        shape = (64, 80)
        kx, ky, phi = wr.pattern_to_tool(PATTERN, shape, NA, WAVELENGTH, PIXEL)
        angle, period, phase = wr.tool_to_pattern(kx, ky, np.zeros(3), phi, shape, NA,
                                                  WAVELENGTH, PIXEL, 3)
        np.testing.assert_allclose(angle, PATTERN['angle'], atol=1e-12)
        np.testing.assert_allclose(period, PATTERN['period'], rtol=1e-12)
        np.testing.assert_allclose(np.angle(np.exp(1j * (phase - PATTERN['phase']))), 0, atol=1e-9)

    def test_negated_carrier_folds_to_same_pattern(self):
        # (k, phase) and (-k, -phase) are one cosine: the angle stays in [0, pi).
        shape = (64, 64)
        kx, ky, phi = wr.pattern_to_tool(PATTERN, shape, NA, WAVELENGTH, PIXEL)
        angle, _, phase = wr.tool_to_pattern(-kx, -ky, np.zeros(3), -phi, shape, NA,
                                             WAVELENGTH, PIXEL, 3)
        np.testing.assert_allclose(angle, PATTERN['angle'], atol=1e-12)
        np.testing.assert_allclose(np.angle(np.exp(1j * (phase - PATTERN['phase']))), 0, atol=1e-9)

    def test_peak_shift_finds_a_known_shift(self):
        _, truth = simulate(32, 32, points=20)
        smooth = fourier_shift(truth, 0, 0, sigma=1.5)
        np.testing.assert_allclose(peak_shift(fourier_shift(smooth, 0.5, -0.3), smooth),
                                   [0.5, -0.3], atol=0.05)


@unittest.skipUnless(HAVE_TOOL, 'napari-sim-processor not installed (bench/wiener/setup.sh)')
class ToolAlignment(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Not square, so that a swap of rows and columns shows.
        cls.frames, cls.truth = simulate(96, 128)
        cls.out = {mode: wr.reconstruct(cls.frames, NA, WAVELENGTH, PIXEL, mode=mode,
                                        pattern=PATTERN) for mode in ('estimate', 'given')}
        # Without per-frame phases the tool's p carries the phase.
        cls.out.update({mode + ' steps': wr.reconstruct(cls.frames, NA, WAVELENGTH, PIXEL,
                                                        mode=mode, pattern=PATTERN,
                                                        usePhases=False)
                        for mode in ('estimate', 'given')})

    def test_output_on_our_grid(self):
        for mode, out in self.out.items():
            self.assertEqual(out['image'].shape, self.truth.shape)
            shift = peak_shift(out['image'], self.truth)
            self.assertTrue(np.all(np.abs(shift) < 0.1), f'{mode}: shift {shift}')
            self.assertGreater(np.corrcoef(out['image'].ravel(), self.truth.ravel())[0, 1], 0.4)

    def test_estimated_pattern_in_our_convention(self):
        h, w = self.truth.shape[0] // 2, self.truth.shape[1] // 2
        for mode in ('estimate', 'estimate steps'):
            e = self.out[mode]['estimate']
            np.testing.assert_allclose(e['angle'], PATTERN['angle'], atol=5e-3)
            np.testing.assert_allclose(e['period'], PATTERN['period'], rtol=5e-3)
            # Phases compared where the tool measures them, the frame's centre: at pixel (1,1)
            # a small error in the wave vector adds its product with the half diagonal.
            centre = [np.repeat(wr._centre_term(p['angle'], np.asarray(p['period']), h, w), 3)
                      for p in (e, PATTERN)]
            error = (e['phase'] + centre[0]) - (PATTERN['phase'] + centre[1])
            self.assertLess(np.max(np.abs(np.angle(np.exp(1j * error)))), 0.1, mode)

    def test_given_pattern_reaches_the_tool(self):
        for mode in ('given', 'given steps'):
            e = self.out[mode]['estimate']
            np.testing.assert_allclose(e['angle'], PATTERN['angle'], atol=1e-5)
            np.testing.assert_allclose(np.angle(np.exp(1j * (e['phase'] - PATTERN['phase']))), 0,
                                       atol=1e-3)
            # Fed the truth, the tool must do at least about as well as with its own estimate.
            r = [np.corrcoef(self.out[m]['image'].ravel(), self.truth.ravel())[0, 1]
                 for m in (mode.replace('given', 'estimate'), mode)]
            self.assertGreater(r[1], r[0] - 0.01, mode)


if __name__ == '__main__':
    unittest.main()
