"""The API's shared conventions: Pattern written by hand, masks without guessing, the result
types' common fields, the kept Pipeline, and threads that never stall each other."""

import threading
import time

import numpy as np
import pytest

import korvex
from korvex import series

STEPS = np.array([0, 2, 4]) * np.pi / 3
OPTICS = dict(na=1.2, wavelength=0.52, pixel_size=0.065)


def test_pattern_written_by_hand():
    pattern = korvex.Pattern(angle=[0.3, 1.4, 2.5], period=5.0, phase=np.tile(STEPS, 3))
    assert pattern.orientations == 3 and pattern.phases == 3
    np.testing.assert_array_equal(pattern.period, [5.0] * 3)  # broadcast per orientation
    np.testing.assert_array_equal(pattern.modulation, [1.0] * 3)
    np.testing.assert_array_equal(pattern.modulation2, [0.0] * 3)
    assert np.isnan(pattern.mcnr).all() and not pattern.low_modulation.any()
    same = korvex.Pattern(angle=[0.3, 1.4, 2.5], period=[5.0] * 3, phase=np.tile(STEPS, 3),
                          modulation=1)
    assert pattern == same  # NaN MCNR equal to NaN
    assert pattern != korvex.Pattern(angle=[0.3, 1.4, 2.5], period=5.1,
                                     phase=np.tile(STEPS, 3))
    with pytest.raises(ValueError):  # frozen values
        pattern.period[0] = 3.0
    with pytest.raises(ValueError, match="one phase per frame.*np.tile"):
        korvex.Pattern(angle=[0.3, 1.4, 2.5], period=5.0, phase=STEPS)
    with pytest.raises(ValueError, match="modulation must be a scalar or hold one value per "
                                         "orientation"):
        korvex.Pattern(angle=[0.3, 1.4, 2.5], period=5.0, phase=np.tile(STEPS, 3),
                       modulation=[1, 1])


def test_masks_take_a_pattern_or_explicit_phases(stack):
    _, masks, otf, _ = stack
    pattern = korvex.Pattern(angle=[0.3, 1.4, 2.5], period=5.0, phase=np.tile(STEPS, 3))
    np.testing.assert_array_equal(korvex.masks(otf.shape, pattern), masks)
    np.testing.assert_array_equal(pattern.masks(otf.shape), masks)
    # Nine per-frame phases with a scalar period are nine masks, not 27.
    per_frame = korvex.masks(otf.shape, period=5.0, angles=[0.3, 1.4, 2.5],
                             phases=np.tile(STEPS, 3))
    np.testing.assert_array_equal(per_frame, masks)
    assert korvex.masks(otf.shape, period=5.0, steps=np.arange(5)).shape == (15, *otf.shape)
    with pytest.raises(ValueError, match="not both"):
        korvex.masks(otf.shape, period=5.0, phases=np.tile(STEPS, 3), steps=STEPS)
    with pytest.raises(ValueError, match="Pattern or its parts"):
        korvex.masks(otf.shape, pattern, period=5.0)
    with pytest.raises(TypeError, match="period="):
        korvex.masks(otf.shape, 5.0)


def test_every_result_shares_image_iterations_seconds_and_pattern(stack):
    _, masks, otf, frames = stack
    pattern = korvex.estimate_patterns(frames, otf)
    assert isinstance(pattern, korvex.Pattern) and (pattern.mcnr > 3).all()
    results = [
        korvex.reconstruct(frames, pattern.masks(otf.shape), otf, iterations=4),
        korvex.reconstruct_acquisition(frames, iterations=4, **OPTICS),
        korvex.reconstruct_series(frames[np.newaxis], iterations=4, quiet=True, **OPTICS),
    ]
    for result in results:
        assert result.iterations == 4 or list(result.iterations) == [4]
        assert result.seconds["total"] >= max(v for k, v in result.seconds.items()
                                              if k != "total") > 0
    assert results[0].pattern is None
    assert results[1].pattern == results[2].pattern
    assert results[1].estimated and results[1].pixel_size == pytest.approx(0.0325)
    np.testing.assert_array_equal(results[1].image, results[2].image[0])


