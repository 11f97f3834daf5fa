"""Null-model ensembles run locally: the seed contract, statistics, summaries, errors, memory, Ctrl-C."""

import hashlib
import io
import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from fractions import Fraction
from pathlib import Path

import matplotlib
import networkx as nx
import numpy as np
import pytest

import knotwell as ke
import knotwell_rs as kw
from knotwell import statistics as st
from knotwell._models import build_model

matplotlib.use("Agg")

U64 = np.uint64
KARATE = np.loadtxt(Path(__file__).parents[1] / "examples/data/karate.csv", delimiter=",", dtype=U64, comments="#")


def splitmix64(seed, count):
    """The stream stepped one output at a time (the package computes outputs directly)."""
    state, out = seed, []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) % 2**64
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) % 2**64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) % 2**64
        out.append(z ^ (z >> 31))
    return out


def fingerprint(n, edges):
    """Four exact floats that change with any bit of the sample."""
    digest = hashlib.sha256(np.ascontiguousarray(edges, dtype=U64).tobytes()).digest()
    return np.frombuffer(digest[:16], dtype=np.uint32).astype(np.float64)


def messy_graph():
    """Karate plus a self-loop, a repeated row and a reversed row (fine for the erasing models)."""
    return 34, np.vstack([KARATE, [[3, 3], [0, 1], [2, 0]]]).astype(U64)


def nx_simple(n, edges):
    g = nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from((int(u), int(v)) for u, v in edges if u != v)
    return g


def ring_of_cliques(cliques=8, size=5):
    g = nx.ring_of_cliques(cliques, size)
    return g.number_of_nodes(), np.array(g.edges(), dtype=U64)


def test_stream_is_splitmix64_and_the_modules_own():
    assert splitmix64(0, 3) == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
    for seed in (0, 7, 2**63 + 5, 2**64 - 1):
        reference = splitmix64(seed, 12)
        assert ke.sample_seeds(seed, 12).tolist() == reference
        assert ke.sample_seeds(seed, 12, start=5).tolist() == reference[5:]
        assert [ke.sample_seed(seed, i) for i in range(12)] == reference
    # The module's own stream: with bound 2^64 - 1 a bounded draw is the raw
    # output minus one, so G(n, m) on 2^64 - 1 nodes shows the outputs.
    for seed in (0, 99, 2**64 - 1):
        x1, x2 = (int(x) - 1 for x in ke.sample_seeds(seed, 2))
        assert kw.erdos_renyi_rust(2**64 - 1, 1, seed).tolist() == [[min(x1, x2), max(x1, x2)]]


def native_sample(model, n, edges, native_seed):
    g = nx_simple(n, edges)
    if model == "rewire":
        out, swaps, attempts = kw.rewire_degree_preserving_rust(n, edges, 1, 3 * len(edges), 30 * len(edges),
                                                                native_seed)
        return out[0], {"swaps": swaps[0], "attempts": attempts[0]}
    if model == "configuration":
        degrees = np.array([g.degree(v) for v in range(n)], dtype=U64)
        out, discarded = kw.configuration_model_rust(degrees, native_seed)
        return out, {"discarded": discarded}
    return kw.erdos_renyi_rust(n, g.number_of_edges(), native_seed), {}


@pytest.mark.parametrize("model", ke.MODELS)
def test_sample_i_is_the_native_generator_at_stream_output_i(model):
    n, edges = (34, KARATE) if model == "rewire" else messy_graph()
    res = ke.null_model(n, edges, fingerprint, model=model, samples=9, seed=2024, swaps_per_edge=3, progress=False)
    assert res.observed.tolist() == fingerprint(n, edges).tolist()
    for i, native_seed in enumerate(splitmix64(2024, 9)):
        sample, diagnostics = native_sample(model, n, edges, native_seed)
        assert res.null[i].tolist() == fingerprint(n, sample).tolist()
        assert np.array_equal(ke.sample(n, edges, i, model=model, seed=2024, swaps_per_edge=3), sample)
        for name, value in diagnostics.items():
            assert getattr(res, name)[i] == value


