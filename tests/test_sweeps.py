"""Source sweeps cut into pieces (knotwell._sweeps) and the sweep API on this machine."""

import _thread
import math
import threading

import networkx as nx
import numpy as np
import pytest
from conftest import E, W

import knotwell
import knotwell_rs as kw
from knotwell import _sweeps as native

RNG = np.random.default_rng(2024)


def messy_graph(n, m, seed):
    """Random rows with self-loops, repeats, leaves and isolated nodes."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n - 3, size=(m, 2))
    rows = np.vstack([rows, rows[:5], [[1, 1], [n - 3, 0]]])  # repeats, a self-loop, a leaf
    return E(rows)


def diamond_chain(k):
    """k diamonds in a row: 2^k shortest paths end to end, past the double range at k = 1030."""
    rows = []
    for i in range(k):
        a, b, c, d = 3 * i, 3 * i + 1, 3 * i + 2, 3 * i + 3
        rows += [(a, b), (a, c), (b, d), (c, d)]
    return 3 * k + 1, E(rows)


def fold(n, rows):
    total = np.zeros(n)
    for row in rows.reshape(-1, n):
        total = total + row
    return total


def scaled(n, total, directed, normalized):
    if normalized:
        return total * (1.0 / (float(n - 1) * float(n - 2))) if n >= 3 else total
    return total if directed else total * 0.5


N_MESSY = 300
MESSY = messy_graph(N_MESSY, 700, 1)
MESSY_W = RNG.choice([0.5, 1.0, 1.5, 2.0], size=len(MESSY))
CHAIN_N, CHAIN = diamond_chain(1030)
BIG_W = np.full(len(CHAIN), 2.0**1000)  # lengths past the double range: scaled down exactly
TINY_W = np.where(np.arange(len(CHAIN)) % 2 == 0, 2.0**1000, 2.0**-1000)  # lengths kept wide

CASES = {
    "unweighted": (N_MESSY, MESSY, None, False),
    "directed": (N_MESSY, MESSY, None, True),
    "weighted": (N_MESSY, MESSY, MESSY_W, False),
    "weighted-directed": (N_MESSY, MESSY, MESSY_W, True),
    "wide-counts": (CHAIN_N, CHAIN, None, False),
    "wide-counts-weighted": (CHAIN_N, CHAIN, np.ones(len(CHAIN)), True),
    "huge-weights": (CHAIN_N, CHAIN, BIG_W, False),
    "wide-lengths": (CHAIN_N, CHAIN, TINY_W, False),
    "tiny": (3, E([(0, 1), (1, 2)]), None, False),
}


@pytest.mark.parametrize("case", CASES)
def test_piece_rows_fold_to_the_module_bits(case):
    n, edges, weights, directed = CASES[case]
    pieces = native.piece_count(n)
    assert pieces == min(n, 256)
    whole = native.betweenness_pieces(n, edges, 0, pieces, weights, directed)
    cut = pieces // 3
    split = np.concatenate([native.betweenness_pieces(n, edges, 0, cut, weights, directed, False),
                            native.betweenness_pieces(n, edges, cut, pieces, weights, directed, False)])
    assert whole.tobytes() == split.tobytes()
    for normalized in (True, False):
        expected = kw.betweenness_rust(n, edges, weights, directed=directed, normalized=normalized)
        got = scaled(n, fold(n, whole), directed, normalized)
        assert got.tobytes() == expected.tobytes()


def test_local_sweeps_agree_with_the_module():
    n, edges = N_MESSY, MESSY
    assert knotwell.betweenness(n, edges).tobytes() == kw.betweenness_rust(n, edges).tobytes()
    assert knotwell.mean_shortest_path(n, edges) == kw.mean_shortest_path_rust(n, edges)


@pytest.mark.parametrize("n, edges", [(1000, kw.erdos_renyi_rust(1000, 1500, 5)), (N_MESSY, MESSY),
                                      (3, E([(0, 1), (1, 2)])), (5, E([(2, 2)])), (1, E([]))])
def test_mean_path_sums_split_anywhere(n, edges):
    batches = native.mean_path_batches(n)
    assert batches == -(-n // 128)
    cuts = sorted({0, batches, batches // 2, min(1, batches)})
    total = count = 0
    for lo, hi in zip(cuts, cuts[1:]):
        t, c = native.mean_path_sums(n, edges, lo, hi, lo % 2 == 0)
        total, count = total + t, count + c
    expected = kw.mean_shortest_path_rust(n, edges)
    got = float(total) / float(count) if count else math.nan
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def networkx_graph(n, edges, directed):
    g = nx.DiGraph() if directed else nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from((int(u), int(v)) for u, v in edges if u != v)
    return g


@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("seed", [3, 4])
def test_closeness_and_harmonic_match_networkx(directed, seed):
    n = 120
    edges = messy_graph(n, 150, seed)  # sparse: several components and isolated nodes
    g = networkx_graph(n, edges, directed)
    for wf in (True, False):
        expected = nx.closeness_centrality(g, wf_improved=wf)
        got = knotwell.closeness(n, edges, directed=directed, wf_improved=wf)
        np.testing.assert_allclose(got, [expected[v] for v in range(n)], rtol=1e-13, atol=0)
    expected = nx.harmonic_centrality(g)
    got = knotwell.harmonic(n, edges, directed=directed)
    np.testing.assert_allclose(got, [expected[v] for v in range(n)], rtol=1e-13, atol=0)


def test_distance_sums_do_not_depend_on_the_split():
    n, edges = N_MESSY, MESSY
    whole = native.distance_sums(n, edges, 0, n, True, True)
    parts = [native.distance_sums(n, edges, lo, hi, True, False) for lo, hi in ((0, 17), (17, 200), (200, n))]
    for a, b in zip(whole, (np.concatenate(p) for p in zip(*parts))):
        assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("n, samples, seed", [(10, 3, 0), (1000, 999, 7), (1000, 1, 2**64 - 1)])
def test_sampled_sources_are_distinct_sorted_and_seeded(n, samples, seed):
    sources = native.sample_sources(n, samples, seed)
    assert sources.dtype == np.uint64 and len(sources) == samples
    assert np.all(np.diff(sources.astype(np.int64)) > 0) and int(sources[-1]) < n
    assert np.array_equal(sources, native.sample_sources(n, samples, seed))
    assert not np.array_equal(sources, native.sample_sources(n, samples, seed ^ 1)) or samples in (n, 0)


def test_every_subset_is_as_likely():
    counts = {}
    for seed in range(6000):
        key = tuple(native.sample_sources(4, 2, seed).tolist())
        counts[key] = counts.get(key, 0) + 1
    assert len(counts) == 6
    # 1000 expected per subset; a binomial sd of about 29.
    assert all(abs(c - 1000) < 150 for c in counts.values()), counts


@pytest.mark.parametrize("weighted, directed", [(False, False), (True, True)])
def test_estimate_is_unbiased_over_seeds(weighted, directed):
    n = 40
    edges = messy_graph(n, 90, 11)
    weights = RNG.choice([1.0, 2.0, 3.0], size=len(edges)) if weighted else None
    exact = kw.betweenness_rust(n, edges, weights, directed=directed)
    runs = [knotwell.betweenness_estimate(n, edges, weights, samples=8, seed=s, directed=directed)
            for s in range(400)]
    values = np.array([r.values for r in runs])
    spread = values.std(axis=0, ddof=1) / math.sqrt(len(runs))
    assert np.all(np.abs(values.mean(axis=0) - exact) <= 5 * spread + 1e-12)
    # The reported error estimates the spread of the estimates across samples.
    stderr = np.array([r.stderr for r in runs]).mean(axis=0)
    busy = values.std(axis=0) > 1e-3
    ratio = stderr[busy] / values.std(axis=0)[busy]
    assert 0.6 < np.median(ratio) < 1.4, ratio


def test_estimate_with_every_source_is_exact():
    n, edges = N_MESSY, MESSY
    est = knotwell.betweenness_estimate(n, edges, MESSY_W, samples=n, seed=5)
    assert est.values.tobytes() == kw.betweenness_rust(n, edges, MESSY_W).tobytes()
    assert not est.stderr.any()
    # One source short: still unbiased, and the error bars shrink to near 0.
    near = knotwell.betweenness_estimate(n, edges, MESSY_W, samples=n - 1, seed=5)
    assert np.all(near.stderr < 0.1 * near.values.max())


def test_estimate_is_reproducible_and_independent_of_chunking(monkeypatch):
    n, edges = 1000, kw.erdos_renyi_rust(1000, 3000, 1)
    first = knotwell.betweenness_estimate(n, edges, samples=300, seed=9)
    import knotwell._sweeps_api as api

    monkeypatch.setattr(api, "_local_chunk", lambda row_bytes: 7)
    again = knotwell.betweenness_estimate(n, edges, samples=300, seed=9)
    assert first.values.tobytes() == again.values.tobytes()
    assert first.stderr.tobytes() == again.stderr.tobytes()
    assert np.array_equal(first.sources, native.sample_sources(n, 300, 9))


def test_bad_inputs_fail_as_the_module_does():
    bad = E([(0, 1), (1, 7)])
    with pytest.raises(ValueError) as module_error:
        kw.betweenness_rust(5, bad)
    with pytest.raises(ValueError) as piece_error:
        native.betweenness_pieces(5, bad, 0, 0)
    assert str(piece_error.value) == str(module_error.value)
    with pytest.raises(ValueError, match="weight 1 is 0"):
        native.betweenness_pieces(5, E([(0, 1), (1, 2)]), 0, 5, W([1.0, 0.0]))
    with pytest.raises(ValueError, match="pieces"):
        native.betweenness_pieces(5, E([(0, 1)]), 3, 6)
    with pytest.raises(ValueError, match="sources"):
        native.betweenness_moments(5, E([(0, 1)]), np.array([5], dtype=np.uint64), 0, 1)
    with pytest.raises(ValueError, match=r"\(7, 1\)"):  # directed rows are named as written
        native.distance_sums(5, E([(0, 1), (7, 1)]), 0, 5, True)
    with pytest.raises(ValueError, match="samples"):
        knotwell.betweenness_estimate(5, E([(0, 1)]), samples=6)
    with pytest.raises(TypeError):
        knotwell.closeness(5, E([(0, 1)]), directed=1)
    with pytest.raises(MemoryError):
        native.betweenness_pieces(2**62, E([(0, 1)]), 0, 1)
    with pytest.raises(MemoryError):
        knotwell.closeness(2**62, E([(0, 1)]))


def test_ctrl_c_stops_a_piece_on_the_calling_thread():
    n, edges = 60000, kw.erdos_renyi_rust(60000, 240000, 3)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            native.betweenness_pieces(n, edges, 0, 256, None, False, False)
    finally:
        timer.cancel()
    # The module works on afterwards.
    assert native.betweenness_pieces(3, E([(0, 1), (1, 2)]), 0, 3).tolist() == [0.0] * 4 + [2.0] + [0.0] * 4


def test_the_module_keeps_its_attributes():
    assert not any(name.startswith(("betweenness_pieces", "distance_sums")) for name in dir(kw))
    assert {"BetweennessEstimate", "betweenness", "betweenness_estimate", "closeness", "harmonic",
            "mean_shortest_path"} <= set(knotwell.__all__)


def test_stub_matches_the_native_signatures():
    import ast
    import inspect
    from pathlib import Path

    stub = ast.parse((Path(knotwell.__file__).parent / "_sweeps.pyi").read_text())
    stubbed = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}
    public = {name for name in dir(native) if not name.startswith("_")}
    assert set(stubbed) == public
    for name, f in stubbed.items():
        params = inspect.signature(getattr(native, name)).parameters.values()
        defaults = [None] * (len(f.args.args) - len(f.args.defaults)) + [ast.literal_eval(d) for d in f.args.defaults]
        assert [(a.arg, d) for a, d in zip(f.args.args, defaults)] == [
            (p.name, None if p.default is inspect.Parameter.empty else p.default) for p in params]


def test_docstring_examples_run():
    import doctest

    import knotwell._sweeps_api as api

    result = doctest.testmod(api)
    assert result.attempted >= 5 and result.failed == 0


@pytest.mark.parametrize("call", [
    lambda n, e: knotwell.closeness(n, e),
    lambda n, e: knotwell.betweenness_estimate(n, e, samples=2),
    lambda n, e: native.betweenness_pieces(n, e, 0, 3),
])
def test_an_index_that_rewrites_the_edges_sees_one_snapshot(call):
    edges = E([(0, 1), (1, 2)])

    class Sneaky:
        def __index__(self):
            edges[1] = (0, 99)  # out of range, written while n is converted
            return 3

    with pytest.raises(ValueError, match="outside"):
        call(Sneaky(), edges)
