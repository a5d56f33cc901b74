"""Time series: (T, F, H, W) stacks, from numpy in one process or from dask anywhere.

A numpy series runs through one engine, writing each time point into the output as it goes,
so memory beyond the output stays that of one time point. A dask series becomes a lazy dask
array mapped over time chunks; each worker process keeps one engine per geometry (a small
cache keyed by shape, dtype and settings), so the same graph runs on threads, processes or a
dask.distributed cluster. Its patterns are a graph of their own that only estimates: the
reconstructions take them as given, so no time point is reconstructed twice.
"""

from __future__ import annotations

import threading
import time
from collections import OrderedDict
from collections.abc import Sequence
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np

from . import _arrays
from .acquisition import DEFAULTS, IMMERSION, Acquisition, Pipeline
from .engine import Reconstructor, settings
from .patterns import Pattern
from .results import SeriesResult


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
        angles = 0 if self.acquisition is None else self.acquisition.angles
        return (self.frames, self.height, self.width, self.dtype, self.iterations, angles,
                self.acquisition is None)

    def kept(self):
        if self.acquisition is None:
            return Reconstructor((self.height, self.width), self.frames, self.iterations)
        return Pipeline._of((self.height, self.width), self.frames, self.acquisition)


class _Entry:
    def __init__(self, kept):
        self.kept = kept
        self.users = 0
        self.evicted = False


_CACHE_SIZE = 2
_cache: "OrderedDict[tuple, _Entry]" = OrderedDict()
_cache_lock = threading.Lock()


@contextmanager
def _leased(job: _Job):
    """This process's engine for the job's geometry, held for the block. An engine evicted
    while another thread holds it is closed by the last holder, never under its feet; the
    engine's own lock makes the holders take turns."""
    with _cache_lock:
        entry = _cache.get(job.key)
        if entry is not None:
            _cache.move_to_end(job.key)
        else:
            while len(_cache) >= _CACHE_SIZE:
                evicted = _cache.popitem(last=False)[1]
                evicted.evicted = True
                if evicted.users == 0:
                    evicted.kept.close()
            entry = _cache[job.key] = _Entry(job.kept())
        entry.users += 1
    try:
        yield entry.kept
    finally:
        with _cache_lock:
            entry.users -= 1
            last = entry.evicted and entry.users == 0
        if last:
            entry.kept.close()


# A pattern travels between dask tasks as one float64 vector: 8 fields of A values, then F
# phases.
_PER_ORIENTATION = ("angle", "period", "modulation", "mcnr", "modulation2", "phase2", "mcnr2",
                    "low_modulation")


def _pack(pattern: Pattern) -> np.ndarray:
    return np.concatenate([np.asarray(getattr(pattern, name), np.float64)
                           for name in _PER_ORIENTATION] + [pattern.phase])


def _unpack(vector: np.ndarray, angles: int) -> Pattern:
    vector = np.asarray(vector, np.float64).ravel()
    fields = {name: vector[i * angles:(i + 1) * angles]
              for i, name in enumerate(_PER_ORIENTATION)}
    fields["low_modulation"] = fields["low_modulation"] != 0
    return Pattern(phase=vector[len(_PER_ORIENTATION) * angles:], **fields)


def _camera_block(block, masks, otf, job: _Job):
    out = np.empty((block.shape[0], job.height, job.width), job.dtype)
    threshold, smoothness, step = job.values
    with _leased(job) as reconstructor:
        for t in range(block.shape[0]):
            reconstructor.reconstruct(block[t], masks, otf, threshold=threshold,
                                      smoothness=smoothness, step=step, out=out[t])
    return out


def _estimate_block(block, job: _Job):
    """(t, K, 1, 1) packed patterns of a block of time points."""
    with _leased(job) as pipeline:
        packed = [_pack(pipeline._estimate(block[t], job.acquisition))
                  for t in range(block.shape[0])]
    return np.stack(packed)[:, :, np.newaxis, np.newaxis]


