// Docstrings of the module's functions. The first line is the text signature
// the interpreter publishes as __text_signature__.
#pragma once

namespace knotwell::docs {

inline constexpr const char* kDegree = "degree_rust(n, edges, directed)\n--\n\nCompute degree sequence";
inline constexpr const char* kInDegree = "in_degree_rust(n, edges)\n--\n\nCompute in-degree sequence";
inline constexpr const char* kOutDegree = "out_degree_rust(n, edges)\n--\n\nCompute out-degree sequence";
inline constexpr const char* kStrength =
    "strength_rust(n, edges, weights, directed)\n--\n\nCompute strength sequence (weighted degree)";
inline constexpr const char* kTriangles = "triangles_per_node_rust(n, edges)\n--\n\nCount triangles per node";
inline constexpr const char* kClusteringAvg =
    "clustering_avg_rust(n, edges)\n--\n\nCompute average clustering coefficient";
inline constexpr const char* kClusteringLocal =
    "clustering_local_rust(n, edges)\n--\n\nCompute local clustering coefficients";
inline constexpr const char* kMeanShortestPath =
    "mean_shortest_path_rust(n, edges)\n--\n\nCompute mean shortest path length";
inline constexpr const char* kShortestPaths =
    "shortest_paths_rust(n, edges, source, directed)\n--\n\nCompute shortest paths from source";
inline constexpr const char* kShortestPathsMulti =
    "shortest_paths_multi_rust(n, edges, sources, directed)\n--\n\n"
    "Compute shortest paths from several sources at once\n\n"
    "Builds the adjacency list once and sweeps the sources in parallel, so this\n"
    "costs far less than one `shortest_paths_rust` call per source. Row `i` holds\n"
    "the distances from `sources[i]`.";
inline constexpr const char* kConnectedComponents =
    "connected_components_rust(n, edges)\n--\n\nCompute connected components";
inline constexpr const char* kBetweenness =
    "betweenness_rust(n, edges, weights=None, directed=False, normalized=True)\n--\n\n"
    "Compute betweenness centrality (Brandes)";
inline constexpr const char* kCoreNumbers = "core_numbers_rust(n, edges)\n--\n\nCompute k-core numbers";
inline constexpr const char* kRewire =
    "rewire_degree_preserving_rust(n, edges, n_samples, target_swaps, max_attempts, seed)\n--\n\n"
    "Generate degree-preserving null models by double edge swap\n\n"
    "Returns (edges, swaps, attempts): an [n_samples, n_edges, 2] array of\n"
    "rewired edge lists, plus what each sample actually achieved. A sample whose\n"
    "swap count falls short of `target_swaps` is too constrained to randomize \u2014\n"
    "the caller decides whether that is usable, but it is never hidden.";
inline constexpr const char* kConfigurationModel =
    "configuration_model_rust(degrees, seed)\n--\n\n"
    "Sample a simple graph with the given degree sequence\n\n"
    "Returns (edges, discarded_pairings). Pairings that would self-loop or\n"
    "repeat an edge are dropped, so the realized degrees can fall short of the\n"
    "requested ones by twice the discarded count.";
inline constexpr const char* kErdosRenyi =
    "erdos_renyi_rust(n, m, seed)\n--\n\nSample a uniformly random simple graph with n nodes and m edges";
inline constexpr const char* kLouvain =
    "louvain_rust(n, edges, weights=None, resolution=1.0, seed=None, max_levels=20)\n--\n\n"
    "Detect communities with the Louvain method\n\n"
    "Returns (labels, modularity, n_communities, n_levels).";
inline constexpr const char* kLabelPropagation =
    "label_propagation_rust(n, edges, weights=None, seed=0, max_iter=100)\n--\n\n"
    "Detect communities by asynchronous label propagation";
inline constexpr const char* kModularity =
    "modularity_rust(n, edges, labels, weights=None, resolution=1.0)\n--\n\nCompute the modularity of a partition";

}  // namespace knotwell::docs
