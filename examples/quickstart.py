"""Every knotwell_rs function on Zachary's karate club (34 members, 78 friendships).

The graph comes from knotwell.datasets, which ships with the package, so this
runs from an installed wheel as well as from the source tree.
"""

import numpy as np

import knotwell
import knotwell_rs as kw

graph = knotwell.datasets.karate_club()
n, edges = graph.n, graph.edges
weights = np.ones(len(edges))
print(f"karate club: {n} nodes, {len(edges)} edges\n")


def show(label, value):
    print(f"{label:<28} {value}")


np.set_printoptions(precision=3, suppress=True, linewidth=220)
show("degree_rust", kw.degree_rust(n, edges, False))
show("in_degree_rust", kw.in_degree_rust(n, edges))
show("out_degree_rust", kw.out_degree_rust(n, edges))
show("strength_rust", kw.strength_rust(n, edges, weights, False))
show("triangles_per_node_rust", kw.triangles_per_node_rust(n, edges))
show("clustering_local_rust", kw.clustering_local_rust(n, edges))
show("clustering_avg_rust", kw.clustering_avg_rust(n, edges))
show("core_numbers_rust", kw.core_numbers_rust(n, edges))
print()
show("mean_shortest_path_rust", kw.mean_shortest_path_rust(n, edges))
show("shortest_paths_rust (0)", kw.shortest_paths_rust(n, edges, 0, False))
sources = np.array([0, 33], dtype=np.uint64)
show("shortest_paths_multi_rust", kw.shortest_paths_multi_rust(n, edges, sources, False).shape)
count, components = kw.connected_components_rust(n, edges)
show("connected_components_rust", f"{count} component(s)")
show("betweenness_rust", kw.betweenness_rust(n, edges))
print()
labels, q, k, levels = kw.louvain_rust(n, edges, seed=1)
show("louvain_rust", f"{k} communities, modularity {q:.4f}, {levels} level(s)")
show("  labels", labels)
lpa = kw.label_propagation_rust(n, edges, seed=0)
show("label_propagation_rust", lpa)
show("modularity_rust (LPA)", kw.modularity_rust(n, edges, lpa))
print()
rewired, swaps, attempts = kw.rewire_degree_preserving_rust(n, edges, 4, 200, 2000, 7)
same = all((kw.degree_rust(n, sample, False) == kw.degree_rust(n, edges, False)).all() for sample in rewired)
show("rewire_degree_preserving_rust", f"{rewired.shape}, swaps {swaps}, degrees kept: {same}")
degrees = kw.degree_rust(n, edges, False)
cm_edges, discarded = kw.configuration_model_rust(degrees, 7)
show("configuration_model_rust", f"{len(cm_edges)} edges, {discarded} pairings discarded")
show("erdos_renyi_rust", f"{kw.erdos_renyi_rust(n, len(edges), 7).shape} edges")
