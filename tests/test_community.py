"""Communities: modularity, Louvain and asynchronous label propagation."""

from pathlib import Path

import networkx as nx
import numpy as np
import pytest

import knotwell_rs as kw
from conftest import E

KARATE = Path(__file__).resolve().parent.parent / "examples" / "data" / "karate.csv"
MASK = (1 << 64) - 1


def L(values):
    return np.array(values, dtype=np.uint64)


RING = E([(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 0)])
TEN = E([(0, 1), (0, 3), (0, 5), (0, 6), (0, 7), (1, 2), (1, 9), (2, 5), (2, 6), (2, 7), (2, 9), (4, 8), (6, 9),
         (8, 9)])
TRIANGLE_AND_EDGE = E([(0, 1), (1, 2), (0, 2), (3, 4)])
TWO_TRIANGLES = E([(0, 1), (1, 2), (0, 2), (3, 4), (4, 5), (3, 5), (2, 3)])


def random_multigraph(seed, n=30, m=80, weighted=True):
    """Rows with self-loops, repeats, reversed repeats and isolated nodes."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n - 3, size=(m, 2))
    rows = np.vstack([rows, rows[:5], rows[5:10, ::-1], [[1, 1], [2, 2]]]).astype(np.uint64)
    weights = rng.choice([0.0, 0.5, 1.0, 2.25, 3.0], size=len(rows)) if weighted else None
    return n, rows, weights


def first_appearance(labels):
    seen = {}
    return [seen.setdefault(x, len(seen)) for x in labels]


# --- modularity ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n, rows, labels, weights, resolution, expected",
    [
        (5, TRIANGLE_AND_EDGE, [0, 0, 0, 1, 1], None, 1.0, 0.375),
        (5, E([]), [0, 1, 2, 3, 4], None, 1.0, 0.0),
        (2, E([(0, 1)]), [0, 0], [0.0], 3.0, 0.0),
        (2, E([(0, 1), (1, 1)]), [5, 5], [-0.0, 0.0], 1.0, 0.0),
        (0, E([]), [], None, 1.0, 0.0),
        (1, E([(0, 0)]), [0], [2.5], 1.0, 0.0),
        (1, E([(0, 0)]), [0], [2.5], 0.25, 0.75),
        (1, E([(0, 0)]), [0], None, 2.0, -1.0),
        # Path 0-1-2, m = 2: {0, 2} holds no edge and strength 2, {1} strength 2.
        (3, E([(0, 1), (1, 2)]), [MASK, 5, MASK], None, 1.0, -0.5),
    ],
)
def test_modularity_examples(n, rows, labels, weights, resolution, expected):
    w = None if weights is None else np.array(weights)
    q = kw.modularity_rust(n, rows, L(labels), w, resolution)
    assert type(q) is float and q == expected


def test_modularity_merges_parallel_and_reversed_rows():
    labels = L([0, 0, 1, 1])
    repeated = kw.modularity_rust(4, E([(0, 1), (1, 0), (0, 1), (2, 3), (1, 2)]), labels)
    merged = kw.modularity_rust(4, E([(0, 1), (2, 3), (1, 2)]), labels, np.array([3.0, 1.0, 1.0]))
    assert repeated == merged


@pytest.mark.parametrize("labels", [[7, 7, 9, 9], [0, 0, 2, 2], [MASK - 1, MASK - 1, MASK, MASK],
                                    [2**40, 2**40, 2**63, 2**63]])
def test_modularity_ids_are_arbitrary(labels):
    # Unused ids contribute exactly zero, so any ids in the same order agree.
    rows = E([(0, 1), (2, 3), (1, 2), (0, 0)])
    w = np.array([1.5, 2.0, 0.25, 1.0])
    assert kw.modularity_rust(4, rows, L(labels), w, 0.5) == kw.modularity_rust(4, rows, L([0, 0, 1, 1]), w, 0.5)


def test_modularity_single_community_and_singletons():
    n, rows, w = random_multigraph(4)
    assert kw.modularity_rust(n, rows, L([3] * n), w) == pytest.approx(0.0, abs=1e-12)
    strength = kw.strength_rust(n, rows, w, False) + np.bincount(
        rows[rows[:, 0] == rows[:, 1], 0].astype(np.int64), w[rows[:, 0] == rows[:, 1]], minlength=n)
    loops = np.bincount(rows[rows[:, 0] == rows[:, 1], 0].astype(np.int64), w[rows[:, 0] == rows[:, 1]], minlength=n)
    m = strength.sum() / 2
    expected = loops.sum() / m - 1.5 * ((strength / (2 * m)) ** 2).sum()
    assert kw.modularity_rust(n, rows, L(range(n)), w, 1.5) == pytest.approx(expected, abs=1e-12)


def nx_graph(n, rows, weights):
    """Rows summed into one weighted simple graph, as knotwell reads them."""
    g = nx.Graph()
    g.add_nodes_from(range(n))
    for i, (u, v) in enumerate(rows.tolist()):
        w = 1.0 if weights is None else float(weights[i])
        if g.has_edge(u, v):
            g[u][v]["weight"] += w
        else:
            g.add_edge(u, v, weight=w)
    return g


@pytest.mark.parametrize("seed", range(12))
def test_modularity_matches_networkx(seed):
    n, rows, w = random_multigraph(seed, weighted=seed % 3 != 0)
    rng = np.random.default_rng(100 + seed)
    labels = rng.integers(0, 6, size=n) * (1 if seed % 2 else 2**61)
    resolution = [1.0, 0.3, 2.5, 1e-3][seed % 4]
    g = nx_graph(n, rows, w)
    parts = [set(np.flatnonzero(labels == c).tolist()) for c in np.unique(labels)]
    expected = nx.community.modularity(g, parts, weight="weight", resolution=resolution)
    got = kw.modularity_rust(n, rows, labels.astype(np.uint64), w, resolution)
    assert got == pytest.approx(expected, abs=1e-12)


def modularity_reference(n, rows, weights, labels, resolution):
    """The definition in its fixed order of float additions."""
    lists, loops = [[] for _ in range(n)], [0.0] * n
    for (u, v), w in zip(rows.tolist(), weights.tolist()):
        if u == v:
            loops[u] += w
        else:
            lists[u].append((v, w))
            lists[v].append((u, w))
    strength = []
    for u in range(n):
        merged = {}
        for v, w in sorted(lists[u], key=lambda e: e[0]):  # stable: row order within a pair
            merged[v] = merged[v] + w if v in merged else w
        lists[u] = sorted(merged.items())
        s = loops[u] + loops[u]
        for _, w in lists[u]:
            s += w
        strength.append(s)
    m = 0.0
    for s in strength:
        m += s  # not sum(): it compensates
    m *= 0.5
    if not m > 0 or n == 0:
        return 0.0
    internal, total = {}, {}
    for u in range(n):
        c = labels[u]
        total[c] = total.get(c, 0.0) + strength[u]
        internal[c] = internal.get(c, 0.0) + loops[u]
        for v, w in lists[u]:
            if labels[v] == c:
                internal[c] += w * 0.5
    q = None
    for c in sorted(total):
        share = total[c] / (m + m)
        term = internal[c] / m - (share * share) * resolution
        q = term if q is None else q + term
    return q


@pytest.mark.parametrize("seed", range(12))
def test_modularity_keeps_its_order_of_additions(seed):
    # Lists longer than 20 entries and parallel rows whose sum depends on the
    # order (2^53 + 1 + 1 != 1 + 1 + 2^53); labels far beyond n.
    rng = np.random.default_rng(seed)
    n = 40
    hub = np.column_stack([np.zeros(30, np.int64), rng.integers(1, n, 30)])
    pairs = rng.integers(0, n, size=(15, 2))
    rows = np.vstack([hub, rng.integers(0, n, size=(120, 2)), hub[:10, ::-1], pairs, pairs[:, ::-1], pairs])
    weights = rng.choice([2.0**53, 1.0, 0.1, 3.0, 0.0], size=len(rows))
    labels = rng.integers(0, 5, size=n).astype(np.uint64) * np.uint64([1, 2**61 + 7][seed % 2])
    resolution = [1.0, 0.7, 1.9][seed % 3]
    expected = modularity_reference(n, rows, weights, labels.tolist(), resolution)
    assert kw.modularity_rust(n, rows.astype(np.uint64), labels, weights, resolution) == expected


# --- Louvain ------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n, rows, kwargs, labels, modularity, k, levels",
    [
        (6, RING, dict(seed=None), [0, 0, 1, 1, 2, 2], 1 / 6, 3, 1),
        (6, RING, dict(seed=1), [0, 1, 1, 2, 2, 0], 1 / 6, 3, 1),
        (6, RING, dict(seed=2), [0, 0, 0, 1, 1, 1], 1 / 6, 2, 1),
        (10, TEN, dict(seed=3), [0, 1, 0, 0, 1, 0, 0, 0, 1, 1], 17 / 98, 2, 2),
        (10, TEN, dict(), [0, 1, 1, 0, 2, 0, 1, 0, 2, 1], None, 3, 1),
        (5, TRIANGLE_AND_EDGE, dict(), [0, 0, 0, 1, 1], 0.375, 2, 1),
        (2, E([(0, 1)]), dict(), [0, 0], 0.0, 1, 1),
        (2, E([(0, 1)]), dict(max_levels=1), [0, 0], 0.0, 1, 1),
        (0, E([]), dict(seed=5), [], 0.0, 0, 0),
        (4, E([]), dict(seed=5), [0, 1, 2, 3], 0.0, 4, 0),
        (3, E([(0, 1), (1, 2)]), dict(weights=np.zeros(2)), [0, 1, 2], 0.0, 3, 0),
        (5, TRIANGLE_AND_EDGE, dict(resolution=50), [0, 1, 2, 3, 4], None, 5, 0),
        # Nodes 3 and 4 are isolated (4 only has a self-loop): they stay alone.
        (5, E([(0, 1), (1, 2), (4, 4)]), dict(seed=9), [0, 0, 0, 1, 2], None, 3, 1),
    ],
)
def test_louvain_examples(n, rows, kwargs, labels, modularity, k, levels):
    got_labels, got_q, got_k, got_levels = kw.louvain_rust(n, rows, **kwargs)
    assert got_labels.dtype == np.uint64 and got_labels.tolist() == labels
    assert (got_k, got_levels) == (k, levels) and type(got_k) is int and type(got_levels) is int
    if modularity is not None:
        assert got_q == pytest.approx(modularity, abs=1e-15)


@pytest.mark.parametrize("seed", range(8))
def test_louvain_reports_modularity_of_its_labels(seed):
    n, rows, w = random_multigraph(seed, n=60, m=200, weighted=seed % 2 == 1)
    resolution = [1.0, 0.5, 1.7, 3.0][seed % 4]
    labels, q, k, levels = kw.louvain_rust(n, rows, w, resolution, seed if seed % 3 else None)
    assert labels.tolist() == first_appearance(labels.tolist())
    assert k == len(set(labels.tolist())) and 0 <= levels <= n - 1
    assert q == kw.modularity_rust(n, rows, labels, w, resolution)
    assert (labels, q, k, levels)[1:] == kw.louvain_rust(n, rows, w, resolution, seed if seed % 3 else None)[1:]


@pytest.mark.parametrize("weighted", [False, True])
def test_louvain_finds_disjoint_cliques_at_scale(weighted):
    # Over 2^18 nodes the community tables take their large-block path (2 MiB
    # aligned, huge pages advised). Disjoint cliques, ids shuffled, are each
    # one community: nothing outside a clique adds weight.
    size, cliques = 5, 1 << 16
    n = size * cliques
    pairs = np.array([(i, j) for i in range(size) for j in range(i + 1, size)], dtype=np.uint64)
    rows = (np.arange(cliques, dtype=np.uint64)[:, None, None] * size + pairs[None]).reshape(-1, 2)
    rng = np.random.default_rng(3)
    perm = rng.permutation(n).astype(np.uint64)
    rows = perm[rows]
    w = rng.uniform(1.0, 1.5, len(rows)) if weighted else None
    labels, q, k, _ = kw.louvain_rust(n, rows, w, 1.0, 7)
    clique = np.empty(n, dtype=np.int64)
    clique[perm] = np.arange(n) // size
    assert k == cliques and len(set(zip(labels.tolist(), clique.tolist()))) == cliques
    assert labels.tolist() == first_appearance(labels.tolist())
    assert q == kw.modularity_rust(n, rows, labels, w, 1.0)


@pytest.mark.parametrize("scale", [1.0, 0.5, 3.0])
def test_whole_weights_agree_with_lists(scale):
    # Whole weights are summed straight off the rows; Louvain sums its lists.
    n, rows, _ = random_multigraph(5, n=80, m=300)
    w = np.random.default_rng(1).integers(0, 4, size=len(rows)) * scale
    labels, q, _, _ = kw.louvain_rust(n, rows, w, 0.8, seed=2)
    assert q == kw.modularity_rust(n, rows, labels, w, 0.8)


@pytest.mark.parametrize("call", [
    lambda: kw.louvain_rust(2**62, E([(0, 1)])),
    lambda: kw.label_propagation_rust(2**62, E([(0, 1)])),
])
def test_absurd_node_count_is_memory_error(call):
    with pytest.raises(MemoryError):
        call()


def test_louvain_merges_rows_like_weights():
    # Repeated and reversed rows act as one pair with the summed weight.
    n, rows, _ = random_multigraph(7, weighted=False)
    g = nx_graph(n, rows, None)
    merged = np.array(sorted((min(u, v), max(u, v)) for u, v in g.edges()), dtype=np.uint64).reshape(-1, 2)
    w = np.array([g[u][v]["weight"] for u, v in merged.tolist()])
    a = kw.louvain_rust(n, rows, seed=11)
    b = kw.louvain_rust(n, merged, w, seed=11)
    assert a[0].tolist() == b[0].tolist() and a[1:] == b[1:]


def test_louvain_max_levels_caps_levels():
    n, rows, _ = random_multigraph(3, n=200, m=400, weighted=False)
    full = kw.louvain_rust(n, rows, seed=1)
    assert full[3] >= 2
    capped = kw.louvain_rust(n, rows, seed=1, max_levels=1)
    assert capped[3] == 1 and capped[2] > full[2]
    # Unweighted, the modularity is read off the last coarse graph, which a
    # cap leaves unoptimised: it must still be that of the labels.
    for labels, q, _, _ in (full, capped):
        assert q == kw.modularity_rust(n, rows, labels)


def louvain_reference(n, rows, weights, resolution, seed):
    """Every node visited in every pass, with the module's float operations
    in the module's order: lists sorted by neighbour with runs summed in row
    order, the first strict maximum of the gain from the own community, and
    coarsening that sums each community's members in node order."""
    nbrs, loops = [dict() for _ in range(n)], [0.0] * n
    for i, (u, v) in enumerate(rows.tolist()):
        w = 1.0 if weights is None else float(weights[i])
        if u == v:
            loops[u] += w
            continue
        for a, b in ((u, v), (v, u)):
            nbrs[a][b] = nbrs[a][b] + w if b in nbrs[a] else w
    adj = [sorted(d.items()) for d in nbrs]
    labels, levels, stream = list(range(n)), 0, None if seed is None else SplitMix64(seed)

    def strengths():
        out = []
        for u in range(len(adj)):
            s = loops[u] + loops[u]
            for _, w in adj[u]:
                s += w
            out.append(s)
        return out

    k_u, total = strengths(), 0.0
    for s in k_u:
        total += s
    two_m = 0.5 * total + 0.5 * total
    while n and two_m > 0 and levels < 20:
        size = len(adj)
        comm, cs, order = list(range(size)), [0.0 + s for s in k_u], list(range(size))
        if stream:
            stream.shuffle(order)
        for _ in range(1000):
            moves = 0
            for u in order:
                to, listed = {}, []
                for v, w in adj[u]:
                    s = to.get(comm[v], 0.0)
                    if s == 0.0:
                        listed.append(comm[v])
                    to[comm[v]] = w + s
                old = comm[u]
                cs[old] -= k_u[u]
                r = resolution * k_u[u]
                best, best_gain = old, to.get(old, 0.0) - (cs[old] * r) / two_m
                for c in listed:
                    gain = to[c] - (cs[c] * r) / two_m
                    if c != old and gain > best_gain:
                        best, best_gain = c, gain
                cs[best] += k_u[u]
                comm[u] = best
                moves += best != old
            if moves == 0:
                break
        comm = first_appearance(comm)
        k = max(comm) + 1
        if k == size:
            break
        levels += 1
        labels = [comm[x] for x in labels]
        new_loops, new_adj = [0.0] * k, [dict() for _ in range(k)]
        for c in range(k):
            self_w = 0.0
            for i in (i for i in range(size) if comm[i] == c):
                self_w = self_w + loops[i]
                for v, w in adj[i]:
                    if comm[v] == c:
                        self_w += w * 0.5
                    else:
                        d = new_adj[c]
                        d[comm[v]] = d[comm[v]] + w if comm[v] in d else w
            new_loops[c] = self_w
        loops, adj = new_loops, [sorted(d.items()) for d in new_adj]
        k_u = strengths()
    labels = first_appearance(labels)
    return labels, len(set(labels)), levels


