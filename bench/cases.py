"""The registry of benchmark cases: every function of knotwell_rs against every
peer that computes the same thing, on the named graphs, with the targets set
for it.

Graph sizes per mode:

- full: uniform G(n, m) and R-MAT at 2^16 nodes / 2^20 edges ("-16") and
  2^20 nodes / 2^24 edges ("-20"), edge factor 16; quadratic functions on
  smaller graphs: betweenness on 10,000 nodes and 50,000 edges (R-MAT, and
  G(n, m) read as a directed graph), the mean shortest path on R-MAT with
  20,000 nodes / 200,000 edges and G(n, m) with 10,000 / 100,000, rewiring on
  R-MAT with 20,000 nodes / 100,000 edges; 64 sources for the multi-source
  search (16 on the 2^20 G(n, m) graph); communities
  on R-MAT 2^18 / 2^22, an LFR graph of 100,000 nodes and a planted partition
  of 100 blocks of 1,000 nodes; high-diameter graphs for the path functions (a
  150 x 150 lattice, road-like graphs of 4,900 and 10^6 nodes); a graph of
  16 hubs over 100,000 nodes for the local measures; plus the karate club
  everywhere.  The 2^20 G(n, m) graph is used for distances and components
  only; networkx runs only on the 2^16 graphs (the karate club where it is
  quadratic or where hubs keep it busy for minutes); peers whose only route is
  a per-node Python loop or one search per source run on the small size only.
- quick: the karate club, 2^11 nodes / 2^15 edges, 1,000-node graphs and small
  versions of the other families.
"""

from __future__ import annotations

import dataclasses
from functools import partial

import numpy as np

import knotwell_rs

from . import graphs as G
from .core import (Build, Case, Close, Components, Exact, Impl, MemoryTarget, Quality, Target, Valid, as_u64,
                   community_form, distances_u64, first_appearance, reference_modularity, simple_graph_problems)
from .peers import csr, ig_graph, nk_graph, nx_graph, rx_graph

OURS = "knotwell_rs"
# The module's function table, in its order.
FUNCTIONS = tuple(knotwell_rs.__all__)
SEED = 1  # seed of every randomised call, ours and peers'


# ------------------------------------------------------------- graph sets --

def graph_sets(quick: bool) -> dict[str, list[G.GraphSpec]]:
    s = G.graph_spec
    karate = s("karate", 34, 78, "karate", "Zachary's karate club")
    if quick:
        small = [s("gnm", 1 << 11, 1 << 15, "gnm-11"), s("rmat", 1 << 11, 1 << 15, "rmat-11")]
        large: list[G.GraphSpec] = []
        quad = [s("rmat", 1000, 5000, "rmat-1k")]
        directed_quad = [s("gnm", 1000, 5000, "gnm-1k")]
        mean = [s("rmat", 1000, 10_000, "rmat-1k-10k")]
        simple_100k = [s("rmat", 1000, 5000, "rmat-1k")]
        communities = [s("rmat", 1 << 11, 1 << 15, "rmat-11"), _sbm(10_000, 100_000, "sbm-10k")]
        lattice = _lattice(50)
        roads = [_road(64, "road-4k")]
        hubs = [s("hubs", 10_000, 100_000, "hubs-10k", "16 hubs, each adjacent to 20% of the nodes, "
                                                       "over a uniform background")]
        geometric = [_rgg(1000)]
        huge: list[G.GraphSpec] = []
    else:
        small = [s("gnm", 1 << 16, 1 << 20, "gnm-16"), s("rmat", 1 << 16, 1 << 20, "rmat-16")]
        large = [s("gnm", 1 << 20, 1 << 24, "gnm-20"), s("rmat", 1 << 20, 1 << 24, "rmat-20")]
        # betweenness: the size at which igraph and NetworKit on two threads
        # finish well within the peer timeout (igraph about 7-15 s); at
        # 20,000 nodes both passed it, leaving those cases without a peer
        quad = [s("rmat", 10_000, 50_000, "rmat-10k")]
        directed_quad = [s("gnm", 10_000, 50_000, "gnm-10k")]
        # uniform graphs have few low-degree nodes to fold away, so the same
        # size costs the peers twice as much: half the nodes
        mean = [s("rmat", 20_000, 200_000, "rmat-20k-200k"), s("gnm", 10_000, 100_000, "gnm-10k-100k")]
        simple_100k = [s("rmat", 20_000, 100_000, "rmat-20k")]
        communities = [s("rmat", 1 << 18, 1 << 22, "rmat-18"),
                       s("lfr", 100_000, 0, "lfr-100k", "LFR, NetworKit generator, mu 0.1, avg degree 20"),
                       _sbm(100_000, 1_000_000, "sbm-100k")]
        lattice = _lattice(150)
        roads = [_road(70, "road-5k"), _road(1000, "road-1m")]
        hubs = [s("hubs", 100_000, 1_000_000, "hubs-100k", "16 hubs, each adjacent to 20% of the nodes, "
                                                          "over a uniform background")]
        # high diameter with shortest-path counts far above 2^53; betweenness
        # at the size of the other quadratic graphs
        geometric = [_rgg(10_000)]
        # degree sequences where the counters no longer fit the caches
        huge = [s("rmat", 1 << 22, 1 << 26, "rmat-22")]
    # The large G(n, m) graph only for distances and components: building
    # 16M-edge graphs for every peer is the bulk of a full run.
    large_rmat = [g for g in large if g.kind == "rmat"]
    return {"karate": [karate], "small": small, "large": large, "large_rmat": large_rmat, "quad": quad,
            "directed_quad": directed_quad, "mean": mean, "simple_100k": simple_100k, "communities": communities,
            # high diameter: every path function on the lattice and the large
            # road graph, the quadratic mean on the small road graph
            "high_diameter": [lattice, roads[-1]], "mean_high_diameter": [lattice, roads[0]],
            "hubs": hubs, "geometric": geometric, "huge": huge}


def _sbm(n, m, name):
    return G.graph_spec("sbm", n, m, name, f"planted partition: {n // 1000} blocks of 1,000 nodes, "
                                           f"{round(1.5 * m / n)} neighbours inside and {round(0.5 * m / n)} "
                                           f"outside on average")


def _rgg(n):
    return G.graph_spec("rgg", n, 4 * n, f"rgg-{n // 1000}k",
                        f"random geometric: {n:,} points in the unit square, mean degree about 8")


def _lattice(side):
    return G.graph_spec("lattice", side * side, 2 * side * (side - 1), f"lattice-{side}",
                        f"{side} x {side} square lattice, row-major ids")


