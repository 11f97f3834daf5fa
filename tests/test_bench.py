"""The benchmark harness: generators, checks, and one tiny case end to end.

No timing is asserted; peers that are not installed are skipped by the
harness itself, so these tests need only numpy and the module.
"""

import dataclasses
import json
import subprocess
import types

import numpy as np
import pytest

import knotwell_rs as kw

from bench import graphs as G
from bench.cases import FUNCTIONS, build_cases, graph_sets
from bench.core import (Close, Components, Exact, Quality, Valid, distances_u64, first_appearance,
                        reference_modularity, simple_graph_problems)
from bench.core import Build, Target
from bench.limits import measure
from bench.report import case_block, limits_section, margin_rule, markdown, method_text, summary_table
from bench.runner import BuildCache, Settings, run_case


def _is_simple(n, e):
    return simple_graph_problems(n, e) == []


@pytest.mark.parametrize("gen", [G.gnm, G.rmat])
@pytest.mark.parametrize("n,m", [(2, 1), (5, 10), (1000, 4000), (1 << 10, 1 << 14), (3000, 20_000)])
def test_generator_shape_range_simple(gen, n, m):
    e = gen(n, m, seed=3)
    assert e.dtype == np.uint64 and e.shape == (m, 2) and e.flags.c_contiguous
    assert int(e.max()) < n
    assert _is_simple(n, e)


@pytest.mark.parametrize("gen", [G.gnm, G.rmat])
def test_generator_is_a_function_of_its_seed(gen):
    a, b, c = gen(500, 3000, 11), gen(500, 3000, 11), gen(500, 3000, 12)
    assert np.array_equal(a, b)
    assert not np.array_equal(a, c)


@pytest.mark.parametrize("gen", [G.gnm, G.rmat])
def test_generator_rejects_impossible_edge_counts(gen):
    with pytest.raises(ValueError):
        gen(4, 7, 0)
    assert gen(4, 6, 0).shape == (6, 2)  # the complete graph is reachable
    assert gen(10, 0, 0).shape == (0, 2)


def test_kronecker_quadrant_frequencies():
    # one level: the quadrant of each row follows (a, b, c, d)
    u, v = G.kronecker_rows(1, 200_000, np.random.default_rng(5))
    freq = np.bincount((u * 2 + v).astype(np.int64), minlength=4) / len(u)
    assert np.allclose(freq, [G.RMAT_A, G.RMAT_B, G.RMAT_C, 1 - G.RMAT_A - G.RMAT_B - G.RMAT_C], atol=0.01)


def test_rmat_is_skewed_and_gnm_is_not():
    n, m = 1 << 12, 1 << 16
    d_rmat = np.bincount(G.rmat(n, m, 1).ravel().astype(np.int64), minlength=n)
    d_gnm = np.bincount(G.gnm(n, m, 1).ravel().astype(np.int64), minlength=n)
    assert d_rmat.max() > 10 * d_gnm.max()
    assert (d_rmat == 0).sum() > 100 and (d_gnm == 0).sum() < 5


def test_powerlaw_degrees_and_weights():
    d = G.powerlaw_degrees(10_001, 4)
    assert d.dtype == np.uint64 and len(d) == 10_001
    assert int(d.sum()) % 2 == 0 and d.min() >= 1 and d.max() <= 101
    assert np.mean(d == 1) > 0.5  # heavy head of a power law with exponent 2.5
    w = G.uniform_weights(1000, 2)
    assert w.dtype == np.float64 and w.min() >= 1.0 and w.max() < 10.0


@pytest.mark.parametrize("make,n,m", [
    (lambda: G.sbm(4000, 30_000, 7), 4000, 30_000),
    (lambda: G.lattice(7, 11), 77, 7 * 10 + 6 * 11),
    (lambda: G.road(40, 2000, 7), 1600, 2000),
    (lambda: G.hubs(5000, 40_000, 7), 5000, 40_000),
])
def test_new_families_are_simple_with_exact_edge_counts(make, n, m):
    e = make()
    assert e.dtype == np.uint64 and e.shape == (m, 2) and e.flags.c_contiguous
    assert simple_graph_problems(n, e) == []
    assert np.array_equal(make(), e)  # seeded: the same rows every time


def test_planted_partition_holds_its_blocks():
    n, m = 5000, 40_000
    e = G.sbm(n, m, 3)
    blocks = G.planted_blocks(n, 3)
    assert np.bincount(blocks.astype(np.int64)).tolist() == [1000] * 5
    inside = np.count_nonzero(blocks[e[:, 0]] == blocks[e[:, 1]])
    assert inside == round(0.75 * m)
    # equal blocks, equal expected degrees: Q = inside share - 1 / blocks
    assert reference_modularity(n, e, blocks) == pytest.approx(0.75 - 1 / 5, abs=0.01)
    # ids are scrambled: blocks are not id ranges
    assert len(set(blocks[:1000].tolist())) == 5