def giant_and_small(rng, cliques=150):
    """A clique of ten hubs (rows repeated, so merged into weight 3) with
    `cliques` cliques of five nodes, each tied to one hub: the hubs'
    community outweighs all others, and every small one lists it."""
    rows = [(i, j) for i in range(10) for j in range(i + 1, 10)] * 3
    for c in range(cliques):
        base = 10 + 5 * c
        rows += [(base + i, base + j) for i in range(5) for j in range(i + 1, 5)]
        rows += [(int(rng.integers(0, 10)), base + k) for k in range(5)]
    return 10 + 5 * cliques, np.array(rows, dtype=np.uint64)


@pytest.mark.parametrize("seed", [None, 0, 5])
@pytest.mark.parametrize("graph", ["sparse", "dense", "ties", "real", "zeros", "multi", "spread", "giant",
                                   "giant-real", "skewed", "skewed-real", "tiny", "tiny-real", "planted",
                                   "planted-real"])
def test_louvain_matches_visiting_every_node(graph, seed):
    # Late passes revisit only nodes whose choice may have changed; the
    # answer must be that of revisiting all of them. Unit weights keep the
    # community totals exact; real weights make staying put round them;
    # weights spread over 60 decades put most bounds far below a float's
    # range relative to the total, where a bound must still be kept safely.
    # A community holding much of the volume keeps every bound of its own
    # (one per neighbour and member); skewed degrees make several such,
    # enough bounds to pass their cap, and totals that cross them. Tiny
    # graphs fit the L1 cache from the first level on and move without
    # look-ahead fetches. Planted blocks with a third of the rows between
    # them take many untracked passes, between which the communities still
    # in use are renumbered, and merge most nodes in the first.
    rng = np.random.default_rng(len(graph) + (seed or 0))
    n = 60 if graph.startswith("tiny") else 400
    rows = rng.integers(0, n, size=({"sparse": 600, "dense": 2400, "tiny": 150, "tiny-real": 150}.get(graph, 1500),
                                    2)).astype(np.uint64)
    if graph.startswith("giant"):
        n, rows = giant_and_small(rng)
    if graph.startswith("skewed"):
        n = 600
        rows = (n * rng.random((3000, 2)) ** 3).astype(np.uint64)
        rows[:, 1] = rng.permutation(n).astype(np.uint64)[rows[:, 1]]
    weights = {"ties": rng.integers(1, 4, len(rows)).astype(float), "real": rng.uniform(0.5, 3.0, len(rows)),
               "zeros": rng.choice([0.0, 1.0, 2.5], len(rows)), "multi": None,
               "spread": 10.0 ** rng.uniform(-30, 30, len(rows)), "giant-real": rng.uniform(0.5, 3.0, len(rows)),
               "skewed-real": rng.uniform(0.5, 3.0, len(rows)), "tiny-real": rng.uniform(0.5, 3.0, len(rows))}.get(graph)
    if graph.startswith("planted"):
        n = 800
        block = rng.integers(0, 16, n)
        u = rng.integers(0, n, 8000)
        v = np.array([rng.choice(np.flatnonzero(block == block[x])) if rng.random() < 0.67
                      else rng.integers(0, n) for x in u])
        rows = np.stack([u, v], axis=1).astype(np.uint64)
        if graph == "planted-real":
            weights = rng.uniform(0.5, 3.0, len(rows))
    if graph == "multi":
        n, rows, weights = random_multigraph(seed or 0, n=300, m=1200)
    resolution = 0.6 if graph == "dense" else 1.0
    labels, q, k, levels = kw.louvain_rust(n, rows, weights, resolution, seed)
    assert (labels.tolist(), k, levels) == louvain_reference(n, rows, weights, resolution, seed)
    assert q == kw.modularity_rust(n, rows, labels, weights, resolution)


