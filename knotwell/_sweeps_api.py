"""All-source sweeps on one machine or on a Dask cluster.

Betweenness, closeness, harmonic centrality and the mean shortest path each
run one search per source node, O(n m) in all. The native module
`knotwell._sweeps` computes any range of those sources; this module spreads
the ranges over a Dask cluster and puts the results together so that they do
not depend on the cluster:

- Exact betweenness is the sum of the fixed pieces of the native sweep
  (at most 256, cut from n alone). A task computes whole pieces and returns
  one unscaled row per piece; the client adds the rows to zeros strictly in
  piece order, as the native sweep folds them, then scales. So the values are
  `knotwell_rs.betweenness_rust`'s bits for any cluster, batch size or
  worker loss.
- Closeness and harmonic centrality come from per-source sums that one
  search computes alone, and the mean shortest path from exact integer
  sums, so no split can show in them.
- The estimate samples its sources from the seed and folds per-block sums
  in block order; the blocks are cut from the number of samples alone.

The graph is scattered to every worker once; tasks refer to it by key. A task
is a pure function of (graph, range), so a worker that dies only costs time:
the scheduler reruns its tasks elsewhere and they give the same numbers.
Results that arrive before their left neighbour wait, and no more than a
window of tasks runs ahead of the fold, so the client's memory stays bounded.
A Ctrl-C (or any failure) cancels every pending task and propagates.
"""

from __future__ import annotations

import math
import operator
import os
import uuid
from concurrent.futures import CancelledError
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import knotwell_rs

from . import _sweeps as _native
from ._scattered import Scattered

__all__ = [
    "BetweennessEstimate",
    "betweenness",
    "betweenness_estimate",
    "closeness",
    "harmonic",
    "mean_shortest_path",
]

# A task's result rows, and a local chunk of blocks, stay below this many
# bytes: a row is n float64 values (two for the estimate's blocks).
_ROW_BYTES = 64 << 20


@dataclass(frozen=True)
class BetweennessEstimate:
    """Betweenness estimated from a uniform sample of source nodes.

    Returned by `betweenness_estimate`; its fields are the constructor's
    parameters.

    Parameters
    ----------
    values : numpy.ndarray
        float64 [n]: the unbiased estimate, scaled as the exact values are.
    stderr : numpy.ndarray
        float64 [n]: standard error of each value, from the sample variance of
        the sampled sources' contributions with the finite-population
        correction; 0 when every node is a source, inf with one source of
        several (no variance can be estimated from one).
    samples : int
        Number of sampled sources.
    seed : int
        Seed of the sample.
    sources : numpy.ndarray
        uint64, the sampled source ids in ascending order.

    Examples
    --------
    >>> import knotwell
    >>> g = knotwell.datasets.karate_club()
    >>> est = knotwell.betweenness_estimate(g.n, g.edges, samples=g.n, seed=1)
    >>> bool((est.stderr == 0).all()), est.samples
    (True, 34)
    """

    values: np.ndarray
    stderr: np.ndarray
    samples: int
    seed: int
    sources: np.ndarray = field(repr=False)


# ---------------------------------------------------------------- arguments


def _count(value: Any, name: str) -> int:
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if result < 0:
        raise ValueError(f"{name} must be non-negative, got {result}")
    return result


def _snapshot(array: Any) -> Any:
    """A private copy of a caller's array, read once: later writes to the
    caller's array (from another thread, say) cannot reach the tasks. Anything
    else passes unchanged, for the native converter's TypeError."""
    return np.array(array, copy=True) if isinstance(array, np.ndarray) else array


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, got {type(value).__name__}")
    return value


def _betweenness_factor(n: int, directed: bool, normalized: bool) -> float | None:
    """The scaling of the native sweep: one factor, computed as it is there."""
    if normalized:
        return 1.0 / (float(n - 1) * float(n - 2)) if n >= 3 else None
    return None if directed else 0.5