@pytest.mark.parametrize("n,m,block", [(1500, 100, 1000), (1000, 100, 1000), (2000, 10**7, 1000)])
def test_planted_partition_rejects_impossible_shapes(n, m, block):
    with pytest.raises(ValueError):
        G.sbm(n, m, 0, block)


def test_lattice_degrees_and_steps():
    rows, cols = 5, 8
    e = G.lattice(rows, cols)
    deg = np.bincount(e.ravel().astype(np.int64), minlength=rows * cols)
    # corners 2, other border nodes 3, interior 4
    assert sorted(np.bincount(deg).tolist()) == sorted([0, 0, 4, 2 * (rows - 2) + 2 * (cols - 2),
                                                        (rows - 2) * (cols - 2)])
    step = (e[:, 1] - e[:, 0]).astype(np.int64)
    assert set(step.tolist()) == {1, cols}
    assert not np.any((e[step == 1, 0] % cols) == cols - 1)  # no wrap-around


def test_road_is_a_thinned_relabelled_lattice_with_long_paths():
    sp = pytest.importorskip("scipy.sparse")
    cg = pytest.importorskip("scipy.sparse.csgraph")
    side = 60
    m = round(0.65 * 2 * side * (side - 1))
    e = G.road(side, m, 4).astype(np.int64)
    n = side * side
    deg = np.bincount(e.ravel(), minlength=n)
    assert deg.max() <= 4 and deg.mean() == pytest.approx(2 * m / n)
    a = sp.csr_array((np.ones(m), (e[:, 0], e[:, 1])), shape=(n, n))
    _, labels = cg.connected_components(a, directed=False)
    giant = np.bincount(labels).argmax()
    assert np.mean(labels == giant) > 0.8
    d = cg.shortest_path(a, directed=False, unweighted=True, indices=int(np.flatnonzero(labels == giant)[0]))
    assert d[np.isfinite(d)].max() >= side  # high diameter, unlike a random graph of this size
    with pytest.raises(ValueError):
        G.road(10, 2 * 10 * 9 + 1, 0)


@pytest.mark.parametrize("n,degree", [(600, 8.0), (2000, 3.0), (1, 8.0)])
def test_rgg_joins_exactly_the_close_pairs(n, degree):
    e = G.rgg(n, degree, 4)
    assert e.dtype == np.uint64 and e.flags.c_contiguous and simple_graph_problems(n, e) == []
    pts = G._rng(4).random((n, 2))  # the generator's first draw
    d2 = ((pts[:, None, :] - pts[None, :, :]) ** 2).sum(axis=2)
    r = np.sqrt(degree / (np.pi * n))  # the radius as the generator rounds it
    i, j = np.nonzero(np.triu(d2 < r * r, 1))
    assert sorted(map(tuple, e.tolist())) == sorted(zip(i.tolist(), j.tolist()))
    assert np.array_equal(G.rgg(n, degree, 4), e)


def test_hubs_dominate():
    n, m, hubs = 4000, 30_000, 16
    e = G.hubs(n, m, 9, n_hubs=hubs, reach=0.2)
    deg = np.bincount(e.ravel().astype(np.int64), minlength=n)
    top = np.argsort(deg)[-hubs:]
    assert deg[top].min() >= 0.2 * (n - hubs)
    assert np.sort(deg)[-hubs - 1] < deg[top].min() / 5  # a clear gap below the hubs
    key = set(map(tuple, np.sort(e, axis=1).tolist()))
    assert all((min(a, b), max(a, b)) in key for a in top for b in top if a != b)  # hubs form a clique
    with pytest.raises(ValueError):
        G.hubs(n, 100, 9)


def test_karate():
    e = G.karate()
    assert e.shape == (78, 2) and e.dtype == np.uint64 and _is_simple(34, e)
    assert np.bincount(e.ravel().astype(np.int64)).tolist()[:2] == [16, 9]
    assert G.karate_factions().sum() == 17


def test_named_graph_cache_round_trip(tmp_path, monkeypatch):
    monkeypatch.setattr(G, "CACHE_DIR", tmp_path)
    monkeypatch.setattr(G, "_CACHE_MIN_EDGES", 0)
    graph = G.graph_spec("rmat", 300, 900, "t-rmat")
    first = G.load(graph)
    assert len(list(tmp_path.glob("t-rmat-*.npy"))) == 1
    assert np.array_equal(G.load(graph), first)


# ------------------------------------------------------------- checks --

