"""Camera units (background, gain, integer counts), the undersampling warning and 3-beam
patterns through the Python front end, and their agreement with the MATLAB path."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import korvex
from conftest import SHAPE

FIVE = np.arange(5) * 2 * np.pi / 5
ANGLES = [0.3, 0.3 + np.pi / 3, 0.3 + 2 * np.pi / 3]
OPTICS = dict(na=1.2, wavelength=0.52, pixel_size=0.065)


def test_second_harmonic_masks_match_korvex_masks(octave):
    # Odd, non-square: an orientation whose angle turns by pi under the transposition
    # changes the sign of its phases and of its second harmonic's constant.
    phase2 = [0.4, 1.7, 3.0]
    masks = korvex.masks(SHAPE, period=6.0, angles=ANGLES, steps=FIVE, modulation=0.9,
                         modulation2=0.5, phase2=phase2)
    (expected,) = octave(f"m = korvex_masks({SHAPE[0]}, {SHAPE[1]}, 6, {ANGLES}, "
                         f"(0:4) * 2 * pi / 5, 0.9, 0.5, {phase2});", {}, ["m"])
    np.testing.assert_allclose(masks, expected, atol=1e-12)


def test_given_second_harmonic_passes_the_pipeline_unchanged():
    pattern = korvex.Pattern(angle=np.array(ANGLES), period=np.full(3, 4.5),
                             modulation=np.full(3, 0.9), mcnr=np.full(3, np.nan),
                             phase=np.tile(FIVE, 3), low_modulation=np.zeros(3, bool),
                             modulation2=np.array([0.5, 0.3, 0.6]),
                             phase2=np.array([0.4, 1.7, 3.0]))
    frames = np.random.default_rng(1).random((15, *SHAPE)) + 1
    result = korvex.reconstruct_acquisition(frames, phases=5, pattern=pattern, iterations=1,
                                            **OPTICS)
    for name in ("angle", "period", "modulation", "phase", "modulation2", "phase2"):
        np.testing.assert_allclose(getattr(result.pattern, name), getattr(pattern, name),
                                   atol=1e-12, err_msg=name)
    assert result.pattern == pattern  # a given pattern comes back as given


@pytest.fixture(scope="module")
def striped():
    """A noise-free striped stack peaking at 1000 photons, and its estimate."""
    rng = np.random.default_rng(7)
    truth = np.zeros((64, 64))
    for _ in range(60):
        y, x = rng.integers(3, 61, size=2)
        truth[y - 1:y + 2, x - 1:x + 2] += rng.random()
    otf = korvex.otf(truth.shape, 1.2, 0.52, 0.065)
    masks = korvex.masks(truth.shape, period=4.0, angles=ANGLES, modulation=0.8)
    frames = korvex.simulate(truth, masks, otf)
    frames *= 1000 / frames.max()
    return frames, otf, korvex.estimate_patterns(frames, otf)


def test_a_single_angle_guess_means_what_it_means_in_matlab(striped, octave):
    frames, otf, plain = striped
    # 0.35 leads the search to the first orientation, the others pi / 3 on: within the
    # guesses' 5 degrees of each.
    guided = korvex.estimate_patterns(frames, otf, angle_guess=0.35)
    np.testing.assert_allclose(guided.angle, plain.angle, atol=1e-6)
    (angle,) = octave("[~, p] = korvex_estimate_patterns(frames, otf, 'angleGuess', 0.35); "
                      "angle = p.angle;", {"frames": frames, "otf": otf}, ["angle"])
    np.testing.assert_allclose(angle.ravel(), guided.angle, atol=1e-6)
    # 1.6 puts the second guess at 2.65: no carrier within 5 degrees, so the estimate moves.
    misled = korvex.estimate_patterns(frames, otf, angle_guess=1.6)
    assert np.abs(misled.angle - plain.angle).max() > 0.05
    with pytest.raises(ValueError, match=r"angle_guess must hold one angle, or one per"):
        korvex.estimate_patterns(frames, otf, angle_guess=[0.1, 0.2])


def test_background_and_gain_restore_the_depth_of_the_stack_without_offset(striped):
    frames, otf, plain = striped
    offset = frames.max()
    counts = np.round((frames + offset) * 20).astype(np.uint16)  # gain 20 counts per photon
    image = np.full(frames.shape[1:], 20 * offset)
    cases = {"scalar": dict(background=20 * offset, gain=20),
             "image": dict(background=image, gain=20)}
    for label, units in cases.items():
        found = korvex.estimate_patterns(counts, otf, **units)
        np.testing.assert_allclose(found.modulation, plain.modulation, atol=0.01, err_msg=label)
    left = korvex.estimate_patterns(counts, otf)
    assert (left.modulation < 0.8 * plain.modulation).all()
    with pytest.raises(ValueError, match=r"background must be a number or \(64, 64\)"):
        korvex.estimate_patterns(counts, otf, background=image.T[:, 1:])
    with pytest.raises(ValueError, match="gain must be a positive"):
        korvex.estimate_patterns(counts, otf, gain=0)
    with pytest.raises(ValueError, match="orders must be 'auto', 1 or 2"):
        korvex.estimate_patterns(counts, otf, orders=3)
    with pytest.raises(ValueError, match="orders 2 needs at least 5 phases"):
        korvex.estimate_patterns(counts, otf, orders=2)


def test_background_reaches_the_pipeline_and_the_series(striped):
    frames, otf, plain = striped
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065, upsample=1, iterations=2)
    result = korvex.reconstruct_acquisition(frames + 50.0, background=50.0, **optics)
    np.testing.assert_allclose(result.pattern.modulation, plain.modulation, atol=0.01)
    series = korvex.reconstruct_series(np.stack([frames + 50.0] * 2), background=50.0,
                                       quiet=True, **optics)
    np.testing.assert_allclose(series.image[1], result.image, rtol=1e-5, atol=1e-6)
    with pytest.raises(ValueError, match="apply to the acquisition pipeline"):
        korvex.reconstruct_series(np.stack([frames] * 2), np.ones_like(frames), otf, gain=2.0)


def test_coarse_camera_pixel_warns_undersampled(striped):
    frames = striped[0]
    with pytest.warns(korvex.UndersampledWarning, match="at most 0.108333") as caught:
        korvex.reconstruct_acquisition(frames, na=1.2, wavelength=0.52, pixel_size=0.11,
                                       iterations=1)
    assert "upsample does not help" in str(caught[0].message)


def test_estimate_patterns_warns_undersampled_from_the_otf_alone(striped):
    frames = striped[0]
    coarse = korvex.otf(frames.shape[1:], 1.2, 0.52, 0.11)  # cut-off beyond Nyquist
    with pytest.warns(korvex.UndersampledWarning, match="finer camera pixel") as caught:
        korvex.estimate_patterns(frames, coarse)
    assert "upsample does not help" in str(caught[-1].message)
    with warnings.catch_warnings():
        warnings.simplefilter("error", korvex.UndersampledWarning)
        korvex.estimate_patterns(frames, striped[1])  # 65 nm pixels: sampled finely enough


def test_cli_takes_gain_and_orders_and_warns_on_stderr(striped, tmp_path):
    import tifffile

    raw, out = tmp_path / "raw.tif", tmp_path / "out.tif"
    tifffile.imwrite(raw, np.round(striped[0] * 3 + 100).astype(np.uint16))
    args = ["reconstruct", raw, "-o", out, "--na", 1.2, "--wavelength", 0.52, "--pixel-size",
            0.11, "--background", 100, "--gain", 3, "--orders", 1, "--iterations", 2, "-q"]
    done = subprocess.run([sys.executable, "-m", "korvex", *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "MCNR2" in done.stdout and "phase2" in done.stdout
    assert "korvex: warning: " in done.stderr and "the camera pixel (0.11)" in done.stderr
    refused = subprocess.run([sys.executable, "-m", "korvex", *map(str, args), "--orders", "2"],
                             capture_output=True, text=True, timeout=300)
    assert refused.returncode == 2 and "orders 2 needs at least 5 phases" in refused.stderr
