// The compact traversal graph of the path functions.
//
// Breadth-first distances and component numbers do not depend on the order
// of a node's neighbours, nor on repeated entries, nor on self-loops, so the
// path functions walk a cheaper CSR than `Adjacency`: one counting pass and
// one scatter pass over the edges (no sorting, no de-duplication), with
// self-loops left out and neighbour ids stored in the narrowest type that
// holds every id (32 bits when n < 2^32, which halves the memory traffic of
// every search). Results are identical to a walk over `Adjacency`.
//
// Build: O(n + m) time, (n + 1) * 8 + arcs * sizeof(Id) bytes, where arcs is
// m (directed) or 2m (undirected) minus the self-loops. The edges must have
// passed `check_edge_range`.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "lib/adjacency.hpp"
#include "lib/input.hpp"

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

// Guards the n + 1 entries of an offsets array against wrapping around.
inline void require_node_buffer(std::uint64_t n) {
    if (n >= std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) throw std::bad_alloc();
}

template <class Id>
TraversalGraph<Id> build_traversal_graph(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    require_node_buffer(n);
    TraversalGraph<Id> g;
    g.n = n;
    g.undirected = undirected;
    g.offsets.assign(n + 1, 0);
    std::uint64_t* off = g.offsets.data();
    // Count into off[u + 1], prefix-sum so off[u] is u's first slot, scatter
    // with off[u] as u's cursor (leaving off[u] = end of u), then shift back.
    for (const Edge& e : edges) {
        if (e.source == e.target) continue;
        ++off[e.source + 1];
        if (undirected) ++off[e.target + 1];
    }
    for (std::uint64_t u = 0; u < n; ++u) off[u + 1] += off[u];
    g.targets.resize(off[n]);
    Id* t = g.targets.data();
    for (const Edge& e : edges) {
        if (e.source == e.target) continue;
        t[off[e.source]++] = static_cast<Id>(e.target);
        if (undirected) t[off[e.target]++] = static_cast<Id>(e.source);
    }
    for (std::uint64_t u = n; u > 0; --u) off[u] = off[u - 1];
    off[0] = 0;
    return g;
}

// Calls `f.template operator()<Id>()` with the narrowest id type for n nodes.
template <class F>
decltype(auto) with_id_type(std::uint64_t n, F&& f) {
    if (n <= std::numeric_limits<std::uint32_t>::max()) return f.template operator()<std::uint32_t>();
    return f.template operator()<std::uint64_t>();
}

}  // namespace knotwell::paths