def test_reference_modularity_matches_hand_values():
    # a triangle and a separate edge: 3/4 - (6/8)^2 + 1/4 - (2/8)^2
    e = np.array([[0, 1], [1, 2], [2, 0], [3, 4]], dtype=np.uint64)
    assert reference_modularity(5, e, [0, 0, 0, 1, 1]) == pytest.approx(0.375, abs=1e-15)
    # labels are arbitrary ids; a self-loop alone in its community gives 1 - gamma
    assert reference_modularity(5, e, [7, 7, 7, 9, 9]) == pytest.approx(0.375, abs=1e-15)
    loop = np.array([[0, 0]], dtype=np.uint64)
    assert reference_modularity(1, loop, [0], np.array([2.5]), resolution=0.25) == pytest.approx(0.75)
    assert reference_modularity(3, np.empty((0, 2), np.uint64), [0, 1, 2]) == 0.0


def test_karate_faction_modularity_agrees_with_networkx():
    nx = pytest.importorskip("networkx")
    g = nx.karate_club_graph()
    parts = [{i for i in g if g.nodes[i]["club"] == club} for club in ("Mr. Hi", "Officer")]
    ours = reference_modularity(34, G.karate(), G.karate_factions())
    assert ours == pytest.approx(nx.community.modularity(g, parts, weight=None), rel=1e-12)


@pytest.mark.parametrize("labels,count,expected", [
    ([5, 5, 2, 9, 2], 3, [0, 0, 1, 2, 1]),
    ([0, 1, 2], 3, [0, 1, 2]),
    ([], 0, []),
])
def test_first_appearance(labels, count, expected):
    k, lab = first_appearance(np.array(labels, dtype=np.int64))
    assert k == count and lab.tolist() == expected


def test_distances_to_unreachable_marker():
    top = 2**64 - 1
    assert distances_u64([0.0, 2.0, np.inf, 1.7976931348623157e308]).tolist() == [0, 2, top, top]
    assert distances_u64(np.array([3, -1])).tolist() == [3, top]


@pytest.mark.parametrize("check,ours,peer,status", [
    (Exact(), [1, 2, 3], [1, 2, 3], "ok"),
    (Exact(), [1, 2, 3], [1, 2, 4], "DIFF"),
    (Exact(), [1, 2], [1, 2, 3], "DIFF"),
    (Close(1e-9), [1.0, np.nan], [1.0 + 1e-12, np.nan], "ok"),
    (Close(1e-12), [1.0], [1.0 + 1e-9], "DIFF"),
    (Components(), (2, np.array([0, 1, 0])), (2, np.array([0, 1, 0])), "ok"),
    (Components(), (2, np.array([0, 1, 0])), (3, np.array([0, 1, 2])), "DIFF"),
    (Quality(0.01), {"q": 0.41, "k": 3}, {"q": 0.412, "k": 4}, "ok"),
    (Quality(0.01), {"q": 0.38, "k": 3}, {"q": 0.412, "k": 4}, "LOWER"),
    (Valid(within=0.02), ([], 1000), ([], 1015), "ok"),
    (Valid(within=0.02), ([], 1000), ([], 1100), "DIFF"),
    (Valid(), ([], 10), (["3 self-loops"], 10), "DIFF"),
])
def test_checks(check, ours, peer, status):
    assert check.compare(ours, peer, {}).status == status


def test_quality_self_check_catches_a_wrong_reported_modularity():
    q = Quality(0.01)
    assert q.self_check({"q": 0.3, "k": 2, "reported": 0.3, "reported_k": 2}, {}).status == "ok"
    assert q.self_check({"q": 0.3, "k": 2, "reported": 0.31, "reported_k": 2}, {}).status == "DIFF"
    assert q.self_check({"q": 0.3, "k": 2, "reported": 0.3, "reported_k": 3}, {}).status == "DIFF"


@pytest.mark.parametrize("edges,problem", [
    ([[0, 1], [1, 2]], None),
    ([[0, 1], [1, 0]], "repeated"),
    ([[0, 0], [1, 2]], "self-loops"),
    ([[0, 5]], "out of range"),
])
def test_simple_graph_problems(edges, problem):
    found = simple_graph_problems(3, np.array(edges, dtype=np.uint64))
    assert (found == []) if problem is None else any(problem in p for p in found)


# ------------------------------------------------------------ registry --

@pytest.mark.parametrize("quick", [True, False])
def test_registry_covers_every_function(quick):
    cases = build_cases(quick)
    assert {c.func for c in cases} == set(FUNCTIONS)
    assert len({c.name for c in cases}) == len(cases)
    assert [FUNCTIONS.index(c.func) for c in cases] == sorted(FUNCTIONS.index(c.func) for c in cases)
    for c in cases:
        assert len({p.name for p in c.peers}) == len(c.peers), c.name
        for t in c.targets:
            named = {p.name for p in c.peers} | {f"knotwell_rs[{w}w]" for w in c.workers}
            assert set(t.peers) <= named, (c.name, t.peers)


