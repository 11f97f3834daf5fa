#include "metrics/triangles.hpp"

#include <algorithm>

#include "graph/csr.hpp"
#include "graph/degree_order.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {
namespace {

// Nodes renumbered by rank: ascending degree, ties by ascending id
// (graph/degree_order.hpp). vert[r] is the node of rank r, rank[u] the rank
// of node u.
template <class Id>
using RankOrder = DegreeOrder<Id>;

// Each undirected edge kept once, as an arc from its lower-ranked end to its
// higher-ranked one, in rank space: out-list r holds the ranks above r of the
// neighbours of vert[r], ascending; in-list r holds those below r. Renumbering
// gathers the hubs, which close most triangles, at the top of the id range,
// so marker and counter traffic stays in a small, cache-resident range; out-lists are
// at most sqrt(2m) long.
template <class Id>
struct Oriented {
    Csr<Id> out;  // out-list r: ranks above r, ascending
    Csr<Id> in;   // in-list r: ranks below r
};

// Lists are walked in an order their addresses do not follow, so they are
// fetched this many steps ahead. (The prefetches stay inline: GCC drops a
// helper that only prefetches as a call without effect.)
constexpr std::uint64_t kPrefetchAhead = 8;

template <class Id>
Oriented<Id> orient_by_rank(const Csr<Id>& adj, const RankOrder<Id>& order) {
    const std::uint64_t n = adj.n;
    const Id* rank = order.rank.data();
    const Id* list_start = adj.targets.data();
    Oriented<Id> g;
    g.out.n = g.in.n = n;
    g.out.offsets.assign(n + 1, 0);
    g.in.offsets.assign(n + 1, 0);
    parallel::InterruptPoll poll;
    for (std::uint64_t r = 0; r < n; ++r) {
        if (r + kPrefetchAhead < n) __builtin_prefetch(list_start + adj.offsets[order.vert[r + kPrefetchAhead]]);
        poll.tick(adj.degree(order.vert[r]) + 1);
        std::uint64_t above = 0, below = 0;
        for (const Id v : adj.neighbours(order.vert[r])) {
            above += rank[v] > r;
            below += rank[v] < r;
        }
        g.out.offsets[r + 1] = g.out.offsets[r] + above;
        g.in.offsets[r + 1] = g.in.offsets[r] + below;
    }
    // Filling out-lists from their upper ends, taken in ascending rank, leaves
    // them sorted.
    g.out.targets.resize(g.out.offsets[n]);
    g.in.targets.resize(g.in.offsets[n]);
    std::vector<std::uint64_t> fill(g.out.offsets.begin(), g.out.offsets.end() - 1);
    std::uint64_t in_fill = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
        if (r + kPrefetchAhead < n) __builtin_prefetch(list_start + adj.offsets[order.vert[r + kPrefetchAhead]]);
        poll.tick(adj.degree(order.vert[r]) + 1);
        for (const Id v : adj.neighbours(order.vert[r])) {
            const Id rv = rank[v];
            if (rv >= r) continue;
            g.out.targets[fill[rv]++] = static_cast<Id>(r);
            g.in.targets[in_fill++] = rv;
        }
    }
    return g;
}

