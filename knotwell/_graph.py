"""The record every converter returns: a graph as the native functions take it, plus the way back to names."""

from __future__ import annotations

import operator
from collections.abc import Hashable, Iterable, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import Any

import numpy as np


@dataclass(frozen=True, eq=False)
class Graph:
    """A graph in the native functions' terms, with the user's node names.

    Parameters
    ----------
    n : int
        Number of nodes; node ids are ``0 .. n - 1``.
    edges : numpy.ndarray
        C-contiguous ``uint64`` array ``[m, 2]``, one row per edge (repeats
        and self-loops kept as the source had them).
    weights : numpy.ndarray or None
        ``float64`` array ``[m]``, one weight per row, or None.
    names : tuple or None
        Node names in id order (``names[i]`` is node i), or None when the
        nodes were the integers ``0 .. n - 1`` already.
    directed : bool
        Whether the source graph was directed (rows read as source, target).

    Examples
    --------
    >>> import knotwell, knotwell_rs
    >>> g = knotwell.from_edges([("ann", "bob"), ("bob", "cy"), ("cy", "ann"), ("cy", "dee")])
    >>> g
    Graph(n=4, m=4, directed=False, weighted=False, named=True)
    >>> g.by_name(knotwell_rs.degree_rust(g.n, g.edges, False))
    {'ann': 2, 'bob': 2, 'cy': 3, 'dee': 1}
    >>> g.name_of(g.edges[:2]).tolist()
    [['ann', 'bob'], ['bob', 'cy']]
    >>> g.id_of(["dee", "ann"]).tolist()
    [3, 0]
    """

    n: int
    edges: np.ndarray
    weights: np.ndarray | None = None
    names: tuple[Hashable, ...] | None = None
    directed: bool = False

    def __post_init__(self) -> None:
        if isinstance(self.n, bool):
            raise TypeError("Graph.n must be an integer, got bool")
        n = operator.index(self.n)
        if not 0 <= n < 2**64:
            raise ValueError(f"Graph.n must lie in [0, 2**64), got {n}")
        object.__setattr__(self, "n", n)
        e = self.edges
        if not (isinstance(e, np.ndarray) and e.dtype == np.uint64 and e.ndim == 2 and e.shape[1] == 2
                and e.flags.c_contiguous):
            raise ValueError("Graph.edges must be a C-contiguous uint64 array of shape [m, 2]; build graphs with "
                             "knotwell.from_edges and the other converters")
        if len(e) and int(e.max()) >= n:
            raise ValueError(f"Graph.edges names node {int(e.max())}, outside [0, {n})")
        w = self.weights
        if w is not None and not (isinstance(w, np.ndarray) and w.dtype == np.float64 and w.shape == (len(e),)):
            raise ValueError(f"Graph.weights must be None or a float64 array of shape ({len(e)},)")
        if self.names is not None:
            object.__setattr__(self, "names", tuple(self.names))
            if len(self.names) != n:
                raise ValueError(f"Graph.names has {len(self.names)} names for {n} nodes")
        object.__setattr__(self, "directed", bool(self.directed))

    @property
    def m(self) -> int:
        """Number of rows of `edges`."""
        return len(self.edges)

    def __repr__(self) -> str:
        return (f"Graph(n={self.n}, m={self.m}, directed={self.directed}, weighted={self.weights is not None}, "
                f"named={self.names is not None})")

    @cached_property
    def _names(self) -> np.ndarray:
        names = np.empty(self.n, dtype=object)
        names[:] = self.names if self.names is not None else range(self.n)
        return names

    @cached_property
    def _ids(self) -> dict[Hashable, int]:
        return {name: i for i, name in enumerate(self.names if self.names is not None else range(self.n))}

    def name_of(self, ids: Any) -> np.ndarray:
        """The names of node ids, in the shape given.

        Parameters
        ----------
        ids : array_like of int
            Node ids of any shape: edges of a sample, sources, the members of
            a community.

        Returns
        -------
        numpy.ndarray
            Object array of the names, same shape as `ids` (the ids themselves
            as Python ints when the graph has no names).
        """
        ids = np.asarray(ids)
        if ids.dtype.kind not in "ui":
            raise TypeError(f"name_of takes integer node ids, got dtype {ids.dtype}")
        if ids.size and (int(ids.min()) < 0 or int(ids.max()) >= self.n):
            bad = ids[(ids < 0) | (ids >= self.n)].flat[0]
            raise ValueError(f"node id {int(bad)} is outside [0, {self.n})")
        return self._names[ids.astype(np.intp)]

    def id_of(self, names: Hashable | Iterable[Hashable]) -> np.ndarray:
        """The node ids of names, as a ``uint64`` array (for sources and the like).

        A single name (a string or any non-iterable) gives an array of one id.
        """
        if isinstance(names, (str, bytes)) or not isinstance(names, Iterable):
            names = [names]
        ids = self._ids
        out = []
        for name in names:
            try:
                out.append(ids[name])
            except (KeyError, TypeError):
                raise KeyError(f"{name!r} is not a node of this graph") from None
        return np.array(out, dtype=np.uint64)

    def by_name(self, values: Sequence[Any] | np.ndarray) -> dict[Hashable, Any]:
        """A per-node result (one value per node, in id order) as a dict keyed by node name.

        Works for degrees, core numbers, distances, community labels: any
        vector of length n.
        """
        values = np.asarray(values)
        if values.ndim != 1 or len(values) != self.n:
            raise ValueError(f"by_name takes one value per node, a 1-d array of length {self.n}; "
                             f"got shape {values.shape}")
        return dict(zip(self._names.tolist(), values.tolist()))

    def communities(self, labels: Sequence[int] | np.ndarray) -> list[list[Hashable]]:
        """A label vector (Louvain, label propagation) as lists of node names, one per label, in label order."""
        labels = np.asarray(labels)
        if labels.ndim != 1 or len(labels) != self.n:
            raise ValueError(f"communities takes one label per node, a 1-d array of length {self.n}; "
                             f"got shape {labels.shape}")
        order = np.argsort(labels, kind="stable")
        bounds = np.flatnonzero(np.diff(labels[order])) + 1
        return [self._names[part].tolist() for part in np.split(order, bounds)] if self.n else []
