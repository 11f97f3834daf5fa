"""Local runs: worker threads pulling batches of sample indices.

The native generators release the interpreter lock (rewiring runs its single
sample on the module's worker pool, the other two on the calling thread), so
threads generate side by side; most native statistics hold the lock, so their
part of each sample runs one thread at a time. Each thread writes its values
straight into the result rows of its samples: nothing is gathered, and at most
one sample per thread is alive at any moment.

The calling thread only watches: it wakes ten times a second to move the
progress bar, and a Ctrl-C there stops the run at once: each thread makes its
native calls inside a cancel scope of its own, so a call that releases the
lock stops at its next poll (a few tens of milliseconds) instead of running
its sample to the end, and the process can exit as soon as the
KeyboardInterrupt has been raised. A call that keeps the lock (most
statistics) still finishes first.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

import numpy as np

from ._cancel import CancelScope
from ._engine import run_sample
from ._seeds import sample_seeds



class _Shared:
    def __init__(self, start: int, stop: int, batch: int):
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        self.next, self.end, self.batch = start, stop, batch
        self.done = 0
        self.error: BaseException | None = None
        self.scopes: list[CancelScope] = []

    def claim(self):
        with self.lock:
            if self.stop_event.is_set() or self.next >= self.end:
                return None
            start = self.next
            self.next = min(start + self.batch, self.end)
            return start, self.next

    def fail(self, exc: BaseException):
        with self.lock:
            if self.error is None:
                self.error = exc
        self.cancel()

    def scope(self) -> CancelScope:
        """A cancel scope for the calling worker thread, cancelled at once if
        the run is already stopping."""
        scope = CancelScope()
        with self.lock:
            self.scopes.append(scope)
            if self.stop_event.is_set():
                scope.cancel()
        return scope

    def cancel(self):
        """Stop every thread, its native call included: the one place where a
        Ctrl-C in the calling thread, or a failure in any thread, reaches the
        worker threads."""
        with self.lock:
            self.stop_event.set()
            scopes = list(self.scopes)
        for scope in scopes:
            scope.cancel()


def _work(shared: _Shared, model: Any, payload: Any, statistic: Callable[..., Any], seed: int,
          shape: tuple[int, ...], values: np.ndarray, diagnostics: np.ndarray) -> None:
    with shared.scope():
        _claim_and_run(shared, model, payload, statistic, seed, shape, values, diagnostics)


def _claim_and_run(shared: _Shared, model: Any, payload: Any, statistic: Callable[..., Any], seed: int,
                   shape: tuple[int, ...], values: np.ndarray, diagnostics: np.ndarray) -> None:
    while (claim := shared.claim()) is not None:
        start, stop = claim
        for offset, native_seed in enumerate(sample_seeds(seed, stop, start)):
            if shared.stop_event.is_set():
                return
            i = start + offset
            try:
                values[i], diagnostics[i] = run_sample(model, payload, statistic, i, native_seed, shape)
            except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
                shared.fail(exc)
                return
            with shared.lock:
                shared.done += 1


def run_local(model: Any, payload: Any, statistic: Callable[..., Any], seed: int, shape: tuple[int, ...],
              values: np.ndarray, diagnostics: np.ndarray, start: int, batch: int, workers: int, bar: Any) -> None:
    """Fill rows start .. len(values) - 1 of `values` and `diagnostics`."""
    stop = len(values)
    shared = _Shared(start, stop, batch)
    workers = max(1, min(workers, -(-(stop - start) // batch)))
    threads = []
    shown = 0
    try:
        for k in range(workers):
            t = threading.Thread(target=_work, name=f"knotwell-null-{k}",
                                 args=(shared, model, payload, statistic, seed, shape, values, diagnostics))
            t.start()
            threads.append(t)
        for t in threads:
            while t.is_alive():
                t.join(0.1)
                shown = _advance(bar, shared, shown)
    except BaseException:
        shared.cancel()
        raise
    _advance(bar, shared, shown)
    if shared.error is not None:
        raise shared.error


def _advance(bar, shared, shown):
    done = shared.done
    if done > shown:
        bar.update(done - shown)
    return done


def empty_rows(samples: int, shape: tuple[int, ...], n_diagnostics: int) -> tuple[np.ndarray, np.ndarray]:
    return (np.empty((samples,) + shape, dtype=np.float64),
            np.zeros((samples, n_diagnostics), dtype=np.uint64))
