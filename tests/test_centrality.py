import hashlib
import math
from fractions import Fraction
import os
import subprocess
import sys

import networkx as nx
import numpy as np
import pytest

from knotwell_rs import betweenness_rust
from conftest import E, W


# ---------------------------------------------------------------- worked examples


@pytest.mark.parametrize(
    "n, edges, weights, directed, normalized, expected",
    [
        (0, [], None, False, True, []),
        (1, [], None, False, True, [0.0]),
        (2, [(0, 1)], None, False, True, [0.0, 0.0]),
        (2, [(0, 1)], None, False, False, [0.0, 0.0]),
        (3, [(0, 1), (1, 2)], None, False, True, [0.0, 1.0, 0.0]),
        (3, [(0, 1), (1, 2)], None, False, False, [0.0, 1.0, 0.0]),
        (3, [(0, 1), (1, 2)], None, True, True, [0.0, 0.5, 0.0]),
        (3, [(0, 1), (1, 2)], None, True, False, [0.0, 1.0, 0.0]),
        (4, [(0, 1), (0, 2), (0, 3)], None, False, True, [1.0, 0.0, 0.0, 0.0]),
        (4, [(0, 1), (0, 2), (0, 3)], None, False, False, [3.0, 0.0, 0.0, 0.0]),
        # exact tie 1 + 1 == 2: two shortest paths 0..2, node 1 on one of them
        (3, [(0, 1), (1, 2), (0, 2)], [1.0, 1.0, 2.0], False, True, [0.0, 0.5, 0.0]),
        # 0.2 + 0.1 > 0.3 in binary floating point: no tie, no detour
        (3, [(0, 1), (1, 2), (0, 2)], [0.1, 0.2, 0.3], False, True, [0.0, 0.0, 0.0]),
        # the lighter of two parallel edges counts: 2 + 1 ties with 3
        (3, [(0, 1), (0, 1), (1, 2), (0, 2)], [5.0, 2.0, 1.0, 3.0], False, True, [0.0, 0.5, 0.0]),
        (3, [(0, 1), (0, 1), (1, 2), (0, 2)], [2.0, 5.0, 1.0, 3.0], False, True, [0.0, 0.5, 0.0]),
        # repeated edges do not double path counts: square 0-1-2-3-0, 0-1 twice
        (4, [(0, 1), (1, 0), (0, 1), (1, 2), (2, 3), (3, 0)], None, False, False, [0.5, 0.5, 0.5, 0.5]),
        # a self-loop changes nothing, whatever its weight
        (3, [(1, 1), (0, 1), (1, 2)], [1e-300, 1.0, 1.0], False, True, [0.0, 1.0, 0.0]),
        (3, [(0, 1), (1, 1), (1, 2)], None, True, False, [0.0, 1.0, 0.0]),
        # unreachable pairs contribute nothing
        (4, [(0, 1), (2, 1), (3, 2)], None, True, False, [0.0, 0.0, 1.0, 0.0]),
    ],
)
def test_worked_examples(n, edges, weights, directed, normalized, expected):
    w = None if weights is None else W(weights)
    got = betweenness_rust(n, E(edges), w, directed, normalized)
    assert got.dtype == np.float64 and got.shape == (n,)
    assert got.tolist() == expected


def test_weights_none_same_as_omitted():
    edges = E([(0, 1), (1, 2), (2, 3)])
    assert betweenness_rust(4, edges).tolist() == betweenness_rust(4, edges, None).tolist()
    assert betweenness_rust(4, edges).tolist() == betweenness_rust(4, edges, weights=None, directed=False).tolist()


# ---------------------------------------------------------------- checks and their order

RULE = "weights are distances and must be finite and strictly positive"


