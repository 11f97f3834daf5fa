"""Ready-made statistics `(n, edges) -> float | 1-d array`, on the simple undirected graph.

Each one reads the simple graph behind the rows: repeated rows, rows given in
both directions and self-loops do not change it. Each first calls a native
function on the edges, so a malformed edge array fails with the module's own
message. All are picklable (plain functions or instances of module-level
classes), so they run on Dask workers too.

Interpreter lock: `clustering_avg_rust`, `triangles_per_node_rust`,
`degree_rust`, `core_numbers_rust` and `mean_shortest_path_rust` hold it while
they compute (the last one spreads its sweep over the native pool all the
same); `louvain_rust` releases it. In a local run these statistics therefore
take turns across threads while the generators run side by side.

Examples
--------
>>> import numpy as np, knotwell
>>> from knotwell import statistics
>>> g = knotwell.datasets.karate_club()
>>> loop = np.array([[3, 3]], dtype=np.uint64)
>>> noisy = np.vstack([g.edges, g.edges[:5, ::-1], loop])  # reversed repeats and a self-loop
>>> statistics.transitivity(g.n, noisy) == statistics.transitivity(g.n, g.edges)
True
>>> both = statistics.Combined(statistics.max_core, statistics.triangle_count)
>>> both(g.n, g.edges).tolist()
[4.0, 45.0]
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

import knotwell_rs as kw

from ._engine import statistic_name
from ._models import simple_pairs

__all__ = ["statistic_name", "average_clustering", "transitivity", "triangle_count", "degree_assortativity", "rich_club_coefficient",
           "RichClub", "mean_shortest_path", "LouvainModularity", "louvain_modularity", "max_core", "Combined"]


def average_clustering(n: int, edges: np.ndarray) -> float:
    """Mean local clustering coefficient over all n nodes (nodes of degree < 2 count as 0)."""
    return kw.clustering_avg_rust(n, edges)


def _triangles_and_degrees(n: int, edges: np.ndarray):
    triangles = kw.triangles_per_node_rust(n, edges)  # also the range check
    lo, hi = simple_pairs(n, edges)
    degree = np.bincount(np.concatenate([lo, hi]).astype(np.intp), minlength=n)
    return triangles, degree, lo, hi


def transitivity(n: int, edges: np.ndarray) -> float:
    """3 * triangles / connected triples (0.0 without triangles)."""
    triangles, degree, _, _ = _triangles_and_degrees(n, edges)
    closed = int(triangles.sum(dtype=np.uint64))  # 3 * triangles: each counted at its three corners
    if closed == 0:
        return 0.0
    triples = int((degree.astype(np.uint64) * (degree.astype(np.uint64) - np.uint64(1)) // np.uint64(2)).sum())
    return closed / triples  # exact ints, one correctly rounded division


def triangle_count(n: int, edges: np.ndarray) -> float:
    """Number of triangles."""
    return float(int(kw.triangles_per_node_rust(n, edges).sum(dtype=np.uint64)) // 3)


def _edge_end_degrees(n: int, edges: np.ndarray):
    kw.degree_rust(n, edges, False)  # the native range check first
    lo, hi = simple_pairs(n, edges)
    degree = np.bincount(np.concatenate([lo, hi]).astype(np.intp), minlength=n)
    return degree, lo, hi


def degree_assortativity(n: int, edges: np.ndarray) -> float:
    """Pearson correlation of the degrees at the two ends of an edge (NaN when all ends share one degree)."""
    degree, lo, hi = _edge_end_degrees(n, edges)
    if len(lo) == 0:
        return float("nan")
    x = degree[lo].astype(np.float64)
    y = degree[hi].astype(np.float64)
    # Every edge read in both directions, centred first for accuracy.
    mu = (x.sum() + y.sum()) / (2 * len(x))
    x -= mu
    y -= mu
    spread = float((x * x).sum() + (y * y).sum())
    if spread == 0.0:
        return float("nan")
    return float(2 * (x * y).sum() / spread)


def rich_club_coefficient(n: int, edges: np.ndarray, ks: Any = None) -> np.ndarray:
    """phi(k) = 2 E_k / (N_k (N_k - 1)) for each k in `ks`.

    N_k nodes have degree above k and E_k edges join two of them; phi(k) is NaN
    where N_k < 2. Without `ks`, k runs over 0 .. K - 1 for the K values of k
    at which at least two nodes have degree above k (so the length depends on
    the graph; use `RichClub` for a statistic of fixed length).
    """
    degree, lo, hi = _edge_end_degrees(n, edges)
    top = int(degree.max()) if len(degree) else 0
    above = np.bincount(degree, minlength=top + 1)[::-1].cumsum()[::-1]  # above[d] = #nodes with degree >= d
    nodes_above = np.append(above[1:], 0)  # N_k = #nodes with degree > k, k = 0 .. top
    if ks is None:
        ks = np.arange(int(np.count_nonzero(nodes_above >= 2)))
    ks = np.asarray(ks, dtype=np.int64)
    if ks.ndim != 1 or (ks < 0).any():
        raise ValueError("ks must be a 1-d sequence of non-negative degrees")
    weakest = np.minimum(degree[lo], degree[hi])  # an edge joins nodes of degree > k iff its weaker end does
    edges_above = np.bincount(weakest, minlength=top + 1)[::-1].cumsum()[::-1]  # #edges with weakest end >= d
    e_k = np.where(ks + 1 <= top, edges_above[np.minimum(ks + 1, top)], 0).astype(np.float64)
    n_k = np.where(ks < top, nodes_above[np.minimum(ks, top)], 0).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        phi = 2 * e_k / (n_k * (n_k - 1))
    return np.where(n_k >= 2, phi, np.nan)


class RichClub:
    """The rich-club coefficient phi(k) at fixed degrees `ks`, a statistic of fixed length.

    `RichClub(ks)` with an int K uses k = 0 .. K - 1. `RichClub.for_graph(n, edges)`
    takes every k at which the given graph has at least two nodes of degree above k.
    The result's `rho` is then the normalised coefficient phi(k) / mean null phi(k).
    """

    name = "rich-club phi(k)"

    def __init__(self, ks: int | Sequence[int] | np.ndarray):
        given = np.asarray(ks)
        values = np.arange(given.item()) if given.ndim == 0 else given
        if values.ndim != 1 or len(values) == 0 or not np.issubdtype(values.dtype, np.integer) or (values < 0).any():
            raise ValueError("ks must be a positive int or a non-empty sequence of non-negative ints")
        self.ks = values.astype(np.int64)

    @classmethod
    def for_graph(cls, n: int, edges: np.ndarray) -> RichClub:
        return cls(len(rich_club_coefficient(n, edges)) or 1)

    def __call__(self, n: int, edges: np.ndarray) -> np.ndarray:
        return rich_club_coefficient(n, edges, self.ks)

    def __repr__(self) -> str:
        return f"RichClub(ks={self.ks.tolist() if len(self.ks) <= 8 else f'{len(self.ks)} values'})"


def mean_shortest_path(n: int, edges: np.ndarray) -> float:
    """Mean hop distance over connected pairs of distinct nodes (NaN when there are none)."""
    return kw.mean_shortest_path_rust(n, edges)


class LouvainModularity:
    """Best modularity that Louvain reaches over the given seeds."""

    name = "Louvain modularity"

    def __init__(self, seeds: Iterable[int] = (0, 1, 2, 3)):
        self.seeds = tuple(int(s) for s in seeds)
        if not self.seeds:
            raise ValueError("LouvainModularity needs at least one seed")

    def __call__(self, n: int, edges: np.ndarray) -> float:
        kw.degree_rust(n, edges, False)  # the native range check first
        # Louvain weighs a repeated row as a heavier edge and counts a
        # self-loop in the modularity: both would change the value, so it
        # runs on the simple graph behind the rows.
        lo, hi = simple_pairs(n, edges)
        simple = np.stack([lo, hi], axis=1)
        return max(kw.louvain_rust(n, simple, seed=s)[1] for s in self.seeds)

    def __repr__(self) -> str:
        return f"LouvainModularity(seeds={self.seeds})"


louvain_modularity = LouvainModularity()


def max_core(n: int, edges: np.ndarray) -> float:
    """Largest core number (0.0 for an empty graph)."""
    cores = kw.core_numbers_rust(n, edges)
    return float(cores.max()) if len(cores) else 0.0


class Combined:
    """Several statistics as one 1-d statistic, their values concatenated in order.

    One ensemble then measures every sample once for all of them; use
    `result.component(j)` for a single one.
    """

    def __init__(self, *statistics: Callable[[int, np.ndarray], Any]):
        if not statistics or not all(callable(s) for s in statistics):
            raise TypeError("Combined needs one or more callable statistics")
        self.statistics = statistics
        self.name = " + ".join(statistic_name(s) for s in statistics)

    def __call__(self, n: int, edges: np.ndarray) -> np.ndarray:
        return np.concatenate([np.atleast_1d(np.asarray(s(n, edges), dtype=np.float64)) for s in self.statistics])

    def __repr__(self) -> str:
        return f"Combined({', '.join(map(repr, self.statistics))})"
