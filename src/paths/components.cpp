// Connected components of the undirected graph, numbered 0, 1, ... in
// ascending order of each component's smallest node id.
//
// Union-find straight over the edge rows, without building adjacency lists:
// Rem's algorithm with splicing (Patwary, Blair and Manne, "Experiments on
// union-find algorithms for the disjoint-set data structure", SEA 2010). It
// keeps parent[x] <= x, so every tree's root is its smallest member. One
// ascending pass then numbers the roots in order and gives every other node
// its parent's label, already final since the parent has a smaller id. The
// labels equal those of a breadth-first labelling in node order.
// O(n + m * alpha(n)) time, n parent entries of the narrowest id type.
#include "graph/csr.hpp"
#include "graph/edge_blocks.hpp"
#include "parallel/interrupt.hpp"
#include "paths/paths.hpp"

namespace knotwell::paths {
namespace {

template <class Id>
void unite(Id* parent, Id x, Id y) {
    while (parent[x] != parent[y]) {
        if (parent[x] < parent[y]) std::swap(x, y);
        // Now parent[x] > parent[y]: hang x's path below parent[y].
        if (x == parent[x]) {
            parent[x] = parent[y];
            return;
        }
        const Id z = parent[x];
        parent[x] = parent[y];
        x = z;
    }
}

// The rows are read once, in blocks, each checked before it is used (see
// graph/edge_blocks.hpp); a block that fails means the rows changed since
// the range check.
template <class Id>
Result<Components> label_components(std::uint64_t n, const SharedEdges& edges) {
    std::vector<Id> parent(n);
    for (std::uint64_t i = 0; i < n; ++i) parent[i] = static_cast<Id>(i);
    parallel::InterruptPoll poll;
    Check changed = for_each_edge_block(edges, [&](std::uint64_t first, std::span<const Edge> block) -> Check {
        if (Check bad = check_edge_block(n, first, block)) return bad;
        poll.tick(block.size());
        for (const Edge& e : block) unite(parent.data(), static_cast<Id>(e.source), static_cast<Id>(e.target));
        return std::nullopt;
    });
    if (changed) return *changed;

    Components result;
    result.labels.resize(n);
    std::uint64_t* label = result.labels.data();
    for (std::uint64_t i = 0; i < n; ++i) label[i] = parent[i] == i ? result.count++ : label[parent[i]];
    return result;
}

}  // namespace

Result<Components> connected_components(std::uint64_t n, const SharedEdges& edges) {
    const auto in_range = [n](std::uint64_t first, std::span<const Edge> block) {
        return check_edge_block(n, first, block);
    };
    if (Check bad = for_each_edge_block(edges, in_range)) return *bad;
    require_node_arrays(n, 2 * sizeof(std::uint64_t));  // parents and labels
    return with_id_type(n, [&]<class Id>() { return label_components<Id>(n, edges); });
}

}  // namespace knotwell::paths