def test_named_targets_are_registered():
    full = {c.name: c for c in build_cases(False)}
    assert {t.peers for t in full["degree/rmat-20"].targets} == {("numpy",), ("igraph",)}
    assert full["degree/rmat-20"].memory is not None
    assert {t.peers for t in full["betweenness/rmat-10k"].targets} == {("networkit[2t]",), ("igraph",),
                                                                       ("knotwell_rs[1w]",)}
    assert {t.peers for t in full["betweenness/rmat-10k/weighted"].targets} == {("igraph",)}
    assert full["rewire_degree_preserving/rmat-20k"].targets
    for g in ("lfr-100k", "sbm-100k"):
        assert {t.peers[0] for t in full[f"louvain/{g}"].targets} == {"igraph", "networkit[1t]"}
    assert full["erdos_renyi/n1000000-m10000000"].targets
    areas = {t.area for c in full.values() for t in c.targets} | {c.memory.area for c in full.values() if c.memory}
    assert areas == {"degree sequences", "paths", "betweenness", "null models", "communities", "local structure"}


@pytest.mark.parametrize("quick", [True, False])
def test_every_family_reaches_its_functions(quick):
    cases = build_cases(quick)
    by_kind: dict[str, set] = {}
    for c in cases:
        if c.graph is not None:
            by_kind.setdefault(c.graph.kind, set()).add(c.func.removesuffix("_rust"))
    assert {"louvain", "label_propagation", "modularity"} <= by_kind["sbm"]
    paths = {"mean_shortest_path", "shortest_paths", "shortest_paths_multi", "connected_components"}
    assert paths <= by_kind["lattice"] and paths <= by_kind["road"]
    assert {"triangles_per_node", "clustering_local", "clustering_avg", "core_numbers"} <= by_kind["hubs"]
    directed = {c.func for c in cases if c.params.get("directed") is True}
    assert {"betweenness_rust", "shortest_paths_multi_rust"} <= directed


def _runs_at_size(peer, case) -> bool:
    m = case.graph.m if case.graph is not None else (case.size or 0)
    return peer.max_m is None or m <= peer.max_m


@pytest.mark.parametrize("quick", [True, False])
def test_every_case_and_target_has_a_peer_that_runs_at_its_size(quick):
    # A size limit that shuts out every peer leaves a case (or a target)
    # without a figure to compare with; only the worker-scaling case of
    # rewiring has no peer by design.
    for c in build_cases(quick):
        runnable = {p.name for p in c.peers if p.checked and _runs_at_size(p, c)}
        if c.peers:
            assert runnable, c.name
        for t in c.targets:
            assert runnable & set(t.peers) or all(p.startswith("knotwell_rs[") for p in t.peers), (c.name, t.text)


def test_multi_source_targets_follow_the_source_count():
    multi = [c for c in build_cases(False) if c.func == "shortest_paths_multi_rust"]
    counts = {c.name: c.params["sources"] for c in multi}
    assert counts["shortest_paths_multi/gnm-20"] == 16 and counts["shortest_paths_multi/rmat-20"] == 64
    for c in multi:
        k = c.params["sources"]
        assert all(t.text.startswith(f"{k} sources") for t in c.targets), c.name
        if c.memory is not None:
            assert f"k = {k}" in c.memory.text
            # the bound counts the sources actually drawn: 8 bytes a node each
            def bound(sources):
                return c.memory.bound({"n": 1000, "edges": np.zeros((10, 2), np.uint64),
                                       "sources": np.zeros(sources, np.uint64)})
            assert bound(2 * k) - bound(k) == pytest.approx(1.1 * k * 1000 * 8)


@pytest.mark.parametrize("graph_set", ["quad", "directed_quad", "mean", "simple_100k"])
def test_method_text_states_the_quadratic_sizes(graph_set):
    text = " ".join(method_text({}).split())
    for g in graph_sets(False)[graph_set]:
        assert f"{g.n:,} nodes and {g.m:,} edges" in text, g.name


def test_same_call_peers_are_shared_only_where_the_call_is_the_same():
    full = build_cases(False)
    keys: dict[tuple, set] = {}
    for c in full:
        for p in c.peers:
            if p.same_call:
                keys.setdefault((c.graph.name, p.same_call), set()).add((p.name, p.threads))
    assert keys and all(len(v) == 1 for v in keys.values())


# ---------------------------------------------------------- end to end --

def _tiny_degree_case():
    """degree/karate with numpy as its one peer, plus a peer the size limit
    skips (the installed peers would only make the test slow)."""
    case = next(c for c in build_cases(quick=True) if c.name == "degree/karate")
    numpy_peer = next(p for p in case.peers if p.library == "numpy")
    too_big = dataclasses.replace(numpy_peer, name="numpy (limited)", max_m=10)
    return dataclasses.replace(case, peers=[numpy_peer, too_big])