def _road(side, name):
    # 0.65 of the lattice's edges: mean degree 2.6, one giant component
    m = round(0.65 * 2 * side * (side - 1))
    return G.graph_spec("road", side * side, m, name,
                        f"road-like: {side} x {side} lattice keeping 65% of its edges, ids scrambled")


# ------------------------------------------------------- peer shorthands --

# Graph builds are shared by the cases of one graph (see Build); the key says
# what is built.  Weights are a function of the graph, so "w" is enough.
def _key(lib, directed=False, weighted=False):
    return f"{lib}/{'directed' if directed else 'undirected'}{'/weighted' if weighted else ''}"


def _ig(directed=False):
    return Build(_key("igraph", directed), lambda c: ig_graph(c["n"], c["edges"], directed))


def _nk(directed=False, weighted=False):
    return Build(_key("networkit", directed, weighted),
                 lambda c: nk_graph(c["n"], c["edges"], directed, c["weights"] if weighted else None))


def _rx(directed=False):
    return Build(_key("rustworkx", directed), lambda c: rx_graph(c["n"], c["edges"], directed))


def _nx(directed=False, weighted=False):
    return Build(_key("networkx", directed, weighted),
                 lambda c: nx_graph(c["n"], c["edges"], directed, c["weights"] if weighted else None))


def _csr(symmetric=False, transpose=False, weighted=False):
    key = "scipy/csr" + ("/symmetric" if symmetric else "") + ("/transposed" if transpose else "") + \
          ("/weighted" if weighted else "")
    return Build(key, lambda c: csr(c["n"], c["edges"], c["weights"] if weighted else None, symmetric, transpose))


def _fresh(build: Build):
    """The same construction, made anew for every call (for algorithms that
    change their graph)."""
    return build.fn


def _nk_scores(algo):
    algo.run()
    return algo.scores()


def _nk_mod():
    import networkit as nk

    return nk


def _per_node(mapping, ctx):
    """networkx/rustworkx {node: value} as an array in node order."""
    return np.array([mapping[i] for i in range(ctx["n"])])


def _labels_from_sets(sets, ctx):
    labels = np.empty(ctx["n"], dtype=np.int64)
    for k, members in enumerate(sets):
        labels[list(members)] = k
    return labels


def _simple_degree(ctx):
    if "deg" not in ctx:
        e = ctx["edges"]
        ctx["deg"] = np.bincount(e.ravel().astype(np.int64), minlength=ctx["n"])
    return ctx["deg"]


def _triangles_from_clustering(cl, ctx):
    # T = cl * d (d - 1) / 2, exact after rounding for any realistic count.
    d = _simple_degree(ctx).astype(np.float64)
    return np.rint(np.asarray(cl, dtype=np.float64) * d * (d - 1) / 2).astype(np.uint64)


def _layers_to_distances(layers, n):
    d = np.full(n, np.iinfo(np.uint64).max, dtype=np.uint64)
    for k, layer in enumerate(layers):
        d[layer] = k
    return d


def _nx_limit(quick):
    # networkx only on the small size (every graph in quick mode is small).
    return None if quick else 1 << 20


KARATE_ONLY = 100  # max_m that admits the karate club and nothing else
# max_m that keeps a peer to the small size: the ones whose graph build or
# algorithm at 2^24 edges would cost a minute or more for little information
# (per-node Python loops, rustworkx's per-source bfs_layers, scipy's dense
# 64-row distance matrix); the issues' named peers always run.
SMALL = 1 << 20
# max_m of the quadratic peers that are never the fastest on two cores and
# cost half a minute or more a case at full size (rustworkx's mean shortest
# path, over a minute on 200,000 edges and twice igraph's time on the road
# graphs; rustworkx's betweenness, behind igraph on the 10,000-node R-MAT graph
# while using both cores; NetworKit's directed betweenness, about 5x igraph's
# time on the 10,000-node G(n, m) graph): graphs of at most 10,000 edges only
# (the karate club, the small road graph, the quick graphs).  Each such peer
# says so in its note.
QUICK_QUAD = 10_000
# max_m of the peers that copy the edges into a graph of their own, for the
# 2^26-row degree case: the builds would cost minutes and gigabytes, and
# np.bincount is the bound that matters there.
LARGE = 1 << 24


# ------------------------------------------------------------------ cases --

def build_cases(quick: bool = False) -> list[Case]:
    gs = graph_sets(quick)
    nx_max = _nx_limit(quick)
    out: list[Case] = []
    out += _degree_cases(gs, nx_max)
    out += _strength_cases(gs, nx_max)
    out += _local_cases(gs, nx_max)
    out += _path_cases(gs, nx_max, quick)
    out += _components_cases(gs, nx_max)
    out += _betweenness_cases(gs, quick)
    out += _core_cases(gs, nx_max)
    out += _null_cases(gs, quick)
    out += _community_cases(gs, quick)
    uncovered = set(FUNCTIONS) - {c.func for c in out}
    assert not uncovered, f"no benchmark case for {sorted(uncovered)}"
    order = {f: i for i, f in enumerate(FUNCTIONS)}
    out.sort(key=lambda c: order[c.func])  # stable: sizes stay ascending within a function
    names = [c.name for c in out]
    assert len(names) == len(set(names)), "case names must be unique"
    return out


def _graph_case(func, g, **kw) -> Case:
    return Case(name=f"{func.removesuffix('_rust')}/{g.name}" + kw.pop("suffix", ""), func=func, graph=g, **kw)


def _no_setup(ctx):
    pass


# -- degree sequences -------------------------------------------------------

