"""Dask runs: the payload scattered once, tasks of `batch` samples, results placed by index.

The model's array (edges or degrees) is broadcast to every worker once and
tasks refer to it by key, so no task carries it. A worker that dies mid-task
only costs time: the scheduler reruns its tasks elsewhere, and since a
sample's value depends on (seed, i) alone, the rerun gives the same numbers.
Results are placed as their futures complete; a Ctrl-C (or any failure)
cancels whatever is still pending.
"""

from __future__ import annotations

import uuid

from .engine import run_batch

__all__ = ["check_picklable", "default_batch", "run_dask"]


def check_picklable(statistic):
    from distributed.protocol import pickle

    try:
        pickle.dumps(statistic)
    except Exception as exc:  # noqa: BLE001 - any pickling failure means the same
        raise TypeError(f"statistic must be picklable to run on a Dask cluster: {exc}") from exc


def default_batch(client, samples: int) -> int:
    """About eight tasks per worker thread: balanced, and a lost task costs little."""
    threads = sum(client.nthreads().values()) or 1
    return max(1, -(-samples // (8 * threads)))


def run_dask(client, model, payload, statistic, seed, shape, values, diagnostics, start, batch, bar):
    """Fill rows start .. len(values) - 1 of `values` and `diagnostics` on the cluster."""
    from distributed import as_completed

    stop = len(values)
    if start >= stop:
        return values, diagnostics
    remote = client.scatter(payload, broadcast=True, hash=False) if payload is not None else None
    futures = {}
    run = uuid.uuid4().hex[:12]
    try:
        for lo in range(start, stop, batch):
            hi = min(lo + batch, stop)
            future = client.submit(run_batch, model, remote, statistic, seed, lo, hi, shape,
                                   pure=False, key=f"knotwell-ensembles-{run}-{lo}-{hi}")
            futures[future.key] = (future, lo, hi)
        for future, (batch_values, batch_diagnostics) in as_completed(
                [f for f, _, _ in futures.values()], with_results=True):
            _, lo, hi = futures.pop(future.key)
            values[lo:hi] = batch_values
            diagnostics[lo:hi] = batch_diagnostics
            bar.update(hi - lo)
    finally:
        pending = [f for f, _, _ in futures.values()]
        if pending:
            client.cancel(pending)
        if remote is not None:
            client.cancel([remote])
    return values, diagnostics
