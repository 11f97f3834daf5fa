// The neighbour lists that betweenness searches walk, in CSR form.
//
// Built from the edge rows in O(n + m) by two stable counting-sort passes
// (arcs bucketed by neighbour, then re-bucketed by owner while walking the
// neighbours in ascending order), so every list comes out sorted by
// neighbour id with repeats adjacent in input row order. Self-loops are
// dropped; each run of parallel arcs collapses to one entry carrying the
// smallest of its weights. Both directions of an undirected edge get the same
// weight, so the lists stay symmetric.
//
// `Id` is the width of the stored node ids: 32 bits whenever n allows it,
// which halves the memory traffic of the searches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/input.hpp"

namespace knotwell::centrality {

template <class Id>
struct NeighbourLists {
    std::uint64_t n = 0;
    std::vector<std::uint64_t> offsets;  // n + 1 entries
    std::vector<Id> targets;
    std::vector<double> weights;  // parallel to `targets`; empty when unweighted

    std::uint64_t begin(Id u) const { return offsets[u]; }
    std::uint64_t end(Id u) const { return offsets[u + 1]; }
    std::uint64_t degree(Id u) const { return offsets[u + 1] - offsets[u]; }
};

// Edges must be range-checked; `weights`, when given, hold one strictly
// positive finite value per edge.
template <class Id>
NeighbourLists<Id> build_neighbour_lists(std::uint64_t n, std::span<const Edge> edges,
                                         std::optional<std::span<const double>> weights, bool directed);

}  // namespace knotwell::centrality