@pytest.mark.parametrize(
    "n, edges, weights, message",
    [
        (3, [(0, 1), (1, 5), (7, 0)], None, "edge 1 (1, 5) names a node id outside [0, 3)"),
        (0, [(0, 0)], None, "edge 0 (0, 0) names a node id outside [0, 0)"),
        # range first, even with a bad weights length and a bad weight
        (3, [(0, 1), (1, 3)], [1.0, 0.0, 1.0], "edge 1 (1, 3) names a node id outside [0, 3)"),
        (3, [(0, 1), (1, 2)], [1.0, 1.0, 1.0], "weights length (3) must match edges length (2)"),
        (3, [(0, 1), (1, 2)], [0.0], "weights length (1) must match edges length (2)"),
        # length before values
        (3, [(0, 1)], [-1.0, 1.0], "weights length (2) must match edges length (1)"),
        (3, [(0, 1), (1, 2), (0, 2)], [1.0, 2.0, -0.0], f"weight 2 is -0, but {RULE}"),
        (3, [(0, 1), (1, 2), (0, 2)], [1.0, 2.0, math.nan], f"weight 2 is NaN, but {RULE}"),
        (3, [(0, 1), (1, 2), (0, 2)], [1.0, 2.0, math.inf], f"weight 2 is inf, but {RULE}"),
        (3, [(0, 1), (1, 2), (0, 2)], [1.0, -math.inf, -2.5], f"weight 1 is -inf, but {RULE}"),
        # a self-loop's weight is checked although the loop is ignored
        (3, [(0, 1), (2, 2)], [1.0, 0.0], f"weight 1 is 0, but {RULE}"),
    ],
)
@pytest.mark.parametrize("directed", [False, True])
def test_check_order(n, edges, weights, message, directed):
    w = None if weights is None else W(weights)
    with pytest.raises(ValueError) as info:
        betweenness_rust(n, E(edges), w, directed)
    assert str(info.value) == message


def test_subnormal_weight_accepted():
    got = betweenness_rust(3, E([(0, 1), (1, 2)]), W([5e-324, 1.0]))
    assert got.tolist() == [0.0, 1.0, 0.0]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e: betweenness_rust(1), TypeError, "betweenness_rust() missing 1 required positional argument: 'edges'"),
        (lambda e: betweenness_rust(1, e, n=2), TypeError, "betweenness_rust() got multiple values for argument 'n'"),
        (lambda e: betweenness_rust(2, e, directed=None), TypeError, None),
        (lambda e: betweenness_rust(2, e, normalized=None), TypeError, None),
        (lambda e: betweenness_rust(2, e, np.array([1], dtype=np.int64)), TypeError, None),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call(E([(0, 1)]))
    if message is not None:
        assert str(info.value) == message


# ---------------------------------------------------------------- against networkx


def random_graph(seed, n, m, weights):
    """Edge rows with self-loops, repeats and isolated nodes."""
    rng = np.random.default_rng(seed)
    active = max(1, int(n * 0.9))
    edges = rng.integers(0, active, size=(m, 2), dtype=np.uint64)
    if weights == "int":
        w = rng.integers(1, 4, size=m).astype(np.float64)
    elif weights == "float":
        w = rng.uniform(0.05, 5.0, size=m)
    else:
        w = None
    return edges, w


