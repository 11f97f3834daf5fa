// Degree and strength sequences, counted straight off the edge rows.
//
// At most two passes over the rows, n counters: O(n + m). The first checks
// every row (and weight) in contract order before any counter is allocated,
// so a bad edge is reported even when n is too large for the counters; the
// second counts. Degrees skip the first pass when the counters are no larger
// than the rows. The rows are read from the caller's memory in blocks
// (graph/edge_blocks.hpp) rather than copied whole: a copy of the rows would
// cost more than the count. The counting pass checks each block before it
// counts it, and fails the same way should the rows have changed since the
// first.
//
// Every row counts, repeats included; in the undirected case a self-loop
// adds 1 to the degree (its weight once to the strength), and the directed
// case counts the source end only. Float sums are plain additions in row
// order starting at +0.0.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/edge_blocks.hpp"
#include "graph/input.hpp"

namespace knotwell {

enum class DegreeKind { Out, In, Undirected };

// Checks the edge range, then counts.
Result<std::vector<std::uint64_t>> degree_sequence(std::uint64_t n, const SharedEdges& edges, DegreeKind kind);

// Checks the edge range, the weights length and the weight values
// (non-negative rule), in that order, then sums.
Result<std::vector<double>> strength_sequence(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights,
                                              bool directed);

}  // namespace knotwell