def _degree_cases(gs, nx_max):
    out = []
    graphs = gs["karate"] + gs["small"] + gs["large_rmat"]
    for g in graphs + gs["huge"]:
        peers = [
            Impl("numpy", "numpy", algo=lambda c, _: np.bincount(c["edges"].ravel(), minlength=c["n"]),
                 canon=as_u64, note="np.bincount(edges.ravel(), minlength=n)"),
            Impl("scipy", "scipy", build=_csr(symmetric=True),
                 algo=lambda c, a: np.diff(a.indptr), canon=as_u64, note="symmetric CSR, np.diff(indptr)",
                 max_m=LARGE),
            Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.degree(), canon=as_u64, max_m=LARGE),
            Impl("networkit", "networkit", build=_nk(),
                 algo=lambda c, g: _nk_scores(_nk_mod().centrality.DegreeCentrality(g)), canon=as_u64,
                 max_m=LARGE),
            Impl("rustworkx", "rustworkx", build=_rx(), algo=lambda c, g: [g.degree(i) for i in range(c["n"])],
                 canon=as_u64, max_m=SMALL, note="per-node degree() in a loop (no vector form)"),
            Impl("networkx", "networkx", build=_nx(), algo=lambda c, g: [d for _, d in g.degree()], canon=as_u64,
                 max_m=nx_max),
        ]
        targets, memory = [], None
        if g.name == "rmat-22":
            targets = [Target(("numpy",), 1.0, "degree sequences", "degree_rust at least as fast as np.bincount")]
        if g.name == "rmat-20":
            targets = [Target(("numpy",), 1.0, "degree sequences", "degree_rust at least as fast as np.bincount"),
                       Target(("igraph",), 10.0, "degree sequences", "degree_rust at least 10x igraph")]
            memory = MemoryTarget(lambda c: 16 * len(c["edges"]) + 8 * c["n"], "degree sequences",
                                  "working memory at most the edge copy plus n counters")
        out.append(_graph_case("degree_rust", g, setup=_no_setup, params={"directed": False},
                               ours=lambda k, c: k.degree_rust(c["n"], c["edges"], False), ours_canon=as_u64,
                               check=Exact(), peers=peers, targets=targets, memory=memory))

    for func, col in (("in_degree_rust", 1), ("out_degree_rust", 0)):
        mode = "in" if col == 1 else "out"
        for g in graphs:
            peers = [
                Impl("numpy", "numpy", algo=lambda c, _, col=col: np.bincount(c["edges"][:, col], minlength=c["n"]),
                     canon=as_u64),
                Impl("scipy", "scipy", build=_csr(transpose=(col == 1)),
                     algo=lambda c, a: np.diff(a.indptr), canon=as_u64),
                Impl("igraph", "igraph", build=_ig(True), algo=lambda c, g, mode=mode: g.degree(mode=mode),
                     canon=as_u64, max_m=SMALL),
                Impl("networkit", "networkit", build=_nk(True),
                     algo=lambda c, g, col=col: _nk_scores(_nk_mod().centrality.DegreeCentrality(g, outDeg=(col == 0))),
                     canon=as_u64, max_m=SMALL),
                Impl("rustworkx", "rustworkx", build=_rx(True),
                     algo=(lambda c, g: [g.in_degree(i) for i in range(c["n"])]) if col == 1
                     else (lambda c, g: [g.out_degree(i) for i in range(c["n"])]), canon=as_u64, max_m=SMALL),
                Impl("networkx", "networkx", build=_nx(True),
                     algo=(lambda c, g: [d for _, d in g.in_degree()]) if col == 1
                     else (lambda c, g: [d for _, d in g.out_degree()]), canon=as_u64, max_m=nx_max),
            ]
            out.append(_graph_case(func, g, setup=_no_setup,
                                   ours=lambda k, c, func=func: getattr(k, func)(c["n"], c["edges"]),
                                   ours_canon=as_u64, check=Exact(), peers=peers))
    return out


def _weights_setup(ctx):
    ctx["weights"] = G.uniform_weights(len(ctx["edges"]), G.stable_seed(ctx["graph"].name + "/weights"))


def _strength_cases(gs, nx_max):
    out = []
    for g in gs["karate"] + gs["small"] + gs["large_rmat"]:
        def two_bincounts(c, _):
            e = c["edges"]
            return (np.bincount(e[:, 0], c["weights"], c["n"]) + np.bincount(e[:, 1], c["weights"], c["n"]))

        peers = [
            Impl("numpy", "numpy", algo=two_bincounts, note="two np.bincount calls with weights"),
            Impl("scipy", "scipy", build=_csr(symmetric=True, weighted=True),
                 algo=lambda c, a: a.sum(axis=1)),
            Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.strength(weights=c["weights"])),
            Impl("networkit", "networkit", build=_nk(weighted=True),
                 algo=lambda c, g: [g.weightedDegree(u) for u in range(c["n"])], max_m=SMALL,
                 note="per-node weightedDegree() in a loop"),
            Impl("networkx", "networkx", build=_nx(weighted=True),
                 algo=lambda c, g: [d for _, d in g.degree(weight="weight")], max_m=nx_max),
        ]
        targets = []
        if g.name == "rmat-20":
            targets = [Target(("numpy",), 1.0, "degree sequences", "strength_rust at least as fast as two np.bincount")]
        out.append(_graph_case("strength_rust", g, setup=_weights_setup, params={"directed": False},
                               ours=lambda k, c: k.strength_rust(c["n"], c["edges"], c["weights"], False),
                               check=Close(1e-12), peers=peers, targets=targets))
    return out


# -- triangles, clustering ------------------------------------------------------

def _lcc(threads):
    def algo(c, g):
        return _nk_scores(_nk_mod().centrality.LocalClusteringCoefficient(g, turbo=True))

    return algo


def _local_cases(gs, nx_max):
    out = []
    for g in gs["karate"] + gs["small"] + gs["large_rmat"] + gs["hubs"]:
        out += _local_cases_on(g, nx_max)
    return out


def _nx_local(g, nx_max):
    # networkx on hub-heavy graphs (R-MAT 2^16 has hubs of degree 10^4) runs
    # for minutes: the karate club and uniform graphs only
    return nx_max if (nx_max is None or g.kind in ("gnm", "karate")) else KARATE_ONLY


