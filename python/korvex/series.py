"""Time series: (T, F, H, W) stacks, from numpy in one process or from dask anywhere.

A numpy series runs through one engine, writing each time point into the output as it goes,
so memory beyond the output stays that of one time point. A dask series becomes a lazy dask
array mapped over time chunks; each worker process keeps one engine per geometry (a small
cache keyed by shape, dtype and settings), so the same graph runs on threads, processes or a
dask.distributed cluster.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from dataclasses import dataclass

import numpy as np

from . import _arrays
from .acquisition import DEFAULTS, IMMERSION, Acquisition, AcquisitionReconstructor
from .engine import Reconstructor, settings
from .patterns import Pattern


@dataclass(frozen=True)
class _Job:
    """What every time point shares; small and picklable (masks and OTF travel apart)."""

    frames: int
    height: int
    width: int
    dtype: str
    iterations: int
    values: tuple  # threshold, smoothness, step
    acquisition: Acquisition | None  # None: camera grid with given masks and OTF
    estimate_each: bool

    @property
    def key(self):
        return (self.frames, self.height, self.width, self.dtype, self.iterations,
                self.acquisition is None)


_CACHE_SIZE = 2
_cache: "OrderedDict[tuple, tuple[threading.Lock, object]]" = OrderedDict()
_cache_lock = threading.Lock()


def _kept(job: _Job):
    """This process's engine for the job's geometry, with the lock that guards its use."""
    with _cache_lock:
        if job.key in _cache:
            _cache.move_to_end(job.key)
            return _cache[job.key]
        while len(_cache) >= _CACHE_SIZE:
            lock, evicted = _cache.popitem(last=False)[1]
            with lock:
                evicted.close()
        if job.acquisition is None:
            kept = Reconstructor((job.height, job.width), job.frames, job.iterations)
        else:
            kept = AcquisitionReconstructor()
        _cache[job.key] = (threading.Lock(), kept)
        return _cache[job.key]


def _camera_block(block, masks, otf, job: _Job):
    lock, reconstructor = _kept(job)
    out = np.empty((block.shape[0], job.height, job.width), job.dtype)
    threshold, smoothness, step = job.values
    with lock:
        for t in range(block.shape[0]):
            reconstructor.reconstruct(block[t], masks, otf, threshold=threshold,
                                      smoothness=smoothness, step=step, out=out[t])
    return out


def _acquisition_block(block, job: _Job, pattern=None):
    lock, reconstructor = _kept(job)
    with lock:
        images = [reconstructor.reconstruct(block[t], job.acquisition, pattern).image
                  for t in range(block.shape[0])]
    return np.stack(images)


def _first_pattern(first, job: _Job) -> Pattern:
    lock, reconstructor = _kept(job)
    with lock:
        return reconstructor.reconstruct(np.asarray(first), job.acquisition).pattern


def _is_dask(value) -> bool:
    return type(value).__module__.split(".")[0] == "dask" and hasattr(value, "map_blocks")


def reconstruct_series(frames, masks=None, otf=None, *, na=None, wavelength=None,
                       pixel_size=None, immersion=IMMERSION, angles=3, phases=3,
                       upsample=DEFAULTS["upsample"],
                       iterations=None, threshold=0.0, smoothness=None, step=None,
                       nonnegative=None, data_term=None, sparsity=None, orders=None,
                       background=None, gain=None, estimate="once", quiet=False):
    """Reconstructs every time point of a (T, F, H, W) series.

    Given `masks` (F, H, W) and a centred `otf` (H, W), it reconstructs on the camera grid:
    the output is (T, H, W). Given optics (na, wavelength, pixel_size; or a measured otf
    without masks), it runs the acquisition pipeline on each time point: the output is
    (T, upsample H, upsample W), the pattern estimated on the first time point
    (estimate="once") or on each (estimate="each").

    A numpy series returns a numpy array, with a progress bar on stderr unless quiet. A dask
    series returns a lazy dask array over the same time chunks; compute it on any scheduler.
    float64 series run in double precision, others in single.

    Settings left as None take the defaults of the path: 40 iterations, smoothness 0.01 and
    step 0.05 with masks (the engine as KorvexCUDA runs it); the acquisition pipeline's
    measured defaults with optics. nonnegative, data_term, sparsity, orders ('auto', 1, 2),
    background (camera offset, a number or an (H, W) image, subtracted first) and gain
    (counts per photon) belong to the pipeline (see reconstruct_acquisition)."""
    lazy = _is_dask(frames)
    if not lazy:
        frames = np.asarray(frames)
    if frames.ndim != 4:
        raise ValueError(f"frames must be (T, F, H, W), got {_arrays.shape_text(frames.shape)}")
    if np.dtype(frames.dtype).kind == "c":
        raise TypeError(f"frames must be real, got complex values ({frames.dtype})")
    if np.dtype(frames.dtype).kind not in "fiu":
        raise TypeError(f"frames must be a real numeric array, got {frames.dtype}")
    if estimate not in ("once", "each"):
        raise ValueError(f"estimate must be 'once' or 'each', got {estimate!r}")
    dtype = np.dtype(np.float64 if frames.dtype == np.float64 else np.float32)
    count, height, width = (int(n) for n in frames.shape[1:])
    acquisition = None
    if masks is not None:
        if otf is None:
            raise ValueError("masks need an otf")
        pipeline_only = dict(nonnegative=nonnegative, data_term=data_term, sparsity=sparsity,
                             orders=orders, background=background, gain=gain)
        if any(value is not None for value in pipeline_only.values()):
            raise ValueError("nonnegative, data_term, sparsity, orders, background and gain "
                             "apply to the acquisition pipeline (optics), not to given masks")
        iterations = 40 if iterations is None else iterations
        smoothness = 0.01 if smoothness is None else smoothness
        step = 0.05 if step is None else step
        masks = _arrays.as_real("masks", masks, 3, "(F, H, W)", dtype)
        otf = _arrays.as_real("otf", otf, 2, "(H, W)", dtype)
        if masks.shape != (count, height, width) or otf.shape != (height, width):
            raise ValueError(f"masks must be {_arrays.shape_text(frames.shape[1:])} and otf "
                             f"({height}, {width}), got {_arrays.shape_text(masks.shape)} and "
                             f"{_arrays.shape_text(otf.shape)}")
    else:
        given = dict(iterations=iterations, smoothness=smoothness, step=step,
                     nonnegative=nonnegative, data_term=data_term, sparsity=sparsity,
                     orders=orders, background=background, gain=gain)
        acquisition = Acquisition.checked(
            na=na, wavelength=wavelength, pixel_size=pixel_size, immersion=immersion,
            angles=angles, phases=phases, upsample=upsample, threshold=threshold, otf=otf,
            **{name: value for name, value in given.items() if value is not None})
        iterations, smoothness, step = (acquisition.iterations, acquisition.smoothness,
                                        acquisition.step)
        if count != acquisition.angles * acquisition.phases:
            raise ValueError(f"frames holds {count} frames a time point, not angles x phases "
                             f"= {acquisition.angles} x {acquisition.phases}")
    job = _Job(count, height, width, dtype.str, _arrays.count("iterations", iterations),
               settings(threshold, smoothness, step), acquisition, estimate == "each")
    if lazy:
        return _lazy_series(frames, masks, otf, job)
    return _numpy_series(frames, masks, otf, job, quiet)


def _numpy_series(frames, masks, otf, job: _Job, quiet: bool) -> np.ndarray:
    from tqdm.auto import tqdm

    steps = len(frames)
    with tqdm(total=steps, disable=quiet, unit="time point", desc="korvex") as progress:
        if job.acquisition is None:
            out = np.empty((steps, job.height, job.width), job.dtype)
            threshold, smoothness, step = job.values
            with Reconstructor((job.height, job.width), job.frames, job.iterations) as r:
                for t in range(steps):
                    r.reconstruct(frames[t], masks, otf, threshold=threshold,
                                  smoothness=smoothness, step=step, out=out[t])
                    progress.update()
            return out
        with AcquisitionReconstructor() as r:
            first = r.reconstruct(frames[0], job.acquisition)
            out = np.empty((steps, *first.image.shape), first.image.dtype)
            out[0] = first.image
            progress.update()
            pattern = None if job.estimate_each else first.pattern
            for t in range(1, steps):
                out[t] = r.reconstruct(frames[t], job.acquisition, pattern,
                                       warn=job.estimate_each).image
                progress.update()
        return out


def _lazy_series(frames, masks, otf, job: _Job):
    import dask
    import dask.array as da

    frames = frames.rechunk({1: -1, 2: -1, 3: -1})
    meta = np.empty((0, 0, 0), job.dtype)
    if job.acquisition is None:
        return da.map_blocks(
            _camera_block, frames, da.from_array(masks, chunks=masks.shape),
            da.from_array(otf, chunks=otf.shape), job=job, drop_axis=1,
            chunks=(frames.chunks[0], (job.height,), (job.width,)), dtype=job.dtype, meta=meta)
    factor = job.acquisition.upsample
    kwargs = {}
    if not job.estimate_each:
        kwargs["pattern"] = dask.delayed(_first_pattern, pure=True)(frames[0], job)
    return da.map_blocks(
        _acquisition_block, frames, job=job, drop_axis=1,
        chunks=(frames.chunks[0], (factor * job.height,), (factor * job.width,)),
        dtype=job.dtype, meta=meta, **kwargs)
