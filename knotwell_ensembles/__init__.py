"""Null-model ensembles over knotwell_rs: is a property of a network more than its degrees or size explain?

    import knotwell_ensembles as ke
    res = ke.null_model(n, edges, ke.statistics.average_clustering, model="rewire", samples=1000)
    res.observed, res.null, res.zscore, res.pvalue
    res.plot()

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
import warnings

import numpy as np

from . import statistics
from .cluster import check_picklable, default_batch, run_dask
from .engine import as_value, run_sample
from .local import empty_rows, run_local
from .models import MODELS, build_model
from .result import NullModelResult
from .seeds import check_seed, sample_seed, sample_seeds
from .statistics import statistic_name

__all__ = ["null_model", "sample", "NullModelResult", "SwapShortfallWarning", "MODELS", "sample_seed",
           "sample_seeds", "statistics"]


class SwapShortfallWarning(UserWarning):
    """Some rewired samples made fewer swaps than their target: they may stay close to the observed graph."""


def _count(value, name, minimum):
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def _private_edges(edges):
    # Our own read-only copy: a caller (or another thread) changing the array
    # during the run cannot change the samples. Anything that is not an array
    # goes to the native module as it is, for its own conversion error.
    if isinstance(edges, np.ndarray):
        edges = np.array(edges, copy=True, order="C")
        edges.flags.writeable = False
    return edges


def _prepare(n, edges, model, swaps_per_edge, attempts_per_swap):
    n = operator.index(n)
    edges = _private_edges(edges)
    recipe, payload = build_model(model, n, edges, swaps_per_edge, attempts_per_swap)
    return n, edges, recipe, payload


def null_model(n, edges, statistic, *, model="rewire", samples=1000, swaps_per_edge=10, seed=0, client=None,
               batch=None, progress=True, workers=None, attempts_per_swap=10) -> NullModelResult:
    """Measure `statistic` on the graph (n, edges) and on `samples` graphs of a null model.

    statistic: picklable callable (n, edges) -> float or 1-d array, same shape on every graph
        (ready-made ones in `knotwell_ensembles.statistics`). Local runs call it from several
        threads at once.
    model: "rewire" (degree-preserving double edge swaps of the given simple graph,
        swaps_per_edge * m target swaps and attempts_per_swap times as many attempts; the achieved
        counts are in result.swaps / result.attempts, and a SwapShortfallWarning says when any sample
        fell short), "configuration" (configuration model with erasure on the degree sequence of the
        simple graph behind the rows; result.discarded holds each sample's dropped pairings) or
        "gnm" (uniform graph with the same n and number of distinct non-loop edges).
    seed: sample i uses output i of SplitMix64(seed) as its native seed, so the null values are
        the same for any batch, workers or cluster.
    client: a distributed.Client to run on a Dask cluster instead of local threads.
    batch: samples per Dask task (default about eight tasks per worker thread) or per claim of a
        local thread (default 1).
    workers: local threads (default: the processors this process may use).
    progress: show a tqdm bar.

    Bad arguments fail before any sample is drawn; the native module's own errors (edge range,
    dtype, a rewiring input that is not a simple graph) surface unchanged.
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
    observed = as_value(statistic(n, np.array(edges)), "on the observed graph")
    shape = observed.shape
    values, diagnostics = empty_rows(samples, shape, len(recipe.diagnostics))
    from tqdm.auto import tqdm  # here, so that importing the package stays quick

    with tqdm(total=samples, disable=not progress, unit="sample", desc=f"{model} null model") as bar:
        # Sample 0 in the calling thread: it shows that the generator takes the
        # input and that the statistic keeps its shape before anything fans out.
        values[0], diagnostics[0] = run_sample(recipe, payload, statistic, 0, sample_seed(seed, 0), shape)
        bar.update(1)
        if client is None:
            run_local(recipe, payload, statistic, seed, shape, values, diagnostics, 1, batch or 1, workers, bar)
        else:
            batch = batch or default_batch(client, samples)
            run_dask(client, recipe, payload, statistic, seed, shape, values, diagnostics, 1, batch, bar)
    return _result(observed, values, diagnostics, recipe, seed, statistic)


def _result(observed, values, diagnostics, recipe, seed, statistic):
    extra = dict(zip(recipe.diagnostics, diagnostics.T))
    observed = float(observed) if observed.ndim == 0 else observed
    result = NullModelResult(observed, values, recipe.name, seed, statistic_name(statistic),
                             target_swaps=getattr(recipe, "target_swaps", None), **extra)
    if result.swaps is not None:
        short = result.swaps < np.uint64(result.target_swaps)
        if short.any():
            warnings.warn(
                f"{int(short.sum())} of {len(short)} rewired samples fell short of their "
                f"{result.target_swaps} target swaps (fewest achieved: {int(result.swaps.min())}); they may "
                "stay close to the observed graph (see result.swaps and result.attempts)",
                SwapShortfallWarning, stacklevel=3)
    return result


def sample(n, edges, i, *, model="rewire", seed=0, swaps_per_edge=10, attempts_per_swap=10) -> np.ndarray:
    """The edges of null sample `i` of `null_model` called with the same arguments."""
    n, _, recipe, payload = _prepare(n, edges, model, swaps_per_edge, attempts_per_swap)
    return recipe.draw(payload, sample_seed(check_seed(seed), i))[0]

