"""Fixed cost of a call: every function of knotwell_rs and its fastest peers
on Zachary's karate club (34 nodes, 78 rows), where argument binding, array
conversion, the lock release and the result arrays weigh as much as the
algorithm.

Each call runs in a tight timeit loop (inputs built once, outside the loop);
the figure is the minimum per-call time over several repeats. A peer is timed
end to end, as the main benchmark times it (bench/cases.py): its graph built
from the same uint64 edge array inside the loop (bench/peers.py), and a
generator's result brought to an edge array; `--algo-only` times the peers on
prebuilt graphs instead. The ratio is the fastest peer's time over ours (above
1: ours is faster). Peers run only where installed. With ``--peers-only`` /
``--ours-only`` two builds can be measured interleaved from one peer run.

    python -m bench.tiny [--repeat 7] [--algo-only] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import timeit
from typing import Any, Callable

import numpy as np

import knotwell_rs as kw

from .graphs import karate, karate_factions
from .peers import available, csr, ig_graph, nk_graph, nx_graph, rx_graph

Call = Callable[[], object]
# A peer as a graph build (None: it reads the arrays themselves) and the
# algorithm run on what the build returns.
Peer = tuple[Callable[[], Any] | None, Callable[[Any], object]]


def inputs() -> dict:
    e = karate()
    n = int(e.max()) + 1
    return {"n": n, "e": e, "w": np.linspace(0.5, 2.0, len(e)), "src": np.arange(4, dtype=np.uint64),
            "deg": np.bincount(e.ravel().astype(np.int64), minlength=n).astype(np.uint64),
            "labels": karate_factions().astype(np.uint64)}


def ours(x: dict) -> dict[str, Call]:
    n, e, w = x["n"], x["e"], x["w"]
    calls = {
        "degree_rust": lambda: kw.degree_rust(n, e, False),
        "in_degree_rust": lambda: kw.in_degree_rust(n, e),
        "out_degree_rust": lambda: kw.out_degree_rust(n, e),
        "strength_rust": lambda: kw.strength_rust(n, e, w, False),
        "triangles_per_node_rust": lambda: kw.triangles_per_node_rust(n, e),
        "clustering_avg_rust": lambda: kw.clustering_avg_rust(n, e),
        "clustering_local_rust": lambda: kw.clustering_local_rust(n, e),
        "mean_shortest_path_rust": lambda: kw.mean_shortest_path_rust(n, e),
        "shortest_paths_rust": lambda: kw.shortest_paths_rust(n, e, 0, False),
        "shortest_paths_multi_rust": lambda: kw.shortest_paths_multi_rust(n, e, x["src"], False),
        "connected_components_rust": lambda: kw.connected_components_rust(n, e),
        "betweenness_rust": lambda: kw.betweenness_rust(n, e),
        "core_numbers_rust": lambda: kw.core_numbers_rust(n, e),
        "rewire_degree_preserving_rust": lambda: kw.rewire_degree_preserving_rust(n, e, 1, 78, 780, 1),
        "configuration_model_rust": lambda: kw.configuration_model_rust(x["deg"], 1),
        "erdos_renyi_rust": lambda: kw.erdos_renyi_rust(10, 20, 1),
        "louvain_rust": lambda: kw.louvain_rust(n, e, seed=1),
        "label_propagation_rust": lambda: kw.label_propagation_rust(n, e),
        "modularity_rust": lambda: kw.modularity_rust(n, e, x["labels"]),
    }
    missing = set(kw.__all__) - set(calls)
    assert not missing, f"no tiny call for {sorted(missing)}"
    return calls


def _numpy_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    n, e, w = x["n"], x["e"], x["w"]
    out["degree_rust"]["numpy bincount"] = (None, lambda _: np.bincount(e.ravel(), minlength=n))
    out["in_degree_rust"]["numpy bincount"] = (None, lambda _: np.bincount(e[:, 1], minlength=n))
    out["out_degree_rust"]["numpy bincount"] = (None, lambda _: np.bincount(e[:, 0], minlength=n))
    out["strength_rust"]["numpy bincount"] = (
        None, lambda _: np.bincount(e[:, 0], w, n) + np.bincount(e[:, 1], w, n))


def _scipy_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    from scipy.sparse import csgraph

    n, e, src = x["n"], x["e"], x["src"].astype(np.int64)
    sym = lambda: csr(n, e, symmetric=True)  # noqa: E731
    one_way = lambda: csr(n, e)  # noqa: E731
    out["degree_rust"]["scipy indptr"] = (sym, lambda a: np.diff(a.indptr))
    out["in_degree_rust"]["scipy indptr"] = (lambda: csr(n, e, transpose=True), lambda a: np.diff(a.indptr))
    out["out_degree_rust"]["scipy indptr"] = (one_way, lambda a: np.diff(a.indptr))
    out["shortest_paths_rust"]["scipy shortest_path"] = (
        one_way, lambda a: csgraph.shortest_path(a, directed=False, unweighted=True, indices=0))
    out["shortest_paths_multi_rust"]["scipy shortest_path"] = (
        one_way, lambda a: csgraph.shortest_path(a, directed=False, unweighted=True, indices=src))
    out["connected_components_rust"]["scipy connected_components"] = (
        one_way, lambda a: csgraph.connected_components(a, directed=False))


def _igraph_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    import igraph as ig

    n, e, w = x["n"], x["e"], x["w"]
    g = lambda: ig_graph(n, e)  # noqa: E731
    gd = lambda: ig_graph(n, e, True)  # noqa: E731
    out["degree_rust"]["igraph degree"] = (g, lambda g: g.degree())
    out["in_degree_rust"]["igraph indegree"] = (gd, lambda g: g.indegree())
    out["out_degree_rust"]["igraph outdegree"] = (gd, lambda g: g.outdegree())
    out["strength_rust"]["igraph strength"] = (g, lambda g: g.strength(weights=w))
    out["clustering_avg_rust"]["igraph transitivity_avglocal"] = (
        g, lambda g: g.transitivity_avglocal_undirected(mode="zero"))
    out["triangles_per_node_rust"]["igraph transitivity_local"] = (
        g, lambda g: g.transitivity_local_undirected(mode="zero"))
    out["clustering_local_rust"]["igraph transitivity_local"] = out["triangles_per_node_rust"][
        "igraph transitivity_local"]
    out["mean_shortest_path_rust"]["igraph average_path_length"] = (g, lambda g: g.average_path_length(unconn=True))
    out["shortest_paths_rust"]["igraph distances"] = (g, lambda g: g.distances(source=0)[0])
    out["shortest_paths_multi_rust"]["igraph distances"] = (g, lambda g: g.distances(source=[0, 1, 2, 3]))
    out["connected_components_rust"]["igraph connected_components"] = (g, lambda g: g.connected_components())
    out["betweenness_rust"]["igraph betweenness"] = (g, lambda g: g.betweenness())
    out["core_numbers_rust"]["igraph coreness"] = (g, lambda g: g.coreness())
    # rewire changes its graph: built anew in every call, also with --algo-only
    out["rewire_degree_preserving_rust"]["igraph rewire"] = (
        None, lambda _: g().rewire(n=78, allowed_edge_types="simple"))
    deg = x["deg"].tolist()
    out["configuration_model_rust"]["igraph Degree_Sequence"] = (
        None, lambda _: ig.Graph.Degree_Sequence(deg, method="configuration").simplify())
    out["erdos_renyi_rust"]["igraph Erdos_Renyi"] = (
        None, lambda _: np.array(ig.Graph.Erdos_Renyi(10, m=20).get_edgelist(), dtype=np.uint64))
    out["louvain_rust"]["igraph community_multilevel"] = (g, lambda g: g.community_multilevel())
    out["label_propagation_rust"]["igraph community_label_propagation"] = (
        g, lambda g: g.community_label_propagation())
    membership = x["labels"].tolist()
    out["modularity_rust"]["igraph modularity"] = (g, lambda g: g.modularity(membership))


def _rustworkx_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    import rustworkx as rx

    n, e = x["n"], x["e"]
    r = lambda: rx_graph(n, e)  # noqa: E731
    out["mean_shortest_path_rust"]["rustworkx unweighted_average_shortest_path_length"] = (
        r, lambda r: rx.unweighted_average_shortest_path_length(r, disconnected=True))
    out["shortest_paths_rust"]["rustworkx distance_matrix"] = (r, lambda r: rx.distance_matrix(r))
    out["connected_components_rust"]["rustworkx connected_components"] = (r, lambda r: rx.connected_components(r))
    out["betweenness_rust"]["rustworkx betweenness_centrality"] = (r, lambda r: rx.betweenness_centrality(r))
    out["core_numbers_rust"]["rustworkx core_number"] = (r, lambda r: rx.core_number(r))
    out["erdos_renyi_rust"]["rustworkx undirected_gnm_random_graph"] = (
        None, lambda _: np.asarray(rx.undirected_gnm_random_graph(10, 20, seed=1).edge_list(), dtype=np.uint64))


def _networkit_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    import networkit as nk

    nk.engineering.setNumberOfThreads(1)
    n, e = x["n"], x["e"]
    kg = lambda: nk_graph(n, e)  # noqa: E731

    def lcc(g):
        algo = nk.centrality.LocalClusteringCoefficient(g, turbo=True)
        algo.run()
        return algo.scores()

    def scores(algo):
        algo.run()
        return algo.scores()

    out["degree_rust"]["networkit DegreeCentrality"] = (kg, lambda g: scores(nk.centrality.DegreeCentrality(g)))
    out["triangles_per_node_rust"]["networkit LocalClusteringCoefficient"] = (kg, lcc)
    out["clustering_local_rust"]["networkit LocalClusteringCoefficient"] = (kg, lcc)
    out["core_numbers_rust"]["networkit CoreDecomposition"] = (kg, lambda g: scores(nk.centrality.CoreDecomposition(g)))
    out["betweenness_rust"]["networkit Betweenness"] = (kg, lambda g: scores(nk.centrality.Betweenness(g, True)))
    out["label_propagation_rust"]["networkit PLP"] = (kg, lambda g: nk.community.PLP(g).run())


def _networkx_peers(x: dict, out: dict[str, dict[str, Peer]]) -> None:
    import networkx as nx

    n, e = x["n"], x["e"]
    gx = lambda: nx_graph(n, e)  # noqa: E731
    out["triangles_per_node_rust"]["networkx triangles"] = (gx, nx.triangles)
    out["clustering_avg_rust"]["networkx average_clustering"] = (gx, nx.average_clustering)


def peers(x: dict) -> dict[str, dict[str, Peer]]:
    """Function -> {peer call label: (build, algorithm)}, for the installed peers."""
    out: dict[str, dict[str, Peer]] = {f: {} for f in kw.__all__}
    for library, add in (("numpy", _numpy_peers), ("scipy", _scipy_peers), ("igraph", _igraph_peers),
                         ("rustworkx", _rustworkx_peers), ("networkit", _networkit_peers),
                         ("networkx", _networkx_peers)):
        if available(library):
            add(x, out)
    return out


def peer_call(peer: Peer, end_to_end: bool) -> Call:
    build, algo = peer
    if build is None:
        return lambda: algo(None)
    if end_to_end:
        return lambda: algo(build())
    graph = build()
    return lambda: algo(graph)


def best(call: Call, repeat: int) -> float:
    """Minimum seconds per call over `repeat` repeats of a tight loop."""
    t = timeit.Timer(call)
    number = max(1, int(0.02 / max(t.timeit(1), 1e-7)))
    return min(t.repeat(repeat=repeat, number=number)) / number


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--algo-only", action="store_true", help="time the peers on prebuilt graphs")
    ap.add_argument("--json", help="write the per-call seconds here")
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--ours-only", action="store_true")
    which.add_argument("--peers-only", action="store_true")
    args = ap.parse_args(argv)
    x = inputs()
    mine = ours(x)
    others = {} if args.ours_only else peers(x)
    result: dict[str, dict[str, float]] = {}
    for f in kw.__all__:
        row = {}
        if not args.peers_only:
            row["knotwell_rs"] = best(mine[f], args.repeat)
        if not args.ours_only:
            row.update({label: best(peer_call(p, not args.algo_only), args.repeat)
                        for label, p in others[f].items()})
        result[f] = row
        ours_s = row.get("knotwell_rs")
        peer = min(((s, label) for label, s in row.items() if label != "knotwell_rs"), default=None)
        line = f"{f:32}"
        if ours_s is not None:
            line += f" ours {ours_s * 1e6:9.2f} us"
        if peer is not None:
            line += f"  fastest peer {peer[0] * 1e6:9.2f} us ({peer[1]})"
            if ours_s is not None:
                line += f"  peer/ours {peer[0] / ours_s:.2f}"
        print(line, flush=True)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(result, fh, indent=1)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
