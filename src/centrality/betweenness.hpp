// Betweenness centrality of every node: Brandes' dependency accumulation
// over all sources, breadth-first without weights, Dijkstra with weights as
// edge lengths, directed or undirected.
//
// Sources are swept in parallel (`parallel::sum_sweep`): each piece of the
// source range owns one accumulator and borrows one search workspace, and the
// piece accumulators are added element by element, left piece first. The
// pieces depend only on n, so results are the same bits for any pool size.
// Time O(n m) unweighted, O(n m log n) weighted; memory O(n + m) for the
// lists, plus per running worker a few n-vectors (and, breadth-first, a
// successor buffer of up to m arcs), plus one n-vector per pending piece.
//
// Graphs of more than a few thousand nodes are searched under a
// breadth-first renumbering (neighbours near each other in memory) whose
// lists keep their entries in the caller's id order, so every count and
// dependency is added in the same order and the values are the same bits.
//
// Undirected unweighted graphs fold degree-one nodes into their neighbour:
// a leaf u whose neighbour p has degree >= 2 sees, from every node other
// than u and p, the dependencies of p, and p carries every path from u. So
// u's search is skipped and p's dependencies count (1 + leaves of p) times,
// plus (reached - 2) for p per leaf. The values are the same sums, grouped
// differently (agreement to float rounding).
//
// Values are those of doubles without exponent bounds, so extreme inputs
// stay finite and exact to rounding: weights whose shortest paths could
// pass the largest double are scaled down by a power of two (or, when that
// would round a tiny weight, lengths are carried as WideFloat); path counts
// past 2^900 are scaled by a power of two per breadth-first level, and a
// source whose counts a double cannot carry that way (weighted: past 2^1000)
// counts them as WideFloat (see brandes.hpp). Only inputs built for it need
// the wide counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell::centrality {

// Checks, in order: edge range, then (with weights) weights length and the
// distance rule. Self-loops are ignored and parallel edges act as one edge
// of their smallest weight. Normalized values are divided by (n-1)(n-2) for
// n >= 3; raw undirected values are halved.
Result<std::vector<double>> betweenness(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                        bool directed, bool normalized);

// The exact sweep cut at its pieces, for sweeps spread over processes or
// machines: rows [first, last) of the sources' fixed division
// (parallel::piece_count(n) pieces), row k the unscaled sum of piece k's
// sources, row-major [last - first, n]. Adding all rows element by element in
// piece order to zeros, left operand first, and scaling as `betweenness`
// does gives its values bit for bit. Same checks as `betweenness`, then the
// piece range. With `use_pool` the rows spread over the worker pool, else
// they run one after another on the calling thread.
Result<std::vector<double>> betweenness_pieces(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                               bool directed, std::uint64_t first, std::uint64_t last, bool use_pool);

// Dependencies of sampled sources, for estimates: `sources` is cut into
// blocks as a sweep over its positions is (parallel::piece_count), and block
// k gives two rows, the sums over its sources (in the given order) of
// delta_s(v) and of delta_s(v)^2, so [last - first, 2, n] row-major. No leaf
// folding: each source counts for itself alone. Unscaled.
Result<std::vector<double>> betweenness_moments(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                                bool directed, std::span<const std::uint64_t> sources,
                                                std::uint64_t first, std::uint64_t last, bool use_pool);

}  // namespace knotwell::centrality
