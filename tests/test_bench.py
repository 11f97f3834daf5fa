"""The benchmark harness: generators, checks, and one tiny case end to end.

No timing is asserted; peers that are not installed are skipped by the
harness itself, so these tests need only numpy and the module.
"""

import dataclasses
import json
import types

import numpy as np
import pytest

from bench import graphs as G
from bench.cases import FUNCTIONS, build_cases
from bench.core import (Close, Components, Exact, Quality, Valid, distances_u64, first_appearance,
                        reference_modularity, simple_graph_problems)
from bench.report import case_block, markdown, summary_table
from bench.runner import Settings, run_case


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


def test_issue_targets_are_registered():
    full = {c.name: c for c in build_cases(False)}
    assert {t.peers for t in full["degree/rmat-20"].targets} == {("numpy",), ("igraph",)}
    assert full["degree/rmat-20"].memory is not None
    assert any("knotwell_rs[1w]" in t.peers for t in full["betweenness/rmat-20k"].targets)
    assert {t.peers[0] for t in full["louvain/lfr-100k"].targets} == {"igraph", "networkit[1t]"}
    assert full["erdos_renyi/n1000000-m10000000"].targets


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
