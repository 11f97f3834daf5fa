// Core numbers: for every node, the largest k such that the node lies in a
// subgraph where every node has at least k neighbours, in the undirected
// simple graph behind an edge list (self-loops, repeats and reversed rows
// change nothing).
//
// Algorithm: bucket peeling in the array form of Batagelj & Zaversnik (2003),
// "An O(m) algorithm for cores decomposition of networks". Nodes sit in one
// array sorted by current degree, with the start of each degree's block kept
// in `bin`; removing the node of least degree and lowering a neighbour's
// degree by one are O(1) swaps at block boundaries. The result is unique, so
// the order in which ties are peeled cannot be seen. O(n + m) time, four
// arrays of n besides the graph (a `Csr` without self-loops or repeats).
// Runs on the calling thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell {

// Range check (which may fail), then the undirected graph, then the peel.
Result<std::vector<std::uint64_t>> core_numbers(OwnedRows&& edges);

}  // namespace knotwell
