"""The thread count of core calls made inside a dask.distributed task: the worker's own.

A worker that runs N tasks at once on N threads is given N cores; the core's calls in one
process take turns, so each call may use all N. The worker's environment says otherwise
(the nanny starts workers with OMP_NUM_THREADS=1 whatever their thread count, a worker started
without it inherits the machine's count), so the count is set explicitly around each task's
calls and restored afterwards. Workers that share one process (processes=False) also share
its turns, each call on its own worker's count. Outside a worker the caller's setting stands
(OMP_NUM_THREADS, omp_set_num_threads, threadpoolctl)."""

from __future__ import annotations

import sys
from contextlib import contextmanager

from . import _core


def worker_threads() -> int | None:
    """The thread count of the dask.distributed worker running this task; None outside one."""
    distributed = sys.modules.get("distributed")  # never imported here: a worker has it
    if distributed is None:
        return None
    try:
        worker = distributed.get_worker()
    except ValueError:
        return None
    state = getattr(worker, "state", None)
    threads = getattr(state, "nthreads", None) or getattr(worker, "nthreads", None)
    return int(threads) if threads else None


@contextmanager
def task_threads():
    """Core calls in the block use the running worker's thread count (no change outside a
    worker)."""
    threads = worker_threads()
    if threads is None:
        yield
        return
    before = _core.threads()
    _core.set_threads(threads)
    try:
        yield
    finally:
        _core.set_threads(before)