def test_one_case_end_to_end():
    knotwell_rs = pytest.importorskip("knotwell_rs")
    case = _tiny_degree_case()
    result = run_case(case, knotwell_rs, Settings(reps=2, budget_s=1.0, quick=True))
    data = result.to_json()
    assert data["status"] == "ok"
    ours = data["impls"][0]
    assert ours["name"] == "knotwell_rs" and ours["runs"] == 2 and ours["e2e_median_s"] > 0
    numpy_row = next(r for r in data["impls"] if r["name"] == "numpy")
    assert numpy_row["check"] == "ok" and numpy_row["ratio"] > 0
    skipped = next(r for r in data["impls"] if r["name"] == "numpy (limited)")
    assert skipped["status"] == "skipped" and skipped["runs"] == 0
    json.dumps(data)  # serialisable
    report = {"started": "now", "duration_s": 1.0, "mode": "quick", "machine": _machine(), "cases": [data]}
    assert "degree_rust" in case_block(data)
    assert "degree/karate" in summary_table(report)
    assert "| degree/karate |" in markdown(report, None, "x.json")


def test_a_missing_function_is_reported_not_built():
    case = _tiny_degree_case()
    result = run_case(case, types.SimpleNamespace(), Settings(reps=1, quick=True))
    assert result.status == "not built" and result.impls == []


def test_a_wrong_result_is_marked():
    case = _tiny_degree_case()
    wrong = types.SimpleNamespace(degree_rust=lambda n, e, d: np.zeros(n, dtype=np.uint64))
    data = run_case(case, wrong, Settings(reps=1, budget_s=0.5, quick=True)).to_json()
    numpy_row = next(r for r in data["impls"] if r["name"] == "numpy")
    assert numpy_row["check"] == "DIFF"


def _machine():
    return {"cpu": "test", "logical_cores": 2, "physical_cores": 2, "memory_bytes": 2**30, "os": "test",
            "python": "3.13", "packages": {"numpy": np.__version__}, "ours_workers": 2}


def _counting_peer_case(calls, shared_build=False):
    """Two cases on the karate club whose numpy peer makes the same call
    (on a graph shared between cases, or building none)."""
    case = _tiny_degree_case()
    numpy_peer = next(p for p in case.peers if p.library == "numpy")

    def counted(c, g):
        calls.append(1)
        return numpy_peer.algo(c, g)

    build = Build("numpy/nothing", lambda c: None) if shared_build else None
    peer = dataclasses.replace(numpy_peer, algo=counted, build=build, same_call="numpy/bincount")
    first = dataclasses.replace(case, peers=[peer])
    second = dataclasses.replace(case, name="degree/karate/again", peers=[peer])
    return first, second


@pytest.mark.parametrize("shared_build", [False, True])
def test_a_same_call_peer_runs_once_per_graph(shared_build):
    knotwell_rs = pytest.importorskip("knotwell_rs")
    calls = []
    first, second = _counting_peer_case(calls, shared_build)
    builds = BuildCache()
    settings = Settings(reps=3, budget_s=0.5, quick=True)
    a = run_case(first, knotwell_rs, settings, builds=builds).to_json()
    made = len(calls)
    b = run_case(second, knotwell_rs, settings, builds=builds).to_json()
    assert made >= 4 and len(calls) == made  # warm-up and timed runs in the first case only
    row_a, row_b = (next(r for r in x["impls"] if r["name"] == "numpy") for x in (a, b))
    assert row_b["e2e"] == row_a["e2e"] and row_b["check"] == "ok"
    assert "the same call as in degree/karate" in row_b["detail"]
    builds.for_graph("another graph")
    run_case(second, knotwell_rs, settings, builds=builds)
    assert len(calls) > made  # a new graph: nothing shared


def test_a_same_call_peer_is_still_checked_against_each_case():
    calls = []
    first, second = _counting_peer_case(calls)
    builds = BuildCache()
    right = types.SimpleNamespace(degree_rust=lambda n, e, d: np.bincount(e.ravel(), minlength=n).astype(np.uint64))
    wrong = types.SimpleNamespace(degree_rust=lambda n, e, d: np.zeros(n, dtype=np.uint64))
    settings = Settings(reps=1, budget_s=0.2, quick=True)
    run_case(first, right, settings, builds=builds)
    data = run_case(second, wrong, settings, builds=builds).to_json()
    assert next(r for r in data["impls"] if r["name"] == "numpy")["check"] == "DIFF"


# ------------------------------------------------- margin and hardware --

