"""One sample and one batch of samples: generate, measure, drop.

These functions are what every runner executes, locally in threads or as
Dask tasks, so that a sample's value never depends on where it ran.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

import numpy as np

from ._seeds import sample_seeds


def statistic_name(statistic: Any) -> str:
    """What a plot, a summary or an error message calls the statistic."""
    return getattr(statistic, "name", None) or getattr(statistic, "__name__", None) or type(statistic).__name__


def as_value(raw: Any, where: str, statistic: Any = None) -> np.ndarray:
    """A statistic's return value as a float64 array of 0 or 1 dimensions.

    `where` says which graph it was measured on ("on the observed graph",
    "on null sample 3"); every error names the statistic as well.
    """
    name = statistic_name(statistic) if statistic is not None else "statistic"
    if raw is None:
        # np.asarray(None, float) is a silent NaN: a forgotten return would
        # otherwise give an all-NaN null with no word of why.
        raise TypeError(f"statistic {name} returned None {where}; it must return a float or a 1-d array of "
                        "floats (is a return statement missing?)")
    try:
        value = np.asarray(raw, dtype=np.float64)
    except OverflowError:
        raise OverflowError(f"statistic {name} returned a number too large for a float64 {where}") from None
    except (TypeError, ValueError) as exc:
        raise TypeError(f"statistic must return a float or a 1-d array of floats; {where} it returned "
                        f"{type(raw).__name__} ({exc}) (statistic {name})") from None
    if value.ndim > 1:
        raise ValueError(f"statistic must return a float or a 1-d array; {where} it returned shape {value.shape} "
                         f"(statistic {name})")
    if value.ndim == 1 and value.size == 0:
        raise ValueError(f"statistic {name} returned an empty array {where}")
    return value


def run_sample(model: Any, payload: Any, statistic: Callable[..., Any], i: int, native_seed: int,
               shape: tuple[int, ...]) -> tuple[np.ndarray, tuple[int, ...]]:
    """The statistic's value on sample i and the sample's diagnostics."""
    edges, diagnostics = model.draw(payload, int(native_seed))
    value = as_value(statistic(model.n, edges), f"on null sample {i}", statistic)
    if value.shape != shape:
        raise ValueError(
            f"statistic {statistic_name(statistic)} returned shape {value.shape} on null sample {i} but {shape} "
            "on the observed graph; it must return the same shape for every graph (for the rich-club "
            "coefficient, fix its ks)")
    del edges
    return value, diagnostics


def run_batch(model: Any, payload: Any, statistic: Callable[..., Any], seed: int, start: int, stop: int,
              shape: tuple[int, ...], cancelled: Callable[[], bool] | None = None,
              ) -> tuple[np.ndarray, np.ndarray, float]:
    """Samples start .. stop - 1: (values [count, *shape], diagnostics [count, d], seconds spent).

    The seconds are the batch's own compute time, which the Dask runner uses
    to size the batches that follow. `cancelled`, asked before each sample,
    ends the batch early; its rows are then unfilled and must be discarded.
    """
    began = time.perf_counter()
    seeds = sample_seeds(seed, stop, start)
    values = np.empty((stop - start,) + shape, dtype=np.float64)
    diagnostics = np.zeros((stop - start, len(model.diagnostics)), dtype=np.uint64)
    for k, native_seed in enumerate(seeds):
        if cancelled is not None and cancelled():
            break
        values[k], diagnostics[k] = run_sample(model, payload, statistic, start + k, native_seed, shape)
    return values, diagnostics, time.perf_counter() - began
