"""Breadth-first distances, mean shortest path and connected components."""

import math
import os
import subprocess
import sys
import textwrap

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.csgraph as csgraph

import knotwell_rs as kw
from conftest import E, S

U = np.iinfo(np.uint64).max  # unreachable marker


def random_edges(rng, n, m, extras=True):
    """Random rows with self-loops, repeated and reversed rows mixed in."""
    rows = rng.integers(0, n, size=(m, 2), dtype=np.uint64) if n else np.zeros((0, 2), np.uint64)
    if extras and m:
        picks = rows[rng.integers(0, m, size=max(1, m // 5))]
        loops = rng.integers(0, n, size=max(1, m // 20), dtype=np.uint64)
        rows = np.vstack([rows, picks, picks[:, ::-1], np.column_stack([loops, loops])])
        rows = rows[rng.permutation(len(rows))]
    return np.ascontiguousarray(rows)


def nx_graph(n, edges, directed):
    g = nx.DiGraph() if directed else nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from(map(tuple, edges.tolist()))
    return g


def nx_distances(g, n, s):
    out = np.full(n, U, dtype=np.uint64)
    for t, d in nx.single_source_shortest_path_length(g, s).items():
        out[t] = d
    return out


def scipy_distances(n, edges, sources, directed):
    if n == 0:
        return np.zeros((len(sources), 0), np.uint64)
    a = sp.csr_matrix((np.ones(len(edges)), (edges[:, 0].astype(np.int64), edges[:, 1].astype(np.int64))), (n, n))
    d = csgraph.shortest_path(a, directed=directed, unweighted=True, indices=np.asarray(sources, np.int64))
    d = np.atleast_2d(d)
    out = np.full(d.shape, U, dtype=np.uint64)
    finite = np.isfinite(d)
    out[finite] = d[finite].astype(np.uint64)
    return out


GRAPHS = [(n, m, seed) for seed, (n, m) in enumerate([(1, 0), (2, 1), (7, 4), (30, 25), (60, 200), (150, 140), (300, 1500)])]


# ---------------------------------------------------------------- examples


@pytest.mark.parametrize(
    "n, edges, source, directed, expected",
    [
        (3, [(0, 1), (1, 2)], 0, False, [0, 1, 2]),
        (3, [(0, 1), (1, 2)], 2, True, [U, U, 0]),
        (3, [(0, 1), (1, 2)], 2, False, [2, 1, 0]),
        (4, [(0, 1)], 3, False, [U, U, U, 0]),
        (3, [(1, 1), (0, 1), (0, 1), (1, 0)], 0, True, [0, 1, U]),
        (1, [], 0, True, [0]),
    ],
)
def test_single_source_examples(n, edges, source, directed, expected):
    got = kw.shortest_paths_rust(n, E(edges), source, directed)
    assert got.dtype == np.uint64 and got.shape == (n,)
    assert got.tolist() == expected


def test_multi_source_examples():
    edges = E([(0, 1), (1, 2)])
    got = kw.shortest_paths_multi_rust(3, edges, S([2, 0, 2]), False)
    assert got.dtype == np.uint64 and got.flags.c_contiguous
    assert got.tolist() == [[2, 1, 0], [0, 1, 2], [2, 1, 0]]
    empty = kw.shortest_paths_multi_rust(5, edges, S([]), False)
    assert empty.shape == (0, 5) and empty.dtype == np.uint64
    assert kw.shortest_paths_multi_rust(3, edges, S([2]), True).tolist() == [[U, U, 0]]


@pytest.mark.parametrize(
    "n, edges, expected",
    [
        (3, [(0, 1), (1, 2)], 4 / 3),
        (4, [(0, 1), (2, 3)], 1.0),
        (2, [(0, 1), (1, 0)], 1.0),
        (2, [(0, 1)], 1.0),
        (4, [(0, 1), (1, 2), (2, 3), (3, 0)], 8 / 6),
    ],
)
def test_mean_examples(n, edges, expected):
    got = kw.mean_shortest_path_rust(n, E(edges))
    assert type(got) is float and got == expected


@pytest.mark.parametrize("n, edges", [(0, []), (1, []), (5, []), (3, [(0, 0), (2, 2)]), (1, [(0, 0)])])
def test_mean_is_nan_without_pairs(n, edges):
    assert math.isnan(kw.mean_shortest_path_rust(n, E(edges)))


@pytest.mark.parametrize(
    "n, edges, count, labels",
    [
        (0, [], 0, []),
        (4, [], 4, [0, 1, 2, 3]),
        (5, [(3, 4), (1, 0)], 3, [0, 0, 1, 2, 2]),
        (3, [(2, 0)], 2, [0, 1, 0]),
        (3, [(0, 1), (2, 1)], 1, [0, 0, 0]),
        (2, [(1, 1)], 2, [0, 1]),
        (6, [(5, 4), (4, 3), (2, 5), (1, 1)], 3, [0, 1, 2, 2, 2, 2]),
    ],
)
def test_components_examples(n, edges, count, labels):
    got = kw.connected_components_rust(n, E(edges))
    assert type(got) is tuple and len(got) == 2 and type(got[0]) is int
    assert got[0] == count
    assert got[1].dtype == np.uint64 and got[1].tolist() == labels


# ------------------------------------------------------------ error orders


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kw.shortest_paths_rust(4, E([(0, 1)]), 4, False), "edge 0 (4, 4) names a node id outside [0, 4)"),
        (lambda: kw.shortest_paths_rust(4, E([(0, 1)]), 7, True), "edge 0 (7, 7) names a node id outside [0, 4)"),
        (lambda: kw.shortest_paths_rust(0, E([]), 0, False), "edge 0 (0, 0) names a node id outside [0, 0)"),
        (lambda: kw.shortest_paths_rust(4, E([(1, 2), (0, 9)]), 7, False), "edge 1 (0, 9) names a node id outside [0, 4)"),
        (lambda: kw.shortest_paths_multi_rust(4, E([(0, 1)]), S([0, 4]), False), "edge 0 (4, 4) names a node id outside [0, 4)"),
        (lambda: kw.shortest_paths_multi_rust(0, E([]), S([0]), False), "edge 0 (0, 0) names a node id outside [0, 0)"),
        (lambda: kw.shortest_paths_multi_rust(4, E([(0, 9)]), S([7]), False), "edge 0 (0, 9) names a node id outside [0, 4)"),
        (lambda: kw.shortest_paths_multi_rust(4, E([(0, 9)]), S([]), False), "edge 0 (0, 9) names a node id outside [0, 4)"),
        (lambda: kw.mean_shortest_path_rust(3, E([(0, 1), (1, 5), (7, 0)])), "edge 1 (1, 5) names a node id outside [0, 3)"),
        (lambda: kw.connected_components_rust(0, E([(0, 0)])), "edge 0 (0, 0) names a node id outside [0, 0)"),
        (lambda: kw.connected_components_rust(3, E([(0, 5), (7, 1)])), "edge 0 (0, 5) names a node id outside [0, 3)"),
        (lambda: kw.shortest_paths_rust(4, np.zeros((3, 3), np.uint64), 9, False), "edges must have shape [m, 2], got [3, 3]"),
        (lambda: kw.shortest_paths_multi_rust(4, np.zeros((0, 3), np.uint64), S([9]), False), "edges must have shape [m, 2], got [0, 3]"),
        (lambda: kw.connected_components_rust(4, np.zeros((2, 1), np.uint64)), "edges must have shape [m, 2], got [2, 1]"),
    ],
)
def test_value_errors(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


def test_multi_reports_one_of_the_bad_sources():
    with pytest.raises(ValueError) as err:
        kw.shortest_paths_multi_rust(3, E([(0, 1)]), S([0, 5, 1, 6]), False)
    assert str(err.value) in {f"edge 0 ({s}, {s}) names a node id outside [0, 3)" for s in (5, 6)}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: kw.shortest_paths_rust(3, E([]), 0, 1), TypeError, "argument 'directed': 'int' object cannot be converted to 'PyBool'"),
        (lambda: kw.shortest_paths_multi_rust(3, E([]), S([0]), np.True_), TypeError, "argument 'directed': 'bool' object cannot be converted to 'PyBool'"),
        (lambda: kw.shortest_paths_multi_rust(3, E([]), np.array([0], np.int64), False), TypeError, "argument 'sources': type mismatch:\n from=int64, to=uint64"),
        (lambda: kw.shortest_paths_multi_rust(3, E([]), E([(0, 1)]), False), TypeError, "argument 'sources': dimensionality mismatch:\n from=2, to=1"),
        (lambda: kw.shortest_paths_multi_rust(3, E([]), [0], False), TypeError, "argument 'sources': 'list' object cannot be converted to 'PyArray<T, D>'"),
        # conversion stops at the first bad parameter, before any content check
        (lambda: kw.shortest_paths_rust(3, E([(0, 9)]), -1, 1), OverflowError, None),
        (lambda: kw.shortest_paths_rust(3, np.zeros((2, 3), np.uint64), 0, 1), TypeError, "argument 'directed': 'int' object cannot be converted to 'PyBool'"),
        (lambda: kw.mean_shortest_path_rust(3), TypeError, "mean_shortest_path_rust() missing 1 required positional argument: 'edges'"),
        (lambda: kw.connected_components_rust(3, E([]), False), TypeError, "connected_components_rust() takes 2 positional arguments but 3 were given"),
        (lambda: kw.shortest_paths_rust(3, E([]), 0, directed=True, source=1), TypeError, "shortest_paths_rust() got multiple values for argument 'source'"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as err:
        call()
    if message is not None:
        assert str(err.value) == message


def test_keywords_and_signatures():
    edges = E([(0, 1), (1, 2)])
    got = kw.shortest_paths_multi_rust(directed=False, sources=S([1]), edges=edges, n=3)
    assert got.tolist() == [[1, 0, 1]]
    assert kw.shortest_paths_rust(n=3, edges=edges, source=0, directed=False).tolist() == [0, 1, 2]
    assert kw.shortest_paths_multi_rust.__text_signature__ == "(n, edges, sources, directed)"
    names = kw.__all__
    assert names.index("mean_shortest_path_rust") + 1 == names.index("shortest_paths_rust")
    assert names.index("shortest_paths_rust") + 1 == names.index("shortest_paths_multi_rust")
    assert names.index("shortest_paths_multi_rust") + 1 == names.index("connected_components_rust")


def test_strided_inputs_are_read_in_logical_order():
    rng = np.random.default_rng(5)
    edges = random_edges(rng, 40, 60)
    sources = rng.integers(0, 40, size=12, dtype=np.uint64)
    expected = kw.shortest_paths_multi_rust(40, edges, sources, False)
    f_edges = np.asfortranarray(edges)
    rev_sources = sources[::-1].copy()[::-1]
    wide = np.repeat(sources, 3)[::3]
    for e, s in [(f_edges, sources), (edges, rev_sources), (edges[::-1][::-1], wide)]:
        assert np.array_equal(kw.shortest_paths_multi_rust(40, e, s, False), expected)
    assert np.array_equal(kw.shortest_paths_multi_rust(40, edges, sources[::-1], False), expected[::-1])


# A high-diameter graph (long tails of small frontiers) below 2^16 nodes, and
# a sparse graph above 2^16 nodes, where the rows are read without counting.
LARGE = {"lattice-60": lambda rng: (3600, lattice_edges(60, 60)),
         "sparse-70k": lambda rng: (70_000, random_edges(rng, 70_000, 90_000))}


@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("graph", sorted(LARGE))
def test_single_source_agrees_on_every_input_path(graph, directed):
    # A plain int source lets the rows be read in place; a numpy integer
    # source or a Fortran-ordered array makes the call copy them first.
    rng = np.random.default_rng(21)
    n, edges = LARGE[graph](rng)
    f_edges = np.asfortranarray(edges)
    for s in (0, n // 2 + 7, n - 1):
        expected = scipy_distances(n, edges, [s], directed)[0]
        for got in (kw.shortest_paths_rust(n, edges, s, directed), kw.shortest_paths_rust(n, edges, np.uint64(s), directed),
                    kw.shortest_paths_rust(n, f_edges, s, directed)):
            assert np.array_equal(got, expected)
    if n < 10_000:  # the mean's cost grows with n times m
        assert kw.mean_shortest_path_rust(n, f_edges) == kw.mean_shortest_path_rust(n, edges)


# ------------------------------------------------- differential, networkx


@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("n, m, seed", GRAPHS)
def test_distances_match_networkx(n, m, seed, directed):
    rng = np.random.default_rng(seed)
    edges = random_edges(rng, n, m)
    g = nx_graph(n, edges, directed)
    expected = np.array([nx_distances(g, n, s) for s in range(n)], dtype=np.uint64).reshape(n, n)
    for s in range(n):
        assert np.array_equal(kw.shortest_paths_rust(n, edges, s, directed), expected[s])
    sources = rng.integers(0, n, size=2 * n + 1, dtype=np.uint64)
    assert np.array_equal(kw.shortest_paths_multi_rust(n, edges, sources, directed), expected[sources.astype(np.int64)])


@pytest.mark.parametrize("n, m, seed", GRAPHS)
def test_mean_matches_brute_force(n, m, seed):
    rng = np.random.default_rng(seed)
    edges = random_edges(rng, n, m)
    g = nx_graph(n, edges, False)
    total = count = 0
    for s, lengths in nx.all_pairs_shortest_path_length(g):
        for t, d in lengths.items():
            if t > s:
                total += d
                count += 1
    got = kw.mean_shortest_path_rust(n, edges)
    if count == 0:
        assert math.isnan(got)
    else:
        assert got == float(total) / float(count)
    # direction and row order are irrelevant
    assert kw.mean_shortest_path_rust(n, np.ascontiguousarray(edges[::-1, ::-1])) == got or count == 0


@pytest.mark.parametrize("n, m, seed", GRAPHS + [(500, 300, 11), (2000, 1900, 12)])
def test_components_match_networkx(n, m, seed):
    rng = np.random.default_rng(seed)
    edges = random_edges(rng, n, m)
    count, labels = kw.connected_components_rust(n, edges)
    comps = sorted(nx.connected_components(nx_graph(n, edges, False)), key=min)
    expected = np.empty(n, np.uint64)
    for number, members in enumerate(comps):
        expected[list(members)] = number
    assert count == len(comps)
    assert np.array_equal(labels, expected)


# ------------------------------------ larger graphs: switching search, batches


@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize(
    "n, m, seed",
    [(3000, 30000, 21), (5000, 6000, 22), (4096, 4096 * 12, 23)],
)
def test_larger_graphs_match_scipy(n, m, seed, directed):
    # Dense enough that the undirected search switches to bottom-up levels and
    # back, sparse enough to leave unreachable nodes.
    rng = np.random.default_rng(seed)
    edges = random_edges(rng, n, m)
    sources = np.concatenate([rng.integers(0, n, size=20, dtype=np.uint64), S([0, n - 1])])
    expected = scipy_distances(n, edges, sources, directed)
    assert np.array_equal(kw.shortest_paths_multi_rust(n, edges, sources, directed), expected)
    for i in (0, 7, 21):
        assert np.array_equal(kw.shortest_paths_rust(n, edges, int(sources[i]), directed), expected[i])


def test_star_and_path_extremes():
    n = 3000
    star = E([(0, v) for v in range(1, n)])
    assert kw.shortest_paths_rust(n, star, 5, False).tolist() == [1] + [2] * 4 + [0] + [2] * (n - 6)
    path = E([(v, v + 1) for v in range(n - 1)])
    assert kw.shortest_paths_rust(n, path, 0, False).tolist() == list(range(n))
    assert kw.shortest_paths_rust(n, path, n - 1, True).tolist() == [U] * (n - 1) + [0]
    # mean of a path of k nodes: (k + 1) / 3
    assert kw.mean_shortest_path_rust(n, path) == pytest.approx((n + 1) / 3, rel=1e-15)


@pytest.mark.parametrize("n, m, seed", [(64, 100, 31), (65, 100, 32), (129, 400, 33), (1000, 2500, 34), (1500, 1000, 35)])
def test_mean_across_batches_matches_scipy(n, m, seed):
    rng = np.random.default_rng(seed)
    edges = random_edges(rng, n, m)
    d = scipy_distances(n, edges, np.arange(n), False)
    upper = np.triu(np.ones((n, n), bool), 1) & (d != U)
    total, count = int(d[upper].sum()), int(upper.sum())
    assert kw.mean_shortest_path_rust(n, edges) == total / count


def lattice_edges(rows, cols):
    idx = np.arange(rows * cols).reshape(rows, cols)
    return np.concatenate([np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], 1),
                           np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], 1)]).astype(np.uint64)


