// Degree and strength sequences, counted straight off the edge rows.
//
// One pass over the rows, n counters: O(n + m). The rows are read from the
// caller's memory (graph/edge_blocks.hpp) rather than copied whole, since a
// copy of the rows would cost more than the count: each row is read once,
// checked and counted, an out-of-range id at a spare counter. Only an input
// with a bad row takes a second, careful pass that copies each block before
// checking and counting it, to name the first bad row. When the counters
// would be larger than the rows (n > 2m), a range-only pass runs first, so a
// bad edge is reported even when n is too large for the counters. Strength
// keeps a copy of each block as it sums, and checks the edge range before the
// weights: a block rejected for a weight sends the call through the checks in
// that order, over all rows.
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
