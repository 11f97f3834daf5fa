// Mean shortest path length of the undirected graph.
//
// Sums, over every unordered pair {s, t} of distinct nodes in one component,
// the hop distance and the number of such pairs, each pair counted once from
// its smaller id, then divides. Both sums are exact integers (`PairSums`),
// so they are independent of how the work is split.
//
// Bit-parallel multi-source BFS (Then et al., "The More the Merrier:
// Efficient Multi-Source Graph Traversal", VLDB 2014): a batch of 64 * W
// consecutive sources shares one traversal (nodes first renumbered so that
// each batch is a compact ball, see `ball_order`), bit j of word q of a node's
// W-word masks standing for source first + 64q + j. A level expands every
// node whose frontier mask is non-zero and passes those bits to neighbours
// that have not seen them, so an edge is scanned once per level for all the
// batch's searches. Levels whose frontier holds a large share of the edges
// are pulled instead (every node not yet seen by all of the batch ORs its
// neighbours' frontier masks and stops once nothing is left to gain), which
// reads instead of writes per edge and skips most edges of the last levels.
// Newly seen bits at distance d contribute d for each source whose id is
// below the node's. O(n * m / 64) word operations in the worst case.
//
// The sweep runs over batches on the worker pool; each piece owns one
// workspace (three masks per node), taken from lazily zeroed memory so that
// a piece pays only for the pages its searches touch, and resets only what
// its last batch touched.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "parallel/parallel.hpp"
#include "paths/bfs.hpp"
#include "paths/pair_sums.hpp"
#include "paths/paths.hpp"
#include "paths/source_sums.hpp"

namespace knotwell::paths {
namespace {

// Words per node mask: batches of 128 sources. Wider masks share each edge
// scan among more searches at the price of more bytes per node touched.
constexpr unsigned kMaskWords = 2;
// A level is pulled once its frontier holds more than 1/kPullShare of the
// arcs. A pull reads every node, so on graphs of high diameter, whose
// frontiers are wide rings but few of their nodes still gain, it pays only
// for the widest levels.
constexpr std::uint64_t kPullShare = 4;

// n * W zeroed words from calloc: fresh pages come zeroed from the kernel
// and are only faulted in where a search writes.
struct ZeroedWords {
    std::uint64_t* p;
    explicit ZeroedWords(std::uint64_t words) : p(static_cast<std::uint64_t*>(std::calloc(words, 8))) {
        if (p == nullptr && words != 0) throw std::bad_alloc();
    }
    ~ZeroedWords() { std::free(p); }
    ZeroedWords(const ZeroedWords&) = delete;
    ZeroedWords& operator=(const ZeroedWords&) = delete;
};

template <class Id, unsigned W>
struct MsBfsWorkspace {
    ZeroedWords seen, frontier, next;  // W words per node
    std::vector<Id> current, upcoming, touched;