@pytest.mark.parametrize("draw", [66, 201, 270, 334, 372])
def test_louvain_hubs_match_visiting_every_node(draw):
    # Degrees skewed enough that hubs list many communities and keep one
    # bound on the summed fall of all totals instead of one per community;
    # these draws are ones where a hub must be revisited when that bound is
    # passed, and where the scans of a community's neighbours skip hubs.
    rng = np.random.default_rng(draw)
    n, m, power = int(rng.integers(200, 700)), int(rng.integers(2000, 6000)), float(rng.choice([2, 3, 4]))
    rows = (n * rng.random((m, 2)) ** power).astype(np.uint64)
    rows[:, 1] = rng.permutation(n).astype(np.uint64)[rows[:, 1]]
    seed = draw % 3 or None
    labels, q, k, levels = kw.louvain_rust(n, rows, None, 1.0, seed)
    assert (labels.tolist(), k, levels) == louvain_reference(n, rows, None, 1.0, seed)
    assert q == kw.modularity_rust(n, rows, labels)


# --- label propagation --------------------------------------------------------------------------------------------


class SplitMix64:
    def __init__(self, seed):
        self.state = seed

    def next_u64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def gen_below(self, bound):
        p = self.next_u64() * bound
        if p & MASK < bound:
            t = (-bound) % bound
            while p & MASK < t:
                p = self.next_u64() * bound
        return p >> 64

    def shuffle(self, items):
        for k in range(len(items), 1, -1):
            j = self.gen_below(k)
            items[k - 1], items[j] = items[j], items[k - 1]