def _acquisition_block(block, packed, job: _Job):
    angles = job.acquisition.angles
    with _leased(job) as pipeline:
        images = [pipeline._reconstruct(block[t], job.acquisition,
                                        _unpack(packed[min(t, len(packed) - 1)], angles),
                                        warn=False).image
                  for t in range(block.shape[0])]
    return np.stack(images)


def _is_dask(value) -> bool:
    return type(value).__module__.split(".")[0] == "dask" and hasattr(value, "map_blocks")


def reconstruct_series(frames, masks=None, otf=None, *, na=None, wavelength=None,
                       pixel_size=None, immersion=IMMERSION, angles=3, phases=3,
                       upsample=DEFAULTS["upsample"],
                       iterations=None, threshold=0.0, smoothness=None, step=None,
                       nonnegative=None, data_term=None, sparsity=None, orders=None,
                       background=None, gain=None, out_of_focus=None,
                       out_of_focus_width=None, defocus=None, out_of_focus_cost=None,
                       estimate="once",
                       quiet=False) -> SeriesResult:
    """Reconstructs every time point of a (T, F, H, W) series; returns a SeriesResult.

    Given `masks` (F, H, W) and a centred `otf` (H, W), it reconstructs on the camera grid:
    the image is (T, H, W) and there is no pattern. Given optics (na, wavelength, pixel_size;
    or a measured otf without masks), it runs the acquisition pipeline on each time point: the
    image is (T, upsample H, upsample W), the pattern estimated on the first time point
    (estimate="once") or on each (estimate="each", which warns for every low-modulation time
    point).

    A numpy series returns numpy arrays, with a progress bar on stderr unless quiet. A dask
    series returns a lazy dask image over the same time chunks; compute it on any scheduler.
    Its `patterns` and `mcnr` come from a graph that estimates only. float64 series run in
    double precision, others in single.

    Settings left as None take the defaults of the path: 40 iterations, smoothness 0.01 and
    step 0.05 with masks (the engine as KorvexCUDA runs it); the acquisition pipeline's
    measured defaults with optics. nonnegative, data_term, sparsity, orders ('auto', 1, 2),
    background (camera offset, a number or an (H, W) image, subtracted first) and gain
    (counts per photon) belong to the pipeline, as do out_of_focus, out_of_focus_width,
    defocus and out_of_focus_cost (the haze of thick specimens; see reconstruct_acquisition).
    A numpy series reports each time point's out_of_focus_share."""
    start = time.perf_counter()
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
                             orders=orders, background=background, gain=gain,
                             out_of_focus=out_of_focus, out_of_focus_width=out_of_focus_width,
                             defocus=defocus, out_of_focus_cost=out_of_focus_cost)
        given = [name for name, value in pipeline_only.items() if value is not None]
        if given:
            raise ValueError(f"{', '.join(given)} apply to the acquisition pipeline (optics), "
                             "not to given masks")
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
                     orders=orders, background=background, gain=gain, out_of_focus=out_of_focus,
                     out_of_focus_width=out_of_focus_width, defocus=defocus,
                     out_of_focus_cost=out_of_focus_cost)
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
        return _lazy_series(frames, masks, otf, job, start)
    return _numpy_series(frames, masks, otf, job, quiet, start)


