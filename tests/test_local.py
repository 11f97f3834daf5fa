"""Triangles, clustering coefficients and core numbers."""

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import knotwell_rs as kw
from conftest import E

ALL_FUNCS = [kw.triangles_per_node_rust, kw.clustering_local_rust, kw.clustering_avg_rust, kw.core_numbers_rust]


def mean_eight_way(values):
    """The average's summation order: eight interleaved partial sums, folded
    pairwise (p0+p4 ... p3+p7) into 0.0, then the tail in index order."""
    p = [0.0] * 8
    full = len(values) - len(values) % 8
    for k in range(0, full, 8):
        for j in range(8):
            p[j] += values[k + j]
    acc = 0.0
    for j in range(4):
        acc = acc + (p[j] + p[j + 4])
    for v in values[full:]:
        acc += v
    return acc / len(values)


def messy_random_graph(seed, n, m):
    """Random rows with self-loops, repeats and reversed copies mixed in."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n, size=(m, 2), dtype=np.uint64)
    loops = rng.integers(0, n, size=max(1, m // 20), dtype=np.uint64)
    extra = [np.stack([loops, loops], axis=1), rows[: m // 5], rows[: m // 5, ::-1]]
    edges = np.concatenate([rows] + extra)
    return np.ascontiguousarray(edges[rng.permutation(len(edges))])


def rmat(scale, edge_factor, seed, abc=(0.57, 0.19, 0.19)):
    """R-MAT rows (Chakrabarti et al.): a skewed degree distribution, hubs,
    many repeats and self-loops."""
    rng = np.random.default_rng(seed)
    m = edge_factor << scale
    src = np.zeros(m, dtype=np.uint64)
    dst = np.zeros(m, dtype=np.uint64)
    a, b, c = abc
    for bit in range(scale):
        r = rng.random(m)
        right = ((r >= a) & (r < a + b)) | (r >= a + b + c)
        down = r >= a + b
        src |= down.astype(np.uint64) << np.uint64(bit)
        dst |= right.astype(np.uint64) << np.uint64(bit)
    return np.stack([src, dst], axis=1)


def nx_simple_graph(n, edges):
    g = nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from(map(tuple, edges.tolist()))
    g.remove_edges_from(list(nx.selfloop_edges(g)))
    return g


# --- worked examples -------------------------------------------------------

TRIANGLE_CASES = {
    "triangle": (3, [(0, 1), (1, 2), (2, 0)], [1, 1, 1], [1.0, 1.0, 1.0], 1.0),
    "triangle with self-loop, repeat and reversed row": (
        3,
        [(0, 1), (1, 2), (2, 0), (0, 0), (0, 1), (1, 0)],
        [1, 1, 1],
        [1.0, 1.0, 1.0],
        1.0,
    ),
    "star": (4, [(0, 1), (0, 2), (0, 3)], [0, 0, 0, 0], [0.0] * 4, 0.0),
    "square with one diagonal": (
        4,
        [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)],
        [2, 1, 2, 1],
        [0.6666666666666666, 1.0, 0.6666666666666666, 1.0],
        0.8333333333333333,
    ),
    "isolated node and self-loop-only node lower the mean": (
        5,
        [(0, 1), (1, 2), (2, 0), (4, 4)],
        [1, 1, 1, 0, 0],
        [1.0, 1.0, 1.0, 0.0, 0.0],
        0.6,
    ),
    "complete graph K6, every tie broken by id": (
        6,
        [(u, v) for u in range(6) for v in range(u + 1, 6)],
        [10] * 6,
        [1.0] * 6,
        1.0,
    ),
    "no nodes": (0, [], [], [], 0.0),
}


@pytest.mark.parametrize("case", TRIANGLE_CASES.values(), ids=TRIANGLE_CASES.keys())
def test_triangle_worked_examples(case):
    n, rows, tri, local, avg = case
    edges = E(rows)
    t = kw.triangles_per_node_rust(n, edges)
    cl = kw.clustering_local_rust(n, edges)
    assert t.dtype == np.uint64 and t.tolist() == tri
    assert cl.dtype == np.float64 and cl.tolist() == local
    got = kw.clustering_avg_rust(n, edges)
    assert type(got) is float and got == avg


CORE_CASES = {
    "no nodes": (0, [], []),
    "no edges": (3, [], [0, 0, 0]),
    "triangle with pendant": (4, [(0, 1), (1, 2), (2, 0), (2, 3)], [2, 2, 2, 1]),
    "self-loop alone": (2, [(0, 0)], [0, 0]),
    "K4": (4, [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)], [3, 3, 3, 3]),
    "K4 with repeated and reversed rows": (
        4,
        [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3), (3, 2), (1, 0), (0, 1), (2, 2)],
        [3, 3, 3, 3],
    ),
    "path": (4, [(0, 1), (1, 2), (2, 3)], [1, 1, 1, 1]),
    "hub of a star peels at level 1": (5, [(0, 1), (0, 2), (0, 3), (0, 4), (0, 0)], [1, 1, 1, 1, 1]),
}


@pytest.mark.parametrize("case", CORE_CASES.values(), ids=CORE_CASES.keys())
def test_core_worked_examples(case):
    n, rows, expected = case
    got = kw.core_numbers_rust(n, E(rows))
    assert got.dtype == np.uint64 and got.tolist() == expected


def test_average_with_no_nodes_ignores_out_of_range_edges():
    edges = E([(0, 1)])
    assert kw.clustering_avg_rust(0, edges) == 0.0
    for f in (kw.triangles_per_node_rust, kw.clustering_local_rust, kw.core_numbers_rust):
        with pytest.raises(ValueError, match=r"^edge 0 \(0, 1\) names a node id outside \[0, 0\)$"):
            f(0, edges)


@pytest.mark.parametrize("f", ALL_FUNCS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("rows", [[(0, 5)], [(0, 2)]])
def test_out_of_range_edge(f, rows):
    bad = rows[0]
    with pytest.raises(ValueError, match=rf"^edge 0 \({bad[0]}, {bad[1]}\) names a node id outside \[0, 2\)$"):
        f(2, E(rows))


# --- differential tests against networkx -------------------------------------

GRAPHS = {
    **{f"sparse messy seed {s}": (s, 60, 150) for s in range(4)},
    **{f"dense messy seed {s}": (s, 25, 200) for s in range(4, 7)},
    "many nodes, few edges": (7, 400, 300),
}


def graph_from(case):
    seed, n, m = case
    return n, messy_random_graph(seed, n, m)


RMAT_N = 1 << 11


@pytest.fixture(scope="module", params=["hubs at low ids", "scrambled ids"])
def rmat_graph(request):
    edges = rmat(11, 8, seed=2024)
    if request.param == "scrambled ids":
        edges = np.random.default_rng(3).permutation(RMAT_N).astype(np.uint64)[edges]
    return RMAT_N, edges


def check_against_networkx(n, edges):
    g = nx_simple_graph(n, edges)
    tri = nx.triangles(g)
    assert kw.triangles_per_node_rust(n, edges).tolist() == [tri[v] for v in range(n)]
    cl = nx.clustering(g)
    local_nx = [cl[v] for v in range(n)]
    local = kw.clustering_local_rust(n, edges)
    # networkx divides exact integers 2T / (d (d - 1)); so does our formula,
    # so the values agree to the bit.
    assert local.tolist() == local_nx
    avg = kw.clustering_avg_rust(n, edges)
    assert avg == mean_eight_way(local_nx)
    assert avg == pytest.approx(nx.average_clustering(g), rel=1e-12, abs=1e-15)
    core = nx.core_number(g)
    assert kw.core_numbers_rust(n, edges).tolist() == [core[v] for v in range(n)]


@pytest.mark.parametrize("case", GRAPHS.values(), ids=GRAPHS.keys())
def test_matches_networkx_on_messy_random_graphs(case):
    check_against_networkx(*graph_from(case))


@st.composite
def small_graphs(draw):
    n = draw(st.integers(1, 12))
    node = st.integers(0, n - 1)
    rows = draw(st.lists(st.tuples(node, node), max_size=40))
    return n, E(rows)


@settings(max_examples=150, deadline=None)
@given(small_graphs())
def test_matches_networkx_on_small_graphs(graph):
    check_against_networkx(*graph)


def test_matches_networkx_on_rmat(rmat_graph):
    n, edges = rmat_graph
    # The generator must produce what the test is about: hubs, self-loops, repeats.
    deg = np.bincount(edges.ravel().astype(np.int64), minlength=n)
    assert deg.max() > 20 * deg.mean()
    assert (edges[:, 0] == edges[:, 1]).any()
    assert len(np.unique(edges, axis=0)) < len(edges)
    check_against_networkx(n, edges)


def test_average_summation_order_is_eight_way(rmat_graph):
    n, edges = rmat_graph
    local = kw.clustering_local_rust(n, edges).tolist()
    # Prefixes of every residue mod 8 exercise the tail; the whole graph has
    # enough distinct values for naive order to differ in the last bits.
    for k in [1, 7, 8, 9, 15, 16, 17, 1000, 1003]:
        sub = edges[(edges < k).all(axis=1)]
        assert kw.clustering_avg_rust(k, sub) == mean_eight_way(kw.clustering_local_rust(k, sub).tolist())
    assert mean_eight_way(local) != sum(local) / n  # the order is observable here
    assert kw.clustering_avg_rust(n, edges) == mean_eight_way(local)

