// Per-source sums of hop distances, for sweeps cut into ranges that run on
// other processes or machines: closeness and harmonic centrality from one
// search per source, and the pair sums of the mean shortest path from the
// bit-parallel batches of mean.cpp. Every value is computed by one source's
// search (or one batch's) alone, so the split of the range never shows in
// the results.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/input.hpp"
#include "graph/rows.hpp"
#include "paths/pair_sums.hpp"

namespace knotwell::paths {

// Entry i describes source first + i: the sum of its distances to the nodes
// it reaches, how many nodes it reaches (itself included), and the sum of
// 1 / distance over them (itself left out), added by level, nearest first.
// Directed graphs count distances *to* the source (incoming paths), as
// closeness and harmonic centrality read them.
struct SourceSums {
    std::vector<std::uint64_t> total;
    std::vector<std::uint64_t> reached;
    std::vector<double> harmonic;
};

// Checks the edge range, then first <= last <= n. With `use_pool` the
// sources spread over the worker pool, else they run in order on the
// calling thread.
Result<SourceSums> source_distance_sums(OwnedRows&& edges, std::uint64_t first, std::uint64_t last, bool directed,
                                        bool use_pool);

// Number of batches the mean shortest path's sweep cuts [0, n) into.
std::uint64_t mean_path_batches(std::uint64_t n);

// Pair sums of the batches [first, last) of the mean shortest path's sweep
// (undirected). Adding them over any split of [0, mean_path_batches(n)) gives
// the totals whose quotient mean_shortest_path returns. Checks the edge
// range, then the batch range.
Result<PairSums> mean_path_sums(OwnedRows&& edges, std::uint64_t first, std::uint64_t last, bool use_pool);

}  // namespace knotwell::paths
