#include "kcore/core.hpp"

#include <algorithm>

#include "lib/adjacency.hpp"

namespace knotwell {
namespace {

// Nodes sorted by degree (counting sort, ascending id within a degree), the
// position of each node in that order, and the start of each degree's block.
struct DegreeOrder {
    std::vector<NodeId> vert;
    std::vector<std::uint64_t> pos;
    std::vector<std::uint64_t> bin;
};

DegreeOrder order_by_degree(std::span<const std::uint64_t> deg) {
    const std::uint64_t n = deg.size();
    const std::uint64_t max_deg = n == 0 ? 0 : *std::max_element(deg.begin(), deg.end());
    DegreeOrder order;
    order.bin.assign(max_deg + 2, 0);
    for (std::uint64_t d : deg) ++order.bin[d + 1];
    for (std::uint64_t d = 0; d <= max_deg; ++d) order.bin[d + 1] += order.bin[d];
    order.vert.resize(n);
    order.pos.resize(n);
    std::vector<std::uint64_t> next(order.bin.begin(), order.bin.end() - 1);
    for (NodeId v = 0; v < n; ++v) {
        order.pos[v] = next[deg[v]]++;
        order.vert[order.pos[v]] = v;
    }
    return order;
}

// Peels nodes in array order. The node at position i has the least current
// degree among those not yet peeled, and that degree is its core number.
// Lowering a neighbour u from degree du swaps u with the first node of block
// du and moves the block start past it, so u becomes the last of block du - 1.
// Neighbours already peeled, and the node itself (a self-entry), never have a
// degree above the current one, so the test skips them.
void peel(const Adjacency& adj, std::vector<std::uint64_t>& deg, DegreeOrder& order) {
    std::uint64_t* d = deg.data();
    std::uint64_t* pos = order.pos.data();
    NodeId* vert = order.vert.data();
    std::uint64_t* bin = order.bin.data();
    for (std::uint64_t i = 0; i < adj.n; ++i) {
        const NodeId v = vert[i];
        const std::uint64_t dv = d[v];
        for (const NodeId u : adj.neighbours(v)) {
            const std::uint64_t du = d[u];
            if (du <= dv) continue;
            const std::uint64_t pu = pos[u], pw = bin[du];
            const NodeId w = vert[pw];
            vert[pu] = w;
            pos[w] = pu;
            vert[pw] = u;
            pos[u] = pw;
            ++bin[du];
            d[u] = du - 1;
        }
    }
}

}  // namespace

Result<std::vector<std::uint64_t>> core_numbers(std::uint64_t n, std::span<const Edge> edges) {
    Result<Adjacency> built = build_adjacency(n, edges, true);
    if (!built.ok()) return built.error();
    const Adjacency& adj = built.value();
    std::vector<std::uint64_t> deg(n);
    for (NodeId v = 0; v < n; ++v) {
        const auto list = adj.neighbours(v);
        deg[v] = list.size() - std::binary_search(list.begin(), list.end(), v);
    }
    DegreeOrder order = order_by_degree(deg);
    peel(adj, deg, order);
    return deg;
}

}  // namespace knotwell
