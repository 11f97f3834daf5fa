"""Small classic graphs, shipped with the package, as `knotwell.Graph` records.

Each call reads the packaged file anew and returns arrays the caller owns.

Examples
--------
>>> import knotwell
>>> g = knotwell.datasets.karate_club()
>>> g.n, g.m
(34, 78)
"""

from __future__ import annotations

import json
from importlib import resources

import numpy as np

from .._graph import Graph

__all__ = ["florentine_families", "karate_club", "les_miserables"]


def _load(name: str) -> Graph:
    data = json.loads(resources.files(__name__).joinpath(f"{name}.json").read_text(encoding="utf-8"))
    edges = np.array(data["edges"], dtype=np.uint64).reshape(-1, 2)
    weights = np.array(data["weights"], dtype=np.float64) if "weights" in data else None
    names = data["names"]
    n = len(names) if names is not None else int(edges.max()) + 1
    return Graph(n, edges, weights, None if names is None else tuple(names), False)


def karate_club() -> Graph:
    """Zachary's karate club: 34 members, 78 friendships (Zachary 1977).

    Returns
    -------
    Graph
        Undirected, unweighted, nodes ``0 .. 33`` without names (node 0 is
        the instructor, node 33 the administrator).

    Examples
    --------
    >>> import knotwell, knotwell_rs
    >>> g = knotwell.datasets.karate_club()
    >>> round(knotwell_rs.clustering_avg_rust(g.n, g.edges), 4)
    0.5706
    """
    return _load("karate_club")


def les_miserables() -> Graph:
    """Co-appearances of the characters of Les Misérables: 77 nodes, 254 weighted edges (Knuth 1993).

    Returns
    -------
    Graph
        Undirected; the weight is the number of chapters in which the two
        characters appear together; names are the characters.

    Examples
    --------
    >>> import knotwell
    >>> g = knotwell.datasets.les_miserables()
    >>> g.n, g.m, float(g.weights.max()), g.names[0]
    (77, 254, 31.0, 'Napoleon')
    """
    return _load("les_miserables")


def florentine_families() -> Graph:
    """Marriage ties among Renaissance Florentine families: 15 nodes, 20 edges (Padgett & Ansell 1993).

    Returns
    -------
    Graph
        Undirected, unweighted; names are the families.

    Examples
    --------
    >>> import knotwell
    >>> g = knotwell.datasets.florentine_families()
    >>> g.n, g.m, "Medici" in g.names
    (15, 20, True)
    """
    return _load("florentine_families")