@pytest.mark.parametrize("model", ke.MODELS)
@pytest.mark.parametrize("batch, workers", [(1, 1), (3, 2), (40, 4), (None, None)])
def test_null_does_not_depend_on_batch_or_threads(model, batch, workers):
    stat = st.Combined(st.average_clustering, st.degree_assortativity, fingerprint)
    kwargs = dict(model=model, samples=40, seed=5, swaps_per_edge=2, progress=False)
    graph = (34, KARATE) if model == "rewire" else messy_graph()
    reference = ke.null_model(*graph, stat, batch=1, workers=1, **kwargs)
    res = ke.null_model(*graph, stat, batch=batch, workers=workers, **kwargs)
    assert np.array_equal(res.null, reference.null, equal_nan=True)
    for name in ("swaps", "attempts", "discarded"):
        assert np.array_equal(getattr(res, name), getattr(reference, name)) or getattr(res, name) is None


@pytest.mark.parametrize("make_graph", [messy_graph, ring_of_cliques, lambda: (40, kw.erdos_renyi_rust(40, 90, 3)),
                                        lambda: (6, np.zeros((0, 2), dtype=U64))])
def test_statistics_match_networkx(make_graph):
    n, edges = make_graph()
    g = nx_simple(n, edges)
    assert st.average_clustering(n, edges) == pytest.approx(nx.average_clustering(g) if n else 0.0)
    assert st.transitivity(n, edges) == pytest.approx(nx.transitivity(g))
    assert st.triangle_count(n, edges) == sum(nx.triangles(g).values()) / 3
    assert st.max_core(n, edges) == max(nx.core_number(g).values())
    phi = st.rich_club_coefficient(n, edges)
    expected = nx.rich_club_coefficient(g, normalized=False) if g.number_of_edges() else {}
    assert len(phi) == len(expected) and np.allclose(phi, [expected[k] for k in range(len(phi))])
    assert np.isnan(st.RichClub(len(phi) + 3)(n, edges)[len(phi):]).all()
    if g.number_of_edges() and len({d for _, d in g.degree()}) > 1:
        assert st.degree_assortativity(n, edges) == pytest.approx(nx.degree_assortativity_coefficient(g))
    if g.number_of_edges() and nx.is_connected(g):
        assert st.mean_shortest_path(n, edges) == pytest.approx(nx.average_shortest_path_length(g))


# Every statistic of the library, as an ensemble would call it.
STATISTICS = {"average_clustering": st.average_clustering, "transitivity": st.transitivity,
              "triangle_count": st.triangle_count, "degree_assortativity": st.degree_assortativity,
              "rich_club_coefficient": st.rich_club_coefficient, "RichClub": st.RichClub(8),
              "mean_shortest_path": st.mean_shortest_path, "LouvainModularity": st.LouvainModularity((0, 5)),
              "louvain_modularity": st.louvain_modularity, "max_core": st.max_core,
              "Combined": st.Combined(st.max_core, st.louvain_modularity)}


def test_every_statistic_is_in_the_invariance_table():
    assert set(st.__all__) - {"statistic_name"} == set(STATISTICS)


@pytest.mark.parametrize("name", STATISTICS)
@pytest.mark.parametrize("make_graph", [lambda: (34, KARATE), ring_of_cliques])
def test_statistics_ignore_repeated_reversed_rows_and_self_loops(name, make_graph):
    n, edges = make_graph()
    rng = np.random.default_rng(10)
    picked = edges[rng.choice(len(edges), 10)]
    messy = np.vstack([picked, edges, picked[:, ::-1], [[0, 0], [n - 1, n - 1]], picked]).astype(U64)
    simple, noisy = STATISTICS[name](n, edges), STATISTICS[name](n, messy)
    assert np.array_equal(np.asarray(noisy), np.asarray(simple), equal_nan=True)


def test_louvain_finds_at_least_the_planted_cliques():
    n, edges = ring_of_cliques()
    planted = nx.community.modularity(nx_simple(n, edges), [set(range(k, k + 5)) for k in range(0, n, 5)])
    assert st.louvain_modularity(n, edges) >= planted - 1e-12


