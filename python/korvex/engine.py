"""Reconstruction on a known pattern: `reconstruct` and the kept-engine `Reconstructor`.

The keyword names are Python's: `smoothness` is KorvexCUDA's lambda (a Python keyword) and
`step` its alpha.
"""

from __future__ import annotations

import threading
import time

import numpy as np

from . import _arrays, _core
from ._threads import task_threads
from .results import Result


_ENGINES = {np.dtype(np.float32): _core.EngineFloat32, np.dtype(np.float64): _core.EngineFloat64}


def settings(threshold, smoothness, step) -> tuple[float, float, float]:
    return (
        _arrays.number("threshold", threshold),
        _arrays.number("smoothness", smoothness),
        _arrays.number("step", step, positive=True),
    )


class Reconstructor:
    """One engine for repeated reconstructions of one geometry, like KorvexCUDA keeps.

        with korvex.Reconstructor((H, W), F, iterations=40) as r:
            result = r.reconstruct(frames, masks, otf, smoothness=0.01, step=0.05)

    The engine (its FFT plans and device buffers) is built on the first call and rebuilt only
    when the precision changes; leaving the block, or close(), releases it. Threads may share
    one Reconstructor: its calls take turns, and close() waits for a running one.
    """

    def __init__(self, shape, frames: int, iterations: int = 40):
        self.shape = _arrays.image_shape(shape)
        self.frames = _arrays.count("frames", frames)
        self.iterations = _arrays.count("iterations", iterations)
        self._engine = None
        self._closed = False
        self._lock = threading.Lock()

    def __enter__(self) -> "Reconstructor":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Releases the engine's device memory; the Reconstructor cannot be used afterwards."""
        with self._lock:
            if self._engine is not None:
                self._engine.release()
            self._engine = None
            self._closed = True

    def reconstruct(self, frames, masks, otf, *, threshold=0.0, smoothness=0.01, step=0.05,
                    out=None) -> Result:
        """Reconstructs (F, H, W) `frames` lit by (F, H, W) `masks` through the centred
        (H, W) `otf`. float32 frames (and integer ones) run in single precision, float64 in
        double; masks and otf are converted to the frames' type. `out`, an (H, W) array of
        that type, receives the image instead of a new array."""
        start = time.perf_counter()
        frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
        dtype = frames.dtype
        masks = _arrays.as_real("masks", masks, 3, "(F, H, W)", dtype)
        otf = _arrays.as_real("otf", otf, 2, "(H, W)", dtype)
        expected = (self.frames, *self.shape)
        for name, array in (("frames", frames), ("masks", masks)):
            if array.shape != expected:
                raise ValueError(
                    f"{name} must be {_arrays.shape_text(expected)} for this Reconstructor, "
                    f"got {_arrays.shape_text(array.shape)}"
                )
        if otf.shape != self.shape:
            raise ValueError(
                f"otf must be {_arrays.shape_text(self.shape)}, got {_arrays.shape_text(otf.shape)}"
            )
        values = settings(threshold, smoothness, step)
        if out is None:
            out = np.empty(self.shape, dtype)
        elif not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy array, got {type(out).__name__}")
        elif out.dtype != dtype or out.shape != self.shape or not out.flags.c_contiguous:
            raise ValueError(f"out must be a C-contiguous {dtype} array of {self.shape}")
        with task_threads(), self._lock:
            if self._closed:
                raise ValueError("this Reconstructor is closed")
            engine = self._engine_for(dtype)
            iterations, alpha, ratio, seconds = engine.compute(frames, masks, otf, out, *values)
        return Result(out, int(iterations),
                      {"reconstruction": float(seconds), "total": time.perf_counter() - start},
                      float(alpha), float(ratio))

    def _engine_for(self, dtype):
        kind = _ENGINES[dtype]
        if not isinstance(self._engine, kind):
            if self._engine is not None:  # one engine holds device memory at a time
                self._engine.release()
                self._engine = None
            self._engine = kind(*self.shape, self.frames, self.iterations)
        return self._engine


def reconstruct(frames, masks, otf, *, iterations=40, threshold=0.0, smoothness=0.01,
                step=0.05) -> Result:
    """Reconstructs one (F, H, W) stack; see Reconstructor.reconstruct. The engine is built
    for this call and released before it returns."""
    frames = _arrays.as_real("frames", frames, 3, "(F, H, W)")
    with Reconstructor(frames.shape[1:], frames.shape[0], iterations) as reconstructor:
        return reconstructor.reconstruct(frames, masks, otf, threshold=threshold,
                                         smoothness=smoothness, step=step)
