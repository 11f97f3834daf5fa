"""Converters: round trips against the libraries they read, the way back to names, errors, datasets."""

from collections import Counter

import igraph
import networkx as nx
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

import knotwell
import knotwell_rs as kw

# Named graphs with what users' graphs have: an isolated node, a self-loop, a
# repeated edge (also reversed), weights. Rows are (u, v, weight).
ROWS = [("ann", "bob", 1.5), ("bob", "cy", 2.0), ("cy", "ann", 0.5), ("cy", "cy", 4.0), ("bob", "ann", 3.0),
        ("ann", "bob", 1.0), ("dee", "cy", 2.5)]
NODES = ["ann", "bob", "cy", "dee", "eve"]  # eve has no edge
INT_ROWS = [(0, 1, 1.0), (1, 2, 2.0), (2, 2, 3.0), (1, 0, 4.0), (0, 1, 5.0)]
INT_NODES = [0, 1, 2, 3, 4]


def edge_multiset(rows, directed):
    """(u, v, w) rows as a multiset; an undirected edge has no orientation."""
    key = (lambda u, v: (u, v)) if directed else (lambda u, v: tuple(sorted((u, v), key=repr)))
    return Counter((*key(u, v), float(w)) for u, v, w in rows)


def record_rows(g):
    ends = g.name_of(g.edges).tolist()
    return [(u, v, w) for (u, v), w in zip(ends, g.weights.tolist())]


def via_networkx(rows, nodes, directed):
    G = nx.MultiDiGraph() if directed else nx.MultiGraph()
    G.add_nodes_from(nodes)
    G.add_weighted_edges_from(rows, weight="w")
    return knotwell.from_networkx(G, weight="w"), list(G.nodes)


def via_igraph(rows, nodes, directed):
    g = igraph.Graph(directed=directed)
    g.add_vertices([str(v) for v in nodes] if isinstance(nodes[0], str) else len(nodes))
    index = {v: i for i, v in enumerate(nodes)}
    g.add_edges([(index[u], index[v]) for u, v, _ in rows], attributes={"w": [w for _, _, w in rows]})
    return knotwell.from_igraph(g, weight="w"), nodes


def via_pandas(rows, nodes, directed):
    df = pd.DataFrame(rows, columns=["src", "dst", "w"])
    seen = list(dict.fromkeys(x for u, v, _ in rows for x in (u, v)))  # a table has no isolated nodes
    return knotwell.from_pandas(df, "src", "dst", weight="w", directed=directed), seen


def via_edges(rows, nodes, directed):
    return knotwell.from_edges([(u, v) for u, v, _ in rows], names=nodes, weights=[w for _, _, w in rows],
                               directed=directed), nodes


@pytest.mark.parametrize("convert", [via_networkx, via_igraph, via_pandas, via_edges],
                         ids=["networkx", "igraph", "pandas", "edges"])
@pytest.mark.parametrize("rows, nodes", [(ROWS, NODES), (INT_ROWS, INT_NODES)], ids=["names", "ids"])
@pytest.mark.parametrize("directed", [False, True], ids=["undirected", "directed"])
def test_round_trip_keeps_nodes_rows_and_weights(convert, rows, nodes, directed):
    g, expected_nodes = convert(rows, nodes, directed)
    assert g.edges.dtype == np.uint64 and g.edges.shape == (len(rows), 2) and g.edges.flags.c_contiguous
    assert g.weights.dtype == np.float64 and g.directed == directed
    assert g.n == len(expected_nodes) and g.name_of(np.arange(g.n)).tolist() == expected_nodes
    assert edge_multiset(record_rows(g), directed) == edge_multiset(rows, directed)
    assert g.id_of(expected_nodes).tolist() == list(range(g.n))


@pytest.mark.parametrize("directed", [False, True])
def test_scipy_round_trip_rebuilds_the_matrix(directed):
    rng = np.random.default_rng(3)
    dense = np.where(rng.random((7, 7)) < 0.3, rng.integers(1, 9, (7, 7)), 0).astype(float)
    dense[6, :] = dense[:, 6] = 0  # an isolated node
    dense[2, 2] = 5.0  # a self-loop
    if not directed:
        dense = np.triu(dense) + np.triu(dense, 1).T
    # Duplicate entries of a COO matrix add up, as scipy itself reads them.
    coo = sp.coo_array(dense)
    extra_rows, extra_cols = ([0], [1]) if directed else ([0, 1], [1, 0])
    doubled = sp.coo_array((np.r_[coo.data, [1.0] * len(extra_rows)], (np.r_[coo.row, extra_rows],
                                                                       np.r_[coo.col, extra_cols])), shape=(7, 7))
    dense[extra_rows, extra_cols] += 1
    g = knotwell.from_scipy(doubled.tocsr())
    assert g.n == 7 and g.directed == directed and g.names is None
    rebuilt = np.zeros((7, 7))
    np.add.at(rebuilt, (g.edges[:, 0].astype(int), g.edges[:, 1].astype(int)), g.weights)
    if not directed:
        rebuilt += np.triu(rebuilt, 1).T
    assert np.array_equal(rebuilt, dense)