@pytest.mark.parametrize("model", ["rewire", "configuration"])
def test_clustering_of_a_ring_of_cliques_is_far_above_its_degrees(model):
    n, edges = ring_of_cliques()
    res = ke.null_model(n, edges, st.average_clustering, model=model, samples=99, seed=1, progress=False)
    assert res.zscore > 10 and res.pvalue == pytest.approx(2 / 100) and res.rho > 2


def test_a_gnm_graph_is_typical_of_gnm():
    n, edges = 300, kw.erdos_renyi_rust(300, 900, 11)
    stat = st.Combined(st.average_clustering, st.transitivity, st.degree_assortativity, st.mean_shortest_path)
    res = ke.null_model(n, edges, stat, model="gnm", samples=199, seed=3, progress=False)
    assert np.all(np.abs(res.zscore) < 3.5) and np.all(res.pvalue > 0.005)
    assert res.component(1).observed == res.observed[1] and np.array_equal(res.component(1).null, res.null[:, 1])


@pytest.mark.parametrize("observed, null, z, p", [
    (100.0, np.arange(1.0, 100.0), (100 - 50) / np.std(np.arange(1.0, 100.0), ddof=1), 2 / 100),
    (50.0, np.arange(1.0, 100.0), 0.0, 1.0),
    (3.0, np.array([1.0, np.nan, 2.0, 2.0, np.nan]), (3 - 5 / 3) / np.std([1, 2, 2], ddof=1), 2 / 4),
    (1.0, np.ones(9), np.nan, 1.0),
    (2.0, np.ones(9), np.inf, 2 / 10),
    (np.nan, np.arange(9.0), np.nan, np.nan),
    (1.0, np.array([np.nan, np.nan, 4.0]), np.nan, 2 / 2),
    (1.7e308, 1e308 * np.array([1.0, 1.2, 1.4, 1.6]), 0.4 / np.std([1.0, 1.2, 1.4, 1.6], ddof=1), 2 / 5),
    # An infinite null value: no finite z, but the count still gives p.
    (1.0, np.array([0.5, np.inf, 2.0, 3.0]), np.nan, 2 * 2 / 5),
    (np.inf, np.array([0.5, np.inf, -np.inf, 3.0]), np.nan, 2 * 2 / 5),
])
@pytest.mark.filterwarnings("error")
def test_zscore_and_two_sided_pvalue(observed, null, z, p):
    res = ke.NullModelResult(observed, null, "gnm", 0)
    assert res.zscore == pytest.approx(z, nan_ok=True) and res.pvalue == pytest.approx(p, nan_ok=True)
    vector = ke.NullModelResult(np.array([observed, observed]), np.stack([null, null], axis=1), "gnm", 0)
    assert np.allclose(vector.zscore, z, equal_nan=True) and np.allclose(vector.pvalue, p, equal_nan=True)


def test_an_infinite_null_value_is_named_not_leaked():
    def spiky(n, sample):
        return np.inf if fingerprint(n, sample)[0] % 3 == 0 else float(fingerprint(n, sample)[1] % 7)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = ke.null_model(34, KARATE, spiky, samples=30, seed=4, progress=False)
    assert [w.category for w in caught] == [ke.NonFiniteNullWarning]
    infinite = int(np.isinf(res.null).sum())
    assert 0 < infinite < 30 and f"spiky returned an infinite value on {infinite} of 30" in str(caught[0].message)
    assert np.isnan(res.zscore) and 0 < res.pvalue <= 1


