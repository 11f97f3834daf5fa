"""The three null models, each a small picklable recipe around one native generator.

A recipe holds the scalar parameters of its model; the one array it needs (the
edge list for rewiring, the degree sequence for the configuration model,
nothing for G(n, m)) travels separately as its *payload*, so that a Dask run
can scatter it once instead of shipping it inside every task.

`draw(payload, native_seed)` returns the sample's edges and its diagnostics, a
tuple of ints whose meaning is given by `diagnostics` (achieved swaps and
attempts for rewiring, discarded pairings for the configuration model).
"""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np

import knotwell_rs as kw


MODELS: tuple[str, ...] = ("rewire", "configuration", "gnm")
U64_MAX = 2**64 - 1


class Model:
    n: int
    name: str = ""
    diagnostics: tuple[str, ...] = ()

    def draw(self, payload: Any, native_seed: int) -> tuple[np.ndarray, tuple[int, ...]]:
        raise NotImplementedError


@dataclass(frozen=True)
class Rewire(Model):
    """Degree-preserving double edge swaps from the observed (simple) graph."""

    n: int
    target_swaps: int
    max_attempts: int
    name = "rewire"
    diagnostics = ("swaps", "attempts")

    def draw(self, payload, native_seed):
        samples, swaps, attempts = kw.rewire_degree_preserving_rust(
            self.n, payload, 1, self.target_swaps, self.max_attempts, native_seed)
        return samples[0], (swaps[0], attempts[0])


@dataclass(frozen=True)
class Configuration(Model):
    """Configuration model with erasure on the observed degree sequence."""

    n: int
    name = "configuration"
    diagnostics = ("discarded",)

    def draw(self, payload, native_seed):
        edges, discarded = kw.configuration_model_rust(payload, native_seed)
        return edges, (discarded,)


@dataclass(frozen=True)
class Gnm(Model):
    """Uniform random simple graph with the observed n and number of distinct edges."""

    n: int
    m: int
    name = "gnm"

    def draw(self, payload, native_seed):
        return kw.erdos_renyi_rust(self.n, self.m, native_seed), ()


def simple_pairs(n: int, edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(low, high) of every distinct non-loop pair among the rows, as uint64 arrays.

    The rows must already have passed the native range check (ids below n).
    """
    lo = np.minimum(edges[:, 0], edges[:, 1])
    hi = np.maximum(edges[:, 0], edges[:, 1])
    keep = lo != hi
    lo, hi = lo[keep], hi[keep]
    if len(lo) == 0:
        return lo, hi
    if n <= 2**32:
        # lo * n + hi < n^2 <= 2^64: one sortable key per pair. A plain sort
        # settles the common case (generated samples have no repeats) at a
        # fraction of the cost of finding first occurrences.
        key = lo * np.uint64(n) + hi
        if not _has_repeats(np.sort(key)):
            return lo, hi
        order = np.argsort(key, kind="stable")
        ordered = key[order]
    else:
        order = np.lexsort((hi, lo))
        ordered = np.stack([lo[order], hi[order]], axis=1)
    # The first occurrence of each pair, kept in row order.
    first = np.ones(len(order), dtype=bool)
    differs = ordered[1:] != ordered[:-1]
    first[1:] = differs if differs.ndim == 1 else differs.any(axis=1)
    keep = np.sort(order[first])
    return lo[keep], hi[keep]


def _has_repeats(ordered: np.ndarray) -> bool:
    return bool((ordered[1:] == ordered[:-1]).any())


def _real(value: Any, name: str) -> int | float:
    """`value` as a plain int or float, its conversion method called once."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return operator.index(value) if isinstance(value, numbers.Integral) else float(value)


def target_swaps(swaps_per_edge: Any, m: int) -> int:
    """swaps_per_edge * m, exactly for an integer, rounded up for a float."""
    spe = _real(swaps_per_edge, "swaps_per_edge")
    if not (spe >= 0 and (isinstance(spe, int) or math.isfinite(spe))):
        raise ValueError(f"swaps_per_edge must be finite and non-negative, got {spe}")
    target = spe * m  # exact for an int; a float is range-checked before rounding up
    if target > U64_MAX:
        raise ValueError(f"swaps_per_edge * m = {target:.0f} target swaps exceeds 2**64 - 1")
    return target if isinstance(target, int) else math.ceil(target)


def build_model(model: Any, n: int, edges: Any, swaps_per_edge: Any,
                attempts_per_swap: Any) -> tuple[Model, Any]:
    """(recipe, payload) of `model` for the observed graph (n, edges).

    Failures of n and the edges surface as the native module raises them.
    """
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(map(repr, MODELS))}")
    # The native checks of n and the edges (and their exact messages) first.
    kw.degree_rust(n, edges, False)
    if model == "rewire":
        target = target_swaps(swaps_per_edge, len(edges))
        factor = _real(attempts_per_swap, "attempts_per_swap")
        if not factor >= 1 or not math.isfinite(factor):
            raise ValueError(f"attempts_per_swap must be finite and at least 1, got {attempts_per_swap}")
        # In exact arithmetic: a float product rounds a target above 2^53
        # down, below the target itself, which the generator refuses.
        attempts = min(math.ceil(Fraction(target) * Fraction(factor)), U64_MAX)
        # Rewiring's own checks (self-loops, repeats) at the cost of one
        # sample without swaps, before anything is measured.
        kw.rewire_degree_preserving_rust(n, edges, 1, 0, 0, 0)
        return Rewire(n, target, attempts), edges
    lo, hi = simple_pairs(n, edges)
    if model == "configuration":
        degrees = np.bincount(np.concatenate([lo, hi]).astype(np.intp), minlength=n).astype(np.uint64)
        return Configuration(n), degrees
    return Gnm(n, len(lo)), None