def test_names_come_back_on_native_results():
    G = nx.les_miserables_graph()
    g = knotwell.from_networkx(G, weight="weight")
    count, labels = kw.connected_components_rust(g.n, g.edges)
    assert sorted(map(sorted, g.communities(labels))) == sorted(map(sorted, nx.connected_components(G)))
    cores = g.by_name(kw.core_numbers_rust(g.n, g.edges))
    assert cores == nx.core_number(G)
    source = g.id_of("Valjean")[0]
    hops = g.by_name(kw.shortest_paths_rust(g.n, g.edges, source, False))
    assert hops == nx.single_source_shortest_path_length(G, "Valjean")


@pytest.mark.parametrize("call, error, message", [
    (lambda: knotwell.from_edges(np.array([[0, 1, 2], [1, 2, 3]])), ValueError, r"\[2, m\].*\(x\.T\)"),
    (lambda: knotwell.from_edges(np.array([[0.0, 1.0]])), TypeError, r"np\.asarray\(x, dtype=np\.uint64\)"),
    (lambda: knotwell.from_edges(np.array([[0, 1], [-1, 2]])), ValueError, r"row 1 \(-1, 2\) holds a negative"),
    (lambda: knotwell.from_edges([(0, 1), (-3, 1)]), ValueError, r"row 1 holds node id -3"),
    (lambda: knotwell.from_edges([(0, 1, 2)]), ValueError, "row 0 has 3 entries, not 2"),
    (lambda: knotwell.from_edges([(0, 1), (1.0, 2)]), TypeError, r"pairs hold 1\.0 \(float\); node ids must be"),
    (lambda: knotwell.from_edges(pd.DataFrame({"a": [0], "b": [1]})), TypeError, "use knotwell.from_pandas"),
    (lambda: knotwell.from_edges([(0, 4)], n=3), ValueError, "n must be at least 5"),
    (lambda: knotwell.from_edges([], n=-1), ValueError, r"Graph.n must lie in \[0, 2\*\*64\), got -1"),
    (lambda: knotwell.from_edges([("a", "b")], names=["a"]), ValueError, "'b', which is not in names"),
    (lambda: knotwell.from_edges([(0, 1)], weights=[1.0, 2.0]), ValueError, "2 values for 1 edges"),
    (lambda: knotwell.from_edges([(0, 1)], weights=[np.nan]), ValueError, "must be finite"),
    (lambda: knotwell.from_edges([("a", None)]), ValueError, "missing node name"),
    (lambda: knotwell.from_pandas(pd.DataFrame({"a": ["x"], "b": ["y"]}), "a", "c"), KeyError,
     r"no column 'c'; the table has \['a', 'b'\]"),
    (lambda: knotwell.from_pandas(pd.DataFrame({"a": ["x", None], "b": ["y", "z"]}), "a", "b"), ValueError,
     "row 1 of the table has a missing node name"),
    (lambda: knotwell.from_networkx(nx.Graph([(0, 1, {"w": 1}), (1, 2)]), weight="w"), ValueError,
     r"edge \(1, 2\) has no attribute 'w'"),
    (lambda: knotwell.from_networkx([(0, 1)]), TypeError, "takes a networkx graph, got list"),
    (lambda: knotwell.from_igraph(igraph.Graph([(0, 1)]), weight="w"), KeyError, "no attribute 'w'"),
    (lambda: knotwell.from_scipy(sp.coo_array(np.ones((2, 3)))), ValueError, "must be square"),
    (lambda: knotwell.from_scipy([[0, 1], [1, 0]]), TypeError, "scipy sparse matrix or a 2-d array"),
    (lambda: knotwell.datasets.karate_club().name_of([0, 34]), ValueError, r"node id 34 is outside \[0, 34\)"),
    (lambda: knotwell.datasets.karate_club().by_name(np.zeros(3)), ValueError, "length 34"),
    (lambda: knotwell.datasets.florentine_families().id_of("Borgia"), KeyError, "'Borgia' is not a node"),
])
def test_mistakes_say_what_to_do(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("pairs", [[(0, 1), (3, 2)], np.array([[0, 1], [3, 2]], dtype=np.int64),
                                   np.array([[0, 1], [3, 2]], dtype=np.uint8), np.array([[0, 1], [3, 2]]).T.T])
def test_integer_pairs_of_any_kind_become_the_native_array(pairs):
    g = knotwell.from_edges(pairs, n=6)
    assert g.n == 6 and g.names is None and g.edges.dtype == np.uint64 and g.edges.flags.c_contiguous
    assert g.edges.tolist() == [[0, 1], [3, 2]]
    assert kw.degree_rust(g.n, g.edges, False).tolist() == [1, 1, 1, 1, 0, 0]


@pytest.mark.parametrize("load, reference, weight", [
    (knotwell.datasets.karate_club, nx.karate_club_graph, None),
    (knotwell.datasets.les_miserables, nx.les_miserables_graph, "weight"),
    (knotwell.datasets.florentine_families, nx.florentine_families_graph, None),
])
def test_datasets_are_the_classic_graphs(load, reference, weight):
    g, G = load(), reference()
    assert (g.n, g.m) == (G.number_of_nodes(), G.number_of_edges())
    expected = knotwell.from_networkx(G, weight=weight)
    assert g.names == expected.names
    rows = record_rows(g) if weight else [(u, v, 1.0) for u, v in g.name_of(g.edges).tolist()]
    assert edge_multiset(rows, False) == edge_multiset(
        [(u, v, d[weight] if weight else 1.0) for u, v, d in G.edges(data=True)], False)
    # Each call hands out arrays of its own.
    assert load().edges is not g.edges
