"""The core's refusals in Python's terms: (F, H, W) shapes, indices counted from 0, Python's
argument names, no MATLAB function; and the faults behind them: lengths in mixed units, values
near the type's range, a stack larger than the memory."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvex

OPTICS = dict(na=1.2, wavelength=0.52, pixel_size=0.1)


def camera_stack(shape=(48, 64), seed=3):
    rng = np.random.default_rng(seed)
    truth = rng.random(shape) ** 6
    otf = korvex.otf(shape, **OPTICS)
    masks = korvex.masks(shape, period=2.8, modulation=0.9)
    return korvex.simulate(truth, masks, otf, photons=1000, seed=seed), otf


def test_shapes_positions_and_names_are_pythons():
    with pytest.raises(ValueError) as small:
        korvex.estimate_patterns(np.ones((9, 7, 300)), np.ones((7, 300)))
    message = str(small.value)
    assert "(7, 300)" in message and "300 x 7" not in message
    assert "korvex_estimate_patterns" not in message

    frames, _ = camera_stack((37, 50))
    with pytest.raises(ValueError, match=r"row 18, column 25, counted from 0"):
        korvex.reconstruct_acquisition(frames, otf=0.5 * np.ones((37, 50)), iterations=1)
    with pytest.raises(ValueError, match=r"must be \(37, 50\) \(the camera grid\)"):
        korvex.reconstruct_acquisition(frames, otf=np.ones((36, 50)), iterations=1)


@pytest.mark.parametrize("optics, cause", [
    (dict(na=1.2, wavelength=520, pixel_size=0.065),
     "wavelength 520 looks like nanometres; lengths are in micrometres"),
    (dict(na=1.2, wavelength=0.52, pixel_size=65), "pixel_size 65 looks like nanometres"),
])
def test_lengths_in_mixed_units_are_refused_with_or_without_a_pattern(optics, cause):
    frames, _ = camera_stack()
    given = korvex.reconstruct_acquisition(frames, **OPTICS, iterations=1).pattern
    for pattern in (None, given):
        with pytest.raises(ValueError, match=cause):
            korvex.reconstruct_acquisition(frames, **optics, pattern=pattern, iterations=1)


def test_float64_frames_near_1e40_give_the_scaled_image():
    frames, _ = camera_stack()
    plain = korvex.reconstruct_acquisition(frames.astype(np.float64), **OPTICS, iterations=5)
    large = korvex.reconstruct_acquisition(frames.astype(np.float64) * 1e40, **OPTICS,
                                           iterations=5)
    assert np.isfinite(large.image).all()
    np.testing.assert_allclose(large.image / 1e40, plain.image,
                               atol=1e-6 * np.abs(plain.image).max())


def test_a_stack_larger_than_the_memory_is_a_memory_error_at_once():
    # In a child, whose data limit is lowered 64 MiB above what it holds.
    script = textwrap.dedent("""
        import resource, time, numpy as np, korvex
        frames = np.ones((9, 1024, 1024), np.float32)
        used = int(next(l for l in open('/proc/self/status') if l.startswith('VmData')).split()[1])
        resource.setrlimit(resource.RLIMIT_DATA, ((used << 10) + (64 << 20), resource.RLIM_INFINITY))
        start = time.monotonic()
        try:
            korvex.reconstruct_acquisition(frames, na=1.2, wavelength=0.52, pixel_size=0.1)
        except MemoryError as e:
            print(time.monotonic() - start, e)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120).stdout
    seconds, _, message = out.partition(" ")
    assert "needs about" in message and "available" in message, out
    assert float(seconds) < 10


def test_a_reconstruction_that_overflows_is_an_error_not_an_infinite_image():
    frames, otf = camera_stack()
    masks = korvex.masks(frames.shape[1:], period=2.8) * 1e160
    with pytest.raises(korvex.KorvexError, match="left the range of its precision"):
        korvex.reconstruct(frames.astype(np.float64), masks, otf, iterations=1)