def _local_cases_on(g, nx_max):
    big = g.name == "rmat-20"
    nx_local = _nx_local(g, nx_max)
    tri_targets = ([Target(("igraph",), 1.0, "local structure", "faster than igraph transitivity_local_undirected"),
                    Target(("networkit[1t]",), 1.0, "local structure",
                           "faster than NetworKit LocalClusteringCoefficient(turbo) on 1 thread")] if big else [])
    # igraph's local transitivity and NetworKit's coefficients on 1 thread are
    # one call each for triangles and local clustering: timed once per graph.
    transitivity = Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.transitivity_local_undirected(mode="zero"),
                        same_call="igraph/transitivity_local_undirected")
    nk_variants = [Impl(f"networkit[{t}t]", "networkit", build=_nk(), algo=_lcc(t), threads=t,
                        note="LocalClusteringCoefficient(turbo=True)",
                        same_call=f"networkit[{t}t]/LocalClusteringCoefficient") for t in (1, 2)]
    # triangles: the peers give coefficients; T = cl d (d-1) / 2 recovers the counts exactly.
    peers = [dataclasses.replace(p, canon=_triangles_from_clustering,
                                 note=p.note or "transitivity_local_undirected, counts recovered")
             for p in [transitivity] + [v for v in nk_variants if v.threads == 1]]
    peers.append(Impl("networkx", "networkx", build=_nx(), algo=lambda c, g: nx_tri(g), canon=_per_node,
                      max_m=nx_local))
    out = [_graph_case("triangles_per_node_rust", g, setup=_no_setup,
                       ours=lambda k, c: k.triangles_per_node_rust(c["n"], c["edges"]),
                       ours_canon=as_u64, check=Exact(), peers=peers, targets=tri_targets)]

    # networkx's clustering is its triangle count plus a division: compared
    # on the karate club, its triangles on the larger uniform graph
    peers = [transitivity] + [p for p in nk_variants if p.threads == 1 or not big]
    peers.append(Impl("networkx", "networkx", build=_nx(), algo=lambda c, g: nx_clustering(g), canon=_per_node,
                      max_m=KARATE_ONLY))
    out.append(_graph_case("clustering_local_rust", g, setup=_no_setup,
                           ours=lambda k, c: k.clustering_local_rust(c["n"], c["edges"]),
                           check=Close(1e-12), peers=peers, targets=[
                               Target(t.peers, t.ratio, t.area, t.text.replace("faster", "clustering_local faster"))
                               for t in tri_targets]))
    if big:
        return out  # no target at this size; the same counts as clustering_local's
    # networkx's average clustering is its local clustering plus a mean:
    # compared on the karate club only.
    peers = [Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.transitivity_avglocal_undirected(mode="zero")),
             Impl("networkit", "networkit", build=_nk(),
                  algo=lambda c, g: float(np.mean(_lcc(None)(c, g))), note="mean of LocalClusteringCoefficient"),
             Impl("networkx", "networkx", build=_nx(), algo=lambda c, g: nx_avg_clustering(g), max_m=KARATE_ONLY)]
    out.append(_graph_case("clustering_avg_rust", g, setup=_no_setup,
                           ours=lambda k, c: k.clustering_avg_rust(c["n"], c["edges"]),
                           check=Close(1e-9), peers=peers))
    return out


def nx_tri(g):
    import networkx as nx

    return nx.triangles(g)


def nx_clustering(g):
    import networkx as nx

    return nx.clustering(g)


def nx_avg_clustering(g):
    import networkx as nx

    return nx.average_clustering(g)


# -- core numbers ---------------------------------------------------------------

def _core_cases(gs, nx_max):
    out = []
    for g in gs["karate"] + gs["small"] + gs["large_rmat"] + gs["hubs"]:
        peers = [
            Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.coreness(), canon=as_u64),
            Impl("networkit", "networkit", build=_nk(),
                 algo=lambda c, g: _nk_scores(_nk_mod().centrality.CoreDecomposition(g)), canon=as_u64),
            Impl("rustworkx", "rustworkx", build=_rx(), algo=lambda c, g: rx_core(g),
                 canon=lambda r, c: as_u64(_per_node(r, c)), max_m=SMALL),
            Impl("networkx", "networkx", build=_nx(), algo=lambda c, g: nx_core(g),
                 canon=lambda r, c: as_u64(_per_node(r, c)), max_m=_nx_local(g, nx_max)),
        ]
        targets = []
        if g.name == "rmat-20":
            targets = [Target(("igraph",), 1.0, "local structure", "core_numbers faster than igraph coreness"),
                       Target(("networkit",), 1.0, "local structure",
                              "core_numbers faster than NetworKit CoreDecomposition")]
        out.append(_graph_case("core_numbers_rust", g, setup=_no_setup,
                               ours=lambda k, c: k.core_numbers_rust(c["n"], c["edges"]), ours_canon=as_u64,
                               check=Exact(), peers=peers, targets=targets))
    return out


def rx_core(g):
    import rustworkx as rx

    return rx.core_number(g)


def nx_core(g):
    import networkx as nx

    return nx.core_number(g)


# -- breadth-first distances ----------------------------------------------------

def _source_setup(ctx):
    # The node of largest degree: it sits in the giant component.
    ctx["source"] = int(np.argmax(_simple_degree(ctx)))


def _sources_setup(k, ctx):
    deg = _simple_degree(ctx)
    candidates = np.flatnonzero(deg > 0)
    rng = np.random.default_rng(G.stable_seed(ctx["graph"].name + "/sources"))
    ctx["sources"] = rng.choice(candidates, size=min(k, len(candidates)), replace=False).astype(np.uint64)


def _bfs_peers(directed, nx_max, multi):
    """Peers for one (multi=False) or several sources."""
    src = (lambda c: c["sources"].astype(np.int64)) if multi else (lambda c: c["source"])
    mode = "out" if directed else "all"

    def scipy_sp(c, a):
        import scipy.sparse.csgraph as cg

        return cg.shortest_path(a, directed=directed, unweighted=True, indices=src(c))

    def scipy_bfo(c, a):
        import scipy.sparse.csgraph as cg

        return cg.breadth_first_order(a, c["source"], directed=directed, return_predecessors=False)

    def ig_dist(c, g):
        d = g.distances(source=src(c).tolist() if multi else src(c), mode=mode)
        return d if multi else d[0]

    def nk_bfs(c, g):
        nk = _nk_mod()
        if multi:
            algo = nk.distance.SPSP(g, src(c).tolist())
            algo.run()
            return algo.getDistances()
        algo = nk.distance.BFS(g, src(c), storePaths=False)
        algo.run()
        return algo.getDistances()

    def rx_bfs(c, g):
        import rustworkx as rx

        if multi:
            return [_layers_to_distances(rx.bfs_layers(g, [s]), c["n"]) for s in src(c).tolist()]
        return _layers_to_distances(rx.bfs_layers(g, [src(c)]), c["n"])

    def nx_bfs(c, g):
        import networkx as nx

        def one(s):
            d = np.full(c["n"], -1, dtype=np.int64)
            for t, k in nx.single_source_shortest_path_length(g, s).items():
                d[t] = k
            return d

        return np.array([one(s) for s in src(c).tolist()]) if multi else one(src(c))

    peers = [
        Impl("scipy", "scipy", build=_csr(), algo=scipy_sp, canon=distances_u64, max_m=SMALL if multi else None,
             note="csgraph.shortest_path(unweighted=True, indices=...)"),
    ]
    if not multi:
        peers.append(Impl("scipy (bfo)", "scipy", build=_csr(), algo=scipy_bfo, checked=False,
                          note="csgraph.breadth_first_order: visit order only, not compared"))
    peers += [
        Impl("igraph", "igraph", build=_ig(directed), algo=ig_dist, canon=distances_u64),
        # SPSP is the slowest of the three multi-source peers on every graph
        # it ran on (and 50 s on the 2^20 graphs): the small size only
        Impl("networkit", "networkit", build=_nk(directed), algo=nk_bfs, canon=distances_u64,
             max_m=SMALL if multi else None, note="distance.SPSP" if multi else "distance.BFS"),
        Impl("rustworkx", "rustworkx", build=_rx(directed), algo=rx_bfs, canon=distances_u64,
             max_m=(KARATE_ONLY if nx_max is not None else None) if multi else SMALL,
             note="bfs_layers per source: rustworkx has no multi-source distances (distance_matrix computes "
                  "all n rows, n^2 memory)" if multi else "bfs_layers"),
        Impl("networkx", "networkx", build=_nx(directed), algo=nx_bfs, canon=distances_u64,
             max_m=(nx_max if nx_max is None else KARATE_ONLY) if multi else nx_max),
    ]
    return peers