def lpa_reference(n, rows, weights, seed, max_iter):
    """Straight from the definition: dict neighbour sums, reservoir ties."""
    nbrs = [dict() for _ in range(n)]
    for i, (u, v) in enumerate(rows.tolist()):
        if u != v:
            w = 1.0 if weights is None else float(weights[i])
            nbrs[u][v] = nbrs[u].get(v, 0.0) + w
            nbrs[v][u] = nbrs[v].get(u, 0.0) + w
    labels, order, rng = list(range(n)), list(range(n)), SplitMix64(seed)
    for _ in range(max_iter):
        rng.shuffle(order)
        changed = False
        for u in order:
            if not nbrs[u]:
                continue
            sums, listed = {}, []
            for v in sorted(nbrs[u]):
                lab = labels[v]
                if sums.get(lab, 0.0) == 0.0:
                    listed.append(lab)
                sums[lab] = nbrs[u][v] + sums.get(lab, 0.0)
            best, best_w, count = None, -np.inf, 0
            for lab in listed:
                if sums[lab] > best_w:
                    best, best_w, count = lab, sums[lab], 1
                elif sums[lab] == best_w:
                    count += 1
                    if rng.gen_below(count) == 0:
                        best = lab
            if best != labels[u]:
                labels[u], changed = best, True
        if not changed:
            break
    return first_appearance(labels)


