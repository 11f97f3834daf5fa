"""From the graphs users have to `Graph`, checked here so the native module only ever sees sound arrays.

Every converter numbers the nodes 0 .. n - 1 in the order the source lists
them (a graph library's node order; a table's or a list's first appearance)
and keeps every row: repeated edges, both directions and self-loops reach the
record as the source had them, since each native function documents what it
makes of them.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Sequence
from typing import Any

import numpy as np

from ._graph import Graph

_FIX_DTYPE = "np.asarray(x, dtype=np.uint64)"


def _pairs_array(x: Any, what: str) -> np.ndarray:
    """An integer array of node ids as C-contiguous uint64 [m, 2], or an error saying how to fix it."""
    arr = np.asarray(x)
    if arr.size == 0:
        return np.zeros((0, 2), dtype=np.uint64)
    if arr.ndim != 2 or 2 not in arr.shape:
        raise ValueError(f"{what} must have shape [m, 2] (one row per edge), got shape {arr.shape}")
    if arr.shape[1] != 2:
        raise ValueError(f"{what} has shape {arr.shape}: one row per edge is expected, shape [m, 2]; "
                         "this looks like [2, m], pass its transpose (x.T)")
    if arr.dtype == np.bool_ or arr.dtype.kind not in "ui":
        raise TypeError(f"{what} must hold integer node ids, got dtype {arr.dtype}; convert whole-number "
                        f"ids with {_FIX_DTYPE}, or pass names (strings, ...) as a list of pairs")
    if arr.dtype.kind == "i" and (arr < 0).any():
        row = int(np.flatnonzero((arr < 0).any(axis=1))[0])
        raise ValueError(f"{what} row {row} {tuple(arr[row].tolist())} holds a negative node id")
    return np.ascontiguousarray(arr, dtype=np.uint64)


def _weights(weights: Any, m: int, what: str) -> np.ndarray | None:
    if weights is None:
        return None
    try:
        w = np.array(weights, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be numbers, one per edge ({exc})") from None
    if len(w) != m:
        raise ValueError(f"{what} has {len(w)} values for {m} edges; give one weight per edge")
    bad = ~np.isfinite(w)
    if bad.any():
        raise ValueError(f"{what} must be finite numbers; edge {int(np.flatnonzero(bad)[0])} has "
                         f"{w[bad][0]}")
    return w


def _factorize(flat: Sequence[Hashable], what: str) -> tuple[np.ndarray, tuple[Hashable, ...]]:
    """Ids in order of first appearance, and the names in id order."""
    index: dict[Hashable, int] = {}
    ids = np.empty(len(flat), dtype=np.uint64)
    for k, name in enumerate(flat):
        if name is None:
            raise ValueError(f"{what} row {k // 2} has a missing node name (None)")
        try:
            ids[k] = index.setdefault(name, len(index))
        except TypeError:
            raise TypeError(f"{what} row {k // 2}: node name {name!r} is not hashable") from None
    return ids.reshape(-1, 2), tuple(index)


def _is_integer(x: Any) -> bool:
    return isinstance(x, (int, np.integer)) and not isinstance(x, (bool, np.bool_))


def from_edges(pairs: Any, names: Sequence[Hashable] | None = None, *, weights: Any = None, directed: bool = False,
               n: int | None = None) -> Graph:
    """A graph from pairs of node ids or node names.

    Parameters
    ----------
    pairs : array_like
        One pair per edge: integer ids (a list of pairs or an integer array of
        shape ``[m, 2]``, any integer dtype) or node names (strings or any
        hashable values).
    names : sequence, optional
        Node names in id order. With it, `pairs` hold names and every name
        is a node, with or without edges (isolated nodes). Without it,
        integer pairs are ids as given, and other pairs are names numbered in
        order of first appearance.
    weights : array_like, optional
        One finite number per pair.
    directed : bool
        Whether the pairs are (source, target).
    n : int, optional
        Number of nodes for integer ids (default: largest id + 1), to keep
        isolated nodes past the largest id.

    Returns
    -------
    Graph

    Raises
    ------
    TypeError, ValueError
        Pairs of the wrong shape (``[2, m]``: pass the transpose), floats,
        negative ids, an id at or above `n`, a name missing from `names`,
        weights of the wrong length or not finite.

    Examples
    --------
    >>> import numpy as np, knotwell
    >>> knotwell.from_edges(np.array([[0, 1], [1, 2]], dtype=np.int64)).edges.dtype
    dtype('uint64')
    >>> g = knotwell.from_edges([("a", "b")], names=["a", "b", "lonely"])
    >>> g.n, g.names
    (3, ('a', 'b', 'lonely'))
    """
    if hasattr(pairs, "columns"):
        raise TypeError("pairs is a table; use knotwell.from_pandas(df, source, target)")
    if names is not None:
        names = tuple(names)
        index = {name: i for i, name in enumerate(names)}
        if len(index) != len(names):
            raise ValueError("names must not repeat a name")
        flat = _flat_pairs(pairs)
        try:
            ids = np.array([index[name] for name in flat], dtype=np.uint64).reshape(-1, 2)
        except KeyError as exc:
            raise ValueError(f"pairs name node {exc.args[0]!r}, which is not in names") from None
        except TypeError as exc:
            raise TypeError(f"pairs hold an unhashable node name ({exc})") from None
        return Graph(len(names), ids, _weights(weights, len(ids), "weights"), names, directed)
    if isinstance(pairs, np.ndarray) and pairs.dtype.kind not in "OUS":
        edges = _pairs_array(pairs, "pairs")
    else:
        flat = _flat_pairs(pairs)
        if all(_is_integer(x) for x in flat):
            numbers = [int(x) for x in flat]
            bad = next((k for k, x in enumerate(numbers) if not 0 <= x < 2**64), None)
            if bad is not None:
                raise ValueError(f"pairs row {bad // 2} holds node id {numbers[bad]}, outside [0, 2**64)")
            edges = np.array(numbers, dtype=np.uint64).reshape(-1, 2)
        else:
            odd = next((x for x in flat if isinstance(x, (float, np.floating, bool, np.bool_))), None)
            if odd is not None:
                # A float or bool among the pairs is almost surely a mistaken id, not a node name.
                raise TypeError(f"pairs hold {odd!r} ({type(odd).__name__}); node ids must be integers (convert "
                                f"with {_FIX_DTYPE}), and names of other kinds go with names=[...]")
            edges, found = _factorize(flat, "pairs")
            if n is not None:
                raise ValueError("n applies to integer ids; with names, pass names=[...] to add isolated nodes")
            return Graph(len(found), edges, _weights(weights, len(edges), "weights"), found, directed)
    top = int(edges.max()) + 1 if len(edges) else 0
    if n is None:
        n = top
    elif len(edges) and n < top:
        raise ValueError(f"pairs name node {top - 1}, so n must be at least {top}, got {n}")
    return Graph(n, edges, _weights(weights, len(edges), "weights"), None, directed)


def _flat_pairs(pairs: Any) -> list[Any]:
    """The pairs' entries in row order, each row checked to be a pair."""
    if isinstance(pairs, np.ndarray):
        if pairs.size == 0:
            return []
        if pairs.ndim != 2 or pairs.shape[1] != 2:
            raise ValueError(f"pairs must have shape [m, 2] (one row per edge), got shape {pairs.shape}"
                             + ("; this looks like [2, m], pass its transpose (x.T)" if pairs.shape[:1] == (2,)
                                else ""))
        return pairs.reshape(-1).tolist()
    if isinstance(pairs, (str, bytes)) or not isinstance(pairs, Iterable):
        raise TypeError(f"pairs must be a sequence of (u, v) pairs, got {type(pairs).__name__}")
    flat: list[Any] = []
    for k, row in enumerate(pairs):
        if isinstance(row, (str, bytes)) or not isinstance(row, Iterable):
            raise TypeError(f"pairs row {k} is {row!r}, not a (u, v) pair")
        row = tuple(row)
        if len(row) != 2:
            raise ValueError(f"pairs row {k} has {len(row)} entries, not 2 (u, v)")
        flat.extend(row)
    return flat