def _path_cases(gs, nx_max, quick):
    return _shortest_paths_cases(gs, nx_max) + _multi_source_cases(gs, nx_max) + _mean_cases(gs)


_EDGES_PER_S = ("edges/s", lambda c: len(c["edges"]))


def _shortest_paths_cases(gs, nx_max):
    out = []
    for g in gs["karate"] + gs["small"] + gs["large"] + gs["high_diameter"]:
        targets = []
        if g.name in ("rmat-20", "gnm-20"):
            targets = [Target(("scipy",), 1.0, "paths", "shortest_paths faster than scipy csgraph"),
                       Target(("igraph",), 1.0, "paths", "shortest_paths faster than igraph distances")]
        out.append(_graph_case("shortest_paths_rust", g, setup=_source_setup, params={"directed": False},
                               ours=lambda k, c: k.shortest_paths_rust(c["n"], c["edges"], c["source"], False),
                               ours_canon=as_u64, check=Exact(), peers=_bfs_peers(False, nx_max, False),
                               targets=targets, rate=_EDGES_PER_S))
    # one directed case, on the small R-MAT graph
    g = gs["small"][-1]
    out.append(_graph_case("shortest_paths_rust", g, suffix="/directed", setup=_source_setup,
                           params={"directed": True},
                           ours=lambda k, c: k.shortest_paths_rust(c["n"], c["edges"], c["source"], True),
                           ours_canon=as_u64, check=Exact(), peers=_bfs_peers(True, nx_max, False),
                           rate=_EDGES_PER_S))
    return out


# Sources of the multi-source search.  On the 2^20-node G(n, m) graph igraph,
# the one peer that runs there, takes about a second a source (and passed the
# peer timeout with 64): fewer sources, so that the case has a peer figure.
MULTI_SOURCES = 64
MULTI_SOURCES_BY_GRAPH = {"gnm-20": 16}


def _multi_source_cases(gs, nx_max):
    out = []
    # undirected on every size and family; directed on the small G(n, m)
    runs = [(g, False) for g in gs["small"] + gs["large"] + gs["high_diameter"]] + [(gs["small"][0], True)]
    for g, directed in runs:
        k = MULTI_SOURCES_BY_GRAPH.get(g.name, MULTI_SOURCES)
        targets, memory, workers = [], None, ()
        if g.name in ("rmat-20", "gnm-20"):
            targets = [Target(("rustworkx", "igraph"), 1.5, "paths",
                              f"{k} sources at least 1.5x the best of rustworkx (equal work) and igraph")]
            # k rows of n distances, the CSR offsets and the adjacency (both
            # directions of every edge), plus the copy of the edge rows every
            # call makes of its input (16 bytes a row): with few sources the
            # peak is the adjacency's build beside that copy, not the rows
            memory = MemoryTarget(lambda c: 1.1 * (len(c["sources"]) * c["n"] * 8 + 8 * (c["n"] + 1)
                                                   + 32 * len(c["edges"])), "paths",
                                  f"peak within 10% of k n 8 bytes (k = {k}) plus the adjacency "
                                  f"and the call's copy of the edges")
            workers = (1,)
        out.append(_graph_case("shortest_paths_multi_rust", g, suffix="/directed" if directed else "",
                               setup=partial(_sources_setup, k), params={"sources": k, "directed": directed},
                               ours=lambda m, c, d=directed: m.shortest_paths_multi_rust(
                                   c["n"], c["edges"], c["sources"], d),
                               ours_canon=as_u64, check=Exact(), peers=_bfs_peers(directed, nx_max, True),
                               targets=targets, memory=memory, workers=workers,
                               rate=("edges/s", lambda c: len(c["sources"]) * len(c["edges"]))))
    return out


def _mean_cases(gs):
    out = []

    def nx_mean(c, g):
        import networkx as nx

        total = count = 0
        for _, lengths in nx.all_pairs_shortest_path_length(g):
            total += sum(lengths.values())
            count += len(lengths) - 1
        return total / count if count else float("nan")

    def rx_mean(c, g):
        import rustworkx as rx

        return rx.unweighted_average_shortest_path_length(g, disconnected=True)

    for g in gs["karate"] + gs["mean"] + gs["mean_high_diameter"] + gs["geometric"]:
        peers = [Impl("igraph", "igraph", build=_ig(),
                      algo=lambda c, g: g.average_path_length(directed=False, unconn=True)),
                 Impl("rustworkx", "rustworkx", build=_rx(), algo=rx_mean, max_m=QUICK_QUAD,
                      note="unweighted_average_shortest_path_length(disconnected=True), parallel"),
                 Impl("networkx", "networkx", build=_nx(), algo=nx_mean,
                      note="all_pairs_shortest_path_length summed (average_shortest_path_length "
                           "refuses disconnected graphs)", max_m=KARATE_ONLY)]
        targets, workers = [], ()
        if g.name in ("rmat-20k-200k", "gnm-10k-100k"):
            targets = [Target(("igraph",), 3.0, "paths", "mean_shortest_path at least 3x igraph")]
            workers = (1,) if g.name == "rmat-20k-200k" else ()
        out.append(_graph_case("mean_shortest_path_rust", g, setup=_no_setup,
                               ours=lambda k, c: k.mean_shortest_path_rust(c["n"], c["edges"]),
                               check=Close(1e-12), peers=peers, targets=targets, workers=workers))
    return out


# -- components -----------------------------------------------------------------

