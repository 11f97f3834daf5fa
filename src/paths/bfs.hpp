// Breadth-first hop distances from one source.
//
// `bfs_distances` is the plain queue search over an `Adjacency`: neighbours in
// ascending id order, O(n + m). `search_distances` gives the same distances
// on the traversal graph (`build_traversal_graph`) and, on undirected
// graphs, switches direction as in
// Beamer, Asanovic and Patterson, "Direction-optimizing breadth-first search"
// (SC 2012; the heuristics of GAPBS bfs.cc): top-down steps expand the
// frontier queue, bottom-up steps let every unvisited node look for a parent
// in the frontier bitmap and stop at the first, which skips most edges of
// the large middle levels of small-world graphs. Hop distances are unique, so
// the switching is invisible in the result. Worst case O(n * levels + m).
//
// Distances are unsigned 64-bit; nodes never reached hold kUnreachable. Every
// search writes only its own distance vector and workspace, so any number of
// searches may share one graph.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph/csr.hpp"

namespace knotwell::paths {

inline constexpr std::uint64_t kUnreachable = std::numeric_limits<std::uint64_t>::max();

// Breadth-first distances and component numbers do not depend on the order
// of a node's neighbours, nor on repeated entries, nor on self-loops, so the
// path functions walk the cheapest Csr: lists in row order, neither sorted
// nor de-duplicated, self-loops left out. The edges must have passed
// `check_edge_range`. (n + 1) * 8 + arcs * sizeof(Id) bytes.
template <class Id>
Csr<Id> build_traversal_graph(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    return build_csr<Id>(n, edges, {.undirected = undirected, .drop_self_loops = true, .merge = Merge::None});
}

// Fills `dist` (n entries, all kUnreachable on entry) with the distances
// from `source` (< n).
void bfs_distances(const Adjacency& adj, NodeId source, std::span<std::uint64_t> dist);

// Queue and bitmaps of one search, reused by the searches of one piece of a
// sweep. Sized lazily for the graph it first meets.
template <class Id>
struct BfsWorkspace {
    ScratchVector<Id> queue;
    ScratchVector<std::uint64_t> front;  // bottom-up frontier bitmap
    ScratchVector<std::uint64_t> next;
};

// Fills `dist` (n entries, all kUnreachable on entry) from `source` (< n).
// `undirected` says that g's lists are symmetric (built undirected), which
// the bottom-up steps need.
template <class Id>
void search_distances(const Csr<Id>& g, bool undirected, std::uint64_t source, std::span<std::uint64_t> dist,
                      BfsWorkspace<Id>& ws);

extern template void search_distances(const Csr<std::uint32_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                                      BfsWorkspace<std::uint32_t>&);
extern template void search_distances(const Csr<std::uint64_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                                      BfsWorkspace<std::uint64_t>&);

}  // namespace knotwell::paths