def from_networkx(G: Any, weight: str | None = None) -> Graph:
    """A graph from a networkx graph (Graph, DiGraph, MultiGraph or MultiDiGraph).

    Node ids follow ``G``'s node order; every edge is a row (each parallel
    edge of a multigraph, each self-loop).

    Parameters
    ----------
    G : networkx.Graph
    weight : str, optional
        Edge attribute to read as the weights; every edge must have it.

    Returns
    -------
    Graph
        `names` holds G's nodes, or None when they are exactly ``0 .. n - 1``
        in that order.

    Examples
    --------
    >>> import networkx as nx, knotwell
    >>> G = nx.Graph([("x", "y", {"w": 2.5}), ("y", "z", {"w": 1.0})])
    >>> g = knotwell.from_networkx(G, weight="w")
    >>> g.names, g.weights.tolist()
    (('x', 'y', 'z'), [2.5, 1.0])
    """
    if not (hasattr(G, "is_directed") and hasattr(G, "nodes") and hasattr(G, "edges")):
        raise TypeError(f"from_networkx takes a networkx graph, got {type(G).__name__}")
    nodes = list(G.nodes)
    index = {node: i for i, node in enumerate(nodes)}
    rows = list(G.edges(data=weight if weight is not None else False))
    edges = np.array([(index[r[0]], index[r[1]]) for r in rows], dtype=np.uint64).reshape(-1, 2)
    weights = None
    if weight is not None:
        missing = [(r[0], r[1]) for r in rows if r[2] is None]
        if missing:
            raise ValueError(f"edge {missing[0]} has no attribute {weight!r} ({len(missing)} of {len(rows)} edges "
                             "lack it); give every edge a weight or pass weight=None")
        weights = _weights([r[2] for r in rows], len(rows), f"edge attribute {weight!r}")
    names = None if all(_is_integer(v) and v == i for i, v in enumerate(nodes)) else tuple(nodes)
    return Graph(len(nodes), np.ascontiguousarray(edges), weights, names, bool(G.is_directed()))