def _components_cases(gs, nx_max):
    out = []

    def scipy_cc(c, a):
        import scipy.sparse.csgraph as cg

        return cg.connected_components(a, directed=False)

    def nk_cc(c, g):
        cc = _nk_mod().components.ConnectedComponents(g)
        cc.run()
        return cc.numberOfComponents(), cc.getPartition().getVector()

    def rx_cc(c, g):
        import rustworkx as rx

        return rx.connected_components(g)

    def nx_cc(c, g):
        import networkx as nx

        return list(nx.connected_components(g))

    def from_labels(r, c):
        count, labels = r
        k, lab = first_appearance(labels)
        return int(count), lab

    def from_sets(r, c):
        k, lab = first_appearance(_labels_from_sets(r, c))
        return len(r), lab

    for g in gs["karate"] + gs["small"] + gs["large"] + gs["high_diameter"]:
        peers = [
            Impl("scipy", "scipy", build=_csr(), algo=scipy_cc, canon=from_labels),
            Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.connected_components().membership,
                 canon=lambda r, c: from_labels((len(set(r)), r), c)),
            Impl("networkit", "networkit", build=_nk(), algo=nk_cc, canon=from_labels),
            Impl("rustworkx", "rustworkx", build=_rx(), algo=rx_cc, canon=from_sets, max_m=SMALL),
            Impl("networkx", "networkx", build=_nx(), algo=nx_cc, canon=from_sets, max_m=nx_max),
        ]
        targets = []
        if g.name in ("rmat-20", "gnm-20"):
            targets = [Target(("scipy",), 1.0, "paths", "connected_components faster than scipy incl. CSR build")]
        out.append(_graph_case("connected_components_rust", g, setup=_no_setup,
                               ours=lambda k, c: k.connected_components_rust(c["n"], c["edges"]),
                               ours_canon=lambda r, c: (int(r[0]), as_u64(r[1])), check=Components(),
                               peers=peers, targets=targets))
    return out


# -- betweenness ----------------------------------------------------------------

def _nk_bc(c, g):
    scores = np.asarray(_nk_scores(_nk_mod().centrality.Betweenness(g, normalized=False)))
    # NetworKit counts both directions of every pair of an undirected graph.
    return scores if g.isDirected() else scores * 0.5


def _rx_bc(c, g):
    import rustworkx as rx

    return rx.betweenness_centrality(g, normalized=False)


def _nx_bc(c, g, weight=None):
    import networkx as nx

    return nx.betweenness_centrality(g, normalized=False, weight=weight)


def _betweenness_peers(weighted: bool, directed: bool) -> list[Impl]:
    w = (lambda c: c["weights"]) if weighted else (lambda c: None)
    peers = [Impl("igraph", "igraph", build=_ig(directed),
                  algo=lambda c, g: g.betweenness(directed=directed, weights=w(c))),
             Impl("networkit[2t]", "networkit", build=_nk(directed, weighted), algo=_nk_bc, threads=2,
                  max_m=QUICK_QUAD if directed else None,
                  note="directed: small graphs only (about 5x igraph's time on the directed 10,000-node graph)"
                  if directed else "")]
    if not weighted:
        peers.append(Impl("rustworkx", "rustworkx", build=_rx(directed), algo=_rx_bc,
                          canon=lambda r, c: _per_node(dict(r), c), max_m=QUICK_QUAD,
                          note="parallel; small graphs only (slower than igraph on the 10,000-node graph "
                               "while using both cores)"))
    peers.append(Impl("networkx", "networkx", build=_nx(directed, weighted),
                      algo=partial(_nx_bc, weight="weight" if weighted else None),
                      canon=_per_node, max_m=KARATE_ONLY,
                      note="the karate club only (pure Python: many times igraph's time beyond it)"))
    return peers


# The full-size undirected betweenness graph, which carries the targets.
BETWEENNESS_GRAPH = "rmat-10k"


def _betweenness_targets(g, weighted: bool) -> tuple[list[Target], tuple[int, ...]]:
    if g.name == BETWEENNESS_GRAPH and weighted:
        return [Target(("igraph",), 3.0, "betweenness", "weighted: at least 3x igraph")], ()
    if g.name == BETWEENNESS_GRAPH:
        return [Target(("networkit[2t]",), 2.0, "betweenness", "at least 2x NetworKit Betweenness (2 threads)"),
                Target(("igraph",), 4.0, "betweenness", "at least 4x igraph betweenness"),
                Target(("knotwell_rs[1w]",), 1.8, "betweenness", "speed-up from 1 to 2 workers")], (1,)
    return [], (1,) if g.name == "rmat-1k" and not weighted else ()


def _betweenness_cases(gs, quick):
    """Undirected on the karate club, R-MAT and a random geometric graph,
    weighted on the first two, and a uniform G(n, m) read as a directed graph
    (no pair in both directions)."""
    out = []
    runs = [(g, False, False) for g in gs["karate"] + gs["quad"] + gs["geometric"]]
    runs += [(g, True, False) for g in gs["karate"] + gs["quad"][:1]]
    runs += [(g, False, True) for g in gs["directed_quad"]]
    for g, weighted, directed in runs:
        targets, workers = _betweenness_targets(g, weighted)
        suffix = "/weighted" if weighted else "/directed" if directed else ""
        out.append(_graph_case(
            "betweenness_rust", g, suffix=suffix, setup=_weights_setup if weighted else _no_setup,
            params={"weighted": weighted, "directed": directed, "normalized": False},
            ours=lambda k, c, w=weighted, d=directed: k.betweenness_rust(
                c["n"], c["edges"], c["weights"] if w else None, d, False),
            check=Close(1e-9), peers=_betweenness_peers(weighted, directed), targets=targets, workers=workers))
    return out


# -- null models ----------------------------------------------------------------

def _rewire_setup(samples, ctx):
    ctx["attempts"] = 2 * len(ctx["edges"])
    ctx["samples"] = samples
    _simple_degree(ctx)


def _rewire_ours_canon(r, c):
    block, swaps, attempts = r
    problems = []
    for s in range(block.shape[0]):
        problems += [f"sample {s}: {p}" for p in simple_graph_problems(c["n"], block[s], len(c["edges"]), c["deg"])]
    if list(attempts) != [c["attempts"]] * c["samples"]:
        problems.append(f"attempts {attempts}, expected {c['attempts']} each")
    return problems, f"swaps {sum(swaps):,} of {sum(attempts):,} attempts"


def _rewired_canon(edges, c):
    e = np.asarray(edges, dtype=np.uint64).reshape(-1, 2)
    return simple_graph_problems(c["n"], e, len(c["edges"]), c["deg"]), "degrees kept"


def _null_cases(gs, quick):
    return _rewire_cases(gs) + _configuration_cases(quick) + _gnm_cases(quick)


def _ig_rewire(c, g):
    g.rewire(n=c["attempts"], mode="simple")
    return g


