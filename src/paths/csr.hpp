// The compact traversal graph of the path functions.
//
// Breadth-first distances and component numbers do not depend on the order
// of a node's neighbours, nor on repeated entries, nor on self-loops, so the
// path functions walk a cheaper CSR than `Adjacency`: lists grouped by
// counting sort but neither sorted nor de-duplicated, self-loops left out,
// neighbour ids stored in the narrowest type that holds every id (32 bits
// when n < 2^32, which halves the memory traffic of every search). Results
// are identical to a walk over `Adjacency`.
//
// Build: O(n + m) time; (n + 1) * 8 + arcs * sizeof(Id) bytes kept and
// arcs * 4 bytes during the build, where arcs is m (directed) or 2m
// (undirected) minus the self-loops. The edges must have passed
// `check_edge_range`.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph/adjacency.hpp"
#include "graph/input.hpp"

namespace knotwell::paths {

// Read-only view of a CSR: node u's neighbours are
// targets[offsets[u] .. offsets[u + 1]).
template <class Id>
struct CsrView {
    std::uint64_t n = 0;
    const std::uint64_t* offsets = nullptr;
    const Id* targets = nullptr;

    std::uint64_t arcs() const { return offsets[n]; }
    std::uint64_t degree(std::uint64_t u) const { return offsets[u + 1] - offsets[u]; }
};

inline CsrView<NodeId> view_of(const Adjacency& adj) {
    return {adj.n, adj.offsets.data(), adj.targets.data()};
}

template <class Id>
struct TraversalGraph {
    std::uint64_t n = 0;
    bool undirected = true;
    std::vector<std::uint64_t> offsets;
    std::vector<Id> targets;

    CsrView<Id> view() const { return {n, offsets.data(), targets.data()}; }
};

inline void require_node_buffer(std::uint64_t n) { require_offsets(n); }

template <class Id>
TraversalGraph<Id> build_traversal_graph(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    TraversalGraph<Id> g;
    g.n = n;
    g.undirected = undirected;
    group_by_key<Id>(
        n,
        [&](auto&& emit) {
            for (const Edge& e : edges) {
                if (e.source == e.target) continue;
                emit(e.source, static_cast<Id>(e.target));
                if (undirected) emit(e.target, static_cast<Id>(e.source));
            }
        },
        g.offsets, g.targets);
    return g;
}

// Calls `f.template operator()<Id>()` with the narrowest id type for n nodes.
template <class F>
decltype(auto) with_id_type(std::uint64_t n, F&& f) {
    if (n <= std::numeric_limits<std::uint32_t>::max()) return f.template operator()<std::uint32_t>();
    return f.template operator()<std::uint64_t>();
}

}  // namespace knotwell::paths
