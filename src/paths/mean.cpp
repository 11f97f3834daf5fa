// Mean shortest path length of the undirected graph.
//
// Sums, over every unordered pair {s, t} of distinct nodes in one component,
// the hop distance and the number of such pairs, each pair counted once from
// its smaller id, then divides. Both sums are unsigned 64-bit, so they are
// exact and independent of how the work is split.
//
// Bit-parallel multi-source BFS (Then et al., "The More the Merrier:
// Efficient Multi-Source Graph Traversal", VLDB 2014): 64 consecutive
// sources share one traversal, bit i of a node's words standing for source
// first + i. A level expands every node whose frontier word is non-zero and
// passes those bits to neighbours that have not seen them, so an edge is
// scanned once per level for all 64 searches at once. Newly seen bits at
// distance d contribute d for each source bit whose id is below the node's.
// O(n * m / 64) word operations in the worst case.
//
// The sweep runs over batches of 64 sources on the worker pool; each piece
// owns one workspace (three words and two list slots per node) and resets
// only what its last batch touched.
#include <bit>
#include <cmath>
#include <limits>

#include "parallel/parallel.hpp"
#include "paths/csr.hpp"
#include "paths/paths.hpp"

namespace knotwell::paths {
namespace {

constexpr std::uint64_t kBatch = 64;

struct PairSums {
    std::uint64_t total = 0;  // sum of distances
    std::uint64_t count = 0;  // number of connected pairs
};

template <class Id>
struct MsBfsWorkspace {
    std::vector<std::uint64_t> seen, frontier, next;  // per node, bit i = source first + i
    std::vector<Id> current, upcoming, touched;

    explicit MsBfsWorkspace(std::uint64_t n) : seen(n, 0), frontier(n, 0), next(n, 0) {
        current.reserve(kBatch);
        upcoming.reserve(kBatch);
        touched.reserve(kBatch);
    }
};

// Bits of the sources first + i whose id is below w.
inline std::uint64_t sources_below(std::uint64_t w, std::uint64_t first) {
    if (w <= first) return 0;
    if (w - first >= 64) return ~std::uint64_t{0};
    return (std::uint64_t{1} << (w - first)) - 1;
}

// One level: passes the frontier bits of `current` to their neighbours and
// lists in `upcoming` each node that gained a bit (gains kept in `next`).
template <class Id>
void expand_level(CsrView<Id> g, MsBfsWorkspace<Id>& ws) {
    ws.upcoming.clear();
    for (Id v : ws.current) {
        const std::uint64_t f = ws.frontier[v];
        ws.frontier[v] = 0;
        for (std::uint64_t k = g.offsets[v]; k < g.offsets[v + 1]; ++k) {
            const Id w = g.targets[k];
            const std::uint64_t gain = f & ~ws.seen[w];
            if (gain == 0) continue;
            if (ws.next[w] == 0) ws.upcoming.push_back(w);
            ws.next[w] |= gain;
        }
    }
}

// Commits the gains of the level at distance d and counts their pairs.
template <class Id>
void settle_level(MsBfsWorkspace<Id>& ws, std::uint64_t first, std::uint64_t d, PairSums& sums) {
    for (Id w : ws.upcoming) {
        const std::uint64_t gain = ws.next[w];
        ws.next[w] = 0;
        if (ws.seen[w] == 0) ws.touched.push_back(w);
        ws.seen[w] |= gain;
        ws.frontier[w] = gain;
        const std::uint64_t pairs = static_cast<std::uint64_t>(std::popcount(gain & sources_below(w, first)));
        sums.total += pairs * d;
        sums.count += pairs;
    }
}

template <class Id>
void batch_sums(CsrView<Id> g, std::uint64_t first, std::uint64_t width, MsBfsWorkspace<Id>& ws, PairSums& sums) {
    ws.current.clear();
    ws.touched.clear();
    for (std::uint64_t i = 0; i < width; ++i) {
        const Id s = static_cast<Id>(first + i);
        ws.seen[s] = ws.frontier[s] = std::uint64_t{1} << i;
        ws.current.push_back(s);
        ws.touched.push_back(s);
    }
    for (std::uint64_t d = 1; !ws.current.empty(); ++d) {
        expand_level(g, ws);
        settle_level(ws, first, d, sums);
        std::swap(ws.current, ws.upcoming);
    }
    for (Id w : ws.touched) ws.seen[w] = 0;
}

template <class Id>
PairSums all_pair_sums(const TraversalGraph<Id>& graph) {
    const CsrView<Id> g = graph.view();
    const std::uint64_t n = g.n;
    const std::uint64_t batches = n / kBatch + (n % kBatch != 0);
    return parallel::sum_sweep(
        batches, PairSums{},
        [&](std::size_t begin, std::size_t end) {
            PairSums sums;
            MsBfsWorkspace<Id> ws(n);
            for (std::size_t b = begin; b < end; ++b) {
                const std::uint64_t first = b * kBatch;
                batch_sums(g, first, std::min(kBatch, n - first), ws, sums);
            }
            return sums;
        },
        [](PairSums& acc, PairSums&& piece) {
            acc.total += piece.total;
            acc.count += piece.count;
        });
}

}  // namespace

Result<double> mean_shortest_path(std::uint64_t n, std::span<const Edge> edges) {
    if (auto err = check_edge_range(n, edges)) return *err;
    const PairSums sums = with_id_type(n, [&]<class Id>() {
        return all_pair_sums(build_traversal_graph<Id>(n, edges, true));
    });
    if (sums.count == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(sums.total) / static_cast<double>(sums.count);
}

}  // namespace knotwell::paths
