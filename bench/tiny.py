"""Fixed cost of a call: every function of knotwell_rs and its fastest peers
on Zachary's karate club (34 nodes, 78 rows), where argument binding, array
conversion, the lock release and the result arrays weigh as much as the
algorithm.

Each call runs in a tight timeit loop (inputs built once, outside the loop;
peers' graph objects too, so a peer is timed on its algorithm alone); the
figure is the minimum per-call time over several repeats. Peers run only
where installed. With ``--peers-only`` / ``--ours-only`` two builds can be
measured interleaved from one peer run.

    python -m bench.tiny [--repeat 7] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import timeit
from typing import Callable

import numpy as np

import knotwell_rs as kw

from .graphs import karate, karate_factions

# A call made `number` times per repeat, sized so one repeat takes ~20 ms.
Call = Callable[[], object]


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


def peers(x: dict) -> dict[str, dict[str, Call]]:
    """Function -> {peer call label: call}, for the peers that are installed."""
    n, e, w = x["n"], x["e"], x["w"]
    flat = e.ravel().astype(np.int64)
    w2 = np.repeat(w, 2)
    out: dict[str, dict[str, Call]] = {f: {} for f in kw.__all__}
    out["degree_rust"]["numpy bincount"] = lambda: np.bincount(flat, minlength=n)
    out["in_degree_rust"]["numpy bincount"] = lambda: np.bincount(e[:, 1].astype(np.int64), minlength=n)
    out["out_degree_rust"]["numpy bincount"] = lambda: np.bincount(e[:, 0].astype(np.int64), minlength=n)
    out["strength_rust"]["numpy bincount"] = lambda: np.bincount(flat, weights=w2, minlength=n)
    try:
        import scipy.sparse as sp
        from scipy.sparse import csgraph

        a = sp.csr_array((np.ones(len(e)), (e[:, 0].astype(np.int64), e[:, 1].astype(np.int64))), shape=(n, n))
        a = (a + a.T).tocsr()
        out["shortest_paths_rust"]["scipy shortest_path"] = (
            lambda: csgraph.shortest_path(a, directed=False, unweighted=True, indices=0))
        out["shortest_paths_multi_rust"]["scipy shortest_path"] = (
            lambda: csgraph.shortest_path(a, directed=False, unweighted=True, indices=x["src"].astype(np.int64)))
        out["connected_components_rust"]["scipy connected_components"] = (
            lambda: csgraph.connected_components(a, directed=False))
    except ImportError:
        pass
    try:
        import igraph as ig

        g = ig.Graph(n=n, edges=e.tolist())
        gd = ig.Graph(n=n, edges=e.tolist(), directed=True)
        out["degree_rust"]["igraph degree"] = g.degree
        out["in_degree_rust"]["igraph indegree"] = gd.indegree
        out["out_degree_rust"]["igraph outdegree"] = gd.outdegree
        out["strength_rust"]["igraph strength"] = lambda: g.strength(weights=w)
        out["clustering_avg_rust"]["igraph transitivity_avglocal"] = (
            lambda: g.transitivity_avglocal_undirected(mode="zero"))
        out["clustering_local_rust"]["igraph transitivity_local"] = (
            lambda: g.transitivity_local_undirected(mode="zero"))
        out["mean_shortest_path_rust"]["igraph average_path_length"] = lambda: g.average_path_length(unconn=True)
        out["shortest_paths_rust"]["igraph distances"] = lambda: g.distances(source=0)
        out["shortest_paths_multi_rust"]["igraph distances"] = lambda: g.distances(source=[0, 1, 2, 3])
        out["connected_components_rust"]["igraph connected_components"] = g.connected_components
        out["betweenness_rust"]["igraph betweenness"] = g.betweenness
        out["core_numbers_rust"]["igraph coreness"] = g.coreness
        out["rewire_degree_preserving_rust"]["igraph rewire"] = lambda: g.copy().rewire(n=78, allowed_edge_types="simple")
        deg = x["deg"].tolist()
        out["configuration_model_rust"]["igraph Degree_Sequence"] = (
            lambda: ig.Graph.Degree_Sequence(deg, method="configuration").simplify())
        out["erdos_renyi_rust"]["igraph Erdos_Renyi"] = lambda: ig.Graph.Erdos_Renyi(10, m=20)
        out["louvain_rust"]["igraph community_multilevel"] = g.community_multilevel
        out["label_propagation_rust"]["igraph community_label_propagation"] = g.community_label_propagation
        membership = x["labels"].tolist()
        out["modularity_rust"]["igraph modularity"] = lambda: g.modularity(membership)
    except ImportError:
        pass
    try:
        import rustworkx as rx

        r = rx.PyGraph()
        r.add_nodes_from(range(n))
        r.add_edges_from_no_data([tuple(p) for p in e.tolist()])
        out["mean_shortest_path_rust"]["rustworkx unweighted_average_shortest_path_length"] = (
            lambda: rx.unweighted_average_shortest_path_length(r, disconnected=True))
        out["shortest_paths_rust"]["rustworkx distance_matrix"] = lambda: rx.distance_matrix(r)
        out["connected_components_rust"]["rustworkx connected_components"] = lambda: rx.connected_components(r)
        out["betweenness_rust"]["rustworkx betweenness_centrality"] = lambda: rx.betweenness_centrality(r)
        out["core_numbers_rust"]["rustworkx core_number"] = lambda: rx.core_number(r)
        out["erdos_renyi_rust"]["rustworkx undirected_gnm_random_graph"] = (
            lambda: rx.undirected_gnm_random_graph(10, 20, seed=1))
    except ImportError:
        pass
    try:
        import networkit as nk

        nk.engineering.setNumberOfThreads(1)
        kg = nk.Graph(n)
        for u, v in e.tolist():
            kg.addEdge(u, v)
        kg.indexEdges()
        out["triangles_per_node_rust"]["networkit LocalClusteringCoefficient"] = (
            lambda: nk.centrality.LocalClusteringCoefficient(kg, turbo=True).run())
        out["clustering_local_rust"]["networkit LocalClusteringCoefficient"] = (
            lambda: nk.centrality.LocalClusteringCoefficient(kg, turbo=True).run())
        out["core_numbers_rust"]["networkit CoreDecomposition"] = lambda: nk.centrality.CoreDecomposition(kg).run()
        out["betweenness_rust"]["networkit Betweenness"] = lambda: nk.centrality.Betweenness(kg, True).run()
        out["label_propagation_rust"]["networkit PLP"] = lambda: nk.community.PLP(kg).run()
    except ImportError:
        pass
    try:
        import networkx as nx

        gx = nx.Graph()
        gx.add_nodes_from(range(n))
        gx.add_edges_from(e.tolist())
        out["triangles_per_node_rust"]["networkx triangles"] = lambda: nx.triangles(gx)
        out["clustering_avg_rust"]["networkx average_clustering"] = lambda: nx.average_clustering(gx)
    except ImportError:
        pass
    return out


def best(call: Call, repeat: int) -> float:
    """Minimum seconds per call over `repeat` repeats of a tight loop."""
    t = timeit.Timer(call)
    number = max(1, int(0.02 / max(t.timeit(1), 1e-7)))
    return min(t.repeat(repeat=repeat, number=number)) / number


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--json", help="write the per-call seconds here")
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--ours-only", action="store_true")
    which.add_argument("--peers-only", action="store_true")
    args = ap.parse_args(argv)
    x = inputs()
    mine = ours(x)
    others = peers(x)
    result: dict[str, dict[str, float]] = {}
    for f in kw.__all__:
        row = {}
        if not args.peers_only:
            row["knotwell_rs"] = best(mine[f], args.repeat)
        if not args.ours_only:
            row.update({label: best(c, args.repeat) for label, c in others[f].items()})
        result[f] = row
        ours_s = row.get("knotwell_rs")
        peer = min(((s, label) for label, s in row.items() if label != "knotwell_rs"), default=None)
        line = f"{f:32}"
        if ours_s is not None:
            line += f" ours {ours_s * 1e6:9.2f} us"
        if peer is not None:
            line += f"  fastest peer {peer[0] * 1e6:9.2f} us ({peer[1]})"
            if ours_s is not None:
                line += f"  ratio {ours_s / peer[0]:.2f}"
        print(line, flush=True)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(result, fh, indent=1)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
