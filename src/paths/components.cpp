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

template <class Id>
Components label_components(std::uint64_t n, std::span<const Edge> edges) {
    std::vector<Id> parent(n);
    for (std::uint64_t i = 0; i < n; ++i) parent[i] = static_cast<Id>(i);
    parallel::InterruptPoll poll;
    for (const Edge& e : edges) {
        poll.tick();
        unite(parent.data(), static_cast<Id>(e.source), static_cast<Id>(e.target));
    }

    Components result;
    result.labels.resize(n);
    std::uint64_t* label = result.labels.data();
    for (std::uint64_t i = 0; i < n; ++i) label[i] = parent[i] == i ? result.count++ : label[parent[i]];
    return result;
}

}  // namespace

Result<Components> connected_components(std::uint64_t n, std::span<const Edge> edges) {
    if (auto err = check_edge_range(n, edges)) return *err;
    require_node_arrays(n, 2 * sizeof(std::uint64_t));  // parents and labels
    return with_id_type(n, [&]<class Id>() { return label_components<Id>(n, edges); });
}

}  // namespace knotwell::paths