def from_igraph(g: Any, weight: str | None = None) -> Graph:
    """A graph from a python-igraph Graph.

    Node ids are igraph's vertex ids; every edge is a row.

    Parameters
    ----------
    g : igraph.Graph
    weight : str, optional
        Edge attribute to read as the weights.

    Returns
    -------
    Graph
        `names` holds the vertices' ``"name"`` attribute, or None without one.

    Examples
    --------
    >>> import igraph, knotwell
    >>> g = knotwell.from_igraph(igraph.Graph.TupleList([("a", "b"), ("b", "c")]))
    >>> g.n, g.names, g.edges.tolist()
    (3, ('a', 'b', 'c'), [[0, 1], [1, 2]])
    """
    if not (hasattr(g, "vcount") and hasattr(g, "get_edgelist")):
        raise TypeError(f"from_igraph takes an igraph.Graph, got {type(g).__name__}")
    edges = np.array(g.get_edgelist(), dtype=np.uint64).reshape(-1, 2)
    weights = None
    if weight is not None:
        if weight not in g.es.attributes():
            raise KeyError(f"the graph's edges have no attribute {weight!r}; they have {g.es.attributes()}")
        values = g.es[weight]
        if any(v is None for v in values):
            raise ValueError(f"some edges have no value for {weight!r}; give every edge a weight")
        weights = _weights(values, len(edges), f"edge attribute {weight!r}")
    names = tuple(g.vs["name"]) if "name" in g.vs.attributes() else None
    return Graph(g.vcount(), np.ascontiguousarray(edges), weights, names, bool(g.is_directed()))


