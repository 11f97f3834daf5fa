"""Null-model ensembles: is a property of a network more than its degrees or size explain?

Reproducibility: sample i is the single sample of the native generator called
with output number i (from 0) of a SplitMix64 stream seeded with `seed`, the
module's own stream (`sample_seed(seed, i)`; `sample(...)` rebuilds it). The
null values are therefore bit-identical for any `batch`, any number of local
threads and any Dask cluster, and any sample can be made again with
`knotwell_rs` alone.
"""

from __future__ import annotations

import operator
import os
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from ._cluster import check_picklable, run_dask
from ._engine import as_value, run_sample, statistic_name
from ._local import empty_rows, run_local
from ._models import Model, build_model
from ._result import NullModelResult
from ._seeds import check_seed, sample_seed

Statistic = Callable[[int, np.ndarray], Any]


class SwapShortfallWarning(UserWarning):
    """Some rewired samples made fewer swaps than their target: they may stay close to the observed graph."""


class NonFiniteNullWarning(RuntimeWarning):
    """Some null values are infinite: the null mean, standard deviation and z-score are not finite numbers."""


def _count(value: Any, name: str, minimum: int) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def _private_edges(edges: Any) -> Any:
    # Our own read-only copy: a caller (or another thread) changing the array
    # during the run cannot change the samples. Anything that is not an array
    # goes to the native module as it is, for its own conversion error.
    if isinstance(edges, np.ndarray):
        edges = np.array(edges, copy=True, order="C")
        edges.flags.writeable = False
    return edges


def _prepare(n: int, edges: Any, model: str, swaps_per_edge: float,
             attempts_per_swap: float) -> tuple[int, Any, Model, Any]:
    n = operator.index(n)
    edges = _private_edges(edges)
    recipe, payload = build_model(model, n, edges, swaps_per_edge, attempts_per_swap)
    return n, edges, recipe, payload


def null_model(n: int, edges: np.ndarray, statistic: Statistic, *, model: str = "rewire", samples: int = 1000,
               swaps_per_edge: float = 10, seed: int = 0, client: Any = None, batch: int | None = None,
               progress: bool = True, workers: int | None = None,
               attempts_per_swap: float = 10) -> NullModelResult:
    """Measure a statistic on a graph and on `samples` graphs of a null model.

    Parameters
    ----------
    n : int
        Number of nodes; nodes are ``0 .. n - 1``.
    edges : numpy.ndarray
        C-contiguous ``uint64`` array of shape ``[m, 2]``, one row per edge
        (``graph.edges`` of a converted graph).
    statistic : callable
        ``statistic(n, edges)`` returning a float or a 1-d array of floats of
        the same length on every graph; ready-made ones are in
        :mod:`knotwell.statistics`. Local runs call it from several threads at
        once; a Dask run needs it picklable.
    model : {"rewire", "configuration", "gnm"}
        ``"rewire"``: degree-preserving double edge swaps of the given simple
        graph, ``swaps_per_edge * m`` target swaps and ``attempts_per_swap``
        times as many attempts. ``"configuration"``: configuration model with
        erasure on the degree sequence of the simple graph behind the rows.
        ``"gnm"``: uniform graph with the same n and number of distinct
        non-loop edges.
    samples : int
        Number of null samples, at least 1.
    swaps_per_edge, attempts_per_swap : float
        Rewiring effort (see `model`); the target and attempt counts are
        computed exactly, also past 2**53.
    seed : int
        In ``[0, 2**64)``. Sample i uses output i of ``SplitMix64(seed)`` as
        its native seed.
    client : distributed.Client, optional
        Run on this Dask cluster instead of local threads.
    batch : int, optional
        Samples per Dask task (default: sized from the measured cost of a
        sample, about one second per task) or per claim of a local thread
        (default 1).
    progress : bool
        Show a tqdm progress bar.
    workers : int, optional
        Local threads (default: the processors this process may use).

    Returns
    -------
    NullModelResult
        Observed value, null values in sample order, the model's diagnostics
        and the summaries (``zscore``, ``pvalue``, ``rho``, ...).

    Raises
    ------
    TypeError, ValueError
        Bad arguments, before any sample is drawn; a statistic that returns
        None, a non-number, a value too large for a float or a changing shape
        fails on the observed graph or at its first bad sample, with its name
        in the message. The native module's own errors (edge range, dtype, a
        rewiring input that is not a simple graph) surface unchanged.

    Warns
    -----
    SwapShortfallWarning
        Some rewired samples made fewer swaps than their target.
    NonFiniteNullWarning
        Some null values are infinite.

    Notes
    -----
    The null values are bit-identical for any `batch`, `workers` or cluster:
    sample i depends on ``(seed, i)`` alone.

    Examples
    --------
    >>> import knotwell
    >>> g = knotwell.datasets.karate_club()
    >>> res = knotwell.null_model(g.n, g.edges, knotwell.statistics.average_clustering,
    ...                           samples=50, seed=1, progress=False)
    >>> res.samples, res.observed > res.mean
    (50, True)
    """
    samples = _count(samples, "samples", 1)
    seed = check_seed(seed)
    batch = None if batch is None else _count(batch, "batch", 1)
    workers = (os.process_cpu_count() or 1) if workers is None else _count(workers, "workers", 1)
    if not callable(statistic):
        raise TypeError(f"statistic must be a callable (n, edges) -> float or 1-d array, "
                        f"got {type(statistic).__name__}")
    if client is not None:
        check_picklable(statistic)
    n, edges, recipe, payload = _prepare(n, edges, model, swaps_per_edge, attempts_per_swap)
    observed = as_value(statistic(n, np.array(edges)), "on the observed graph", statistic)
    shape = observed.shape
    values, diagnostics = empty_rows(samples, shape, len(recipe.diagnostics))
    from tqdm.auto import tqdm  # here, so that importing the package stays quick

    with tqdm(total=samples, disable=not progress, unit="sample", desc=f"{model} null model") as bar:
        # Sample 0 in the calling thread: it shows that the generator takes the
        # input and that the statistic keeps its shape before anything fans
        # out, and its time sizes the Dask batches.
        began = time.perf_counter()
        values[0], diagnostics[0] = run_sample(recipe, payload, statistic, 0, sample_seed(seed, 0), shape)
        seconds = time.perf_counter() - began
        bar.update(1)
        if client is None:
            run_local(recipe, payload, statistic, seed, shape, values, diagnostics, 1, batch or 1, workers, bar)
        else:
            run_dask(client, recipe, payload, statistic, seed, shape, values, diagnostics, 1, batch, seconds, bar)
    return _result(observed, values, diagnostics, recipe, seed, statistic)


