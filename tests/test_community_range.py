"""Communities with weights and resolutions at the edges of the double range."""

import math
import sys
from fractions import Fraction

import numpy as np
import pytest

import knotwell_rs as kw

TINY = 5e-324  # smallest subnormal
HUGE = sys.float_info.max


def E(rows):
    return np.array(rows, dtype=np.uint64).reshape(-1, 2)


def W(values):
    return np.array(values, dtype=np.float64)


def exact_modularity(n, rows, weights, labels, resolution):
    """Q = sum_c L_c / m - gamma (d_c / 2m)^2 in rational arithmetic."""
    ws = [Fraction(1)] * len(rows) if weights is None else [Fraction(float(w)) for w in weights]
    m = sum(ws, Fraction(0))
    if m == 0:
        return Fraction(0)
    inside, degree = {}, {}
    for (u, v), w in zip(rows.tolist(), ws):
        degree[labels[u]] = degree.get(labels[u], 0) + w
        degree[labels[v]] = degree.get(labels[v], 0) + w
        if labels[u] == labels[v]:
            inside[labels[u]] = inside.get(labels[u], 0) + w
    gamma = Fraction(resolution)
    return sum((inside.get(c, 0) / m - gamma * (d / (2 * m)) ** 2 for c, d in degree.items()), Fraction(0))


def random_weighted(seed, n=40, m=110):
    """Self-loops, repeated and reversed rows, zero weights and isolated nodes."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n - 4, size=(m, 2))
    rows = np.vstack([rows, rows[:6], rows[6:12, ::-1], [[1, 1], [3, 3]]]).astype(np.uint64)
    weights = rng.choice([0.0, 0.5, 1.0, 2.25, 3.0, 0.75], size=len(rows))
    return n, rows, weights


# Values the modularity of a partition really has, against what rounding at
# either end of the range would make of it.
@pytest.mark.parametrize(
    "n, rows, labels, weights, resolution",
    [
        (4, [(0, 1), (2, 3)], [0, 0, 1, 1], [TINY] * 2, 1.0),
        (4, [(0, 1), (2, 3), (1, 2)], [0, 0, 1, 1], [TINY, 3 * TINY, TINY], 1.0),
        (3, [(0, 1), (1, 2), (0, 0)], [0, 0, 1], [2.5e-310, 1e-320, 7e-311], 0.5),
        (5, [(0, 1), (1, 2), (3, 4)], [0, 0, 0, 1, 1], [1e308, 1e308, 1], 1.0),
        (4, [(0, 1), (2, 3), (1, 2)], [0, 0, 1, 1], [HUGE, HUGE, HUGE], 1.0),
        (4, [(0, 1), (2, 3), (1, 2), (3, 3)], [0, 1, 1, 2], [HUGE, 1e-300, HUGE, 3e307], 2.0),
        (3, [(0, 1), (1, 2)], [0, 0, 1], [1e200, 1e-200], 1e-3),
    ],
)
def test_modularity_is_sound_at_the_range_ends(n, rows, labels, weights, resolution):
    rows, weights = E(rows), W(weights)
    got = kw.modularity_rust(n, rows, np.array(labels, np.uint64), weights, resolution)
    exact = exact_modularity(n, rows, weights, labels, resolution)
    assert math.isfinite(got)
    assert abs(Fraction(got) - exact) <= Fraction(1, 2**48)


@pytest.mark.parametrize("weight", [TINY, 1e-300, 1e-160, 1e160, 1e300, HUGE])
def test_louvain_pairs_at_any_weight(weight):
    # Two separate equal edges: each pair is a community, Q = 1/2.
    labels, q, k, levels = kw.louvain_rust(4, E([(0, 1), (2, 3)]), W([weight, weight]))
    assert (labels.tolist(), q, k, levels) == ([0, 0, 1, 1], 0.5, 2, 1)


@pytest.mark.parametrize("weight", [1.0, 1e300, HUGE])
def test_louvain_reports_modularity_at_range_top(weight):
    # Path 0-1-2 of huge weight and a separate unit edge; the unit edge still
    # forms its own community and Q stays finite.
    rows, w = E([(0, 1), (1, 2), (3, 4)]), W([weight, weight, 1.0])
    labels, q, k, _ = kw.louvain_rust(5, rows, w)
    assert labels.tolist() == [0, 0, 0, 1, 1] and k == 2
    assert abs(Fraction(q) - exact_modularity(5, rows, w, labels.tolist(), 1.0)) <= Fraction(1, 2**48)


# Multiplying every weight by 2^k is exact here (the weights need few bits),
# and every result is invariant under it: the answers must not move by one bit.
EXPONENTS = [-1066, -800, -540, 540, 800, 1021]


@pytest.mark.parametrize("k", EXPONENTS)
@pytest.mark.parametrize("seed", range(4))
def test_scaled_weights_give_identical_results(k, seed):
    n, rows, w = random_weighted(seed)
    scaled = np.ldexp(w, k)
    assert np.array_equal(np.ldexp(scaled, -k), w)

    labels = np.random.default_rng(seed).integers(0, 5, size=n).astype(np.uint64)
    for gamma in [1.0, 0.3, 2.5]:
        assert kw.modularity_rust(n, rows, labels, scaled, gamma) == kw.modularity_rust(n, rows, labels, w, gamma)

    for gamma, order in [(1.0, None), (0.6, seed), (1.8, seed + 10)]:
        plain = kw.louvain_rust(n, rows, w, gamma, order)
        big = kw.louvain_rust(n, rows, scaled, gamma, order)
        assert big[0].tolist() == plain[0].tolist() and big[1:] == plain[1:]

    lp = kw.label_propagation_rust(n, rows, w, seed)
    assert kw.label_propagation_rust(n, rows, scaled, seed).tolist() == lp.tolist()


def test_label_propagation_sums_do_not_tie_at_infinity():
    # Node 0 is tied to node 1 by two rows of 0.6 x HUGE and to node 2 by two
    # of 0.7 x HUGE: both sums exceed the range, the second one more, as it
    # does with every weight divided by 2^24.
    rows = E([(0, 1), (0, 1), (0, 2), (0, 2), (1, 3), (2, 4)])
    w = W([0.6 * HUGE, 0.6 * HUGE, 0.7 * HUGE, 0.7 * HUGE, 1.0, 1.0])
    for seed in range(16):
        got = kw.label_propagation_rust(5, rows, w, seed, 1).tolist()
        assert got == kw.label_propagation_rust(5, rows, w * 2.0**-24, seed, 1).tolist()


@pytest.mark.parametrize("resolution", [TINY, 1e-300, 1e300, HUGE])
@pytest.mark.parametrize("weighted", [False, True])
def test_louvain_resolution_extremes(resolution, weighted):
    # Two triangles joined by one edge, plus an isolated node. A vanishing
    # resolution merges each connected component; an enormous one makes
    # every move a loss.
    rows = E([(0, 1), (1, 2), (0, 2), (3, 4), (4, 5), (3, 5), (2, 3)])
    w = W([1.5, 2.0, 0.25, 1.0, 3.0, 0.5, 1e-3]) if weighted else None
    labels, q, k, levels = kw.louvain_rust(7, rows, w, resolution)
    if resolution < 1:
        assert labels.tolist() == [0, 0, 0, 0, 0, 0, 1] and k == 2
        assert q == pytest.approx(1.0, abs=1e-12)
    else:
        assert labels.tolist() == list(range(7)) and (k, levels) == (7, 0)
        assert math.isfinite(q) and q < 0
    assert q == kw.modularity_rust(7, rows, labels, w, resolution)