def high_diameter_graph(kind, rng):
    """Graphs whose searches run for many levels, in shapes where batches of
    sources grown as balls end early, straddle components or wrap around."""
    if kind == "lattice":
        return 23 * 17, lattice_edges(23, 17)
    if kind == "holed_lattice":  # random gaps, isolated nodes, extra nodes past the lattice
        e = lattice_edges(30, 30)
        e = e[rng.random(len(e)) > 0.25]
        return 950, e[rng.permutation(len(e))]
    if kind == "two_lattices_interleaved":  # ids of the two components alternate
        e = lattice_edges(16, 16)
        return 512, np.concatenate([e * 2, e * 2 + 1]).astype(np.uint64)
    if kind == "ring":
        n = 301
        return n, np.array([[i, (i + 1) % n] for i in range(n)], np.uint64)
    if kind == "scrambled_path":  # path visited in random id order, with repeats and loops
        n = 400
        perm = rng.permutation(n).astype(np.uint64)
        e = np.stack([perm[:-1], perm[1:]], 1)
        return n, np.concatenate([e, e[:50, ::-1], np.stack([perm[:9], perm[:9]], 1)])
    if kind == "caterpillar":  # a long spine with short legs: balls fill across legs
        spine = 200
        e = [(i, i + 1) for i in range(spine - 1)] + [(i, spine + i) for i in range(spine)]
        return 2 * spine, np.array(e, np.uint64)
    raise ValueError(kind)


