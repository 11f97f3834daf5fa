// Modularity of a partition of an undirected weighted graph, with a
// resolution factor gamma:
//   Q = sum_c [ L_c / m - gamma (d_c / 2m)^2 ]
// (Newman & Girvan 2004; Reichardt & Bornholdt 2006 for gamma), L_c the
// weight inside community c (self-loops once), d_c its summed strength.
//
// One pass over the nodes and their lists into two dense accumulators per
// community, then one ascending pass over the communities: O(n + m), no
// hashing. With whole weights of bounded total (unweighted included) every
// partial sum is exact, so `modularity` skips the lists and reads the rows
// once in any order, to the same result. Community ids are arbitrary 64-bit values; ids spread far beyond
// n are first mapped to a compact range that keeps their ascending order
// (O(n log n)), which changes nothing since an id no node carries adds an
// exact zero. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "community/weighted_graph.hpp"
#include "graph/rows.hpp"

namespace knotwell {

// `labels` holds one community id per node of `graph`.
template <class Id>
double partition_modularity(const WeightedGraph<Id>& graph, std::span<const std::uint64_t> labels, double resolution);

// The modularity from each community's internal weight (self-loops once)
// and total strength, indexed by community: the last step of
// `partition_modularity`, the terms summed in ascending community order.
double modularity_from_sums(std::span<const double> internal, std::span<const double> total, double m,
                            double resolution);

// The checked entry: edge range, weights, resolution, labels length, then
// the modularity of `labels` on the graph built from the rows.
Result<double> modularity(OwnedRows&& edges, std::span<const std::uint64_t> labels,
                          const std::optional<std::vector<double>>& weights, double resolution);

// Edge range, weight length and values (non-negative rule); shared by the
// community functions.
Check check_weighted_edges(const OwnedRows& edges, const std::optional<std::vector<double>>& weights);

inline constexpr const char* kResolutionRequirement = "must be finite and strictly positive";

}  // namespace knotwell
