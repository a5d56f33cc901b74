"""reconstruct_series: numpy and dask give the images of a loop over reconstruct, bit for bit."""

import os
import subprocess
import sys

import numpy as np
import pytest

import korvex

da = pytest.importorskip("dask.array")
pytest.importorskip("dask.distributed")


@pytest.fixture(scope="module")
def series(stack):
    _, masks, otf, frames = stack
    rng = np.random.default_rng(2)
    return np.stack([frames * s for s in rng.uniform(0.5, 2, 4)]), masks, otf


def loop(series, masks, otf):
    return np.stack([korvex.reconstruct(f, masks, otf, iterations=5).image for f in series])


def test_numpy_series_equals_the_loop(series):
    frames, masks, otf = series
    series = korvex.reconstruct_series(frames, masks, otf, iterations=5, quiet=True)
    np.testing.assert_array_equal(series.image, loop(frames, masks, otf))
    np.testing.assert_array_equal(series.iterations, [5] * 4)
    single = korvex.reconstruct_series(frames.astype(np.float32), masks, otf, iterations=5,
                                       quiet=True).image
    assert single.dtype == np.float32 and single.shape == (4, 37, 50)
    with pytest.raises(ValueError, match=r"\(T, F, H, W\)"):
        korvex.reconstruct_series(frames[0], masks, otf)


CLUSTER_RUN = """
import numpy as np, dask.array as da
from dask.distributed import Client, LocalCluster
import korvex
data = np.load({path!r})
frames, masks, otf = data["frames"], data["masks"], data["otf"]
lazy = korvex.reconstruct_series(da.from_array(frames, chunks=(1, *frames.shape[1:])), masks,
                                 otf, iterations=5).image
assert isinstance(lazy, da.Array) and lazy.shape == (len(frames), *otf.shape)
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                  dashboard_address=None) as cluster, Client(cluster):
    images = lazy.compute()
loop = np.stack([korvex.reconstruct(f, masks, otf, iterations=5).image for f in frames])
print("identical" if np.array_equal(images, loop) else "differ", np.abs(images - loop).max())
"""


def test_dask_series_on_a_cluster_of_two_processes(series, tmp_path):
    # In a fresh process whose workers inherit KORVEX_FFTW_PLANNER=estimate: measured FFTW
    # plans differ between processes (and round differently), estimated ones do not.
    frames, masks, otf = series
    path = tmp_path / "series.npz"
    np.savez(path, frames=frames, masks=masks, otf=otf)
    env = dict(os.environ, KORVEX_FFTW_PLANNER="estimate")
    done = subprocess.run([sys.executable, "-c", CLUSTER_RUN.format(path=str(path))], env=env,
                          capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("identical"), done.stdout


def test_acquisition_series_estimates_once_and_runs_on_threads(series):
    frames, _, _ = series
    optics = dict(na=1.2, wavelength=0.52, pixel_size=0.065, iterations=4, quiet=True)
    eager = korvex.reconstruct_series(frames[:2], **optics)
    lazy = korvex.reconstruct_series(da.from_array(frames[:2], chunks=(1, 9, 37, 50)), **optics)
    assert eager.image.shape == lazy.image.shape == (2, 74, 100)
    assert eager.pixel_size == lazy.pixel_size == pytest.approx(0.0325)
    assert eager.patterns[0] == eager.patterns[1] == lazy.patterns[1]
    np.testing.assert_array_equal(lazy.mcnr.compute(), eager.mcnr)
    assert eager.mcnr.shape == (2, 3) and list(eager.iterations) == [4, 4]
    # The lazy series hands time point 0 the estimate as a given pattern: same to rounding.
    np.testing.assert_allclose(lazy.image.compute(scheduler="threads"), eager.image, rtol=0,
                               atol=1e-9 * np.abs(eager.image).max())
    each = korvex.reconstruct_series(frames[:2], estimate="each", **optics)
    np.testing.assert_array_equal(each.image[0], eager.image[0])
    lazy_each = korvex.reconstruct_series(da.from_array(frames[:2], chunks=(1, 9, 37, 50)),
                                          estimate="each", **optics)
    assert list(lazy_each.patterns) == list(each.patterns)
    np.testing.assert_allclose(lazy_each.image.compute(), each.image, rtol=0,
                               atol=1e-9 * np.abs(each.image).max())


def test_a_lazy_series_reconstructs_each_time_point_once(series, monkeypatch):
    from korvex import acquisition

    frames, _, _ = series
    calls = []
    real = acquisition.Pipeline._reconstruct
    monkeypatch.setattr(acquisition.Pipeline, "_reconstruct",
                        lambda self, *a, **k: calls.append(1) or real(self, *a, **k))
    lazy = korvex.reconstruct_series(da.from_array(frames[:3], chunks=(1, 9, 37, 50)), na=1.2,
                                     wavelength=0.52, pixel_size=0.065, iterations=2)
    lazy.patterns[0]  # estimation only
    assert calls == []
    lazy.image.compute(scheduler="sync")
    assert len(calls) == 3


@pytest.mark.skipif(korvex.backend != "host", reason="thread counts are the host backend's")
def test_a_workers_tasks_run_on_its_thread_count_and_leave_others_alone(series, monkeypatch):
    from dask.distributed import Client, LocalCluster

    from korvex import _core, acquisition

    frames, _, _ = series
    default = _core.threads()
    workers = default + 1  # differs from what the process would use by itself
    seen = []
    real = acquisition.Pipeline._pipeline
    monkeypatch.setattr(acquisition.Pipeline, "_pipeline",
                        lambda self, dtype: seen.append(_core.threads()) or real(self, dtype))
    lazy = korvex.reconstruct_series(da.from_array(frames[:2], chunks=(1, 9, 37, 50)), na=1.2,
                                     wavelength=0.52, pixel_size=0.065, iterations=2)
    with LocalCluster(n_workers=1, threads_per_worker=workers, processes=False,
                      dashboard_address=None) as cluster, Client(cluster):
        lazy.image.compute()
    assert seen == [workers, workers]
    lazy.image.compute(scheduler="sync")  # outside a worker: the caller's count
    assert seen[2:] == [default, default] and _core.threads() == default
    with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
        _core.set_threads(0)
