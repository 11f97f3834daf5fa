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
#include "paths/bfs.hpp"
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

// The rows may be the caller's array, read in place with the interpreter
// lock held, and the pass over them can take seconds: a poll during it could
// run a Python signal handler that frees that very array. So the rows are
// first read once, with no poll, range-checked and narrowed into pairs the
// call owns (read_traversal_rows: 2 * sizeof(Id) bytes a row, about the
// speed of a copy); the union-find pass then works on those, polling as it
// goes, and reads ahead to hide its random accesses.
template <class Id>
Result<Components> label_components(std::uint64_t n, const SharedEdges& edges) {
    Result<TraversalRows<Id>> read = read_traversal_rows<Id>(n, edges, true);
    if (!read.ok()) return read.error();
    ScratchVector<IdPair<Id>> pairs = std::move(read.value().pairs);
    ScratchVector<std::uint64_t>().swap(read.value().counted);

    require_node_arrays(n, 2 * sizeof(std::uint64_t));  // parents and labels
    std::vector<Id> parent(n);
    for (std::uint64_t i = 0; i < n; ++i) parent[i] = static_cast<Id>(i);
    parallel::InterruptPoll poll;
    constexpr std::size_t kAhead = 8;
    const std::size_t rows = pairs.size();
    for (std::size_t i = 0; i < rows; ++i) {
        if (i + kAhead < rows) {
            __builtin_prefetch(&parent[pairs[i + kAhead].source], 1);
            __builtin_prefetch(&parent[pairs[i + kAhead].target], 1);
        }
        unite(parent.data(), pairs[i].source, pairs[i].target);
        if ((i & 0xFFF) == 0xFFF) poll.tick(0x1000);
    }
    ScratchVector<IdPair<Id>>().swap(pairs);

    // parent[i] <= i, so a node's parent is labelled before the node.
    Components result;
    result.labels.resize(n);
    std::uint64_t* label = result.labels.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        label[i] = parent[i] == i ? result.count++ : label[parent[i]];
        if ((i & 0xFFFF) == 0xFFFF) poll.tick(0x10000);
    }
    return result;
}

}  // namespace

Result<Components> connected_components(std::uint64_t n, const SharedEdges& edges) {
    return with_id_type(n, [&]<class Id>() { return label_components<Id>(n, edges); });
}

}  // namespace knotwell::paths