def leafy_graph(seed, n):
    """A random tree plus a few chords: many degree-one nodes and chains."""
    rng = np.random.default_rng(seed)
    rows = [(i, int(rng.integers(0, i))) for i in range(1, n)]
    rows += [tuple(int(x) for x in rng.integers(0, n, size=2)) for _ in range(n // 10)]
    rows += [(n + 1, n + 2), (n + 3, n + 3)]  # a lone pair and a lone self-loop
    return E(rows), n + 4


def networkx_betweenness(n, edges, weights, directed, normalized):
    g = nx.DiGraph() if directed else nx.Graph()
    g.add_nodes_from(range(n))
    for i, (u, v) in enumerate(edges.tolist()):
        if u == v:
            continue
        w = 1.0 if weights is None else float(weights[i])
        if g.has_edge(u, v):
            w = min(w, g[u][v]["weight"])
        g.add_edge(u, v, weight=w)
    bc = nx.betweenness_centrality(g, normalized=normalized, weight=None if weights is None else "weight")
    return np.array([bc[i] for i in range(n)])


@pytest.mark.parametrize("weights", [None, "int", "float"])
@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("normalized", [True, False])
@pytest.mark.parametrize("seed, n, m", [(1, 30, 45), (2, 60, 200), (3, 120, 160)])
def test_matches_networkx(seed, n, m, weights, directed, normalized):
    edges, w = random_graph(seed, n, m, weights)
    got = betweenness_rust(n, edges, w, directed, normalized)
    want = networkx_betweenness(n, edges, w, directed, normalized)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("seed", [4, 5])
@pytest.mark.parametrize("directed", [False, True])
def test_matches_networkx_with_many_leaves(seed, directed):
    edges, n = leafy_graph(seed, 150)
    got = betweenness_rust(n, edges, None, directed, False)
    want = networkx_betweenness(n, edges, None, directed, False)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("weights", [None, "float"])
@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("n, paths", [(140, 12), (100, 10), (300, 30)])
def test_small_sweeps_with_few_reached_nodes(n, paths, weights, directed):
    # Calls small enough to run on the calling thread, over graphs big enough
    # that a piece tracks only the nodes its searches reached: each piece's
    # sum must be cleared before the next one, whichever way it is folded.
    rng = np.random.default_rng(n + paths)
    perm = rng.permutation(n).astype(np.uint64)
    rows = [(perm[3 * c + i], perm[3 * c + i + 1]) for c in range(paths) for i in (0, 1)]
    edges = E(rows)
    w = None if weights is None else rng.uniform(0.5, 2.0, size=len(rows))
    got = betweenness_rust(n, edges, w, directed, False)
    want = networkx_betweenness(n, edges, w, directed, False)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)
    again = betweenness_rust(n, edges, w, directed, False)
    assert np.asarray(got).tobytes() == np.asarray(again).tobytes()


@pytest.mark.parametrize("weights", [None, "float"])
def test_many_small_components(weights):
    # Pieces of sources whose searches reach few nodes hand over only those
    # entries; they must add up like whole vectors.
    rng = np.random.default_rng(9)
    n = 4000
    perm = rng.permutation(n).astype(np.uint64)
    rows = [(perm[4 * c + i], perm[4 * c + j]) for c in range(n // 4) for i, j in ((0, 1), (1, 2), (2, 3), (1, 3))]
    edges = E(rows)
    w = None if weights is None else rng.uniform(0.5, 2.0, size=len(rows))
    got = betweenness_rust(n, edges, w, False, False)
    want = networkx_betweenness(n, edges, w, False, False)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)


def test_many_shortest_paths_stay_float():
    # a ladder of 70 diamonds has 2**70 shortest end-to-end paths
    rows, k = [], 70
    for i in range(k):
        a, b, c, d = 3 * i, 3 * i + 1, 3 * i + 2, 3 * i + 3
        rows += [(a, b), (a, c), (b, d), (c, d)]
    n = 3 * k + 1
    got = betweenness_rust(n, E(rows), None, True, False)
    want = networkx_betweenness(n, E(rows), None, True, False)
    np.testing.assert_allclose(got, want, rtol=1e-9)


def test_concurrent_calls_from_python_threads():
    # The lock is released while computing: calls from several threads share
    # the pool but nothing else.
    from concurrent.futures import ThreadPoolExecutor

    cases = [random_graph(20 + i, 200, 700, ("float", None, "int")[i % 3]) for i in range(6)]
    serial = [betweenness_rust(200, e, w, i % 2 == 1) for i, (e, w) in enumerate(cases)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        futures = [pool.submit(betweenness_rust, 200, e, w, i % 2 == 1) for i, (e, w) in enumerate(cases)]
        parallel = [f.result() for f in futures]
    for a, b in zip(serial, parallel):
        assert a.tobytes() == b.tobytes()


# ---------------------------------------------------------------- edges of the double range


def relabelled(n, edges, perm):
    """The same graph with node i renamed perm[i]."""
    return perm.astype(np.uint64)[edges.astype(np.int64)]


# ---------------------------------------------------------------- graphs the searches renumber


def path_rows(n):
    return np.stack([np.arange(n - 1), np.arange(1, n)], axis=1).astype(np.uint64)


def triangle_path(k):
    """Path a_0 .. a_k with a node b_i beside each edge a_i a_(i+1): from a_0,
    the arc b_i a_(i+1) joins two nodes of one level (a third of all arcs)."""
    rows = []
    for i in range(k):
        a, b, c = 2 * i, 2 * i + 1, 2 * i + 2
        rows += [(a, c), (a, b), (b, c)]
    return 2 * k + 1, E(rows)


def lattice_rows(side):
    ids = np.arange(side * side).reshape(side, side)
    rows = [np.stack([ids[:, :-1].ravel(), ids[:, 1:].ravel()], 1), np.stack([ids[:-1].ravel(), ids[1:].ravel()], 1)]
    return side * side, np.concatenate(rows).astype(np.uint64)


# Above a few thousand nodes the searches run under names of their own; the
# values must still land on the caller's nodes, whatever order they came in.
RENUMBERED = {
    "path": (5000, path_rows(5000)),
    "triangle-path": triangle_path(2600),
    "lattice": lattice_rows(72),
    "random": (6000, np.random.default_rng(8).integers(0, 6000, size=(12000, 2), dtype=np.uint64)),
}


@pytest.mark.parametrize("name", RENUMBERED)
@pytest.mark.parametrize("weights", [None, "float"])
@pytest.mark.parametrize("directed", [False, True])
def test_renumbered_graphs_do_not_depend_on_labels(name, weights, directed):
    n, e = RENUMBERED[name]
    w = None if weights is None else np.random.default_rng(3).random(len(e)) + 0.5
    base = betweenness_rust(n, e, w, directed, False)
    perm = np.random.default_rng(n).permutation(n)
    got = betweenness_rust(n, relabelled(n, e, perm), w, directed, False)
    np.testing.assert_allclose(got[perm], base, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("weights", [None, "float"])
@pytest.mark.parametrize("directed", [False, True])
def test_shuffled_long_path_exact(weights, directed):
    # Node at place i of a path of n nodes lies inside i (n - 1 - i) pairs.
    from knotwell import _sweeps

    n = 5000
    place = np.random.default_rng(1).permutation(n)
    e = relabelled(n, path_rows(n), place)
    w = None if weights is None else np.random.default_rng(2).random(n - 1) + 0.5
    i = np.arange(n, dtype=np.float64)
    want = np.empty(n)
    want[place] = i * (n - 1 - i)
    assert betweenness_rust(n, e, w, directed, False).tolist() == want.tolist()
    sources = np.arange(n, dtype=np.uint64)
    rows = _sweeps.betweenness_moments(n, e, sources, 0, _sweeps.piece_count(n), w, directed).reshape(-1, 2, n)
    assert rows[:, 0].sum(axis=0).tolist() == (want if directed else 2 * want).tolist()


HUGE_PATHS = [
    # (n, edges, weights): shortest paths whose lengths leave the double range
    (3, [(0, 1), (1, 2)], [1e308, 1e308]),
    (5, [(0, 1), (1, 2), (2, 3), (3, 4)], [1.0, 1e308, 1e308, 1.0]),
    (6, [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (0, 5)], [1e308, 1e308, 1e308, 1e308, 1e308, 1.5e308]),
    (4, [(0, 1), (1, 2), (2, 3), (0, 3)], [1.7e308, 1.7e308, 1.7e308, 5e-324]),
]


@pytest.mark.parametrize("n, edges, weights", HUGE_PATHS)
@pytest.mark.parametrize("directed", [False, True])
def test_huge_lengths_do_not_depend_on_labels_or_runs(n, edges, weights, directed):
    # Searches whose tentative lengths overflow must not read what an earlier
    # source left in the shared workspace.
    e, w = E(edges), W(weights)
    base = betweenness_rust(n, e, w, directed, False)
    rng = np.random.default_rng(n)
    for _ in range(12):
        perm = rng.permutation(n)
        got = betweenness_rust(n, relabelled(n, e, perm), w, directed, False)
        assert got[perm].tolist() == base.tolist()
    assert all(betweenness_rust(n, e, w, directed, False).tolist() == base.tolist() for _ in range(5))


def round_double(x):
    """x (a positive Fraction) rounded to 53 significant bits, half to even,
    with no bound on the exponent: what a double sum gives inside its range."""
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    scaled = x / Fraction(2) ** (e - 52)  # in [2^52, 2^53)
    q, r = divmod(scaled.numerator, scaled.denominator)
    if 2 * r > scaled.denominator or (2 * r == scaled.denominator and q % 2 == 1):
        q += 1
    return q * Fraction(2) ** (e - 52)


def exact_betweenness(n, edges, weights, directed):
    """Brandes by the definition: lengths summed as doubles without exponent
    bounds, path counts as integers, dependencies as exact fractions.
    Unnormalised; undirected pairs counted once."""
    adj = [dict() for _ in range(n)]
    for i, (u, v) in enumerate(edges):
        if u == v:
            continue
        w = Fraction(1) if weights is None else Fraction(float(weights[i]))
        for a, b in ((u, v),) if directed else ((u, v), (v, u)):
            adj[a][b] = min(w, adj[a].get(b, w))
    bc = [Fraction(0)] * n
    for s in range(n):
        dist, sigma, preds, order, done = {s: Fraction(0)}, {s: 1}, {s: []}, [], set()
        while len(done) < len(dist):
            v = min((d, x) for x, d in dist.items() if x not in done)[1]
            done.add(v)
            order.append(v)
            for w, length in adj[v].items():
                nd = round_double(dist[v] + length)
                if w in done:
                    continue
                if w not in dist or nd < dist[w]:
                    dist[w], sigma[w], preds[w] = nd, sigma[v], [v]
                elif nd == dist[w]:
                    sigma[w] += sigma[v]
                    preds[w].append(v)
        delta = {v: Fraction(0) for v in order}
        for w in reversed(order):
            for v in preds[w]:
                delta[v] += Fraction(sigma[v], sigma[w]) * (1 + delta[w])
            if w != s:
                bc[w] += delta[w]
    return [float(x if directed else x / 2) for x in bc]


EXTREME = HUGE_PATHS + [
    # subnormal lengths: sums are exact there, and 1 + 1 ties 2
    (4, [(0, 1), (1, 2), (0, 2), (2, 3)], [5e-324, 5e-324, 1e-323, 5e-324]),
    # the largest double on every edge of a cycle with a chord
    (7, [(i, (i + 1) % 7) for i in range(7)] + [(0, 3)], [1.7976931348623157e308] * 8),
    # huge lengths with a tie that only exact scaling keeps: 3 * 2^1020 == 2^1020 + 2^1021
    (4, [(0, 1), (1, 2), (0, 2), (2, 3)], [2.0**1020, 2.0**1021, 1.5 * 2.0**1021, 2.0**1023]),
]


@pytest.mark.parametrize("n, edges, weights", EXTREME)
@pytest.mark.parametrize("directed", [False, True])
def test_extreme_lengths_match_the_definition(n, edges, weights, directed):
    got = betweenness_rust(n, E(edges), W(weights), directed, False)
    want = exact_betweenness(n, edges, weights, directed)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def test_huge_path_example_agrees_with_networkx():
    e, w = E([(0, 1), (1, 2)]), W([1e308, 1e308])
    assert betweenness_rust(3, e, w, False, False).tolist() == [0.0, 1.0, 0.0]
    np.testing.assert_array_equal(betweenness_rust(3, e, w, False, True), networkx_betweenness(3, e, w, False, True))


@pytest.mark.parametrize("power", [-1070, -1000, 600, 1000, 1015, 1020])
@pytest.mark.parametrize("weights", ["int", "float"])
@pytest.mark.parametrize("directed", [False, True])
def test_power_of_two_scaling_changes_no_bit(power, weights, directed):
    # Lengths scale exactly by a power of two, ties and roundings with them,
    # whether or not the search has to bring them back into range.
    if weights == "float" and power < -1000:
        pytest.skip("uniform floats lose bits below the normal range")
    edges, w = random_graph(7, 90, 260, weights)
    base = betweenness_rust(90, edges, w, directed, False)
    got = betweenness_rust(90, edges, np.ldexp(w, power), directed, False)
    assert got.tobytes() == base.tobytes()


@pytest.mark.parametrize("directed", [False, True])
def test_huge_and_subnormal_lengths_together(directed):
    # No single power of two brings both parts into range without rounding
    # the small ones, so the lengths are carried wide.
    big, wb = random_graph(8, 40, 90, "int")
    small, ws = random_graph(9, 30, 70, "int")
    edges = np.concatenate([big, small + np.uint64(40)])
    weights = np.concatenate([np.ldexp(wb, 1020), np.ldexp(ws, -1074)])
    got = betweenness_rust(70, edges, weights, directed, False)
    np.testing.assert_allclose(got[:40], betweenness_rust(40, big, wb, directed, False), rtol=1e-13)
    np.testing.assert_allclose(got[40:], betweenness_rust(30, small, ws, directed, False), rtol=1e-13)


def diamond_chain(k):
    """k diamonds in a row: junctions 3i, middles 3i + 1 and 3i + 2."""
    rows = []
    for i in range(k):
        a, b, c, d = 3 * i, 3 * i + 1, 3 * i + 2, 3 * i + 3
        rows += [(a, b), (a, c), (b, d), (c, d)]
    return E(rows), 3 * k + 1


def diamond_chain_betweenness(k, directed):
    """Unnormalised closed form. A middle of diamond i carries half the pairs
    across it; junction i carries every pair across it and, undirected, half
    of each pair of middles beside it."""
    bc = np.zeros(3 * k + 1)
    for i in range(k):
        bc[3 * i + 1] = bc[3 * i + 2] = 0.5 * (3 * i + 1) * (3 * (k - i) - 2)
    for i in range(k + 1):
        bc[3 * i] = 9.0 * i * (k - i) + (0 if directed else 0.5 * ((i > 0) + (i < k)))
    return bc


@pytest.mark.parametrize("k", [5, 950, 1030, 1400])
@pytest.mark.parametrize("weight", [None, 1.0, 2.0**1015])
@pytest.mark.parametrize("directed", [False, True])
def test_more_shortest_paths_than_doubles_hold(k, weight, directed):
    # 1,030 diamonds give 2^1030 shortest end-to-end paths: counts leave the
    # double range, the dependencies do not. 950 stay in range, but past the
    # point where breadth-first counts are rescaled. 1,400 (4,201 nodes) sum
    # successors the way graphs past 4,096 nodes do.
    edges, n = diamond_chain(k)
    w = None if weight is None else np.full(len(edges), weight)
    perm = np.random.default_rng(k).permutation(n)
    got = betweenness_rust(n, relabelled(n, edges, perm), w, directed, False)[perm]
    np.testing.assert_allclose(got, diamond_chain_betweenness(k, directed), rtol=1e-12)
    normalized = betweenness_rust(n, edges, w, directed, True)
    assert np.isfinite(normalized).all()


def diamond_broom(k, length):
    """A chain of k diamonds with a path of `length` nodes hanging from its
    first junction, arcs of the path pointing at the junction. From the
    junction, one level holds a path node (one shortest path) beside chain
    nodes with 2^(level / 2)."""
    chain, n = diamond_chain(k)
    path = [(n + j, n + j - 1 if j > 0 else 0) for j in range(length)]
    return n + length, np.concatenate([chain, E(path)])


def diamond_broom_betweenness(k, length, directed):
    """The junction is a cut node: pairs within the chain, pairs within the
    path (place j of the path inside j (length - j) of them) and, for each
    path node, its paths into the chain, which every chain node v carries
    as the junction's own dependency on v."""
    chain = 3 * k
    bc = np.zeros(chain + 1 + length)
    bc[: chain + 1] = diamond_chain_betweenness(k, directed)
    j = np.arange(1, length + 1)
    bc[chain + j] += j * (length - j) + (length - j) * chain
    bc[0] += length * chain
    for i in range(k):
        bc[3 * i + 1] += length * (3 * (k - i) - 2) / 2
        bc[3 * i + 2] += length * (3 * (k - i) - 2) / 2
        bc[3 * i + 3] += length * 3 * (k - i - 1)
    return bc


@pytest.mark.parametrize("k, length", [(40, 30), (1030, 400), (1100, 2300)])
@pytest.mark.parametrize("directed", [False, True])
def test_path_counts_spread_over_the_double_range(k, length, directed):
    # From the chain's end, levels past 2,000 hold counts 1 and 2^1000 side by
    # side: no single power of two brings both into range.
    n, edges = diamond_broom(k, length)
    perm = np.random.default_rng(length).permutation(n)
    got = betweenness_rust(n, relabelled(n, edges, perm), None, directed, False)[perm]
    np.testing.assert_allclose(got, diamond_broom_betweenness(k, length, directed), rtol=1e-12)