def _nk_rewire(c, g):
    sw = _nk_mod().randomization.EdgeSwitching(g, c["attempts"] / len(c["edges"]), False)
    sw.run()
    return sw.getGraph()


def _nx_rewire(c, g):
    import networkx as nx

    try:
        nx.double_edge_swap(g, nswap=c["attempts"], max_tries=c["attempts"], seed=SEED)
    except nx.NetworkXAlgorithmError:
        pass  # raised once max_tries attempts are spent, which is what we ask for
    return g


def _rewire_case(g, samples: int, targets: list[Target], peers: list[Impl], workers=()) -> Case:
    return _graph_case("rewire_degree_preserving_rust", g, suffix=f"/x{samples}" if samples > 1 else "",
                       setup=partial(_rewire_setup, samples), params={"n_samples": samples, "attempts": "2 m"},
                       ours=lambda k, c: k.rewire_degree_preserving_rust(
                           c["n"], c["edges"], samples, c["attempts"], c["attempts"], SEED),
                       ours_canon=_rewire_ours_canon, check=Valid(), peers=peers, targets=targets, workers=workers,
                       rate=("attempts/s", lambda c: c["attempts"] * c["samples"]))


def _rewire_cases(gs):
    out = []
    for g in gs["karate"] + gs["simple_100k"]:
        peers = [Impl("igraph", "igraph", build=_fresh(_ig()), algo=_ig_rewire,
                      canon=lambda g, c: _rewired_canon(g.get_edgelist(), c), note="rewire(n=attempts, mode='simple')"),
                 Impl("networkit", "networkit", build=_fresh(_nk()), algo=_nk_rewire,
                      canon=lambda g, c: _rewired_canon(list(g.iterEdges()), c),
                      note="EdgeSwitching, attempts/m swaps per edge, no shuffle preprocessing"),
                 Impl("networkx", "networkx", build=_fresh(_nx()), algo=_nx_rewire,
                      canon=lambda g, c: _rewired_canon(list(g.edges()), c),
                      note="double_edge_swap(nswap=max_tries=attempts)")]
        targets = []
        if g.name == "rmat-20k":
            targets = [Target(("igraph",), 3.0, "null models", "swap attempts/s per worker at least 3x igraph rewire"),
                       Target(("networkx",), 20.0, "null models", "at least 20x networkx double_edge_swap")]
        out.append(_rewire_case(g, 1, targets, peers))
    out.append(_rewire_case(gs["simple_100k"][-1], 8, [Target(("knotwell_rs[1w]",), 1.8, "null models",
                                                              "8 samples: 2 workers at least 1.8x 1 worker")],
                            [], workers=(1,)))
    return out


# configuration model on a power-law degree sequence

def _config_problems(edges, c) -> list[str]:
    return simple_graph_problems(c["n"], edges, degrees=c["degrees"], at_most=True)


def _config_canon_ours(r, c):
    edges, discarded = r
    problems = _config_problems(edges, c)
    if len(edges) + discarded != c["stubs"] // 2:
        problems.append(f"e + discarded = {len(edges) + discarded}, expected {c['stubs'] // 2}")
    return problems, len(edges)


def _config_canon(edges, c):
    e = np.asarray(edges, dtype=np.uint64).reshape(-1, 2)
    return _config_problems(e, c), len(e)


def _ig_config(c, _):
    import igraph as ig

    g = ig.Graph.Degree_Sequence(c["degrees"].tolist(), method="configuration")
    g.simplify()
    return g


def _nx_config(c, _):
    import networkx as nx

    g = nx.Graph(nx.configuration_model(c["degrees"].tolist(), seed=SEED))
    g.remove_edges_from(list(nx.selfloop_edges(g)))
    return g


def _powerlaw_setup(n, ctx):
    ctx["n"] = n
    ctx["degrees"] = G.powerlaw_degrees(n, G.stable_seed(f"powerlaw-{n}"))
    ctx["stubs"] = int(ctx["degrees"].sum())


