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

#include <algorithm>
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

namespace detail {

// Node blocks of the build: block b holds the nodes [b << shift, (b + 1) <<
// shift), at most kMaxBlocks blocks (more only for n beyond 2^41).
inline constexpr std::uint64_t kMaxBlocks = 512;

inline unsigned block_shift(std::uint64_t n) {
    unsigned shift = 10;
    while (shift < 32 && (n >> shift) > kMaxBlocks) ++shift;
    return shift;
}

// Phase 2: within one block, counting-sort the arcs staged in
// targets[lo, hi) by their local source index, writing the block's offsets.
template <class Id>
void sort_block(std::uint64_t first, std::uint64_t nodes, std::uint64_t lo, std::uint64_t hi,
                const std::uint32_t* local, Id* targets, std::uint64_t* offsets, std::vector<std::uint64_t>& count,
                std::vector<Id>& staged) {
    std::fill_n(count.begin(), nodes + 1, 0);
    for (std::uint64_t k = lo; k < hi; ++k) ++count[local[k] + 1];
    for (std::uint64_t j = 0; j < nodes; ++j) count[j + 1] += count[j];
    for (std::uint64_t j = 0; j < nodes; ++j) offsets[first + j] = lo + count[j];
    staged.assign(targets + lo, targets + hi);
    for (std::uint64_t k = lo; k < hi; ++k) targets[lo + count[local[k]]++] = staged[k - lo];
}

}  // namespace detail

// Two phases, so that no pass scatters over the whole arc array: arcs are
// first distributed to their source's block (a few hundred sequential write
// streams), then each block, small enough for the cache, is counting-sorted
// by source on its own.
template <class Id>
TraversalGraph<Id> build_traversal_graph(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    require_node_buffer(n);
    const unsigned shift = detail::block_shift(n);
    const std::uint64_t blocks = (n >> shift) + 1;
    const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    std::vector<std::uint64_t> block_start(blocks + 1, 0);
    for (const Edge& e : edges) {
        if (e.source == e.target) continue;
        ++block_start[(e.source >> shift) + 1];
        if (undirected) ++block_start[(e.target >> shift) + 1];
    }
    for (std::uint64_t b = 0; b < blocks; ++b) block_start[b + 1] += block_start[b];
    const std::uint64_t arcs = block_start[blocks];

    TraversalGraph<Id> g;
    g.n = n;
    g.undirected = undirected;
    g.targets.resize(arcs);
    Id* t = g.targets.data();
    std::vector<std::uint32_t> local(arcs);  // source index within its block
    {
        std::vector<std::uint64_t> cursor(block_start.begin(), block_start.end() - 1);
        for (const Edge& e : edges) {
            if (e.source == e.target) continue;
            std::uint64_t k = cursor[e.source >> shift]++;
            t[k] = static_cast<Id>(e.target);
            local[k] = static_cast<std::uint32_t>(e.source & mask);
            if (!undirected) continue;
            k = cursor[e.target >> shift]++;
            t[k] = static_cast<Id>(e.source);
            local[k] = static_cast<std::uint32_t>(e.target & mask);
        }
    }
    g.offsets.resize(n + 1);
    std::vector<std::uint64_t> count(std::min(n, mask + 1) + 1);
    std::vector<Id> staged;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint64_t first = b << shift;
        if (first >= n) break;
        detail::sort_block(first, std::min(mask + 1, n - first), block_start[b], block_start[b + 1], local.data(), t,
                           g.offsets.data(), count, staged);
    }
    g.offsets[n] = arcs;
    return g;
}

// Calls `f.template operator()<Id>()` with the narrowest id type for n nodes.
template <class F>
decltype(auto) with_id_type(std::uint64_t n, F&& f) {
    if (n <= std::numeric_limits<std::uint32_t>::max()) return f.template operator()<std::uint32_t>();
    return f.template operator()<std::uint64_t>();
}

}  // namespace knotwell::paths
