#include "kcore/core.hpp"

#include <algorithm>

#include "graph/csr.hpp"
#include "graph/degree_order.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {
namespace {

// How far ahead of the peel the next neighbour lists are prefetched: the
// lists are visited in degree order, so their addresses jump.
constexpr std::uint64_t kPrefetchAhead = 8;

// The peel's arrays: nodes in degree order (`vert`), each node's position
// in it (`pos`), the start of each degree's block (`bin`), and each node's
// current degree. Id is wide enough for n.
template <class Id>
struct PeelState {
    std::vector<Id> vert;
    std::vector<Id> pos;
    std::vector<Id> bin;
    std::vector<Id> deg;
};

// deg(v): distinct neighbours of v other than v, the length of its list.
template <class Id>
PeelState<Id> peel_state(const Csr<Id>& adj) {
    std::vector<Id> deg(adj.n);
    for (NodeId v = 0; v < adj.n; ++v) deg[v] = static_cast<Id>(adj.degree(v));
    DegreeOrder<Id> order = order_by_degree<Id>(std::span<const Id>(deg));
    return {std::move(order.vert), std::move(order.rank), std::move(order.start), std::move(deg)};
}

// Peels nodes in array order. The node at position i has the least current
// degree among those not yet peeled, and that degree is its core number.
// Lowering a neighbour u from degree du swaps u with the first node of block
// du and moves the block start past it, so u becomes the last of block du - 1.
// Neighbours already peeled never have a degree above the current one, so
// the test skips them.
template <class Id>
void peel(const Csr<Id>& adj, PeelState<Id>& s) {
    const std::uint64_t n = adj.n;
    const std::uint64_t* off = adj.offsets.data();
    const Id* targets = adj.targets.data();
    Id* d = s.deg.data();
    Id* pos = s.pos.data();
    Id* vert = s.vert.data();
    Id* bin = s.bin.data();
    parallel::InterruptPoll poll;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i + kPrefetchAhead < n) __builtin_prefetch(targets + off[vert[i + kPrefetchAhead]]);
        const Id v = vert[i];
        poll.tick(off[v + 1] - off[v] + 1);
        const Id dv = d[v];
        for (std::uint64_t k = off[v], end = off[v + 1]; k < end; ++k) {
            const Id u = targets[k];
            const Id du = d[u];
            if (du <= dv) continue;
            const Id pu = pos[u], pw = bin[du];
            const Id w = vert[pw];
            vert[pu] = w;
            pos[w] = pu;
            vert[pw] = u;
            pos[u] = pw;
            ++bin[du];
            d[u] = du - 1;
        }
    }
}

// Upper bound of the bytes per node of the whole call (build included):
// the four peel arrays and the result.
constexpr std::uint64_t kCoreBytesPerNode = kCsrBytesPerNode + 4 * 8 + 8;

}  // namespace

Result<std::vector<std::uint64_t>> core_numbers(OwnedRows&& edges) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    require_node_arrays(n, kCoreBytesPerNode);
    // Peel state in the id type too: ids, positions and degrees are all
    // below n, and 32 bits halve the cache footprint.
    return with_id_type(n, [&]<class Id>() {
        const Csr<Id> adj =
            build_csr<Id>(std::move(edges), {.undirected = true, .drop_self_loops = true, .merge = Merge::First});
        PeelState<Id> s = peel_state<Id>(adj);
        peel(adj, s);
        return std::vector<std::uint64_t>(s.deg.begin(), s.deg.end());
    });
}

}  // namespace knotwell