@pytest.mark.parametrize("swaps_per_edge, attempts_per_swap", [
    (2**53 + 1, 1), (2**53 + 5, 1), (2**53 + 5, 1.0), (2**53 + 1, 1.5), (3, 10), (0.7, 1.1), (2**60 // 78, 1.0),
])
def test_attempts_are_counted_exactly(swaps_per_edge, attempts_per_swap):
    recipe, _ = build_model("rewire", 34, KARATE, swaps_per_edge, attempts_per_swap)
    target = swaps_per_edge * 78 if isinstance(swaps_per_edge, int) else -(-Fraction(swaps_per_edge) * 78 // 1)
    assert recipe.target_swaps == target
    assert recipe.max_attempts == min(-(-Fraction(target) * Fraction(attempts_per_swap) // 1), 2**64 - 1)
    assert recipe.max_attempts >= recipe.target_swaps


def test_star_cannot_be_rewired_and_says_so():
    edges = np.array([[0, k] for k in range(1, 8)], dtype=U64)
    with pytest.warns(ke.SwapShortfallWarning, match="5 of 5 rewired samples fell short of their 14 target"):
        res = ke.null_model(8, edges, st.max_core, samples=5, swaps_per_edge=2, progress=False)
    assert res.swaps.tolist() == [0] * 5 and res.attempts.tolist() == [140] * 5


class Counting:
    def __init__(self):
        self.calls = 0

    def __call__(self, n, edges):
        self.calls += 1
        return 1.0


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((34, KARATE), dict(model="maslov"), ValueError, "unknown model 'maslov'"),
    ((34, KARATE), dict(samples=0), ValueError, "samples must be at least 1"),
    ((34, KARATE), dict(samples=2.0), TypeError, "samples must be an integer"),
    ((34, KARATE), dict(batch=0), ValueError, "batch must be at least 1"),
    ((34, KARATE), dict(seed=2**64), ValueError, r"seed must lie in \[0, 2\*\*64\)"),
    ((34, KARATE), dict(seed=True), TypeError, "seed must be an integer, got bool"),
    ((34, KARATE), dict(attempts_per_swap=0.5), ValueError, "attempts_per_swap must be finite and at least 1"),
    ((34, KARATE), dict(swaps_per_edge=float("nan")), ValueError, "swaps_per_edge must be finite"),
    ((34, KARATE), dict(swaps_per_edge=-1), ValueError, "swaps_per_edge must be finite and non-negative"),
    ((34, KARATE), dict(swaps_per_edge=2**60), ValueError, "exceeds 2"),
    ((2, KARATE), {}, ValueError, r"^edge 1 \(0, 2\) names a node id outside \[0, 2\)$"),
    ((34, KARATE.astype(np.int64)), dict(model="gnm"), TypeError, "argument 'edges': type mismatch"),
    ((34, np.vstack([KARATE, np.array([[1, 0]], dtype=U64)])), {}, ValueError, "^edges must not repeat an edge; degree-preserving"),
    ((34, np.vstack([KARATE, np.array([[4, 4]], dtype=U64)])), {}, ValueError, "^edges must not contain self-loops; degree-preserving"),
])
def test_bad_input_fails_before_any_work(args, kwargs, error, message):
    stat = Counting()
    with pytest.raises(error, match=message):
        ke.null_model(*args[:2], stat, progress=False, **kwargs)
    assert stat.calls == 0


class NoneOnSamples:
    """Measures the observed graph, then forgets its return."""

    def __init__(self):
        self.calls = 0

    def __call__(self, n, edges):
        self.calls += 1
        return 1.0 if self.calls == 1 else None


@pytest.mark.parametrize("statistic, message", [
    (42, "statistic must be a callable"),
    (lambda n, e: None, "statistic <lambda> returned None on the observed graph; .*return statement missing"),
    (NoneOnSamples(), "statistic NoneOnSamples returned None on null sample 0"),
    (lambda n, e: 10**400, "statistic <lambda> returned a number too large for a float64 on the observed graph"),
    (lambda n, e: [1.0, -(10**400)], "too large for a float64 on the observed graph"),
    (lambda n, e: np.zeros((2, 2)), r"1-d array; on the observed graph it returned shape \(2, 2\)"),
    (lambda n, e: [], "empty array on the observed graph"),
    (lambda n, e: "high", "statistic must return a float"),
    (st.rich_club_coefficient, r"on null sample 0 but \(.*\) on the observed graph"),
])
def test_statistic_of_the_wrong_kind(statistic, message):
    with pytest.raises((TypeError, ValueError, OverflowError), match=message):
        ke.null_model(*ring_of_cliques(), statistic, model="gnm", samples=50, progress=False)


def test_the_callers_array_changing_mid_run_changes_nothing():
    edges = KARATE.copy()
    reference = ke.null_model(34, KARATE, fingerprint, samples=30, progress=False)

    def vandal(n, sample):
        edges[:] = 0  # the caller's array, mid-run
        return fingerprint(n, sample)

    res = ke.null_model(34, edges, vandal, samples=30, progress=False)
    assert np.array_equal(res.null, reference.null) and not edges.any()


@pytest.mark.parametrize("workers", [1, 3])
def test_a_failing_statistic_surfaces_as_it_was_raised(workers):
    def fragile(n, sample):
        if not np.array_equal(sample, KARATE) and fingerprint(n, sample)[0] % 4 == 0:
            raise ZeroDivisionError("fragile statistic")
        return 0.0

    with pytest.raises(ZeroDivisionError, match="fragile statistic"):
        ke.null_model(34, KARATE, fragile, samples=100, workers=workers, progress=False)


def test_progress_bar_is_shown_unless_silenced(capsys):
    ke.null_model(34, KARATE, st.max_core, samples=20, progress=False)
    assert capsys.readouterr().err == ""
    ke.null_model(34, KARATE, st.max_core, samples=20)
    assert "20/20" in capsys.readouterr().err


@pytest.mark.parametrize("statistic, normalized", [(st.average_clustering, False), (st.RichClub(10), True)])
def test_plot_renders_a_png(statistic, normalized):
    import matplotlib.pyplot as plt

    res = ke.null_model(34, KARATE, statistic, samples=30, progress=False)
    ax = res.plot(normalized=normalized)
    buffer = io.BytesIO()
    ax.figure.savefig(buffer, format="png")
    plt.close(ax.figure)
    assert buffer.getvalue().startswith(b"\x89PNG") and len(buffer.getvalue()) > 5000


def run_child(code, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, check=True).stdout


MEMORY_CHILD = """
    import json, resource, sys, tracemalloc
    import knotwell_rs as kw, knotwell as ke
    n, m, samples = 20000, 50000, int(sys.argv[1])
    edges = kw.erdos_renyi_rust(n, m, 1)
    ke.null_model(n, edges, ke.statistics.max_core, samples=2, swaps_per_edge=1, progress=False)  # warm up
    tracemalloc.start()
    ke.null_model(n, edges, ke.statistics.max_core, samples=samples, swaps_per_edge=1, progress=False, workers=2)
    print(json.dumps([tracemalloc.get_traced_memory()[1], resource.getrusage(resource.RUSAGE_SELF).ru_maxrss]))
"""


@pytest.mark.skipif(bool(os.environ.get("KNOTWELL_SANITIZE")), reason="ASan's quarantine keeps freed memory resident")
def test_memory_stays_flat_as_samples_grow():
    # Keeping every sample would add 72 * 800 kB = 58 MB between the two runs.
    (traced_few, rss_few), (traced_many, rss_many) = (json.loads(run_child(MEMORY_CHILD, s)) for s in (8, 80))
    assert traced_many - traced_few < 1_000_000
    assert (rss_many - rss_few) * 1024 < 16_000_000


INTERRUPT_CHILD = """
    import signal, sys, time
    import knotwell_rs as kw, knotwell as ke
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
    n, m, options = {case}
    edges = kw.erdos_renyi_rust(n, m, 1)
    print("go", flush=True)
    try:
        ke.null_model(n, edges, lambda n, e: float(len(e)), progress=False, workers=2, **options)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
"""

# Many cheap samples, then samples each of which is one native call of many
# seconds (the threads must not finish it before the process can exit).
INTERRUPT_CASES = {
    "many-samples": "5000, 20000, dict(samples=10**6)",
    "long-samples": "200_000, 1_000_000, dict(samples=8, swaps_per_edge=200)",
}


@pytest.mark.parametrize("case", sorted(INTERRUPT_CASES))
def test_ctrl_c_stops_a_local_run_promptly(case):
    code = textwrap.dedent(INTERRUPT_CHILD).replace("{case}", INTERRUPT_CASES[case])
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    def line(timeout):
        ready, _, _ = select.select([child.stdout], [], [], timeout)
        assert ready, "the child said nothing in time"
        return child.stdout.readline()

    try:
        assert line(60).strip() == "go"
        time.sleep(1.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        word, stopped = line(30).split()
        assert word == "interrupted" and float(stopped) - sent < 3.0
        assert child.wait(timeout=30) == 0
        # The worker threads' native calls are cancelled, not waited for.
        assert time.monotonic() - sent < 5.0
    finally:
        child.kill()
        child.wait()