def _bounds(length: int, pieces: int) -> list[int]:
    """Piece k of [0, length) is [bounds[k], bounds[k + 1]), as the native pool cuts it."""
    return [length * k // pieces for k in range(pieces + 1)]


def _local_chunk(row_bytes: int) -> int:
    """Blocks per native call on the local pool: enough to keep every core busy."""
    return max(1, min(4 * (os.process_cpu_count() or 1), _ROW_BYTES // max(row_bytes, 1)))


# ------------------------------------------------------------------ tasks
# Module-level functions, so that workers import them by name. Each runs its
# range on the worker's own thread: the cluster's threads are the parallelism.


def _betweenness_task(payload: tuple, first: int, last: int) -> np.ndarray:
    n, edges, weights, directed = payload
    rows = _native.betweenness_pieces(n, edges, first, last, weights, directed, False)
    return rows.reshape(last - first, n)


def _moments_task(payload: tuple, first: int, last: int) -> np.ndarray:
    n, edges, weights, directed, sources = payload
    rows = _native.betweenness_moments(n, edges, sources, first, last, weights, directed, False)
    return rows.reshape(last - first, 2, n)


def _distance_task(payload: tuple, first: int, last: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    n, edges, directed = payload
    return _native.distance_sums(n, edges, first, last, directed, False)


def _mean_task(payload: tuple, first: int, last: int) -> tuple[int, int]:
    n, edges = payload
    return _native.mean_path_sums(n, edges, first, last, False)


# ---------------------------------------------------------------- cluster


def _threads(client: Any) -> int:
    return sum(client.nthreads().values()) or 1


def _default_batch(client: Any, units: int, unit_bytes: int) -> int:
    """Units (pieces, blocks, sources) per task: about four tasks per worker
    thread, so the load evens out and a lost task costs little, and no
    task's result above _ROW_BYTES."""
    batch = max(1, -(-units // (4 * _threads(client))))
    return max(1, min(batch, _ROW_BYTES // max(unit_bytes, 1)))


def _run_on_cluster(client: Any, task: Callable, payload: tuple, units: int, batch: int,
                    consume: Callable[[int, int, Any], None]) -> None:
    """Runs task(payload, lo, hi) for the ranges [lo, hi) of `batch` units
    that cover [0, units) on the cluster and calls consume(lo, hi, result) in
    ascending order, each as soon as every result left of it is in. At most a
    window of tasks runs ahead of the one consumed last, so at most that many
    results wait in memory (and no task list grows with `units`)."""
    from distributed import as_completed

    count = -(-units // batch)
    if count <= 0:
        return
    window = 2 * _threads(client) + 2
    run = uuid.uuid4().hex[:12]
    remote = Scattered(client, payload)
    futures: dict[str, tuple[Any, int, Any]] = {}
    ready: dict[int, Any] = {}
    submitted = consumed = 0

    def span(i: int) -> tuple[int, int]:
        return i * batch, min((i + 1) * batch, units)

    def submit(i: int | None = None) -> Any:
        nonlocal submitted
        if i is None:
            i = submitted
            submitted += 1
        future = client.submit(task, remote.future, *span(i), pure=False,
                               key=f"knotwell-sweep-{run}-{i}-{uuid.uuid4().hex[:6]}")
        futures[future.key] = (future, i, remote.future)
        return future

    try:
        queue = as_completed([submit() for _ in range(min(window, count))])
        for future in queue:
            _, i, given = futures.pop(future.key)
            try:
                result = future.result()
            except CancelledError:
                # Every copy of the graph went with lost workers: the range
                # runs again on a fresh one (see _scattered). Its result
                # depends on the range alone, so the bits are the same.
                if not remote.renew(given):
                    raise
                queue.add(submit(i))
                continue
            ready[i] = result
            while consumed in ready:
                consume(*span(consumed), ready.pop(consumed))
                consumed += 1
            while submitted < count and submitted < consumed + window:
                queue.add(submit())
    finally:
        pending = [f for f, _, _ in futures.values()]
        if pending:
            client.cancel(pending)
        remote.release()


# ------------------------------------------------------------ betweenness


def betweenness(n: int, edges: np.ndarray, weights: np.ndarray | None = None, *, directed: bool = False,
                normalized: bool = True, client: Any = None, progress: bool = True,
                batch: int | None = None) -> np.ndarray:
    """Exact betweenness centrality, on this machine or a Dask cluster.

    Brandes' algorithm: one shortest-path search per source node,
    breadth-first without weights, Dijkstra with weights as edge lengths.
    The result is bit for bit that of ``knotwell_rs.betweenness_rust`` with
    the same arguments, whatever the cluster, its size, the batch size, and
    even when a worker dies during the run.

    Parameters
    ----------
    n : int
        Number of nodes; ids are 0 .. n - 1.
    edges : numpy.ndarray
        uint64 array of shape (m, 2).
    weights : numpy.ndarray, optional
        float64 array of m edge lengths, finite and strictly positive.
    directed : bool
        Follow edges from source to target only.
    normalized : bool
        Divide by (n - 1)(n - 2); otherwise undirected values are halved.
    client : distributed.Client, optional
        Run the sources on this Dask cluster; by default on this machine's
        cores.
    progress : bool
        Show a progress bar (cluster runs).
    batch : int, optional
        Pieces of the sweep per task (cluster runs); by default about four
        tasks per worker thread. The values do not depend on it.

    Returns
    -------
    numpy.ndarray
        float64 [n], the centrality of every node.

    Examples
    --------
    >>> import numpy as np
    >>> import knotwell
    >>> path = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    >>> knotwell.betweenness(3, path)
    array([0., 1., 0.])
    """
    if client is None:
        return knotwell_rs.betweenness_rust(n, edges, weights, directed=directed, normalized=normalized)
    n = _count(n, "n")
    normalized, progress = _flag(normalized, "normalized"), _flag(progress, "progress")
    edges, weights = _snapshot(edges), _snapshot(weights)
    # The module's own checks, in its order and with its messages, on the
    # copies the tasks will see.
    _native.betweenness_pieces(n, edges, 0, 0, weights, directed, False)
    pieces = _native.piece_count(n)
    total = np.zeros(n)
    if pieces > 0:
        batch = _default_batch(client, pieces, 8 * n) if batch is None else max(1, _count(batch, "batch"))
        bounds = _bounds(n, pieces)
        from tqdm.auto import tqdm  # here, so that importing the package stays quick

        with tqdm(total=n, disable=not progress, unit="source", desc="betweenness") as bar:

            def fold(lo: int, hi: int, rows: np.ndarray) -> None:
                for row in rows:  # left operand first: total[j] = total[j] + row[j]
                    np.add(total, row, out=total)
                bar.update(bounds[hi] - bounds[lo])

            _run_on_cluster(client, _betweenness_task, (n, edges, weights, directed), pieces, batch, fold)
    factor = _betweenness_factor(n, directed, normalized)
    if factor is not None:
        total *= factor
    return total


def betweenness_estimate(n: int, edges: np.ndarray, weights: np.ndarray | None = None, *, samples: int,
                         seed: int = 0, directed: bool = False, normalized: bool = True,
                         client: Any = None, batch: int | None = None) -> BetweennessEstimate:
    """Betweenness estimated from a uniform sample of sources, with error bars.

    ``samples`` distinct sources are drawn uniformly without replacement; each
    node's value is n times the mean of the sampled sources' dependencies on
    it, scaled as the exact values are. The estimate is unbiased, its
    standard error comes from the sample variance with the finite-population
    correction, and it costs ``samples / n`` of the exact sweep. With
    ``samples == n`` the values are the exact ones (the same bits as
    :func:`betweenness`) and the errors 0. The sample and the order in which
    the sums are combined depend on the seed and ``samples`` alone, so the
    result is the same on this machine and on any cluster.

    Parameters
    ----------
    n, edges, weights, directed, normalized
        As for :func:`betweenness`.
    samples : int
        Number of sources, 1 .. n.
    seed : int
        Seed of the sample, in [0, 2**64).
    client : distributed.Client, optional
        Run on this Dask cluster.
    batch : int, optional
        Blocks of sources per task (cluster runs); the result does not
        depend on it.

    Returns
    -------
    BetweennessEstimate
        ``values`` and ``stderr`` (float64 [n]), ``samples``, ``seed`` and the
        sampled ``sources``.

    Examples
    --------
    >>> import numpy as np
    >>> import knotwell
    >>> star = np.array([[0, 1], [0, 2], [0, 3], [0, 4]], dtype=np.uint64)
    >>> est = knotwell.betweenness_estimate(5, star, samples=5)
    >>> est.values, est.stderr
    (array([1., 0., 0., 0., 0.]), array([0., 0., 0., 0., 0.]))
    """
    n = _count(n, "n")
    samples = _count(samples, "samples")
    seed = _count(seed, "seed")
    if seed >= 1 << 64:
        raise ValueError(f"seed must lie in [0, 2**64), got {seed}")
    if not 1 <= samples <= max(n, 1) or n == 0:
        raise ValueError(f"samples must lie in [1, n] = [1, {n}], got {samples}")
    edges, weights = _snapshot(edges), _snapshot(weights)
    directed, normalized = _flag(directed, "directed"), _flag(normalized, "normalized")
    empty = np.zeros(0, dtype=np.uint64)
    _native.betweenness_moments(n, edges, empty, 0, 0, weights, directed, False)
    if samples == n:
        values = betweenness(n, edges, weights, directed=directed, normalized=normalized, client=client,
                             progress=False, batch=batch)
        return BetweennessEstimate(values, np.zeros(n), samples, seed, np.arange(n, dtype=np.uint64))
    sources = _native.sample_sources(n, samples, seed)
    blocks = _native.piece_count(samples)
    sums = np.zeros((2, n))

    def fold(lo: int, hi: int, rows: np.ndarray) -> None:
        for block in rows:
            np.add(sums, block, out=sums)

    if client is None:
        chunk = _local_chunk(16 * n)
        for first in range(0, blocks, chunk):
            last = min(first + chunk, blocks)
            rows = _native.betweenness_moments(n, edges, sources, first, last, weights, directed, True)
            fold(first, last, rows.reshape(last - first, 2, n))
    else:
        batch = _default_batch(client, blocks, 16 * n) if batch is None else max(1, _count(batch, "batch"))
        _run_on_cluster(client, _moments_task, (n, edges, weights, directed, sources), blocks, batch, fold)
    return _estimate(n, samples, seed, sources, sums, directed, normalized)


def _estimate(n: int, k: int, seed: int, sources: np.ndarray, sums: np.ndarray, directed: bool,
              normalized: bool) -> BetweennessEstimate:
    total, squares = sums
    mean = total / k
    values = n * mean
    if k > 1:
        variance = np.maximum(squares - k * mean * mean, 0.0) / (k - 1)
        stderr = n * np.sqrt(variance / k * (1.0 - k / n))
    else:
        stderr = np.full(n, math.inf)
    factor = _betweenness_factor(n, directed, normalized)
    if factor is not None:
        values *= factor
        stderr *= factor
    return BetweennessEstimate(values, stderr, k, seed, sources)


# ------------------------------------------------- closeness and harmonic


def _distance_sums(n: Any, edges: Any, directed: Any, client: Any,
                   batch: int | None) -> tuple[int, np.ndarray, np.ndarray, np.ndarray]:
    n = _count(n, "n")
    edges = _snapshot(edges)
    if client is None:
        return (n, *_native.distance_sums(n, edges, 0, n, directed, True))
    _native.distance_sums(n, edges, 0, 0, directed, False)  # the checks, on the tasks' copy
    total = np.zeros(n, dtype=np.uint64)
    reached = np.zeros(n, dtype=np.uint64)
    harmonic = np.zeros(n)
    batch = _default_batch(client, n, 24) if batch is None else max(1, _count(batch, "batch"))

    def place(lo: int, hi: int, result: tuple[np.ndarray, np.ndarray, np.ndarray]) -> None:
        total[lo:hi], reached[lo:hi], harmonic[lo:hi] = result

    _run_on_cluster(client, _distance_task, (n, edges, directed), n, batch, place)
    return n, total, reached, harmonic


def closeness(n: int, edges: np.ndarray, *, directed: bool = False, wf_improved: bool = True,
              client: Any = None, batch: int | None = None) -> np.ndarray:
    """Closeness centrality: how near a node is to the nodes that reach it.

    For node u reached by r other nodes at total hop distance D, the value is
    r / D, times r / (n - 1) when ``wf_improved`` (Wasserman and Faust's
    scaling for graphs that are not connected); 0 when nothing reaches u.
    Directed graphs use the distances *to* u. These are the values of
    networkx's ``closeness_centrality``.

    Parameters
    ----------
    n : int
        Number of nodes.
    edges : numpy.ndarray
        uint64 array of shape (m, 2); self-loops and repeated edges change
        nothing.
    directed : bool
        Follow edges from source to target only.
    wf_improved : bool
        Scale by the share of the other nodes that reach u.
    client : distributed.Client, optional
        Run the sources on this Dask cluster.
    batch : int, optional
        Sources per task (cluster runs); the values do not depend on it.

    Returns
    -------
    numpy.ndarray
        float64 [n].

    Examples
    --------
    >>> import numpy as np
    >>> import knotwell
    >>> path = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    >>> knotwell.closeness(3, path)
    array([0.66666667, 1.        , 0.66666667])
    """
    if not isinstance(wf_improved, bool):
        raise TypeError(f"wf_improved must be a bool, got {type(wf_improved).__name__}")
    n, total, reached, _ = _distance_sums(n, edges, directed, client, batch)
    others = reached.astype(np.float64) - 1.0
    with np.errstate(divide="ignore", invalid="ignore"):
        values = np.where(total > 0, others / total.astype(np.float64), 0.0)
    if wf_improved and n > 1:
        values = values * (others / (n - 1.0))
    return values


def harmonic(n: int, edges: np.ndarray, *, directed: bool = False, client: Any = None,
             batch: int | None = None) -> np.ndarray:
    """Harmonic centrality: the sum of 1 / distance from every node that reaches u.

    Unreached nodes add nothing, so disconnected graphs need no special
    case. Directed graphs use the distances *to* u. These are the values of
    networkx's ``harmonic_centrality``.

    Parameters
    ----------
    n : int
        Number of nodes.
    edges : numpy.ndarray
        uint64 array of shape (m, 2).
    directed : bool
        Follow edges from source to target only.
    client : distributed.Client, optional
        Run the sources on this Dask cluster.
    batch : int, optional
        Sources per task (cluster runs); the values do not depend on it.

    Returns
    -------
    numpy.ndarray
        float64 [n].

    Examples
    --------
    >>> import numpy as np
    >>> import knotwell
    >>> path = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    >>> knotwell.harmonic(3, path)
    array([1.5, 2. , 1.5])
    """
    return _distance_sums(n, edges, directed, client, batch)[3]


# ---------------------------------------------------------- mean path


def mean_shortest_path(n: int, edges: np.ndarray, *, client: Any = None, batch: int | None = None) -> float:
    """Mean hop distance over the connected pairs of distinct nodes (undirected).

    Equal to ``knotwell_rs.mean_shortest_path_rust``: the distance total and
    the pair count are exact integers, whatever the split of the sources;
    NaN when no pair is connected.

    Parameters
    ----------
    n : int
        Number of nodes.
    edges : numpy.ndarray
        uint64 array of shape (m, 2); direction is ignored.
    client : distributed.Client, optional
        Run the sources on this Dask cluster.
    batch : int, optional
        Batches of 128 sources per task (cluster runs).

    Returns
    -------
    float

    Examples
    --------
    >>> import numpy as np
    >>> import knotwell
    >>> path = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    >>> knotwell.mean_shortest_path(3, path)
    1.3333333333333333
    """
    if client is None:
        return knotwell_rs.mean_shortest_path_rust(n, edges)
    n = _count(n, "n")
    edges = _snapshot(edges)
    _native.mean_path_sums(n, edges, 0, 0, False)
    batches = _native.mean_path_batches(n)
    sums = [0, 0]

    def add(lo: int, hi: int, result: tuple[int, int]) -> None:
        sums[0] += result[0]
        sums[1] += result[1]

    batch = _default_batch(client, batches, 1) if batch is None else max(1, _count(batch, "batch"))
    _run_on_cluster(client, _mean_task, (n, edges), batches, batch, add)
    total, count = sums
    # Each rounded to the nearest double first, as the module divides them.
    return float(total) / float(count) if count else math.nan