def _configuration_cases(quick):
    out = []
    for n in [10_000] if quick else [1 << 16, 1_000_000]:
        stubs = int(G.powerlaw_degrees(n, G.stable_seed(f"powerlaw-{n}")).sum())
        targets = ([Target(("igraph",), 1.0, "null models", "faster than igraph Degree_Sequence + simplify")]
                   if n == 1_000_000 else [])
        out.append(Case(name=f"configuration_model/powerlaw-{n}", func="configuration_model_rust", graph=None,
                        setup=partial(_powerlaw_setup, n), params={"n": n, "exponent": 2.5, "stubs": stubs},
                        ours=lambda k, c: k.configuration_model_rust(c["degrees"], SEED),
                        ours_canon=_config_canon_ours, check=Valid(within=0.02),
                        peers=[Impl("igraph", "igraph", algo=_ig_config,
                                    canon=lambda g, c: _config_canon(g.get_edgelist(), c),
                                    note="Degree_Sequence(method='configuration') + simplify()"),
                               Impl("networkx", "networkx", algo=_nx_config,
                                    canon=lambda g, c: _config_canon(list(g.edges()), c),
                                    note="configuration_model + Graph + drop self-loops",
                                    max_m=None if quick else 1 << 20)],
                        targets=targets, size=stubs // 2, rate=("stubs/s", lambda c: c["stubs"])))
    return out


# uniform random graph G(n, m), each peer ending in an edge array

def _ig_gnm(c, _):
    import igraph as ig

    return np.array(ig.Graph.Erdos_Renyi(n=c["n"], m=c["m"]).get_edgelist(), dtype=np.uint64)


def _rx_gnm(c, _):
    import rustworkx as rx

    return np.asarray(rx.undirected_gnm_random_graph(c["n"], c["m"], seed=SEED).edge_list(), dtype=np.uint64)


def _nx_gnm(c, _):
    import networkx as nx

    return np.array(nx.gnm_random_graph(c["n"], c["m"], seed=SEED).edges(), dtype=np.uint64)


def _gnm_canon(e, c):
    return simple_graph_problems(c["n"], e, c["m"]), len(e)


def _gnm_setup(n, m, ctx):
    ctx["n"], ctx["m"] = n, m


def _gnm_cases(quick):
    out = []
    for n, m in [(10_000, 100_000)] if quick else [(1 << 16, 1 << 20), (10**6, 10**7)]:
        targets = ([Target(("igraph",), 1.0, "null models", "faster than igraph Erdos_Renyi"),
                    Target(("rustworkx",), 1.0, "null models", "faster than rustworkx undirected_gnm_random_graph")]
                   if (n, m) == (10**6, 10**7) else [])
        out.append(Case(name=f"erdos_renyi/n{n}-m{m}", func="erdos_renyi_rust", graph=None,
                        setup=partial(_gnm_setup, n, m), params={"n": n, "m": m},
                        ours=lambda k, c: k.erdos_renyi_rust(c["n"], c["m"], SEED),
                        ours_canon=_gnm_canon, check=Valid(within=0.0),
                        peers=[Impl("igraph", "igraph", algo=_ig_gnm, canon=_gnm_canon,
                                    note="Erdos_Renyi(n, m=m), edge list to array"),
                               Impl("rustworkx", "rustworkx", algo=_rx_gnm, canon=_gnm_canon,
                                    note="undirected_gnm_random_graph, edge list to array"),
                               Impl("networkx", "networkx", algo=_nx_gnm, canon=_gnm_canon,
                                    max_m=None if quick else 1 << 20)],
                        targets=targets, size=m, rate=("edges/s", lambda c: c["m"])))
    return out


# -- communities ----------------------------------------------------------------

def _labels_setup(ctx):
    g = ctx["graph"]
    if g.kind == "karate":
        ctx["labels"] = G.karate_factions()
    elif g.kind == "sbm":
        ctx["labels"] = G.planted_blocks(g.n, g.seed)
    else:
        # a fixed random partition into 1,000 communities: the cost of the
        # sum does not depend on how good the partition is
        rng = np.random.default_rng(G.stable_seed(ctx["graph"].name + "/labels"))
        ctx["labels"] = rng.integers(0, 1000, ctx["n"]).astype(np.uint64)


BIG_COMMUNITIES = ("rmat-18", "lfr-100k", "sbm-100k")


def _community_cases(gs, quick):
    out = []
    graphs = gs["karate"] + gs["communities"]
    nx_max = None if quick else KARATE_ONLY

    def nk_partition(c, g):
        nk = _nk_mod()
        part = nk.structures.Partition(c["n"])
        part.setUpperBound(int(c["labels"].max()) + 1 if c["n"] else 0)
        for i, label in enumerate(c["labels"].tolist()):
            part.addToSubset(label, i)
        return g, part

    def nx_with_sets(c):
        g = nx_graph(c["n"], c["edges"])
        k, lab = first_appearance(c["labels"])
        sets = [set() for _ in range(k)]
        for i, label in enumerate(lab.tolist()):
            sets[label].add(i)
        return g, sets

    def nx_modularity(c, gs_):
        import networkx as nx

        g, sets = gs_
        return nx.community.modularity(g, sets)

    for g in graphs:
        big = g.name in BIG_COMMUNITIES
        peers = [
            Impl("numpy (reference)", "numpy",
                 algo=lambda c, _: reference_modularity(c["n"], c["edges"], c["labels"]),
                 note="vectorised bincount formula used for every check"),
            Impl("igraph", "igraph", build=_ig(), algo=lambda c, g: g.modularity(c["labels"].tolist())),
            Impl("networkit", "networkit", build=lambda c: nk_partition(c, nk_graph(c["n"], c["edges"])),
                 algo=lambda c, gp: _nk_mod().community.Modularity().getQuality(gp[1], gp[0]),
                 note="graph and Partition built from the labels"),
            Impl("networkx", "networkx", build=nx_with_sets, algo=nx_modularity, max_m=nx_max),
        ]
        targets = [Target(("igraph",), 1.0, "communities", "modularity faster than igraph")] if big else []
        out.append(_graph_case("modularity_rust", g, setup=_labels_setup,
                               ours=lambda k, c: k.modularity_rust(c["n"], c["edges"], c["labels"]),
                               check=Close(1e-9), peers=peers, targets=targets))

    def ig_louvain(c, g):
        return g.community_multilevel(resolution=1.0).membership

    def nk_plm(c, g):
        algo = _nk_mod().community.PLM(g, refine=False, gamma=1.0)
        algo.run()
        return algo.getPartition().getVector()

    def nx_louvain(c, g):
        import networkx as nx

        return nx.community.louvain_communities(g, resolution=1.0, seed=SEED)

    for g in graphs:
        big = g.name in BIG_COMMUNITIES
        peers = [Impl("igraph", "igraph", build=_ig(), algo=ig_louvain, canon=community_form,
                      note="community_multilevel(resolution=1)"),
                 Impl("networkit[1t]", "networkit", build=_nk(), algo=nk_plm, canon=community_form, threads=1,
                      note="PLM(refine=False, gamma=1)"),
                 Impl("networkx", "networkx", build=_nx(), algo=nx_louvain,
                      canon=lambda r, c: community_form(_labels_from_sets(r, c), c), max_m=nx_max)]
        targets = ([Target(("igraph",), 1.0, "communities", "louvain faster than igraph community_multilevel"),
                    Target(("networkit[1t]",), 1.0, "communities", "louvain faster than NetworKit PLM on 1 thread")]
                   if big else [])
        out.append(_graph_case("louvain_rust", g, setup=_no_setup, params={"seed": SEED},
                               ours=lambda k, c: k.louvain_rust(c["n"], c["edges"], None, 1.0, SEED),
                               ours_canon=lambda r, c: community_form(r[0], c, float(r[1]), int(r[2])),
                               check=Quality(0.01), peers=peers, targets=targets))

    def ig_lpa(c, g):
        return g.community_label_propagation().membership

    def nk_plp(c, g):
        algo = _nk_mod().community.PLP(g)
        algo.run()
        return algo.getPartition().getVector()

    def nx_lpa(c, g):
        import networkx as nx

        return list(nx.community.asyn_lpa_communities(g, seed=SEED))

    for g in graphs:
        big = g.name in BIG_COMMUNITIES
        peers = [Impl("igraph", "igraph", build=_ig(), algo=ig_lpa, canon=community_form),
                 Impl("networkit[1t]", "networkit", build=_nk(), algo=nk_plp, canon=community_form, threads=1),
                 Impl("networkx", "networkx", build=_nx(), algo=nx_lpa,
                      canon=lambda r, c: community_form(_labels_from_sets(r, c), c), max_m=nx_max)]
        targets = ([Target(("igraph",), 1.0, "communities", "label_propagation faster than igraph"),
                    Target(("networkit[1t]",), 1.0, "communities",
                           "label_propagation faster than NetworKit PLP on 1 thread")]
                   if big else [])
        out.append(_graph_case("label_propagation_rust", g, setup=_no_setup, params={"seed": SEED},
                               ours=lambda k, c: k.label_propagation_rust(c["n"], c["edges"], None, SEED),
                               ours_canon=lambda r, c: community_form(r, c),
                               check=Quality(0.15), peers=peers, targets=targets))
    return out