LIMITS = {"seq_read_bytes_per_s": 1e10, "seq_read_bytes_per_s_all": 2e10, "random_reads_per_s": 1e8,
          "random_reads_per_s_all": 2e8, "cores": 2, "array_bytes": 1 << 28, "gathers": 1 << 23}


def _case(func, m, ours_s, peers):
    row = {"status": "ok", "check": "ok", "check_detail": "", "note": "", "detail": "", "algo_median_s": None,
           "peak_bytes": None, "runs": 5}
    impls = [dict(row, name="knotwell_rs", library="knotwell_rs", e2e_median_s=ours_s, ratio=None, check="ref")]
    impls += [dict(row, name=name, library=name.split("[")[0], e2e_median_s=t, ratio=t / ours_s) for name, t in peers]
    return {"name": f"{func}/g", "func": func, "status": "ok", "graph": {"name": "g", "n": m, "m": m},
            "params": {}, "impls": impls, "rate": None, "targets": [], "seconds": 1.0}


@pytest.mark.parametrize("func,m,ours_s,peers,met", [
    ("louvain_rust", 1000, 1.0, [("igraph", 5.0), ("networkit[1t]", 2.5)], True),
    ("louvain_rust", 1000, 1.0, [("igraph", 5.0), ("networkit[1t]", 1.9)], False),
    ("rewire_degree_preserving_rust", 1000, 1.0, [], None),
    # degree functions: ahead of numpy, and within 1.5x of reading 16 bytes a row at 1e10 B/s
    ("degree_rust", 1000, 1e-6, [("numpy", 2e-6), ("igraph", 1e-6)], True),
    ("degree_rust", 1000, 1e-6, [("numpy", 0.9e-6)], False),
    ("degree_rust", 1 << 24, 0.03, [("numpy", 0.06)], True),
    ("degree_rust", 1 << 24, 0.05, [("numpy", 0.06)], False),
    ("strength_rust", 1 << 24, 0.05, [("numpy", 0.06)], True),  # 24 bytes a row
    ("in_degree_rust", 1000, 1e-6, [("scipy", 5e-6)], None),
])
def test_margin_rule(func, m, ours_s, peers, met):
    assert margin_rule(_case(func, m, ours_s, peers), LIMITS)[0] is met


def test_limits_table_rows_and_which_limit_applies():
    big = 1 << 24
    single = _case("shortest_paths_rust", big, 0.5, [("scipy", 2.0)])
    pooled = _case("shortest_paths_multi_rust", big, 2.0, [("igraph", 20.0)])
    pooled["rate"] = {"label": "edges/s", "value": 64 * big / 2.0}
    small = _case("degree_rust", 1000, 1e-6, [("numpy", 2e-6)])
    other = _case("louvain_rust", big, 1.0, [("igraph", 5.0)])
    text = "\n".join(limits_section({"limits": LIMITS, "cases": [single, pooled, small, other]}))
    rows = {line.split(" | ")[0][2:]: line for line in text.splitlines() if line.startswith("| ") and "/g" in line}
    assert set(rows) == {"shortest_paths_rust/g", "shortest_paths_multi_rust/g"}
    # 2^24 edges in 0.5 s against 1e8 reads/s per core; 64 searches in 2 s against 2e8 for all cores
    assert rows["shortest_paths_rust/g"].endswith(f"| {big / 0.5 / 1e8:.0%} |")
    assert rows["shortest_paths_multi_rust/g"].endswith(f"| {64 * big / 2.0 / 2e8:.0%} |")
    assert limits_section({"cases": [single]}) == []  # results without limits render without the table


def test_limits_are_measured_as_rates():
    lim = measure(table_bytes=1 << 20, gathers=1 << 14, cores=2)
    assert lim["cores"] == 2 and lim["array_bytes"] == 1 << 20 and lim["gathers"] == 1 << 14
    for key in ("seq_read_bytes_per_s", "seq_read_bytes_per_s_all", "random_reads_per_s", "random_reads_per_s_all"):
        assert np.isfinite(lim[key]) and lim[key] > 0


def test_docs_name_no_tracker_issues():
    import re

    report = {"started": "now", "duration_s": 1.0, "mode": "full", "machine": _machine(), "limits": LIMITS,
              "cases": [dict(_case("degree_rust", 1 << 24, 0.03, [("numpy", 0.06)]),
                             targets=[{"peers": ["numpy"], "ratio": 1.0, "area": "degree sequences", "text": "t",
                                       "achieved": 2.0, "met": True}])]}
    text = markdown(report, None, "benchmarks.json")
    assert "| degree sequences | degree_rust/g |" in text and "## Against the hardware" in text
    assert not re.search(r"issue \d", text, re.IGNORECASE)