// Every triangle x < y < z (ranks) is met once, from its middle corner y, and
// added to all three corners: out(y) is marked, and for each x in in(y) the
// marked entries of out(x) after y close triangles. The middles of x are met
// in ascending order, as out(x) is sorted, so a cursor per x gives the
// position of y in out(x) without a search. Each pair of out-neighbours of x
// is tested once, a third of the tests of scanning out(y) for every arc
// x -> y on R-MAT graphs. The scan stops past the largest mark; hits are
// collected without a branch (the test succeeds about one time in eight,
// which no predictor learns) and counted afterwards. Fetching the scattered
// tails is most of the time on large graphs, so the in-lists are read ahead:
// the cursor of the x 2k arcs ahead is prefetched, and the tail of the x k
// arcs ahead, whose cursor is in cache by then (k = kPrefetchAhead).
template <class Id>
std::vector<std::uint64_t> count_ranked(const Oriented<Id>& g) {
    const std::uint64_t n = g.out.n;
    const std::uint64_t* off = g.out.offsets.data();
    const Id* out = g.out.targets.data();
    const std::uint64_t* in_off = g.in.offsets.data();
    const Id* in = g.in.targets.data();
    const std::uint64_t arcs = g.in.arcs();
    std::uint64_t max_out = 0;
    for (std::uint64_t x = 0; x < n; ++x) max_out = std::max(max_out, off[x + 1] - off[x]);
    // Unvisited part [next, end) of each out-list (next is the cursor), and
    // the triangles found from x as a lowest corner: kept with the cursor,
    // whose line is fetched anyway, and added to T(x) at the end.
    struct alignas(32) Tail {  // two to a cache line, none straddling
        std::uint64_t next, end, found;
    };
    std::vector<Tail> tails(n);
    for (std::uint64_t x = 0; x < n; ++x) tails[x] = {off[x], off[x + 1], 0};
    std::vector<std::uint64_t> tri(n, 0);
    std::vector<std::uint8_t> marked(n, 0);
    std::vector<Id> hits(max_out);
    std::uint64_t* t = tri.data();
    std::uint8_t* mark = marked.data();
    Tail* tail = tails.data();
    parallel::InterruptPoll poll;
    for (std::uint64_t y = 0; y < n; ++y) {
        const std::uint64_t begin = off[y], end = off[y + 1];
        const std::uint64_t in_begin = in_off[y], in_end = in_off[y + 1];
        poll.tick(in_end - in_begin + end - begin + 1);
        if (begin == end) {
            for (std::uint64_t i = in_begin; i < in_end; ++i) ++tail[in[i]].next;
            continue;
        }
        for (std::uint64_t k = begin; k < end; ++k) mark[out[k]] = 1;
        const Id last = out[end - 1];
        std::uint64_t ty = 0;
        for (std::uint64_t i = in_begin; i < in_end; ++i) {
            if (i + 2 * kPrefetchAhead < arcs) __builtin_prefetch(&tail[in[i + 2 * kPrefetchAhead]]);
            if (i + kPrefetchAhead < arcs) __builtin_prefetch(out + tail[in[i + kPrefetchAhead]].next);
            const Id x = in[i];
            Tail& tx = tail[x];
            std::uint64_t found = 0;
            for (std::uint64_t j = ++tx.next, j_end = tx.end; j < j_end; ++j) {
                const Id z = out[j];
                if (z > last) break;
                hits[found] = z;
                found += mark[z];
            }
            for (std::uint64_t h = 0; h < found; ++h) ++t[hits[h]];
            tx.found += found;
            ty += found;
        }
        t[y] += ty;
        for (std::uint64_t k = begin; k < end; ++k) mark[out[k]] = 0;
    }
    for (std::uint64_t x = 0; x < n; ++x) t[x] += tail[x].found;
    return tri;
}

// Counts in rank space with ids of type Id (every rank fits), then maps the
// counts back to node ids. The adjacency is freed once oriented.
template <class Id>
std::vector<std::uint64_t> triangles_by_rank(Csr<Id> adj, std::span<const std::uint64_t> deg) {
    const RankOrder<Id> order = order_by_degree<Id>(deg);
    Oriented<Id> out = orient_by_rank(adj, order);
    adj = Csr<Id>();
    const std::vector<std::uint64_t> by_rank = count_ranked(out);
    std::vector<std::uint64_t> tri(deg.size());
    for (std::uint64_t r = 0; r < deg.size(); ++r) tri[order.vert[r]] = by_rank[r];
    return tri;
}

// Upper bound of the bytes per node of the whole count (adjacency build
// included): degrees, ranks, oriented offsets, tails, counters, markers.
constexpr std::uint64_t kTriangleBytesPerNode = kCsrBytesPerNode + 128;

}  // namespace

Result<TriangleCounts> count_triangles(OwnedRows&& edges) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    require_node_arrays(n, kTriangleBytesPerNode);
    return with_id_type(n, [&]<class Id>() {
        // Self-loops and repeats dropped: d(i) is the list length.
        Csr<Id> adj =
            build_csr<Id>(std::move(edges), {.undirected = true, .drop_self_loops = true, .merge = Merge::First});
        TriangleCounts counts;
        counts.degrees.resize(n);
        for (std::uint64_t u = 0; u < n; ++u) counts.degrees[u] = adj.degree(u);
        counts.triangles = triangles_by_rank<Id>(std::move(adj), counts.degrees);
        return counts;
    });
}

std::vector<double> local_clustering(const TriangleCounts& counts) {
    const std::size_t n = counts.triangles.size();
    std::vector<double> cl(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t d = counts.degrees[i];
        if (d < 2) continue;
        const double t = static_cast<double>(counts.triangles[i]);
        cl[i] = (t + t) / static_cast<double>(d * (d - 1));
    }
    return cl;
}

double mean_eight_way(std::span<const double> values) {
    const std::size_t len = values.size();
    double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    for (; len - k >= 8; k += 8)
        for (std::size_t j = 0; j < 8; ++j) p[j] += values[k + j];
    double acc = 0.0;
    acc = acc + (p[0] + p[4]);
    acc = acc + (p[1] + p[5]);
    acc = acc + (p[2] + p[6]);
    acc = acc + (p[3] + p[7]);
    for (; k < len; ++k) acc += values[k];
    return acc / static_cast<double>(len);
}

Result<std::vector<double>> clustering_coefficients(OwnedRows&& edges) {
    Result<TriangleCounts> counts = count_triangles(std::move(edges));
    if (!counts.ok()) return counts.error();
    return local_clustering(counts.value());
}

Result<double> average_clustering(OwnedRows&& edges) {
    if (edges.n() == 0) return 0.0;
    Result<std::vector<double>> local = clustering_coefficients(std::move(edges));
    if (!local.ok()) return local.error();
    return mean_eight_way(local.value());
}

}  // namespace knotwell