@pytest.mark.parametrize(
    "n, rows, seeds, expected",
    [
        (6, TWO_TRIANGLES, [0], [0, 0, 0, 0, 0, 0]),
        (6, TWO_TRIANGLES, [1], [0, 0, 0, 1, 1, 1]),
        (0, E([]), range(3), []),
        (4, E([]), range(3), [0, 1, 2, 3]),
        (2, E([(0, 1)]), range(20), [0, 0]),
        (3, E([(0, 1), (1, 2), (0, 2)]), range(20), [0, 0, 0]),
        (3, E([(0, 1), (1, 2)]), range(20), [0, 0, 0]),
        (4, E([(0, 1), (2, 3)]), range(20), [0, 0, 1, 1]),
        (3, E([(0, 1), (2, 2), (2, 2)]), range(20), [0, 0, 1]),
    ],
)
def test_label_propagation_examples(n, rows, seeds, expected):
    for seed in seeds:
        labels = kw.label_propagation_rust(n, rows, seed=seed)
        assert labels.dtype == np.uint64 and labels.tolist() == expected


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("max_iter", [1, 2, 100])
@pytest.mark.parametrize("n, m", [(25, 40), (300, 900)])
def test_label_propagation_matches_reference(seed, max_iter, n, m):
    # Zero weights list a label twice; parallel rows sum; ties are frequent.
    # On the larger graphs later iterations skip most nodes (settled
    # without a draw, neighbours unchanged).
    n, rows, w = random_multigraph(seed, n=n, m=m, weighted=seed % 2 == 0)
    expected = lpa_reference(n, rows, w, seed * 7919, max_iter)
    assert kw.label_propagation_rust(n, rows, w, seed * 7919, max_iter).tolist() == expected


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("max_iter", [7, 100])
@pytest.mark.parametrize("weighted", [False, True])
def test_label_propagation_replays_lasting_ties(seed, max_iter, weighted):
    # On a ring with a few chords most nodes keep meeting the same tie
    # between their neighbours' labels, iteration after iteration: their
    # draws are replayed without summing the list again, and must be the
    # draws a full choice would make, in the same order.
    n = 90
    ring = [(i, (i + 1) % n) for i in range(n)]
    chords = [(i, (i + 7 * (1 + seed)) % n) for i in range(0, n, 9)]
    rows = np.array(ring + chords, dtype=np.uint64)
    w = np.random.default_rng(seed).choice([1.0, 2.0], len(rows)) if weighted else None
    expected = lpa_reference(n, rows, w, seed, max_iter)
    assert kw.label_propagation_rust(n, rows, w, seed, max_iter).tolist() == expected