def from_scipy(A: Any, *, directed: bool | None = None) -> Graph:
    """A graph from a square scipy sparse adjacency matrix (or a dense 2-d array).

    Every stored non-zero entry ``A[i, j]`` is an edge i -> j whose weight is
    the entry (duplicate entries are summed first, explicit zeros dropped).
    An undirected graph keeps the entries with ``i <= j``.

    Parameters
    ----------
    A : scipy.sparse array or matrix, or numpy.ndarray
    directed : bool, optional
        Default: directed unless `A` is symmetric.

    Returns
    -------
    Graph
        Weighted, without names.

    Examples
    --------
    >>> import scipy.sparse as sp, knotwell
    >>> A = sp.coo_array(([1.0, 1.0, 3.0, 3.0], ([0, 1, 1, 2], [1, 0, 2, 1])), shape=(4, 4))
    >>> g = knotwell.from_scipy(A)
    >>> g.n, g.directed, g.edges.tolist(), g.weights.tolist()
    (4, False, [[0, 1], [1, 2]], [1.0, 3.0])
    """
    import scipy.sparse as sp

    if not sp.issparse(A):
        if isinstance(A, np.ndarray) and A.ndim == 2:
            A = sp.coo_array(A)
        else:
            raise TypeError(f"from_scipy takes a scipy sparse matrix or a 2-d array, got {type(A).__name__}")
    if A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise ValueError(f"an adjacency matrix must be square, got shape {A.shape}")
    if A.dtype.kind not in "biuf":
        raise TypeError(f"an adjacency matrix must hold real numbers, got dtype {A.dtype}")
    coo = sp.coo_array(A, dtype=np.float64, copy=True)
    coo.sum_duplicates()
    coo.eliminate_zeros()
    if directed is None:
        directed = bool(abs(coo - coo.T).max() != 0) if coo.nnz else False
    row, col, data = coo.row, coo.col, coo.data
    if not directed:
        keep = row <= col
        row, col, data = row[keep], col[keep], data[keep]
    edges = np.ascontiguousarray(np.stack([row, col], axis=1), dtype=np.uint64).reshape(-1, 2)
    return Graph(A.shape[0], edges, _weights(data, len(edges), "the matrix entries"), None, directed)


def from_pandas(df: Any, source: Hashable, target: Hashable, weight: Hashable | None = None, *,
                directed: bool = False) -> Graph:
    """A graph from an edge table: one row per edge, node names in two columns.

    Parameters
    ----------
    df : pandas.DataFrame
    source, target : column labels
        The columns of the edge's two ends (any hashable, non-missing names).
    weight : column label, optional
        A numeric column of weights.
    directed : bool
        Whether rows are (source, target).

    Returns
    -------
    Graph
        Nodes numbered in order of first appearance (row by row, source
        before target); `names` holds them.

    Examples
    --------
    >>> import pandas as pd, knotwell
    >>> df = pd.DataFrame({"from": ["ann", "bob"], "to": ["bob", "cy"], "km": [3.0, 4.5]})
    >>> g = knotwell.from_pandas(df, "from", "to", weight="km")
    >>> g.names, g.edges.tolist(), g.weights.tolist()
    (('ann', 'bob', 'cy'), [[0, 1], [1, 2]], [3.0, 4.5])
    """
    if not hasattr(df, "columns"):
        raise TypeError(f"from_pandas takes a DataFrame, got {type(df).__name__}")
    for label in (source, target) + (() if weight is None else (weight,)):
        if label not in df.columns:
            raise KeyError(f"no column {label!r}; the table has {list(df.columns)}")
    ends = df[[source, target]]
    missing = ends.isna().to_numpy()
    if missing.any():
        row = int(np.flatnonzero(missing.any(axis=1))[0])
        raise ValueError(f"row {row} of the table has a missing node name in {source!r} or {target!r}")
    import pandas as pd

    codes, uniques = pd.factorize(ends.to_numpy(dtype=object).reshape(-1))
    edges = np.ascontiguousarray(codes.astype(np.uint64).reshape(-1, 2))
    weights = None
    if weight is not None:
        weights = _weights(df[weight].to_numpy(), len(edges), f"column {weight!r}")
    return Graph(len(uniques), edges, weights, tuple(uniques.tolist()), directed)
