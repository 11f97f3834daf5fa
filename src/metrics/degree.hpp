// Degree and strength sequences, counted straight off the edge rows.
//
// One pass over the rows, n counters: O(n + m). The rows are read from the
// caller's memory (graph/edge_blocks.hpp) rather than copied whole, since a
// copy of the rows would cost more than the count: each row is read exactly
// once, a block at a time into a small buffer, then checked and counted from
// that copy, an out-of-range id at a spare counter. The first bad row ends
// the pass and is named from the copy. When the counters would be larger
// than the rows (n > 2m), the rows are copied whole as they are checked and
// counted from the copy, so a bad edge is reported even when n is too large
// for the counters. Strength reads each weight at most once beside its row
// and checks the edge range before the weights: after the first bad weight
// it only checks the remaining rows, since a bad edge there outranks it.
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
