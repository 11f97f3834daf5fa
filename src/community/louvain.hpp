// Louvain community detection (Blondel, Guillaume, Lambiotte & Lefebvre
// 2008): local moving of single nodes to the neighbouring community of
// largest modularity gain, then coarsening of each community into one node,
// level by level until a local-moving phase merges nothing.
//
// Per level, dense tables indexed by community id (`weight_to`,
// `community_strength`); only the ids touched by the previous node are reset,
// so moving a node costs O(its list) and a pass O(n + m). Coarsening is one
// pass over the members of each community with a dense accumulator, plus a
// sort of each community's distinct neighbours. The visiting order
// is shuffled once per level from one SplitMix64 stream that continues
// across levels; without a seed nodes are visited in id order. Ties keep
// the current community, then the first touched. At most 1000 passes per
// level. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell {

struct LouvainResult {
    std::vector<std::uint64_t> labels;  // numbered by first appearance
    double modularity = 0.0;
    std::uint64_t n_communities = 0;
    std::uint64_t n_levels = 0;
};

// Checks the edge range, weights, resolution and max_levels, in that order,
// then runs the method.
Result<LouvainResult> louvain(OwnedRows&& edges, const std::optional<std::vector<double>>& weights, double resolution,
                              std::optional<std::uint64_t> seed, std::uint64_t max_levels);

}  // namespace knotwell