@pytest.mark.parametrize("kind", ["lattice", "holed_lattice", "two_lattices_interleaved", "ring", "scrambled_path",
                                  "caterpillar"])
def test_mean_on_high_diameter_graphs_matches_scipy(kind):
    n, edges = high_diameter_graph(kind, np.random.default_rng(40))
    d = scipy_distances(n, edges, np.arange(n), False)
    upper = np.triu(np.ones((n, n), bool), 1) & (d != U)
    total, count = int(d[upper].sum()), int(upper.sum())
    assert kw.mean_shortest_path_rust(n, edges) == total / count


# ----------------------------------------------------------- concurrency


def run_python(code, env=None, timeout=300):
    full_env = dict(os.environ)
    full_env.pop("RAYON_NUM_THREADS", None)
    full_env.pop("RAYON_RS_NUM_CPUS", None)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_many_python_threads_share_the_pool():
    out = run_python(
        """
        import threading
        import numpy as np
        import knotwell_rs as kw

        rng = np.random.default_rng(3)
        graphs = []
        for i in range(6):
            n = 400 + 50 * i
            edges = rng.integers(0, n, size=(3 * n, 2), dtype=np.uint64)
            sources = rng.integers(0, n, size=40, dtype=np.uint64)
            graphs.append((n, edges, sources))
        expected = [kw.shortest_paths_multi_rust(n, e, s, i % 2 == 0) for i, (n, e, s) in enumerate(graphs)]
        failures = []

        def worker(t):
            for r in range(15):
                i = (t + r) % len(graphs)
                n, e, s = graphs[i]
                if r % 5 == 4:
                    kw.mean_shortest_path_rust(n, e)
                    continue
                got = kw.shortest_paths_multi_rust(n, e, s, i % 2 == 0)
                if not np.array_equal(got, expected[i]):
                    failures.append((t, r))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(failures))
        """,
        timeout=600,
    )
    assert out.strip() == "0"