    explicit MsBfsWorkspace(std::uint64_t n) : seen(n * W), frontier(n * W), next(n * W) {}
};

// Bits of the sources first + j (j < 64) whose id is below w.
inline std::uint64_t sources_below(std::uint64_t w, std::uint64_t first) {
    if (w <= first) return 0;
    if (w - first >= 64) return ~std::uint64_t{0};
    return (std::uint64_t{1} << (w - first)) - 1;
}

// One level: passes the frontier bits of `current` to their neighbours and
// lists in `upcoming` each node that gained a bit (gains kept in `next`).
template <class Id, unsigned W>
void expand_level(const Csr<Id>& g, MsBfsWorkspace<Id, W>& ws) {
    std::uint64_t* __restrict seen = ws.seen.p;
    std::uint64_t* __restrict frontier = ws.frontier.p;
    std::uint64_t* __restrict next = ws.next.p;
    const std::uint64_t* off = g.offsets.data();
    const Id* targets = g.targets.data();
    ws.upcoming.clear();
    for (Id v : ws.current) {
        const std::uint64_t base = std::uint64_t{v} * W;
        std::uint64_t f[W];
        for (unsigned q = 0; q < W; ++q) f[q] = frontier[base + q], frontier[base + q] = 0;
        for (std::uint64_t k = off[v]; k < off[v + 1]; ++k) {
            const std::uint64_t w = targets[k];
            std::uint64_t gain[W], any = 0, queued = 0;
            for (unsigned q = 0; q < W; ++q) {
                gain[q] = f[q] & ~seen[w * W + q];
                any |= gain[q];
                queued |= next[w * W + q];
            }
            if (any == 0) continue;
            if (queued == 0) ws.upcoming.push_back(static_cast<Id>(w));
            for (unsigned q = 0; q < W; ++q) next[w * W + q] |= gain[q];
        }
    }
}

// One level, pulled: every node not yet seen by the whole batch gathers the
// frontier bits of its neighbours, stopping once nothing is left to gain.
// Reads only, per edge, so it beats `expand_level` when the frontier holds
// a large share of the edges. Gains are listed as in `expand_level`.
template <class Id, unsigned W>
void pull_level(const Csr<Id>& g, MsBfsWorkspace<Id, W>& ws, const std::uint64_t* full) {
    const std::uint64_t* __restrict seen = ws.seen.p;
    const std::uint64_t* __restrict frontier = ws.frontier.p;
    std::uint64_t* __restrict next = ws.next.p;
    const std::uint64_t n = g.n;
    const std::uint64_t* off = g.offsets.data();
    const Id* targets = g.targets.data();
    ws.upcoming.clear();
    for (std::uint64_t w = 0; w < n; ++w) {
        const std::uint64_t* sw = seen + w * W;
        std::uint64_t missing[W], gain[W], open = 0;
        for (unsigned q = 0; q < W; ++q) {
            missing[q] = full[q] & ~sw[q];
            gain[q] = 0;
            open |= missing[q];
        }
        if (open == 0) continue;
        for (std::uint64_t k = off[w]; k < off[w + 1]; ++k) {
            const std::uint64_t* fv = frontier + std::uint64_t{targets[k]} * W;
            std::uint64_t left = 0;
            for (unsigned q = 0; q < W; ++q) {
                gain[q] |= fv[q] & missing[q];
                left |= missing[q] & ~gain[q];
            }
            if (left == 0) break;
        }
        std::uint64_t any = 0;
        for (unsigned q = 0; q < W; ++q) any |= gain[q];
        if (any == 0) continue;
        ws.upcoming.push_back(static_cast<Id>(w));
        for (unsigned q = 0; q < W; ++q) next[w * W + q] = gain[q];
    }
    for (Id v : ws.current) std::fill_n(ws.frontier.p + std::uint64_t{v} * W, W, 0);
}

// Commits the gains of the level at distance d and counts their pairs.
template <class Id, unsigned W>
void settle_level(MsBfsWorkspace<Id, W>& ws, std::uint64_t first, std::uint64_t d, PairSums& sums) {
    for (Id w : ws.upcoming) {
        std::uint64_t* seen = ws.seen.p + std::uint64_t{w} * W;
        std::uint64_t* frontier = ws.frontier.p + std::uint64_t{w} * W;
        std::uint64_t* next = ws.next.p + std::uint64_t{w} * W;
        std::uint64_t was_seen = 0, pairs = 0;
        for (unsigned q = 0; q < W; ++q) {
            const std::uint64_t gain = next[q];
            next[q] = 0;
            was_seen |= seen[q];
            seen[q] |= gain;
            frontier[q] = gain;
            pairs += static_cast<std::uint64_t>(std::popcount(gain & sources_below(w, first + 64 * q)));
        }
        if (was_seen == 0) ws.touched.push_back(w);
        sums.add(pairs, d);
    }
}

template <class Id, unsigned W>
void batch_sums(const Csr<Id>& g, std::uint64_t first, std::uint64_t width, MsBfsWorkspace<Id, W>& ws, PairSums& sums) {
    ws.current.clear();
    ws.touched.clear();
    std::uint64_t full[W] = {};
    for (std::uint64_t i = 0; i < width; ++i) full[i / 64] |= std::uint64_t{1} << (i % 64);
    for (std::uint64_t i = 0; i < width; ++i) {
        const std::uint64_t s = first + i;
        ws.seen.p[s * W + i / 64] = ws.frontier.p[s * W + i / 64] = std::uint64_t{1} << (i % 64);
        ws.current.push_back(static_cast<Id>(s));
        ws.touched.push_back(static_cast<Id>(s));
    }
    parallel::InterruptPoll poll;  // a batch can take seconds: follow the sweep's stop flag
    for (std::uint64_t d = 1; !ws.current.empty(); ++d) {
        std::uint64_t frontier_arcs = 0;
        for (Id v : ws.current) frontier_arcs += g.degree(v);
        poll.tick(frontier_arcs + ws.current.size());
        if (frontier_arcs > g.arcs() / kPullShare)
            pull_level(g, ws, full);
        else
            expand_level(g, ws);
        settle_level(ws, first, d, sums);
        std::swap(ws.current, ws.upcoming);
    }
    for (Id w : ws.touched) std::fill_n(ws.seen.p + std::uint64_t{w} * W, W, 0);
}

// A numbering in which every run of `batch` consecutive ids (a batch of
// sources) is a compact ball: balls are grown breadth-first, over nodes not
// yet numbered, from the smallest such node, each filling the rest of its
// batch. A node is met at as many levels of a batch's traversal as the
// spread of its distances to the batch's sources, which a ball keeps near
// its diameter; 128 consecutive ids of a lattice row spread over 128 levels.
// Returns order[new id] = old id. O(n + m).
template <class Id>
std::vector<Id> ball_order(const Csr<Id>& g, std::uint64_t batch) {
    const std::uint64_t n = g.n;
    std::vector<Id> order;
    order.reserve(n);
    std::vector<std::uint8_t> placed(n, 0);
    std::uint64_t seed = 0;
    while (order.size() < n) {
        while (placed[seed]) ++seed;
        const std::size_t start = order.size();
        const std::size_t stop = start + (batch - start % batch);
        placed[seed] = 1;
        order.push_back(static_cast<Id>(seed));
        for (std::size_t head = start; head < order.size() && order.size() < stop; ++head) {
            for (const Id v : g.neighbours(order[head])) {
                if (placed[v]) continue;
                placed[v] = 1;
                order.push_back(v);
                if (order.size() == stop) break;
            }
        }
    }
    return order;
}

// g with node order[i] renamed i. Pair sums do not depend on the names: each
// pair is still counted once, from whichever end has the smaller new id.
template <class Id>
Csr<Id> renumbered(const Csr<Id>& g, std::span<const Id> order) {
    std::vector<Id> rename(g.n);
    for (std::uint64_t i = 0; i < g.n; ++i) rename[order[i]] = static_cast<Id>(i);
    return group_arcs<Id>(g.n, false, Merge::None, [&](auto&& emit) {
        for (std::uint64_t u = 0; u < g.n; ++u)
            for (const Id v : g.neighbours(order[u])) emit(u, rename[v], 0.0);
    });
}

// Pair sums of the sources in batches [first, last): on the pool, or one
// batch after another on the calling thread. The sums are exact integers, so
// any split of the batches adds up to the same totals.
template <class Id, unsigned W>
PairSums batch_range_sums(const Csr<Id>& g, std::uint64_t first, std::uint64_t last, bool use_pool) {
    constexpr std::uint64_t kBatch = 64 * W;
    const std::uint64_t n = g.n;
    const auto run = [&](std::size_t begin, std::size_t end) {
        PairSums sums;
        MsBfsWorkspace<Id, W> ws(n);
        for (std::size_t b = begin; b < end; ++b) {
            if (parallel::stop_requested()) break;  // the sweep discards every piece
            const std::uint64_t at = b * kBatch;
            batch_sums(g, at, std::min(kBatch, n - at), ws, sums);
        }
        return sums;
    };
    if (!use_pool) return first < last ? run(first, last) : PairSums{};
    return parallel::sum_sweep(
        last - first, PairSums{}, [&](std::size_t begin, std::size_t end) { return run(first + begin, first + end); },
        [](PairSums& acc, PairSums&& piece) { acc.add(piece); },
        parallel::work_product((last - first) * W, n + g.arcs()));
}

template <class Id, unsigned W>
PairSums all_pair_sums(const Csr<Id>& g) {
    constexpr std::uint64_t kBatch = 64 * W;
    return batch_range_sums<Id, W>(g, 0, g.n / kBatch + (g.n % kBatch != 0), true);
}

// The graph the batches run on: the traversal graph, renumbered into balls
// once there is more than one batch.
template <class Id>
Csr<Id> batch_graph(TraversalRows<Id>&& rows) {
    const std::uint64_t n = rows.n;
    // The graph's offsets (twice while renumbering, with the order and the
    // renaming) and the three masks of one workspace; each further
    // workspace is the same size again, allocated when its piece starts.
    require_node_arrays(n, 2 * kCsrBytesPerNode + 3 * 8 * kMaskWords + 2 * 8 + 1);
    Csr<Id> g = build_traversal_graph(std::move(rows));
    if (n > 64 * kMaskWords) g = renumbered<Id>(g, ball_order(g, 64 * kMaskWords));
    return g;
}

}  // namespace

Result<double> mean_shortest_path(std::uint64_t n, const SharedEdges& edges) {
    return with_id_type(n, [&]<class Id>() -> Result<double> {
        Result<TraversalRows<Id>> rows = read_traversal_rows<Id>(n, edges, true);
        if (!rows.ok()) return rows.error();
        return all_pair_sums<Id, kMaskWords>(batch_graph(std::move(rows.value()))).mean();
    });
}

std::uint64_t mean_path_batches(std::uint64_t n) {
    constexpr std::uint64_t kBatch = 64 * kMaskWords;
    return n / kBatch + (n % kBatch != 0);
}

Result<PairSums> mean_path_sums(OwnedRows&& edges, std::uint64_t first, std::uint64_t last, bool use_pool) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    return with_id_type(n, [&]<class Id>() -> Result<PairSums> {
        if (first > last || last > mean_path_batches(n))
            return InputError::bad_parameter("batches", "must be a range within [0, batch count of n]");
        if (first == last) return PairSums{};
        return batch_range_sums<Id, kMaskWords>(batch_graph(TraversalRows<Id>{n, true, edges.take<Id>(), {}}), first,
                                                last, use_pool);
    });
}

}  // namespace knotwell::paths
