// The unweighted adjacency structure read by the local-structure and path
// algorithms, in CSR form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib/input.hpp"

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
// counting-sort passes: arcs bucketed by target, then re-bucketed by source
// while walking targets in ascending order, which leaves every list sorted.
// Repeats are then squeezed out in place. O(n + m) time.
Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected);

}  // namespace knotwell