def test_scaling_target_compares_fresh_processes_when_both_exist(monkeypatch):
    from bench import runner

    monkeypatch.setattr(runner, "_pool_size", lambda: 2)
    case = dataclasses.replace(_tiny_degree_case(), peers=[], targets=[
        Target(("knotwell_rs[1w]",), 1.8, "t", "scaling"), Target(("numpy",), 2.0, "t", "peer")])

    def result(name, seconds):
        return runner.ImplResult(name, "knotwell_rs" if name.startswith("knotwell") else "numpy", e2e=[seconds])

    # In-process ours is slow; its fresh-process twin is not. The peer target
    # keeps the in-process run, the scaling one uses the twin.
    impls = [result("knotwell_rs", 0.10), result("knotwell_rs[1w]", 0.16), result("knotwell_rs[2w]", 0.08),
             result("numpy", 0.25)]
    cr = runner.CaseResult(name=case.name, func=case.func, graph=None, params={}, impls=impls)
    runner._finish(case, cr, {})
    scaling, peer = cr.targets
    assert scaling["achieved"] == pytest.approx(2.0) and scaling["met"]
    assert peer["achieved"] == pytest.approx(2.5) and peer["met"]
    # Without the twin, the scaling target falls back to the in-process run.
    cr = runner.CaseResult(name=case.name, func=case.func, graph=None, params={}, impls=impls[:2] + impls[3:])
    runner._finish(case, cr, {})
    assert cr.targets[0]["achieved"] == pytest.approx(1.6) and not cr.targets[0]["met"]


# ------------------------------------------------------------ memory at scale

def test_scale_bench_covers_every_function():
    """A new function must get a memory case or a stated reason not to."""
    import knotwell_rs as kw
    from bench import scale

    cases = scale._cases()
    for name in kw.__all__:
        assert (name in cases) != (name in scale.NOT_RUN), name
        assert name not in cases or "knotwell_rs" in cases[name]


def _scale_record(func, lib, scale, completed=True, bpr=1.0, **extra):
    r = {"func": func, "lib": lib, "scale": scale, "completed": completed, "rows": 16 << scale}
    r.update({"bytes_per_row": bpr, "seconds": 1.0} if completed else {"why": "stopped above 1 GiB resident",
                                                                        "stop": "memory"})
    r.update(extra)
    return r


def test_scale_bench_partial_run_merges(tmp_path, monkeypatch):
    """A rerun of a few functions replaces exactly their records: the others'
    stay, a stop marks this run's larger scales not run (an older success
    there would contradict it), and the report still lists every function."""
    import knotwell_rs as kw
    from bench import scale

    old = {scale.record_key(f, lib, s): _scale_record(f, lib, s, bpr=50.0)
           for f in ("louvain_rust", "degree_rust") for lib in ("knotwell_rs", "igraph") for s in (22, 23, 24)}
    (tmp_path / "scale.json").write_text(json.dumps(old))
    calls = []

    def fake_measure(func, lib, s, max_bytes, timeout, reserve):
        calls.append((func, lib, s, timeout))
        return _scale_record(func, lib, s, completed=not (lib == "igraph" and s == 23), bpr=7.0)

    monkeypatch.setattr(scale, "measure", fake_measure)
    monkeypatch.setattr(scale, "make_input", lambda s: None)
    monkeypatch.setattr(scale, "_plot", lambda *a: None)
    assert scale.main(["--only", "louvain_rust", "--scales", "22", "23", "24", "--libs", "knotwell_rs", "igraph",
                       "--out", str(tmp_path), "--timeout", "10", "--peer-seconds-per-row", "1e-6"]) == 0
    # igraph is not run at 24 after its stop at 23; only the peer's limit grows with the rows.
    assert [(lib, s) for _, lib, s, _ in calls] == [("knotwell_rs", 22), ("igraph", 22), ("knotwell_rs", 23),
                                                    ("igraph", 23), ("knotwell_rs", 24)]
    assert calls[0][3] == 10 and calls[1][3] == pytest.approx(10 + (16 << 22) * 1e-6)
    res = json.loads((tmp_path / "scale.json").read_text())
    assert res["degree_rust/igraph/24"]["bytes_per_row"] == 50.0       # not rerun: kept
    assert res["louvain_rust/knotwell_rs/24"]["bytes_per_row"] == 7.0  # rerun: replaced
    assert res["louvain_rust/igraph/24"]["stop"] == "not run" and not res["louvain_rust/igraph/24"]["completed"]
    assert scale.summarize({s: res[f"louvain_rust/igraph/{s}"] for s in (22, 23, 24)})[0] == 22
    md = (tmp_path / "scale.md").read_text()
    for name in kw.__all__:
        assert f"| {name} |" in md, name
    row = next(line for line in md.splitlines() if line.startswith("| louvain_rust | igraph |"))
    assert "| 7.0 | >= " not in row and "n/r" in row and "| 22 | scale 23: memory" in row


