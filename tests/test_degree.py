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


def assert_degrees_match_bincount(n, edges):
    src, dst = edges[:, 0].astype(np.int64), edges[:, 1].astype(np.int64)
    loops = src == dst
    assert kw.out_degree_rust(n, edges).tolist() == np.bincount(src, minlength=n).tolist()
    assert kw.in_degree_rust(n, edges).tolist() == np.bincount(dst, minlength=n).tolist()
    expected = np.bincount(src, minlength=n) + np.bincount(dst[~loops], minlength=n)
    assert kw.degree_rust(n, edges, False).tolist() == expected.tolist()


def assert_strength_adds_in_row_order(n, edges, weights):
    expected = [0.0] * n
    for (u, v), w in zip(edges.tolist(), weights.tolist()):
        expected[u] += w
        if u != v:
            expected[v] += w
    assert kw.strength_rust(n, edges, weights, False).tolist() == expected


@pytest.mark.parametrize("seed", range(5))
def test_degrees_match_bincount(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 60))
    assert_degrees_match_bincount(n, rng.integers(0, n, size=(int(rng.integers(0, 300)), 2)).astype(np.uint64))


@pytest.mark.parametrize("seed", range(3))
def test_strength_adds_in_row_order(seed):
    rng = np.random.default_rng(seed)
    edges = rng.integers(0, 7, size=(200, 2)).astype(np.uint64)
    assert_strength_adds_in_row_order(7, edges, rng.random(200) * 10.0 ** rng.integers(-8, 8, size=200))


BIG = 5000  # rows: several read blocks, so failures in later blocks are seen
# Enough rows for n = 2^17 (counters past the L2 cache) to be counted from the
# caller's array in place, rows read ahead of their counts; the last block is
# shorter than the read-ahead distance (32 rows).
WIDE = 273 * 512 + 19


def _rows(n, seed=0, rows=BIG):
    return np.random.default_rng(seed).integers(0, n, size=(rows, 2)).astype(np.uint64)


def _degree_calls(n, edges, weights):
    return [
        lambda: kw.degree_rust(n, edges, False),
        lambda: kw.degree_rust(n, edges, True),
        lambda: kw.in_degree_rust(n, edges),
        lambda: kw.out_degree_rust(n, edges),
        lambda: kw.strength_rust(n, edges, weights, False),
        lambda: kw.strength_rust(n, edges, weights, True),
    ]


# Small n counts with narrow counters in cache, the large one with prefetch
# (from a copy of the rows while they are fewer than n / 2, else in place);
# each must name the first bad row, wherever it lies in a block, and never
# write past its counters (the sanitizer build checks the latter).
@pytest.mark.parametrize("n, rows", [(50, BIG), (1 << 17, BIG), (1 << 17, WIDE)])
# Negative positions count from the end.
@pytest.mark.parametrize("bad_rows", [[0], [511, 512], [4999], [1023, 3000], [2047, 2048, 4096], [543, 4999], [-1],
                                      [-7, -1]])
@pytest.mark.parametrize("column", [0, 1])
def test_first_bad_row_is_named(n, rows, bad_rows, column):
    edges = _rows(n, rows=rows)
    bad_rows = [r % rows for r in bad_rows]
    for k, r in enumerate(bad_rows):
        edges[r, column] = n + k
    weights = np.ones(rows)
    first = bad_rows[0]
    for call in _degree_calls(n, edges, weights):
        with pytest.raises(ValueError, match=rf"^edge {first} \("):
            call()


@pytest.mark.parametrize("n, rows", [(50, BIG), (1 << 17, BIG), (1 << 17, WIDE)])
@pytest.mark.parametrize("bad_weight", [float("nan"), float("inf"), -1e-300, float("-inf")])
@pytest.mark.parametrize("weight_row, edge_row", [(3, None), (3, 4990), (4000, 700), (600, 600), (520, None)])
def test_strength_reports_edges_before_weights(n, rows, bad_weight, weight_row, edge_row):
    edges = _rows(n, 1, rows)
    weights = np.random.default_rng(2).random(rows)
    weights[weight_row] = bad_weight
    if edge_row is not None:
        edges[edge_row, 1] = n
    expected = rf"^edge {edge_row} \(" if edge_row is not None else rf"^weight {weight_row} is "
    for directed in (False, True):
        with pytest.raises(ValueError, match=expected):
            kw.strength_rust(n, edges, weights, directed)


@pytest.mark.parametrize("n, rows", [(50, BIG), (1 << 17, BIG), (1 << 17, WIDE)])
def test_large_inputs_match_bincount(n, rows):
    edges = _rows(n, 3, rows)
    edges[::97, 1] = edges[::97, 0]  # self-loops count once
    assert_degrees_match_bincount(n, edges)
    assert_strength_adds_in_row_order(n, edges, np.random.default_rng(4).random(rows))


def test_weights_length_comes_after_the_range():
    edges = _rows(50)
    with pytest.raises(ValueError, match=r"^weights length \(4999\) must match edges length \(5000\)$"):
        kw.strength_rust(50, edges, np.ones(BIG - 1), False)
    edges[4321, 0] = 50
    with pytest.raises(ValueError, match=r"^edge 4321 \("):
        kw.strength_rust(50, edges, np.ones(BIG - 1), False)
