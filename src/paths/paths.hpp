// Entry points of the path functions: hop distances from one or several
// sources, the mean shortest path length and connected components. Each
// takes the call's edge rows (its own copy, or the caller's array where it
// says so), runs its checks in the order of the module function (edge range
// first, then the sources) and returns its result or the InputError of the
// first failed check.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge_blocks.hpp"
#include "graph/input.hpp"

namespace knotwell::paths {

// n distances from `source`; directed follows edges source -> target only.
// Reads the rows once, in place (graph/edge_blocks.hpp).
Result<std::vector<std::uint64_t>> shortest_paths(std::uint64_t n, const SharedEdges& edges, NodeId source,
                                                  bool directed);

// Row-major [sources.size(), n] matrix, row i from sources[i]. The edge list
// is released once the graph is built, so peak memory is the matrix plus the
// graph. Searches run on the worker pool.
Result<std::vector<std::uint64_t>> shortest_paths_multi(OwnedRows&& edges, std::span<const NodeId> sources,
                                                        bool directed);

// Mean hop distance over the connected unordered pairs of distinct nodes of
// the undirected graph; NaN when there are none. Runs on the worker pool;
// reads the rows once, in place, before the pool starts.
Result<double> mean_shortest_path(std::uint64_t n, const SharedEdges& edges);

struct Components {
    std::uint64_t count = 0;
    std::vector<std::uint64_t> labels;  // numbered by smallest member id
};
// Reads the rows once, in place (graph/edge_blocks.hpp) and with no poll,
// into narrowed pairs of its own; the union-find pass that polls runs on
// those.
Result<Components> connected_components(std::uint64_t n, const SharedEdges& edges);

}  // namespace knotwell::paths
