"""Dask runs: the payload scattered once, batches sized from their measured cost, results placed by index.

The model's array (edges or degrees) is broadcast to every worker once and
tasks refer to it by key, so no task carries it. Batch sizes follow the
measured cost of a sample (the caller's sample 0 first, then the tasks' own
timings) so that a task takes about `TASK_SECONDS`: the progress bar moves
every second or so on any graph, and a cancelled run leaves at most about a
second of work behind on each worker thread. Only about two tasks per worker
thread are in flight at once, the rest are made as those complete, so a
Ctrl-C has little queued work to cancel.

A worker that dies mid-task only costs time: the scheduler reruns its tasks
elsewhere, and since a sample's value depends on (seed, i) alone, the rerun
gives the same numbers, whatever the batch boundaries.
"""

from __future__ import annotations

import math
import os
import time
import uuid
from concurrent.futures import CancelledError
from collections.abc import Callable
from typing import Any

import numpy as np

from ._engine import run_batch
from ._scattered import Scattered

TASK_SECONDS = 1.0
# Tasks in flight per worker thread: one running, one queued behind it so a
# thread never waits for the caller's next submission.
IN_FLIGHT_PER_THREAD = 2
POLL_SECONDS = 0.05
# After a Ctrl-C, how long to wait for running tasks to notice their
# cancellation (they do between samples, about a task's length at most).
SETTLE_SECONDS = 3 * TASK_SECONDS


def check_picklable(statistic: Callable[..., Any]) -> None:
    from distributed.protocol import pickle

    try:
        pickle.dumps(statistic)
    except Exception as exc:  # noqa: BLE001 - any pickling failure means the same
        raise TypeError(f"statistic must be picklable to run on a Dask cluster: {exc}") from exc