def planted_rows(seed, n, block, m, inside, self_loops):
    """m distinct pairs, about `inside` of them within blocks of `block`
    nodes (ids scrambled), in random orientation; every 17th node gets a
    self-loop when asked; the last 3 ids stay isolated."""
    rng = np.random.default_rng(seed)
    pairs, used = set(), n - 3
    while len(pairs) < m:
        u = int(rng.integers(used))
        lo = u // block * block
        v = int(rng.integers(lo, min(lo + block, used))) if rng.random() < inside else int(rng.integers(used))
        if u != v:
            pairs.add((min(u, v), max(u, v)))
    rows = [(u, v) if rng.random() < 0.5 else (v, u) for u, v in sorted(pairs)]
    rows += [(i, i) for i in range(0, used, 17)] if self_loops else []
    perm = np.concatenate([rng.permutation(used), np.arange(used, n)])
    rows = perm[np.array(rows, dtype=np.int64)]
    return rows[rng.permutation(len(rows))].astype(np.uint64)


@pytest.mark.parametrize(
    "seed, n, block, m, inside, self_loops, max_iter",
    [
        # Mixed enough that ties last to max_iter: late iterations visit a
        # few due nodes far apart in the order, and a change wakes settled
        # neighbours queued past it.
        (0, 603, 50, 3000, 0.6, False, 100),
        (1, 603, 50, 3000, 0.6, True, 100),
        (2, 1003, 100, 5000, 0.5, False, 30),
        (3, 253, 25, 800, 0.9, True, 100),
        (4, 133, 10, 200, 0.7, False, 5),
        (5, 70, 10, 67, 0.5, True, 100),
    ],
)
def test_label_propagation_simple_graphs_match_reference(seed, n, block, m, inside, self_loops, max_iter):
    # Unweighted rows that never repeat a pair are counted (each entry
    # weighs the unit); weights of 1.0, or of 2.0, take the summed path.
    # All three must make the reference's choices and draws.
    rows = planted_rows(seed, n, block, m, inside, self_loops)
    expected = lpa_reference(n, rows, None, seed, max_iter)
    assert kw.label_propagation_rust(n, rows, None, seed, max_iter).tolist() == expected
    for w in (1.0, 2.0):
        assert kw.label_propagation_rust(n, rows, np.full(len(rows), w), seed, max_iter).tolist() == expected


