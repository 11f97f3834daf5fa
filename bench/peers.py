"""Graph construction for the peer libraries, from the same uint64 edge array.

Each builder is the fastest documented route from an [m, 2] array to the
library's own graph object and is timed as part of the peer's end-to-end run.
The benchmark graphs are simple (see graphs.py), so none of the builders needs
a clean-up pass; where a library would read the rows differently (multi-edges,
self-loops) the case says so and builds accordingly.
"""

from __future__ import annotations

import importlib
from functools import cache

import numpy as np

LIBRARIES = ("numpy", "scipy", "networkx", "igraph", "rustworkx", "networkit")
# Module to import for each library name (python-igraph imports as igraph).
_MODULES = {"numpy": "numpy", "scipy": "scipy.sparse.csgraph", "networkx": "networkx", "igraph": "igraph",
            "rustworkx": "rustworkx", "networkit": "networkit"}


@cache
def available(library: str) -> bool:
    try:
        importlib.import_module(_MODULES[library])
    except Exception:  # an absent or broken peer is simply not benchmarked
        return False
    return True


def version(dist: str) -> str | None:
    from importlib import metadata

    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def _cols(edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # int64 views cost nothing and every peer accepts them; node ids of the
    # benchmark graphs are far below 2^63.
    e = edges.view(np.int64)
    return e[:, 0], e[:, 1]


def nx_graph(n: int, edges: np.ndarray, directed: bool = False, weights: np.ndarray | None = None):
    import networkx as nx

    g = nx.DiGraph() if directed else nx.Graph()
    g.add_nodes_from(range(n))
    if weights is None:
        g.add_edges_from(edges.tolist())
    else:
        u, v = _cols(edges)
        g.add_weighted_edges_from(zip(u.tolist(), v.tolist(), weights.tolist()))
    return g


def ig_graph(n: int, edges: np.ndarray, directed: bool = False):
    import igraph as ig

    return ig.Graph(n=n, edges=edges.view(np.int64), directed=directed)


def nk_graph(n: int, edges: np.ndarray, directed: bool = False, weights: np.ndarray | None = None):
    import networkit as nk

    u, v = _cols(edges)
    if weights is None:
        return nk.GraphFromCoo((u, v), n, weighted=False, directed=directed)
    return nk.GraphFromCoo((weights, (u, v)), n, weighted=True, directed=directed)


def rx_graph(n: int, edges: np.ndarray, directed: bool = False, weights: np.ndarray | None = None):
    import rustworkx as rx

    g = rx.PyDiGraph() if directed else rx.PyGraph()
    g.add_nodes_from(range(n))
    u, v = _cols(edges)
    if weights is None:
        g.extend_from_edge_list(list(zip(u.tolist(), v.tolist())))
    else:
        g.extend_from_weighted_edge_list(list(zip(u.tolist(), v.tolist(), weights.tolist())))
    return g


def csr(n: int, edges: np.ndarray, weights: np.ndarray | None = None, symmetric: bool = False,
        transpose: bool = False):
    """CSR adjacency matrix.  csgraph routines read a one-way matrix as
    undirected with directed=False, so `symmetric` is only for the callers
    that read the structure themselves (degree from indptr)."""
    import scipy.sparse as sp

    u, v = _cols(edges)
    if transpose:
        u, v = v, u
    data = np.ones(len(u)) if weights is None else weights
    if symmetric:
        u, v = np.concatenate([u, v]), np.concatenate([v, u])
        data = np.concatenate([data, data])
    return sp.csr_array((data, (u, v)), shape=(n, n))


def with_threads(library: str, threads: int | None):
    """Context manager setting a peer's own thread count (NetworKit only;
    igraph is single-threaded and rustworkx follows RAYON_NUM_THREADS)."""
    import contextlib

    @contextlib.contextmanager
    def scope():
        if library != "networkit" or threads is None:
            yield
            return
        import networkit as nk

        before = nk.getCurrentNumberOfThreads()
        nk.setNumberOfThreads(threads)
        try:
            yield
        finally:
            nk.setNumberOfThreads(before)

    return scope()