def _result(observed: np.ndarray, values: np.ndarray, diagnostics: np.ndarray, recipe: Model, seed: int,
            statistic: Statistic) -> NullModelResult:
    extra = dict(zip(recipe.diagnostics, diagnostics.T))
    name = statistic_name(statistic)
    result = NullModelResult(float(observed) if observed.ndim == 0 else observed, values, recipe.name, seed,
                             name, target_swaps=getattr(recipe, "target_swaps", None), **extra)
    infinite = np.isinf(values)
    if infinite.any():
        rows = int(infinite.reshape(len(values), -1).any(axis=1).sum())
        warnings.warn(
            f"statistic {name} returned an infinite value on {rows} of {len(values)} null samples; its null mean, "
            "standard deviation and z-score are not finite (the p-value counts them and stays defined)",
            NonFiniteNullWarning, stacklevel=3)
    if result.swaps is not None and result.target_swaps is not None:
        short = result.swaps < np.uint64(result.target_swaps)
        if short.any():
            warnings.warn(
                f"{int(short.sum())} of {len(short)} rewired samples fell short of their "
                f"{result.target_swaps} target swaps (fewest achieved: {int(result.swaps.min())}); they may "
                "stay close to the observed graph (see result.swaps and result.attempts)",
                SwapShortfallWarning, stacklevel=3)
    return result


def sample(n: int, edges: np.ndarray, i: int, *, model: str = "rewire", seed: int = 0, swaps_per_edge: float = 10,
           attempts_per_swap: float = 10) -> np.ndarray:
    """The edges of null sample `i` of `null_model` called with the same arguments.

    Parameters
    ----------
    n, edges, model, seed, swaps_per_edge, attempts_per_swap
        As for :func:`null_model`.
    i : int
        Sample index, from 0.

    Returns
    -------
    numpy.ndarray
        ``uint64`` edges ``[m', 2]`` of the sample.

    Examples
    --------
    >>> import knotwell, knotwell_rs
    >>> g = knotwell.datasets.karate_club()
    >>> edges = knotwell.sample(g.n, g.edges, 3, seed=1)
    >>> bool((knotwell_rs.degree_rust(g.n, edges, False) == knotwell_rs.degree_rust(g.n, g.edges, False)).all())
    True
    """
    n, _, recipe, payload = _prepare(n, edges, model, swaps_per_edge, attempts_per_swap)
    return recipe.draw(payload, sample_seed(check_seed(seed), i))[0]
