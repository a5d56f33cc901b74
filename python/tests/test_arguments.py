"""Bad arguments: each gets its exception, nothing is left behind, the next call works; and
the right arrays reach the core without a copy."""

import tracemalloc

import numpy as np
import pytest

import korvex


def good(stack, dtype=np.float64):
    _, masks, otf, frames = stack
    return frames.astype(dtype), masks.astype(dtype), otf.astype(dtype)


def bad_calls(frames, masks, otf):
    nan = frames.copy()
    nan[2, 5, 7] = np.nan
    inf = otf.copy()
    inf[0, 0] = np.inf
    return [
        (TypeError, "complex", (frames.astype(complex), masks, otf), {}),
        (TypeError, "numeric", (frames.astype(str), masks, otf), {}),
        (ValueError, r"frames must be \(F, H, W\), got \(37, 50\)", (frames[0], masks, otf), {}),
        (ValueError, "masks must be", (frames, masks[:8], otf), {}),
        (ValueError, "otf must be", (frames, masks, otf[:, :49]), {}),
        (ValueError, "otf must be", (frames, masks, otf.T), {}),
        (ValueError, "frames holds NaN or Inf", (nan, masks, otf), {}),
        (ValueError, "otf holds NaN or Inf", (frames, masks, inf), {}),
        (ValueError, "empty", (frames[:, :0], masks, otf), {}),
        (ValueError, "iterations", (frames, masks, otf), {"iterations": 0}),
        (TypeError, "iterations", (frames, masks, otf), {"iterations": 2.5}),
        (ValueError, "iterations must be at most 4294967295", (frames, masks, otf),
         {"iterations": 2**32}),
        (ValueError, "step", (frames, masks, otf), {"step": -1.0}),
        (ValueError, "smoothness", (frames, masks, otf), {"smoothness": float("nan")}),
    ]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_each_bad_call_raises_and_the_next_call_works(stack, dtype):
    frames, masks, otf = good(stack, dtype)
    expected = korvex.reconstruct(frames, masks, otf, iterations=5).image
    for kind, message, args, kwargs in bad_calls(frames, masks, otf):
        with pytest.raises(kind, match=message):
            korvex.reconstruct(*args, iterations=kwargs.pop("iterations", 5), **kwargs)
    np.testing.assert_array_equal(korvex.reconstruct(frames, masks, otf, iterations=5).image,
                                  expected)


def test_engine_failure_is_a_korvex_error_and_the_reconstructor_recovers(stack):
    frames, masks, otf = good(stack)
    assert issubclass(korvex.KorvexError, RuntimeError)
    with pytest.raises(korvex.KorvexError) as failure:  # a geometry the engine refuses
        korvex._core.EngineFloat64(1 << 16, 1 << 16, 4096, 10)
    assert len(str(failure.value)) > 20  # the engine's message, whole
    with korvex.Reconstructor(otf.shape, 9, 5) as r:
        first = r.reconstruct(frames, masks, otf)
        with pytest.raises(ValueError):
            r.reconstruct(frames[:8], masks, otf)
        second = r.reconstruct(frames, masks, otf)
        single = r.reconstruct(frames.astype(np.float32), masks, otf)  # precision switch
    np.testing.assert_array_equal(first.image, second.image)
    assert single.image.dtype == np.float32
    with pytest.raises(ValueError, match="closed"):
        r.reconstruct(frames, masks, otf)


def test_integer_frames_run_in_single_precision_and_inputs_stay_untouched(stack):
    frames, masks, otf = good(stack)
    counts = np.round(frames / frames.max() * 4000).astype(np.uint16)
    kept = counts.copy()
    result = korvex.reconstruct(counts, masks, otf, iterations=5)
    assert result.image.dtype == np.float32
    np.testing.assert_array_equal(counts, kept)


def test_c_contiguous_float32_reaches_the_core_without_a_copy(stack):
    frames, masks, otf = good(stack, np.float32)
    with korvex.Reconstructor(otf.shape, 9, 3) as r:
        r.reconstruct(frames, masks, otf)  # engine built outside the measurement
        out = np.empty(otf.shape, np.float32)
        tracemalloc.start()
        r.reconstruct(frames, masks, otf, out=out)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert peak < frames.nbytes / 4  # a copy of the frames would show in full
        tracemalloc.start()
        r.reconstruct(np.asfortranarray(frames), masks, otf, out=out)
        _, copied = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert copied >= frames.nbytes  # the measurement does see a copy


def test_helper_arguments(stack):
    truth, masks, otf, _ = stack
    with pytest.raises(ValueError, match="no passband"):
        korvex.otf((8, 8), 0.01, 0.5, 0.01)
    with pytest.raises(ValueError, match="period"):
        korvex.masks((16, 16), period=1.5)
    with pytest.raises(ValueError, match="one value per orientation"):
        korvex.masks((16, 16), period=[4.0, 5.0], angles=[0, 1, 2])
    with pytest.raises(ValueError, match="like truth"):
        korvex.simulate(truth, masks[:, 1:], otf)
    with pytest.raises(ValueError, match="angles x phases"):
        korvex.estimate_patterns(np.ones((8, 37, 50)), otf)
    with pytest.raises(ValueError, match="na, wavelength and pixel_size"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), na=1.2)
    with pytest.raises(ValueError, match="na"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), na=1.6, wavelength=0.52,
                                       pixel_size=0.065)
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065)
    with pytest.raises(ValueError, match="data_term must be 'frames' or 'masked'"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), data_term="raw", **optics)
    with pytest.raises(TypeError, match="nonnegative must be True or False"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), nonnegative=1, **optics)
    with pytest.raises(ValueError, match="sparsity needs nonnegative"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), nonnegative=False, sparsity=0.5,
                                       **optics)
    with pytest.raises(ValueError, match="sparsity must be a non-negative"):
        korvex.reconstruct_acquisition(np.ones((9, 37, 50)), sparsity=-1, **optics)
    noisy = korvex.simulate(truth, masks, otf, photons=100, background=2, seed=4)
    np.testing.assert_array_equal(noisy, korvex.simulate(truth, masks, otf, photons=100,
                                                         background=2, seed=4))
    assert noisy.min() >= 0 and np.all(noisy == np.round(noisy))


def test_faint_stripes_warn_of_low_modulation(stack):
    _, _, otf, _ = stack
    truth = np.random.default_rng(3).random(otf.shape) ** 4
    masks = korvex.masks(otf.shape, period=5.0, angles=[0.3, 1.4, 2.5], modulation=0.02)
    faint = korvex.simulate(truth, masks, otf, photons=100, seed=2)
    with pytest.warns(korvex.LowModulationWarning, match="MCNR"):
        pattern = korvex.estimate_patterns(faint, otf)
    assert np.isfinite(pattern.masks(otf.shape)).all() and pattern.low_modulation.any()