def test_multi_source_peak_memory_is_one_matrix():
    # Rows go straight into the result, so the peak grows by the k x n
    # matrix plus the graph, not by twice the matrix.
    out = run_python(
        """
        import resource
        import numpy as np
        import knotwell_rs as kw

        n, k = 300_000, 64
        rng = np.random.default_rng(4)
        edges = rng.integers(0, n, size=(n, 2), dtype=np.uint64)
        sources = rng.integers(0, n, size=k, dtype=np.uint64)
        kw.shortest_paths_multi_rust(1000, edges[:10] % np.uint64(1000), sources % np.uint64(1000), False)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        d = kw.shortest_paths_multi_rust(n, edges, sources, False)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(peak - before, d.nbytes)
        """
    )
    grown, matrix = map(int, out.split())
    graph = 8 * 300_000 + 4 * 2 * 300_000
    assert grown <= 1.1 * (matrix + graph)


# ------------------------------------------------------------ absurd sizes

# Every function that builds a graph, with the largest arguments a caller
# could pass; n is substituted per case.
GRAPH_CALLS = {
    "triangles_per_node_rust": "(n, e)",
    "clustering_local_rust": "(n, e)",
    "clustering_avg_rust": "(n, e)",
    "core_numbers_rust": "(n, e)",
    "shortest_paths_rust": "(n, e, 0, False)",
    "shortest_paths_multi_rust": "(n, e, np.array([0, 1], np.uint64), True)",
    "mean_shortest_path_rust": "(n, e)",
    "connected_components_rust": "(n, e)",
}