def test_label_propagation_seed_zero_is_default():
    n, rows, w = random_multigraph(2)
    assert kw.label_propagation_rust(n, rows, w).tolist() == kw.label_propagation_rust(n, rows, w, 0, 100).tolist()


# --- checks and their order ---------------------------------------------------------------------------------------

BAD_EDGE = E([(0, 1), (1, 9)])
EDGE_MSG = "edge 1 (1, 9) names a node id outside [0, 3)"
LEN_MSG = "weights length (3) must match edges length (2)"
WEIGHT_MSG = "weight 1 is -1, but weights must be finite and non-negative"
RES_MSG = "resolution must be finite and strictly positive"
GOOD = E([(0, 1), (1, 2)])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kw.louvain_rust(3, BAD_EDGE, np.ones(3), -1.0, None, 0), EDGE_MSG),
        (lambda: kw.louvain_rust(3, GOOD, np.ones(3), -1.0, None, 0), LEN_MSG),
        (lambda: kw.louvain_rust(3, GOOD, np.array([1.0, -1.0]), np.nan, None, 0), WEIGHT_MSG),
        (lambda: kw.louvain_rust(3, GOOD, np.array([1.0, -0.0]), np.inf, None, 0), RES_MSG),
        (lambda: kw.louvain_rust(3, GOOD, resolution=0.0, max_levels=0), RES_MSG),
        (lambda: kw.louvain_rust(3, GOOD, resolution=-0.0), RES_MSG),
        (lambda: kw.louvain_rust(3, GOOD, max_levels=0), "max_levels must be at least 1"),
        (lambda: kw.louvain_rust(0, E([]), max_levels=0), "max_levels must be at least 1"),
        (lambda: kw.label_propagation_rust(3, BAD_EDGE, np.ones(3), 0, 0), EDGE_MSG),
        (lambda: kw.label_propagation_rust(3, GOOD, np.ones(3), 0, 0), LEN_MSG),
        (lambda: kw.label_propagation_rust(3, GOOD, np.array([1.0, -1.0]), 0, 0), WEIGHT_MSG),
        (lambda: kw.label_propagation_rust(3, GOOD, max_iter=0), "max_iter must be at least 1"),
        (lambda: kw.label_propagation_rust(0, E([]), max_iter=0), "max_iter must be at least 1"),
        (lambda: kw.modularity_rust(3, BAD_EDGE, L([0]), np.ones(3), 0.0), EDGE_MSG),
        (lambda: kw.modularity_rust(3, GOOD, L([0]), np.ones(3), 0.0), LEN_MSG),
        (lambda: kw.modularity_rust(3, GOOD, L([0]), np.array([1.0, -1.0]), 0.0), WEIGHT_MSG),
        (lambda: kw.modularity_rust(3, GOOD, L([0]), None, np.nan), RES_MSG),
        (lambda: kw.modularity_rust(3, GOOD, L([0]), None, 5e-324 * -1), RES_MSG),
        (lambda: kw.modularity_rust(3, GOOD, L([0]), None, 1.0), "labels length (1) must equal the node count (3)"),
    ],
)
def test_check_order_and_messages(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: kw.label_propagation_rust(3, GOOD, seed=None), "argument 'seed': "),
        (lambda: kw.louvain_rust(3, GOOD, resolution=None), "argument 'resolution': "),
        (lambda: kw.louvain_rust(3, GOOD, max_levels=None), "argument 'max_levels': "),
        (lambda: kw.modularity_rust(3, GOOD, np.zeros(3, dtype=np.int64)), "argument 'labels': type mismatch"),
        (lambda: kw.modularity_rust(3, GOOD, L([0, 0, 0]), resolution="x"), "argument 'resolution': "),
        # Every parameter is converted before the shape of the edges is looked at.
        (lambda: kw.louvain_rust(3, L(range(6)).reshape(2, 3), max_levels="x"), "argument 'max_levels': "),
        (lambda: kw.label_propagation_rust(3, L([0, 1, 2]).reshape(1, 3), max_iter=1.5), "argument 'max_iter': "),
    ],
)
def test_conversion_failures(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)


