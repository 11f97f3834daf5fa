// The unweighted adjacency structure read by the local-structure and path
// algorithms, in CSR form.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "graph/input.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {

// n neighbour lists in CSR form: list u is targets[offsets[u] .. offsets[u+1]).
// Invariants after `build_adjacency`: every list is sorted ascending without
// repeats, every id is < n; a self-loop leaves u once in its own list; in the
// undirected mode the lists are symmetric.
struct Adjacency {
    std::uint64_t n = 0;
    std::vector<std::uint64_t> offsets;  // n + 1 entries
    std::vector<NodeId> targets;

    std::span<const NodeId> neighbours(NodeId u) const {
        return {targets.data() + offsets[u], targets.data() + offsets[u + 1]};
    }
    std::uint64_t degree(NodeId u) const { return offsets[u + 1] - offsets[u]; }
};

// Range check first (nothing is allocated before it passes), then two
// counting-sort passes: arcs grouped by target, then regrouped by source
// while walking targets in ascending order, which leaves every list sorted.
// Repeats are then squeezed out in place. O(n + m) time.
Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected);

// Throws std::bad_alloc when n + 1 offsets cannot exist (n + 1 would wrap).
inline void require_offsets(std::uint64_t n) {
    if (n >= std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) throw std::bad_alloc();
}

namespace csr_detail {

// Keys fall in blocks of 2^shift consecutive ids, at most kMaxBlocks blocks
// (more only for n beyond 2^41).
inline constexpr std::uint64_t kMaxBlocks = 512;

inline unsigned block_shift(std::uint64_t n) {
    unsigned shift = 10;
    while (shift < 32 && (n >> shift) > kMaxBlocks) ++shift;
    return shift;
}

// Stable counting sort of the block's arcs values[lo, hi) by local key,
// writing the offsets of the block's keys.
template <class V>
void sort_block(std::uint64_t first, std::uint64_t keys, std::uint64_t lo, std::uint64_t hi,
                const std::uint32_t* local, V* values, std::uint64_t* offsets, std::vector<std::uint64_t>& count,
                std::vector<V>& staged) {
    std::fill_n(count.begin(), keys + 1, 0);
    for (std::uint64_t k = lo; k < hi; ++k) ++count[local[k] + 1];
    for (std::uint64_t j = 0; j < keys; ++j) count[j + 1] += count[j];
    for (std::uint64_t j = 0; j < keys; ++j) offsets[first + j] = lo + count[j];
    staged.assign(values + lo, values + hi);
    for (std::uint64_t k = lo; k < hi; ++k) values[lo + count[local[k]]++] = staged[k - lo];
}

}  // namespace csr_detail

// Groups arcs by key into CSR form (offsets of n + 1, values), stably: the
// values of key u keep the order in which they were emitted.
// `for_each_arc(emit)` must call emit(key, value) for every arc, with key <
// n, in the same order on each of its two calls. Two phases, so that no pass
// scatters over the whole value array: arcs go to blocks of keys first (a few
// hundred sequential write streams), then each block, small enough for the
// cache, is counting-sorted on its own. O(n + arcs) time; 4 bytes per arc
// of scratch besides the result.
template <class V, class ForEachArc>
void group_by_key(std::uint64_t n, ForEachArc&& for_each_arc, std::vector<std::uint64_t>& offsets,
                  std::vector<V>& values) {
    require_offsets(n);
    const unsigned shift = csr_detail::block_shift(n);
    const std::uint64_t blocks = (n >> shift) + 1;
    const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    parallel::InterruptPoll poll;
    std::vector<std::uint64_t> block_start(blocks + 1, 0);
    for_each_arc([&](std::uint64_t key, V) {
        poll.tick();
        ++block_start[(key >> shift) + 1];
    });
    for (std::uint64_t b = 0; b < blocks; ++b) block_start[b + 1] += block_start[b];
    const std::uint64_t arcs = block_start[blocks];

    values.resize(arcs);
    V* out = values.data();
    std::vector<std::uint32_t> local(arcs);  // key within its block
    {
        std::vector<std::uint64_t> cursor(block_start.begin(), block_start.end() - 1);
        for_each_arc([&](std::uint64_t key, V value) {
            poll.tick();
            const std::uint64_t k = cursor[key >> shift]++;
            out[k] = value;
            local[k] = static_cast<std::uint32_t>(key & mask);
        });
    }
    offsets.resize(n + 1);
    std::vector<std::uint64_t> count(std::min(n, mask + 1) + 1);
    std::vector<V> staged;
    for (std::uint64_t b = 0; b < blocks && (b << shift) < n; ++b) {
        const std::uint64_t first = b << shift;
        poll.tick(2 * (block_start[b + 1] - block_start[b]) + mask + 1);
        csr_detail::sort_block(first, std::min(mask + 1, n - first), block_start[b], block_start[b + 1],
                               local.data(), out, offsets.data(), count, staged);
    }
    offsets[n] = arcs;
}

}  // namespace knotwell