@pytest.mark.skipif(sys.platform != "linux", reason="needs Linux address-space limits")
@pytest.mark.skipif(bool(os.environ.get("KNOTWELL_SANITIZE")),
                    reason="AddressSanitizer reserves terabytes of address space and aborts on a failed new")
@pytest.mark.parametrize("n", [2**61 - 2, 2**56, 2**40, 2**36])
@pytest.mark.parametrize("name", sorted(GRAPH_CALLS))
def test_absurd_node_count_fails_fast_under_an_address_space_cap(name, n):
    # With 8 GiB of address space beyond what the interpreter holds (room
    # for a side table sized by n, which a too-late size check would fill),
    # each call must give up with MemoryError at once and without touching
    # memory. The process stays healthy: the same call works on a small graph.
    out = run_python(
        f"""
        import resource, time
        import numpy as np
        import knotwell_rs as kw

        def vm_size():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        e = np.array([[0, 1], [1, 2]], dtype=np.uint64)

        def call(n):
            return kw.{name}{GRAPH_CALLS[name]}

        small = call(3)
        limit = vm_size() + (8 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
        rss_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        start = time.monotonic()
        try:
            call({n})
        except MemoryError:
            grown_mib = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_kib) // 1024
            print("MemoryError", time.monotonic() - start < 5.0 and grown_mib < 256)
        print(repr(call(3)) == repr(small))
        """,
        timeout=120,
    )
    assert out.split() == ["MemoryError", "True", "True"]
