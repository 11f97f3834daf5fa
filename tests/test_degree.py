"""Degree and strength sequences."""

import numpy as np
import pytest

import knotwell_rs as kw
from conftest import E


@pytest.mark.parametrize(
    "n, rows, undirected, directed, indeg, outdeg",
    [
        (0, [], [], [], [], []),
        (3, [], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]),
        (3, [(0, 0)], [1, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0]),
        (3, [(0, 1), (0, 1)], [2, 2, 0], [2, 0, 0], [0, 2, 0], [2, 0, 0]),
        (3, [(0, 1), (1, 2)], [1, 2, 1], [1, 1, 0], [0, 1, 1], [1, 1, 0]),
        (2, [(0, 1), (1, 0)], [2, 2], [1, 1], [1, 1], [1, 1]),
    ],
)
def test_degree_examples(n, rows, undirected, directed, indeg, outdeg):
    edges = E(rows)
    for result, expected in [
        (kw.degree_rust(n, edges, False), undirected),
        (kw.degree_rust(n, edges, True), directed),
        (kw.in_degree_rust(n, edges), indeg),
        (kw.out_degree_rust(n, edges), outdeg),
    ]:
        assert result.dtype == np.uint64 and result.tolist() == expected


@pytest.mark.parametrize(
    "weights, directed, expected",
    [
        ([2.5, 1.0], False, [3.5, 1.0]),
        ([2.5, 1.0], True, [3.5, 0.0]),
        ([0.0, -0.0], False, [0.0, 0.0]),
    ],
)
def test_strength_examples(weights, directed, expected):
    result = kw.strength_rust(2, E([(0, 0), (0, 1)]), np.array(weights), directed)
    assert result.dtype == np.float64 and result.tolist() == expected


@pytest.mark.parametrize("seed", range(5))
def test_degrees_match_bincount(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 60))
    edges = rng.integers(0, n, size=(int(rng.integers(0, 300)), 2)).astype(np.uint64)
    src, dst = edges[:, 0].astype(np.int64), edges[:, 1].astype(np.int64)
    loops = src == dst
    assert kw.out_degree_rust(n, edges).tolist() == np.bincount(src, minlength=n).tolist()
    assert kw.in_degree_rust(n, edges).tolist() == np.bincount(dst, minlength=n).tolist()
    expected = np.bincount(src, minlength=n) + np.bincount(dst[~loops], minlength=n)
    assert kw.degree_rust(n, edges, False).tolist() == expected.tolist()


@pytest.mark.parametrize("seed", range(3))
def test_strength_adds_in_row_order(seed):
    rng = np.random.default_rng(seed)
    n = 7
    edges = rng.integers(0, n, size=(200, 2)).astype(np.uint64)
    weights = rng.random(200) * 10.0 ** rng.integers(-8, 8, size=200)
    expected = [0.0] * n
    for (u, v), w in zip(edges.tolist(), weights.tolist()):
        expected[u] += w
        if u != v:
            expected[v] += w
    assert kw.strength_rust(n, edges, weights, False).tolist() == expected
