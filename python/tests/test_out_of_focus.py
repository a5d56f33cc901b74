"""The out-of-focus model from Python: its settings reach the core through every entry point,
and the share and haze come back in the results."""

import numpy as np
import pytest

import korvex
from korvex.acquisition import DEFAULTS, Acquisition

OPTICS = dict(na=1.2, wavelength=0.52, pixel_size=0.1, immersion=1.33)


@pytest.fixture(scope="module")
def hazy():
    """(frames, pattern): 9 frames of beads in focus under stripes, 48 x 56 camera pixels of
    0.1 um, plus an unpatterned broad glow carrying twice their light."""
    shape = (48, 56)
    rng = np.random.default_rng(11)
    truth = np.zeros(shape)
    truth[rng.integers(4, 44, 50), rng.integers(4, 52, 50)] = 1.0
    period = 1 / (0.85 * 2 * 1.2 / 0.52) / 0.1
    pattern = korvex.Pattern(angle=[0.2, 1.25, 2.3], period=period,
                             phase=np.tile([0, 2 * np.pi / 3, 4 * np.pi / 3], 3), modulation=0.9)
    otf = korvex.otf(shape, 1.2, 0.52, 0.1)
    frames = korvex.simulate(truth, pattern.masks(shape), otf)
    y, x = np.mgrid[:shape[0], :shape[1]]
    glow = np.exp(-((y - 20.0) ** 2 + (x - 30.0) ** 2) / (2 * 12.0 ** 2))
    glow *= 2 * frames.sum() / (len(frames) * glow.sum())
    frames = 1000 * (frames + glow) / frames.max()
    return frames.astype(np.float32), pattern


def test_settings_are_checked_with_the_python_names():
    assert isinstance(DEFAULTS["out_of_focus"], bool)
    assert Acquisition.checked(**OPTICS).out_of_focus == DEFAULTS["out_of_focus"]
    on = Acquisition.checked(**OPTICS, out_of_focus=True, defocus=1.5, out_of_focus_width=0.6)
    assert (on.out_of_focus, on.defocus, on.out_of_focus_width) == (True, 1.5, 0.6)
    refusals = {
        "defocus must be a non-negative finite number": dict(out_of_focus=True, defocus=-1),
        "out_of_focus_width must be a non-negative finite number":
            dict(out_of_focus=True, out_of_focus_width=np.inf),
        "defocus applies to the out-of-focus model, which is off":
            dict(out_of_focus=False, defocus=1.0),
        "out_of_focus_cost must be a number from 0 to 1": dict(out_of_focus_cost=1.5),
        "out_of_focus_cost applies to the out-of-focus model, which is off":
            dict(out_of_focus=False, out_of_focus_cost=0.9),
    }
    for message, options in refusals.items():
        with pytest.raises(ValueError, match=message):
            Acquisition.checked(**OPTICS, **options)
    with pytest.raises(TypeError, match="out_of_focus must be True, False or None"):
        Acquisition.checked(**OPTICS, out_of_focus="on")
    # Given masks bypass the pipeline, so its settings are refused by name.
    frames = np.ones((1, 9, 16, 16), np.float32)
    with pytest.raises(ValueError, match="out_of_focus, defocus apply to the acquisition"):
        korvex.reconstruct_series(frames, np.ones((9, 16, 16)), np.ones((16, 16)),
                                  out_of_focus=True, defocus=1.0, quiet=True)