def _numpy_series(frames, masks, otf, job: _Job, quiet: bool, start: float) -> SeriesResult:
    from tqdm.auto import tqdm

    steps = len(frames)
    iterations = np.zeros(steps, np.int64)
    shares = np.zeros(steps)
    stages: dict = {}
    patterns = []
    with tqdm(total=steps, disable=quiet, unit="time point", desc="korvex") as progress:
        if job.acquisition is None:
            out = np.empty((steps, job.height, job.width), job.dtype)
            threshold, smoothness, step = job.values
            with Reconstructor((job.height, job.width), job.frames, job.iterations) as r:
                for t in range(steps):
                    result = r.reconstruct(frames[t], masks, otf, threshold=threshold,
                                           smoothness=smoothness, step=step, out=out[t])
                    iterations[t] = result.iterations
                    _add(stages, result.seconds)
                    progress.update()
            pixel_size, mcnr = 0.0, np.empty((steps, 0))
        else:
            with Pipeline._of((job.height, job.width), job.frames, job.acquisition) as pipeline:
                pattern = out = None
                for t in range(steps):
                    where = f"time point {t}: " if steps > 1 else ""
                    result = pipeline._reconstruct(frames[t], job.acquisition, pattern,
                                                   where=where)
                    if out is None:
                        out = np.empty((steps, *result.image.shape), result.image.dtype)
                    out[t] = result.image
                    iterations[t] = result.iterations
                    shares[t] = result.out_of_focus_share
                    _add(stages, result.seconds)
                    patterns.append(result.pattern)
                    if not job.estimate_each:
                        pattern = result.pattern
                    progress.update()
            pixel_size = result.pixel_size
            mcnr = np.stack([p.mcnr for p in patterns])
    stages["total"] = time.perf_counter() - start
    return SeriesResult(out, iterations, stages, pixel_size, tuple(patterns), mcnr, shares)


def _add(total: dict, seconds: dict) -> None:
    for stage, value in seconds.items():
        total[stage] = total.get(stage, 0.0) + value


class _LazyPatterns(Sequence):
    """The patterns of a lazy series: the estimation graph is computed on first reading."""

    def __init__(self, packed, angles: int):
        self._packed, self._angles, self._patterns = packed, angles, None

    def _computed(self):
        if self._patterns is None:
            packed = np.asarray(self._packed.compute())
            self._patterns = tuple(_unpack(vector, self._angles) for vector in packed)
        return self._patterns

    def __getitem__(self, index):
        return self._computed()[index]

    def __len__(self) -> int:
        return int(self._packed.shape[0])


def _lazy_series(frames, masks, otf, job: _Job, start: float) -> SeriesResult:
    import dask
    import dask.array as da

    frames = frames.rechunk({1: -1, 2: -1, 3: -1})
    meta = np.empty((0, 0, 0), job.dtype)
    steps = frames.shape[0]
    if job.acquisition is None:
        image = da.map_blocks(
            _camera_block, frames, da.from_array(masks, chunks=masks.shape),
            da.from_array(otf, chunks=otf.shape), job=job, drop_axis=1,
            chunks=(frames.chunks[0], (job.height,), (job.width,)), dtype=job.dtype, meta=meta)
        return SeriesResult(image, None, {"total": time.perf_counter() - start}, 0.0, (),
                            np.empty((steps, 0)))
    a = job.acquisition
    size = len(_PER_ORIENTATION) * a.angles + job.frames
    if job.estimate_each:
        packed = da.map_blocks(_estimate_block, frames, job=job, dtype=np.float64,
                               chunks=(frames.chunks[0], (size,), (1,), (1,)))
    else:
        first = dask.delayed(_estimate_block, pure=True)(frames[:1], job)
        packed = da.from_delayed(first, (1, size, 1, 1), np.float64)
    image = da.map_blocks(
        _acquisition_block, frames, packed, job=job, drop_axis=1,
        chunks=(frames.chunks[0], (a.upsample * job.height,), (a.upsample * job.width,)),
        dtype=job.dtype, meta=meta)
    flat = packed[:, :, 0, 0]
    if not job.estimate_each:
        flat = da.broadcast_to(flat, (steps, size))
    mcnr = flat[:, 3 * a.angles:4 * a.angles]
    return SeriesResult(image, None, {"total": time.perf_counter() - start},
                        a.pixel_size / a.upsample, _LazyPatterns(flat, a.angles), mcnr)
