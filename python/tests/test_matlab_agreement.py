"""The Python path against the MATLAB path (Octave, the same KorvexLib) on odd, non-square
data: what the binding's transposition could get wrong shows up here."""

import numpy as np
import pytest

import korvex


@pytest.mark.parametrize("dtype, tolerance", [(np.float32, 2e-4), (np.float64, 1e-10)])
def test_reconstruct_agrees_with_the_mex(octave, stack, dtype, tolerance):
    _, masks, otf, frames = stack
    frames, masks, otf = (a.astype(dtype) for a in (frames, masks, otf))
    result = korvex.reconstruct(frames, masks, otf, iterations=25, smoothness=0.01, step=0.05)
    image, iterations, step = octave(
        "[image, iterations, step] = KorvexCUDA(frames, masks, otf, 25, 0, 0.01, 0.05);",
        {"frames": frames, "masks": masks, "otf": otf}, ["image", "iterations", "step"])
    assert result.image.dtype == dtype and result.image.shape == otf.shape
    assert result.iterations == int(iterations.item()) + 1  # a count, the MEX an index
    scale = np.abs(image).max()
    assert np.abs(result.image - image).max() <= tolerance * scale
    assert result.step == pytest.approx(step.item(), rel=100 * tolerance)


def test_helpers_agree_with_the_m_files(octave, stack):
    truth, _, _, _ = stack
    angles, phases = [0.2, 1.9], [0.1, 2.0, 4.1, 0.4, 2.3, 4.5]
    otf = korvex.otf((37, 50), 1.1, 0.5, 0.06)
    masks = korvex.masks((37, 50), period=[4.5, 6.0], angles=angles, phases=phases,
                         modulation=[0.8, 0.6])
    frames = korvex.simulate(truth, masks, otf)
    ref_otf, ref_masks, ref_frames = octave(
        "ref_otf = korvex_otf(37, 50, 1.1, 0.5, 0.06);"
        "ref_masks = korvex_masks(37, 50, [4.5 6], [0.2 1.9], [0.1 2 4.1 0.4 2.3 4.5], [0.8 0.6]);"
        "ref_frames = korvex_simulate(truth, ref_masks, ref_otf, 'photons', Inf);",
        {"truth": truth}, ["ref_otf", "ref_masks", "ref_frames"])
    np.testing.assert_allclose(otf, ref_otf, atol=1e-14)
    np.testing.assert_allclose(masks, ref_masks, atol=1e-12)
    np.testing.assert_allclose(frames, ref_frames, atol=1e-12 * np.abs(ref_frames).max())
    steps = korvex.masks((37, 50), period=5.0, angles=angles, steps=[0, 2, 4])
    assert steps.shape == (6, 37, 50)
    np.testing.assert_allclose(steps[3], korvex.masks((37, 50), period=5.0, angles=[1.9],
                                                           steps=[0.0, 2, 4])[0])


def test_estimated_pattern_agrees_with_the_mex(octave):
    # Angles on both sides of pi/2: the transposed view turns one of them by pi.
    shape, angles = (61, 74), [0.35, 1.4, 2.6]
    phases = [0.3, 2.4, 4.5, 1.0, 3.1, 5.2, 0.7, 2.8, 4.9]
    truth = np.random.default_rng(3).random(shape) ** 4
    otf = korvex.otf(shape, 1.2, 0.52, 0.065)
    masks = korvex.masks(shape, period=[4.2, 4.4, 4.3], angles=angles, phases=phases,
                         modulation=[0.9, 0.8, 0.85])
    frames = korvex.simulate(truth, masks, otf, photons=2000, seed=1)
    pattern = korvex.estimate_patterns(frames, otf)
    angle, phase, period = octave(
        "[m, p] = korvex_estimate_patterns(frames, otf); angle = p.angle; phase = p.phase;"
        "period = p.period;", {"frames": frames, "otf": otf}, ["angle", "phase", "period"])
    np.testing.assert_allclose(pattern.angle, angle.ravel(), atol=1e-6)
    np.testing.assert_allclose(pattern.period, period.ravel(), rtol=1e-6)
    np.testing.assert_allclose(np.angle(np.exp(1j * (pattern.phase - phase.ravel()))), 0,
                               atol=1e-5)
    np.testing.assert_allclose(pattern.angle, angles, atol=0.01)
    np.testing.assert_allclose(np.angle(np.exp(1j * (pattern.phase - phases))), 0, atol=0.1)


# Defaults on both sides, an explicit sparsity, and KorvexCUDA's own iteration.
@pytest.mark.parametrize("options, matlab", [
    ({}, ""),
    (dict(sparsity=0.6), ", 'sparsity', 0.6"),
    (dict(nonnegative=False, data_term="masked"), ", 'nonnegative', false, 'dataTerm', 'masked'")])
def test_acquisition_agrees_with_the_mex(octave, stack, options, matlab):
    _, _, _, frames = stack
    result = korvex.reconstruct_acquisition(frames, na=1.2, wavelength=0.52, pixel_size=0.065,
                                            upsample=2, iterations=10, **options)
    image, = octave("image = korvex_reconstruct(frames, 'na', 1.2, 'wavelength', 0.52, "
                    f"'pixelSize', 0.065, 'upsample', 2, 'iterations', 10{matlab});",
                    {"frames": frames}, ["image"])
    nonnegative = options.get("nonnegative", True)
    assert result.image.shape == (74, 100) == image.shape
    assert result.pixel_size == pytest.approx(0.0325)
    assert np.abs(result.image - image).max() <= 1e-6 * np.abs(image).max()
    if nonnegative:
        assert result.image.min() >= 0