def test_model_off_reports_no_haze_and_on_reports_what_it_found(hazy):
    frames, pattern = hazy
    common = dict(**OPTICS, pattern=pattern, iterations=40)
    off = korvex.reconstruct_acquisition(frames, **common, out_of_focus=False)
    assert off.out_of_focus_share == 0 and off.out_of_focus is None

    with korvex.Pipeline(frames.shape[1:], 9, **OPTICS, iterations=40,
                         out_of_focus=True) as pipeline:
        on = pipeline.reconstruct(frames, pattern)
        again = pipeline.reconstruct(frames, pattern)  # the kept pipeline keeps the model
    # Some of the glow is found (how much after 40 iterations is the model's business), on
    # the output grid (non-square: a transposition would show) and non-negative up to the
    # transforms' rounding.
    assert isinstance(on.out_of_focus_share, float) and 0 < on.out_of_focus_share < 1
    assert again.out_of_focus_share == pytest.approx(on.out_of_focus_share, rel=1e-4)
    haze = on.out_of_focus
    assert haze.shape == on.image.shape and haze.dtype == on.image.dtype
    assert haze.max() > 0 and haze.min() >= -1e-5 * haze.max()
    # The cost reaches the core: a cheaper haze takes more of the glow.
    cheap = korvex.reconstruct_acquisition(frames, **common, out_of_focus=True,
                                           out_of_focus_cost=0.9)
    assert cheap.out_of_focus_share > on.out_of_focus_share + 0.01
    # The defocus reaches the pipeline: it refuses one it cannot model without the optics.
    with pytest.raises(ValueError, match=r"defocus \(1.5\) needs na and wavelength"):
        korvex.reconstruct_acquisition(frames, otf=korvex.otf(frames.shape[1:], 1.2, 0.52, 0.1),
                                       pattern=pattern, out_of_focus=True, defocus=1.5)


def test_series_reports_each_time_points_share(hazy):
    frames, pattern = hazy
    series = np.stack([frames, frames * np.float32(0.5)])
    common = dict(**OPTICS, iterations=40, quiet=True)
    off = korvex.reconstruct_series(series, **common, out_of_focus=False)
    assert off.out_of_focus_share.shape == (2,) and not off.out_of_focus_share.any()
    on = korvex.reconstruct_series(series, **common, out_of_focus=True)
    single = korvex.reconstruct_acquisition(series[1], **OPTICS, iterations=40,
                                            pattern=on.patterns[0], out_of_focus=True)
    assert on.out_of_focus_share[1] == pytest.approx(single.out_of_focus_share, abs=1e-4)
    assert (on.out_of_focus_share > 0).all()
    dask = pytest.importorskip("dask.array")
    lazy = korvex.reconstruct_series(dask.from_array(series, chunks=(1, 9, 48, 56)), **common,
                                     out_of_focus=True)
    assert lazy.out_of_focus_share is None


def test_thick_sample_carries_its_haze():
    """The napari sample for thick specimens holds haze that the model finds, and a thin
    specimen none."""
    from korvex._napari import _sample

    shares = []
    for sample in (_sample.simulated_thick, _sample.simulated_acquisition):
        data, options, _ = sample(size=64)[0]
        optics = {name: options["metadata"]["korvex"][name]
                  for name in ("na", "wavelength", "pixel_size", "background")}
        shares.append(korvex.reconstruct_acquisition(data, **optics,
                                                     out_of_focus=True).out_of_focus_share)
    assert 0 < shares[0] < 1 and shares[1] < 0.25 * shares[0]


def test_estimate_measures_the_depth_as_the_reconstruction_does(hazy):
    # Pipeline.estimate and a series' one estimate give the pattern the reconstruction would
    # estimate: with the model on, the in-focus light's depth, beyond the haze's reach.
    frames, _ = hazy
    depths = {}
    for on in (False, True):
        with korvex.Pipeline(frames.shape[1:], len(frames), **OPTICS, iterations=1,
                             out_of_focus=on) as pipeline:
            estimated = pipeline.estimate(frames)
            assert estimated == pipeline.reconstruct(frames).pattern
            depths[on] = estimated.modulation
    # The glow lowers the depth of all the light (0.85 when written); the stripes' is 0.9.
    assert (depths[False] < 0.88).all()
    assert depths[True] == pytest.approx(np.full(3, 0.9), abs=0.01)
    # A defocus the estimate cannot model without the optics is refused as reconstruct does.
    with korvex.Pipeline(frames.shape[1:], len(frames), defocus=1.5,
                         otf=korvex.otf(frames.shape[1:], 1.2, 0.52, 0.1)) as pipeline:
        with pytest.raises(ValueError, match=r"defocus \(1.5\) needs na and wavelength"):
            pipeline.estimate(frames)
