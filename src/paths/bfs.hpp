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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph/csr.hpp"
#include "graph/edge_blocks.hpp"

namespace knotwell::paths {

inline constexpr std::uint64_t kUnreachable = std::numeric_limits<std::uint64_t>::max();

// Breadth-first distances do not depend on the order of a node's
// neighbours, nor on repeated entries, nor on self-loops, so the path
// functions walk the cheapest Csr: lists in row order, neither sorted nor
// de-duplicated, self-loops left out. (n + 1) * 8 + arcs * sizeof(Id) bytes.
//
// It is built in two steps, so that a caller can run its own checks between
// the range check and the node-sized allocations. `read_traversal_rows`
// reads every row once (graph/edge_blocks.hpp: the rows may be a caller's
// array that another thread writes), range-checks it and keeps it narrowed
// to Id, 2 * sizeof(Id) bytes a row. Up to kDirectKeys nodes the same pass
// also counts every node's arcs: that table is at most 512 KiB, so taking it
// before the range check cannot turn an edge error into a memory error, and
// the build is left with a single placing pass.
template <class Id>
struct TraversalRows {
    std::uint64_t n = 0;
    bool undirected = true;
    ScratchVector<IdPair<Id>> pairs;
    ScratchVector<std::uint64_t> counted;  // node k's arcs at [k + 2] (n + 2 entries), or empty
};

template <class Id>
Result<TraversalRows<Id>> read_traversal_rows(std::uint64_t n, const SharedEdges& edges, bool undirected) {
    TraversalRows<Id> rows{n, undirected, {}, {}};
    const bool count = n <= csr_detail::kDirectKeys;
    if (count) rows.counted.assign(n + 2, 0);
    std::uint64_t* at = rows.counted.data();
    rows.pairs.reserve(edges.rows);
    // Each row goes straight into registers (read_row), not through
    // for_each_edge_block's copy and separate range scan: on a lattice of
    // 22,500 nodes those two extra passes cost 15% of the whole call.
    IdPair<Id> block[kEdgeBlockRows];
    for (std::uint64_t first = 0; first < edges.rows; first += kEdgeBlockRows) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kEdgeBlockRows, edges.rows - first));
        for (std::size_t j = 0; j < size; ++j) {
            const Edge e = read_row(edges, first + j);
            if (e.source >= n || e.target >= n) [[unlikely]]
                return InputError::edge_out_of_range(first + j, e.source, e.target, n);
            block[j] = {static_cast<Id>(e.source), static_cast<Id>(e.target)};
            if (count) {
                // Branch-free: a self-loop adds nothing.
                const std::uint64_t arc = e.source != e.target;
                at[e.source + 2] += arc;
                if (undirected) at[e.target + 2] += arc;
            }
        }
        rows.pairs.insert(rows.pairs.end(), block, block + size);
    }
    return rows;
}

// The traversal graph of checked rows; they are consumed.
template <class Id>
Csr<Id> build_traversal_graph(TraversalRows<Id>&& rows) {
    require_node_arrays(rows.n, kCsrBytesPerNode);
    const bool undirected = rows.undirected;
    parallel::InterruptPoll poll;
    const auto arcs = [&](auto&& emit) {
        // Polls between blocks of pairs (the call's own memory), none inside.
        const IdPair<Id>* pairs = rows.pairs.data();
        const std::size_t size = rows.pairs.size();
        for (std::size_t first = 0; first < size; first += csr_detail::kPollRows) {
            const std::size_t end = std::min(size, first + csr_detail::kPollRows);
            for (std::size_t i = first; i < end; ++i) {
                const IdPair<Id> p = pairs[i];
                if (p.source == p.target) continue;
                emit(p.source, p.target);
                if (undirected) emit(p.target, p.source);
            }
            poll.tick(end - first);
        }
    };
    Csr<Id> g;
    g.n = rows.n;
    if (!rows.counted.empty()) {
        g.offsets = std::move(rows.counted);
        csr_detail::place_counted<Id>(rows.n, arcs, g.offsets, g.targets);
    } else {
        group_by_key<Id>(rows.n, arcs, g.offsets, g.targets);
    }
    ScratchVector<IdPair<Id>>().swap(rows.pairs);
    return g;
}

// Fills `dist` (n entries, all kUnreachable on entry) with the distances
// from `source` (< n).
void bfs_distances(const Adjacency& adj, NodeId source, std::span<std::uint64_t> dist);

// Queue, marks and bitmaps of one search, reused by the searches of one piece of a
// sweep. Sized lazily for the graph it first meets.
template <class Id>
struct DistanceWorkspace {
    ScratchVector<Id> queue;
    ScratchVector<std::uint8_t> seen;    // 1 for every node with a distance
    ScratchVector<std::uint64_t> front;  // bottom-up frontier bitmap
    ScratchVector<std::uint64_t> next;
};

// Fills `dist` (n entries, all kUnreachable on entry) from `source` (< n).
// `undirected` says that g's lists are symmetric (built undirected), which
// the bottom-up steps need.
template <class Id>
void search_distances(const Csr<Id>& g, bool undirected, std::uint64_t source, std::span<std::uint64_t> dist,
                      DistanceWorkspace<Id>& ws);

extern template void search_distances(const Csr<std::uint32_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                                      DistanceWorkspace<std::uint32_t>&);
extern template void search_distances(const Csr<std::uint64_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                                      DistanceWorkspace<std::uint64_t>&);

}  // namespace knotwell::paths