class BatchSizer:
    """Samples per task, about TASK_SECONDS a task, from the measured cost of a sample.

    The caller's sample 0 is only a guess at a worker's speed (another
    process, its own pool size, a cold start), so the first tasks are small,
    and a task is at most twice the largest one measured so far: sizes grow
    to a second's worth within a few completions and never jump past what
    has been seen. A task never takes more than its share of the samples
    left, so the last ones still spread over every thread.
    """

    FIRST = 8
    GROWTH = 2

    def __init__(self, caller_seconds_per_sample: float, threads: int, fixed: int | None):
        self.guess = max(caller_seconds_per_sample, 1e-9)
        self.seconds = 0.0
        self.samples = 0
        self.largest = 0
        self.threads = threads
        self.fixed = fixed

    def record(self, seconds: float, samples: int) -> None:
        self.seconds += max(seconds, 0.0)
        self.samples += samples
        self.largest = max(self.largest, samples)

    def size(self, remaining: int) -> int:
        if self.fixed is not None:
            return self.fixed
        if self.samples:
            aimed = math.floor(TASK_SECONDS / max(self.seconds / self.samples, 1e-9))
            aimed = min(aimed, self.GROWTH * self.largest)
        else:
            aimed = min(math.floor(TASK_SECONDS / self.guess), self.FIRST)
        share = -(-remaining // self.threads)
        return max(1, min(aimed, share))


def _leave_terminal_interrupts_to_the_caller(caller: int, caller_group: int) -> bool:
    """On a worker process the caller started itself, ignore SIGINT; True if it did.

    A Ctrl-C at a terminal goes to its whole foreground process group: the
    caller and the worker processes its LocalCluster spawned. The caller
    cancels the run and closes its cluster as it unwinds; workers that took
    the signal themselves would die mid-task with tracebacks of their own.
    Workers anyone else started (a `dask worker` command, another machine)
    keep their own Ctrl-C.
    """
    import signal
    import threading

    if (os.getppid() != caller or os.getpgrp() != caller_group
            or threading.current_thread() is not threading.main_thread()):
        return False
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return True


def _cancelled() -> bool:
    """Whether the Dask task running this thread has been cancelled or forgotten by the scheduler."""
    try:
        from distributed import get_worker
        from distributed.worker import thread_state

        worker = get_worker()
        task = worker.state.tasks.get(thread_state.key)
    except Exception:  # noqa: BLE001 - outside a worker, or another layout of its state: never stop early
        return False
    return task is None or task.state in ("cancelled", "forgotten", "released")


def _running(prefix: str, dask_worker: Any = None) -> int:
    """How many of a run's tasks this worker still holds (a cancelled one stays until its thread returns)."""
    return sum(1 for key in list(dask_worker.state.tasks) if str(key).startswith(prefix))


def _settle(client: Any, prefix: str, seconds: float) -> None:
    """Wait up to `seconds` for the workers to drop a cancelled run's tasks.

    Cancelled tasks end at their next sample; waiting for that here means the
    caller's next call, or the closing of its cluster, finds the workers idle.
    """
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            if not sum(client.run(_running, prefix).values()):
                return
            time.sleep(POLL_SECONDS)
    except Exception:  # noqa: BLE001 - a worker gone or the client closing: nothing left to wait for
        return


def remote_batch(model: Any, payload: Any, statistic: Callable[..., Any], seed: int, start: int, stop: int,
                 shape: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray, float]:
    """run_batch on a worker, ending early once its task is cancelled (the result is then discarded)."""
    return run_batch(model, payload, statistic, seed, start, stop, shape, _cancelled)


def run_dask(client: Any, model: Any, payload: Any, statistic: Callable[..., Any], seed: int,
             shape: tuple[int, ...], values: np.ndarray, diagnostics: np.ndarray, start: int, batch: int | None,
             seconds_per_sample: float, bar: Any) -> None:
    """Fill rows start .. len(values) - 1 of `values` and `diagnostics` on the cluster.

    `batch` fixes the samples per task; None sizes tasks from
    `seconds_per_sample` (the caller's measured sample) and the tasks' timings.
    """
    stop = len(values)
    if start >= stop:
        return
    threads = sum(client.nthreads().values()) or 1
    client.run(_leave_terminal_interrupts_to_the_caller, os.getpid(), os.getpgrp())
    sizer = BatchSizer(seconds_per_sample, threads, batch)
    remote = Scattered(client, payload) if payload is not None else None
    prefix = f"knotwell-null-{uuid.uuid4().hex[:12]}-"
    pending: dict[Any, tuple[int, int]] = {}
    following = start
    used: dict[Any, Any] = {}  # task key -> the payload copy it was given
    try:
        while following < stop or pending:
            while following < stop and len(pending) < IN_FLIGHT_PER_THREAD * threads:
                hi = min(following + sizer.size(stop - following), stop)
                copy = remote.future if remote is not None else None
                future = client.submit(remote_batch, model, copy, statistic, seed, following, hi, shape,
                                       pure=False, key=f"{prefix}{following}-{hi}")
                pending[future] = (following, hi)
                used[future.key] = copy
                following = hi
            finished = [f for f in pending if f.done()]
            if not finished:
                # Polling in this frame rather than blocking inside distributed:
                # a Ctrl-C lands here, in a frame of ours.
                time.sleep(POLL_SECONDS)
                continue
            for future in finished:
                lo, hi = pending.pop(future)
                try:
                    batch_values, batch_diagnostics, seconds = future.result()
                except CancelledError:
                    # Every copy of the payload went with lost workers: the
                    # batch runs again on a fresh one (see _scattered). Its
                    # values depend on (seed, i) alone.
                    if remote is None or not remote.renew(used.pop(future.key, None)):
                        raise
                    again = client.submit(remote_batch, model, remote.future, statistic, seed, lo, hi, shape,
                                          pure=False, key=f"{prefix}{lo}-{hi}-{uuid.uuid4().hex[:6]}")
                    pending[again] = (lo, hi)
                    used[again.key] = remote.future
                    continue
                used.pop(future.key, None)
                values[lo:hi] = batch_values
                diagnostics[lo:hi] = batch_diagnostics
                sizer.record(seconds, hi - lo)
                bar.update(hi - lo)
    except KeyboardInterrupt:
        _cancel(client, pending, remote)
        pending.clear()
        remote = None
        try:
            _settle(client, prefix, SETTLE_SECONDS)
        except KeyboardInterrupt:
            pass  # a second Ctrl-C: stop waiting
        # A fresh exception: its traceback ends here, not inside distributed.
        raise KeyboardInterrupt from None
    finally:
        _cancel(client, pending, remote)


def _cancel(client: Any, pending: dict[Any, tuple[int, int]], remote: Any) -> None:
    if pending:
        client.cancel(list(pending), force=True)
    if remote is not None:
        remote.release()