@pytest.mark.parametrize("record,kind", [
    ({"why": "stopped above 12 GiB resident"}, "memory"),        # records from before the kind was stored
    ({"why": "stopped after 150 s"}, "timeout"),
    ({"why": "exit -11"}, "crash"),
    ({"why": "x", "stop": "not run"}, "not run"),
])
def test_scale_bench_stop_kinds(record, kind):
    from bench import scale

    assert scale.stop_kind(record) == kind


@pytest.mark.parametrize("code,err,kind", [(-11, "", "crash"), (-9, "", "memory"),
                                           (1, "Traceback\nMemoryError", "memory"),
                                           (1, "Traceback\nValueError: bad", "error")])
def test_scale_bench_exit_reasons(code, err, kind):
    from bench import scale

    got, why = scale._exit_reason(code, err)
    assert got == kind and why


def test_scale_bench_waits_for_projected_memory(monkeypatch):
    """A call waits while others hold the memory its smaller scale projects,
    and does not wait for what could never fit."""
    from bench import scale

    results = {"a": _scale_record("degree_rust", "knotwell_rs", 22, peak=2 << 30, rows=1 << 26),
               "b": _scale_record("degree_rust", "knotwell_rs", 23, completed=False)}
    assert scale.projected_need(results, "degree_rust", "knotwell_rs", 24) == 8 << 30  # from 22, 4x rows
    assert scale.projected_need(results, "degree_rust", "knotwell_rs", 22) is None
    avail = iter([9 << 30, 11 << 30, 13 << 30])
    monkeypatch.setattr(scale, "mem_available", lambda: next(avail))
    assert scale.wait_for_memory(8 << 30, 4 << 30, 20 << 30, minutes=1, poll=0)
    with pytest.raises(StopIteration):
        next(avail)  # waited until 12 GiB were there
    monkeypatch.setattr(scale, "mem_available", lambda: 1 << 30)
    assert not scale.wait_for_memory(30 << 30, 4 << 30, 20 << 30, minutes=1, poll=0)
    assert not scale.wait_for_memory(8 << 30, 4 << 30, 20 << 30, minutes=0, poll=0)


# Heavy: it measures memory, which a sanitizer's allocator inflates past any
# bound; the kernels it calls are covered by lighter tests.
@pytest.mark.heavy
@pytest.mark.parametrize("func,lib", [("core_numbers_rust", "knotwell_rs"), ("connected_components_rust", "scipy"),
                                      ("configuration_model_rust", "knotwell_rs"),
                                      # NetworKit's algorithm holds only a C++ pointer to the graph it is given.
                                      ("connected_components_rust", "networkit"), ("louvain_rust", "igraph")])
def test_scale_bench_measures_a_fresh_process(tmp_path, monkeypatch, func, lib):
    """The child's protocol end to end on a tiny input: the rows and the peak
    above the baseline come back; an impossible limit stops the call."""
    from bench import scale

    pytest.importorskip("scipy" if lib == "knotwell_rs" else lib)
    monkeypatch.setenv("KNOTWELL_BENCH_CACHE", str(tmp_path))
    monkeypatch.setattr(G, "CACHE_DIR", tmp_path)
    path = scale.make_input(10)
    rows = np.load(path)
    assert rows.shape == (16 << 10, 2) and int(rows.max()) < 1 << 10
    r = scale.measure(func, lib, 10, max_bytes=1 << 40, timeout=120)
    assert r["completed"], r
    assert r["rows"] == len(rows)
    assert 0 <= r["bytes_per_row"] < 1000
    stopped = scale.measure(func, lib, 10, max_bytes=1, timeout=120)
    assert not stopped["completed"] and "stopped above" in stopped["why"]


# ------------------------------------------------------------ tiny calls --

def test_tiny_bench_times_every_function(capsys):
    from bench import tiny

    assert tiny.main(["--ours-only", "--repeat", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines] == list(kw.__all__)
    assert all(float(line.split()[2]) > 0 for line in lines)


def test_bare_scatter_loop_counts_every_row(tmp_path):
    # The yardstick of the degree functions: it must do the whole count, or
    # the comparison flatters it.
    import shutil
    from bench.scatter import bare_loop, compile_loop
    if shutil.which("c++") is None:
        pytest.skip("no C++ compiler")
    edges = G.rmat(1 << 10, 1 << 14, 3)
    raw = tmp_path / "rows.bin"
    np.ascontiguousarray(edges, dtype="<u8").tofile(raw)
    assert bare_loop(compile_loop(tmp_path), raw, 1 << 10, len(edges)) > 0.0
    with pytest.raises(subprocess.CalledProcessError):  # fewer rows on file than asked for
        bare_loop(compile_loop(tmp_path), raw, 1 << 10, len(edges) + 1)
