"""Checks of the thick-specimen simulator and scores (numpy only, a few seconds):
    python bench/thick/test_thick.py"""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import thick_metrics as M  # noqa: E402
import thick_sim as S  # noqa: E402


class Simulator(unittest.TestCase):
    def test_in_focus_otf_is_the_diffraction_limited_one_and_defocus_lowers_it(self):
        shape, pixel = (128, 128), 0.05
        fy, fx = S.frequencies(shape, pixel)
        r = np.minimum(np.hypot(fx, fy) / S.CUTOFF, 1)
        exact = 2 / np.pi * (np.arccos(r) - r * np.sqrt(1 - r ** 2))
        self.assertLess(np.abs(S.otf3d(shape, pixel, 0.0).real - exact).max(), 0.02)
        at = (0, round(1.5 * 128 * pixel))  # 1.5 cycles/um
        self.assertLess(abs(S.otf3d(shape, pixel, 1.0)[at]), 0.5 * exact[at])
        np.testing.assert_allclose(S.contrast(np.array([0, 1, 2])), [1, 0.77, 0.29], atol=0.005)

    def test_camera_frames_sit_where_the_output_grid_says(self):
        # A thin in-focus specimen: the widefield image must line up with the blurred truth
        # (no half-pixel slip from the binning) and carry no out-of-focus light.
        stack = S.thick_stack(K=0.0, photons=1e6, size=64, seed=3)
        blurred = np.fft.ifft2(np.fft.fft2(stack.focus) *
                               S.otf3d(stack.focus.shape, S.PIXEL / 2, 0.0)).real
        wide = S.widefield(stack.frames)
        cross = np.fft.ifft2(np.fft.fft2(wide - wide.mean()) *
                             np.fft.fft2(blurred - blurred.mean()).conj()).real
        self.assertEqual(np.unravel_index(cross.argmax(), cross.shape), (0, 0))
        self.assertGreater(M.ring_correlation(wide, blurred, S.PIXEL / 2), 0.99)

    def test_haze_frames_are_the_out_of_focus_share_of_the_counts(self):
        # What the bound takes out: K times the in-focus light, none of it without haze.
        hazy = S.thick_stack(K=3.0, photons=1e6, size=64, seed=3)
        signal = hazy.frames.sum() - hazy.frames.size * S.BACKGROUND
        self.assertAlmostEqual(hazy.haze_frames.sum() / signal, 0.75, delta=0.005)
        self.assertEqual(np.abs(S.thick_stack(K=0.0, size=64, seed=3).haze_frames).max(), 0)


class Scores(unittest.TestCase):
    def test_leak_fit_recovers_known_weights_in_every_band(self):
        rng = np.random.default_rng(0)
        focus, haze = rng.random((2, 128, 128)) ** 8
        image = 2.0 * focus + 0.5 * haze + 3.0 + 0.01 * rng.standard_normal((128, 128))
        fit = M.leak(image, focus, haze, 0.05, S.SIM_LIMIT, S.carriers())
        for name in ("overall", "low", "carriers"):
            self.assertAlmostEqual(fit[name], 0.25, delta=0.01, msg=name)
        self.assertAlmostEqual(fit["a"], 2.0, delta=0.02)

    def test_ring_filter_and_frc_ignore_scale_and_apodisation(self):
        truth = np.random.default_rng(1).random((128, 128)) ** 8
        ring = M._rings(truth.shape, 0.05)[0]
        apodised = 5 * np.fft.ifft2(np.fft.fft2(truth) * np.exp(-ring / 20)).real
        self.assertAlmostEqual(M.ring_correlation(apodised, truth, 0.05), 1.0, places=6)
        self.assertAlmostEqual(M.frc(apodised, truth, 0.05), 128 * 0.05 / 63)  # the last ring
        # A smooth glow spoils the lowest rings only: the plain FRC stops there, the FRC from
        # 1 cycle/um on sees the full resolution.
        rows = np.arange(128)[:, None]
        glowing = apodised + np.cos(2 * np.pi * rows / 128)
        self.assertGreater(M.frc(glowing, truth, 0.05), 1.0)
        self.assertAlmostEqual(M.frc(glowing, truth, 0.05, start=1.0), 128 * 0.05 / 63)


if __name__ == "__main__":
    unittest.main()
