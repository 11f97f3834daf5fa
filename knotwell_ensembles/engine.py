"""One sample and one batch of samples: generate, measure, drop.

These functions are what every runner executes, locally in threads or as
Dask tasks, so that a sample's value never depends on where it ran.
"""

from __future__ import annotations

import numpy as np

from .seeds import sample_seeds

__all__ = ["as_value", "run_batch", "run_sample"]


def as_value(raw, where: str) -> np.ndarray:
    """A statistic's return value as a float64 array of 0 or 1 dimensions."""
    try:
        value = np.asarray(raw, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"statistic must return a float or a 1-d array of floats; {where} it returned "
                        f"{type(raw).__name__} ({exc})") from None
    if value.ndim > 1:
        raise ValueError(f"statistic must return a float or a 1-d array; {where} it returned shape {value.shape}")
    if value.ndim == 1 and value.size == 0:
        raise ValueError(f"statistic returned an empty array {where}")
    return value


def run_sample(model, payload, statistic, i: int, native_seed: int, shape: tuple):
    """The statistic's value on sample i and the sample's diagnostics."""
    edges, diagnostics = model.draw(payload, int(native_seed))
    value = as_value(statistic(model.n, edges), f"on null sample {i}")
    if value.shape != shape:
        raise ValueError(
            f"statistic returned shape {value.shape} on null sample {i} but {shape} on the observed graph; "
            "it must return the same shape for every graph (for the rich-club coefficient, fix its ks)")
    del edges
    return value, diagnostics


def run_batch(model, payload, statistic, seed: int, start: int, stop: int, shape: tuple):
    """Samples start .. stop - 1: (values [count, *shape], diagnostics [count, d])."""
    seeds = sample_seeds(seed, stop, start)
    values = np.empty((stop - start,) + shape, dtype=np.float64)
    diagnostics = np.zeros((stop - start, len(model.diagnostics)), dtype=np.uint64)
    for k, native_seed in enumerate(seeds):
        values[k], diagnostics[k] = run_sample(model, payload, statistic, start + k, native_seed, shape)
    return values, diagnostics