def test_pipeline_keeps_its_engine_and_refuses_what_does_not_fit(stack):
    _, _, _, frames = stack
    fresh = korvex.reconstruct_acquisition(frames, iterations=4, **OPTICS)
    with korvex.Pipeline(frames.shape[1:], 9, iterations=4, **OPTICS) as pipeline:
        everything = ("estimator", "upsampler", "otf", "engine")
        first = pipeline.reconstruct(frames)
        assert pipeline._built == everything
        second = pipeline.reconstruct(frames)
        assert pipeline._built == ()  # counted, not timed: the kept state served it all
        assert pipeline.estimate(frames) == first.pattern
        given = pipeline.reconstruct(frames, first.pattern)
        assert not given.estimated and given.pattern == first.pattern and pipeline._built == ()
        pipeline.reconstruct(frames.astype(np.float32))  # another precision: built anew
        assert pipeline._built == everything
        with pytest.raises(ValueError, match=r"must be \(9, 37, 50\) for this Pipeline, got "
                                             r"\(9, 50, 37\)"):
            pipeline.reconstruct(frames.transpose(0, 2, 1))
        with pytest.raises(TypeError, match="korvex.Pattern"):
            pipeline.reconstruct(frames, pattern={"angle": [0]})
    np.testing.assert_array_equal(first.image, fresh.image)
    np.testing.assert_array_equal(second.image, fresh.image)
    with pytest.raises(ValueError, match="closed"):
        pipeline.reconstruct(frames)
    with pytest.raises(ValueError, match="angles x phases"):
        korvex.Pipeline(frames.shape[1:], 8, **OPTICS)


def test_threads_share_a_pipeline_and_match_serial_results(stack):
    _, _, _, frames = stack
    scaled = [frames * s for s in (1.0, 1.5, 2.0, 2.5)]
    with korvex.Pipeline(frames.shape[1:], 9, iterations=3, **OPTICS) as pipeline:
        serial = [pipeline.reconstruct(f).image for f in scaled]
        parallel = [None] * 4

        def run(i):
            parallel[i] = pipeline.reconstruct(scaled[i]).image

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    for a, b in zip(serial, parallel):
        np.testing.assert_array_equal(a, b)


def test_dropping_an_object_while_another_thread_reconstructs_stalls_no_thread(stack):
    _, masks, otf, frames = stack
    size = (128, 128)
    big_frames = np.tile(frames, (1, 4, 3))[:, :size[0], :size[1]].astype(np.float32)
    big_masks = korvex.masks(size, period=5.0).astype(np.float32)
    big_otf = korvex.otf(size, 1.2, 0.52, 0.065).astype(np.float32)
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    # Iterations for a reconstruction of about 2 s, from the time of 20 (FFTW planned first).
    with korvex.Reconstructor(size, 9, iterations=20) as r:
        r.reconstruct(big_frames, big_masks, big_otf)
        start = time.perf_counter()
        r.reconstruct(big_frames, big_masks, big_otf)
        iterations = int(np.clip(40 / (time.perf_counter() - start), 50, 50000))
    dropped = korvex._core.EngineFloat32(37, 50, 9, 2)  # destroyed while the other runs
    with korvex.Reconstructor(size, 9, iterations=iterations) as r:
        worker = threading.Thread(target=r.reconstruct, args=(big_frames, big_masks, big_otf))
        ticker = threading.Thread(target=tick)
        ticker.start()
        worker.start()
        time.sleep(0.3)  # the worker holds the core lock
        start = time.perf_counter()
        del dropped  # waits for the lock: with the GIL released, the ticker goes on
        waited = time.perf_counter() - start
        end = time.perf_counter()
        worker.join()
        stop.set()
        ticker.join()
    during = np.array([t for t in ticks if start <= t <= end])
    gaps = np.diff(np.concatenate([[start], during, [end]]))
    assert waited > 0.5, "the reconstruction ended before the object was dropped"
    assert gaps.max() < waited / 3


def test_series_cache_closes_an_evicted_engine_only_when_its_last_user_is_done(stack):
    _, masks, otf, frames = stack

    def job(iterations):
        return series._Job(9, 37, 50, "<f8", iterations, (0.0, 0.01, 0.05), None, False)

    held = threading.Event()
    release = threading.Event()
    seen = {}

    def hold():
        with series._leased(job(2)) as reconstructor:
            seen["kept"] = reconstructor
            held.set()
            release.wait(60)
            seen["result"] = reconstructor.reconstruct(frames, masks, otf)

    user = threading.Thread(target=hold)
    user.start()
    held.wait(60)
    for iterations in (3, 4):  # two other geometries evict the held one
        with series._leased(job(iterations)):
            pass
    assert job(2).key not in series._cache
    release.set()
    user.join()
    assert seen["result"].iterations == 2  # still usable while held
    with pytest.raises(ValueError, match="closed"):  # closed once released
        seen["kept"].reconstruct(frames, masks, otf)


def test_import_korvex_stays_light():
    import subprocess
    import sys

    heavy = ("napari", "magicgui", "qtpy", "PyQt5", "dask", "tifffile")
    code = "import sys, korvex; print(' '.join(sys.modules))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    loaded = {name.split(".")[0] for name in done.stdout.split()}
    assert loaded.isdisjoint(heavy), loaded & set(heavy)