def test_accepted_parameter_forms():
    a, b = kw.louvain_rust(3, GOOD, resolution=2), kw.louvain_rust(3, GOOD, resolution=2.0)
    assert a[0].tolist() == b[0].tolist() and a[1:] == b[1:]
    labels = kw.louvain_rust(6, RING, resolution=1, seed=None)[0]
    assert labels.tolist() == [0, 0, 1, 1, 2, 2]
    assert kw.modularity_rust(6, RING, L([0, 0, 1, 1, 2, 2])[::-1].copy()[::-1], resolution=1) == pytest.approx(1 / 6)
    assert kw.label_propagation_rust(3, GOOD, seed=MASK).tolist() == [0, 0, 0]
    assert kw.louvain_rust(6, RING, seed=MASK)[2] >= 2


# --- quality against igraph (only where igraph is installed) ------------------------------------------------------


def karate():
    return np.loadtxt(KARATE, delimiter=",", dtype=np.uint64, comments="#")


def lfr(seed):
    g = nx.LFR_benchmark_graph(250, 3, 1.5, 0.1, average_degree=5, min_community=20, seed=seed)
    g.remove_edges_from(nx.selfloop_edges(g))
    return g.number_of_nodes(), np.array(list(g.edges()), dtype=np.uint64)


@pytest.mark.parametrize("graph", ["karate", "lfr10", "lfr42"])
def test_louvain_quality_close_to_igraph(graph):
    ig = pytest.importorskip("igraph")
    if graph == "karate":
        edges = karate()
        n = int(edges.max()) + 1
    else:
        n, edges = lfr(int(graph[3:]))
    seeds = range(10)
    ours = max(kw.louvain_rust(n, edges, seed=s)[1] for s in seeds)
    g = ig.Graph(n=n, edges=edges.tolist())
    theirs = []
    for s in seeds:
        ig.set_random_number_generator(__import__("random").Random(s))
        theirs.append(g.modularity(g.community_multilevel()))
    assert ours >= max(theirs) * 0.99
