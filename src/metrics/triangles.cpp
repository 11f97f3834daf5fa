#include "metrics/triangles.hpp"

#include <algorithm>

#include "lib/adjacency.hpp"

namespace knotwell {
namespace {

// d(u): list length less the self-entry a self-loop leaves (lists are sorted,
// so a binary search finds it).
std::vector<std::uint64_t> degrees_without_self(const Adjacency& adj) {
    std::vector<std::uint64_t> deg(adj.n);
    for (NodeId u = 0; u < adj.n; ++u) {
        const auto list = adj.neighbours(u);
        deg[u] = list.size() - std::binary_search(list.begin(), list.end(), u);
    }
    return deg;
}

// Nodes renumbered by rank: ascending degree, ties by ascending id (a
// counting sort). vert[r] is the node of rank r, rank[u] the rank of node u.
template <class Id>
struct RankOrder {
    std::vector<NodeId> vert;
    std::vector<Id> rank;
};

template <class Id>
RankOrder<Id> rank_by_degree(std::span<const std::uint64_t> deg) {
    const std::uint64_t n = deg.size();
    const std::uint64_t max_deg = n == 0 ? 0 : *std::max_element(deg.begin(), deg.end());
    std::vector<std::uint64_t> next(max_deg + 2, 0);
    for (std::uint64_t d : deg) ++next[d + 1];
    for (std::uint64_t d = 0; d <= max_deg; ++d) next[d + 1] += next[d];
    RankOrder<Id> order;
    order.vert.resize(n);
    order.rank.resize(n);
    for (NodeId u = 0; u < n; ++u) {
        const std::uint64_t r = next[deg[u]]++;
        order.rank[u] = static_cast<Id>(r);
        order.vert[r] = u;
    }
    return order;
}

// Each undirected edge kept once, as an arc from its lower-ranked end to its
// higher-ranked one, in rank space: list r holds the ranks above r of the
// neighbours of vert[r], ascending. Renumbering gathers the hubs, which close
// most triangles, at the top of the id range, so the marker and counter
// traffic stays within a few cache lines; the lists are at most sqrt(2m) long.
template <class Id>
struct Oriented {
    std::vector<std::uint64_t> offsets;  // n + 1 entries
    std::vector<Id> targets;
};

template <class Id>
Oriented<Id> orient_by_rank(const Adjacency& adj, const RankOrder<Id>& order) {
    const std::uint64_t n = adj.n;
    const Id* rank = order.rank.data();
    Oriented<Id> out;
    out.offsets.assign(n + 1, 0);
    for (std::uint64_t r = 0; r < n; ++r) {
        std::uint64_t above = 0;
        for (const NodeId v : adj.neighbours(order.vert[r])) above += rank[v] > r;
        out.offsets[r + 1] = out.offsets[r] + above;
    }
    // Filling from the upper ends, taken in ascending rank, leaves every list
    // sorted. A self-entry has rank equal to r and is never kept.
    out.targets.resize(out.offsets[n]);
    std::vector<std::uint64_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    for (std::uint64_t r = 0; r < n; ++r)
        for (const NodeId v : adj.neighbours(order.vert[r]))
            if (rank[v] < r) out.targets[fill[rank[v]]++] = static_cast<Id>(r);
    return out;
}

// Every triangle is met once, at its lowest-ranked corner x, as x -> y -> z
// with z also an out-neighbour of x, and is added to x, y and z. Lists are
// sorted, so the scan of out(y) stops past the largest mark of x. Hits are
// collected without a branch (the test is taken about one time in eight,
// which a predictor cannot learn) and counted afterwards.
template <class Id>
std::vector<std::uint64_t> count_ranked(const Oriented<Id>& out) {
    const std::uint64_t n = out.offsets.size() - 1;
    const std::uint64_t* off = out.offsets.data();
    const Id* targets = out.targets.data();
    std::uint64_t max_out = 0;
    for (std::uint64_t x = 0; x < n; ++x) max_out = std::max(max_out, off[x + 1] - off[x]);
    std::vector<std::uint64_t> tri(n, 0);
    std::vector<std::uint8_t> marked(n, 0);
    std::vector<Id> hits(max_out);
    std::uint64_t* t = tri.data();
    std::uint8_t* mark = marked.data();
    for (std::uint64_t x = 0; x < n; ++x) {
        const std::uint64_t begin = off[x], end = off[x + 1];
        if (end - begin < 2) continue;
        for (std::uint64_t k = begin; k < end; ++k) mark[targets[k]] = 1;
        const Id last = targets[end - 1];
        std::uint64_t tx = 0;
        for (std::uint64_t k = begin; k + 1 < end; ++k) {
            const Id y = targets[k];
            std::uint64_t found = 0;
            for (std::uint64_t j = off[y], j_end = off[y + 1]; j < j_end; ++j) {
                const Id z = targets[j];
                if (z > last) break;
                hits[found] = z;
                found += mark[z];
            }
            for (std::uint64_t h = 0; h < found; ++h) ++t[hits[h]];
            t[y] += found;
            tx += found;
        }
        t[x] += tx;
        for (std::uint64_t k = begin; k < end; ++k) mark[targets[k]] = 0;
    }
    return tri;
}

// Counts in rank space with ids of type Id (every rank must fit), then maps
// the counts back to node ids. The Adjacency is freed once oriented.
template <class Id>
std::vector<std::uint64_t> triangles_by_rank(Adjacency adj, std::span<const std::uint64_t> deg) {
    const RankOrder<Id> order = rank_by_degree<Id>(deg);
    Oriented<Id> out = orient_by_rank(adj, order);
    adj = Adjacency();
    const std::vector<std::uint64_t> by_rank = count_ranked(out);
    std::vector<std::uint64_t> tri(deg.size());
    for (std::uint64_t r = 0; r < deg.size(); ++r) tri[order.vert[r]] = by_rank[r];
    return tri;
}

}  // namespace

Result<TriangleCounts> count_triangles(std::uint64_t n, std::span<const Edge> edges) {
    Result<Adjacency> built = build_adjacency(n, edges, true);
    if (!built.ok()) return built.error();
    TriangleCounts counts;
    counts.degrees = degrees_without_self(built.value());
    // 32-bit ranks halve the memory traffic of the count whenever they fit.
    if (n <= (std::uint64_t{1} << 32))
        counts.triangles = triangles_by_rank<std::uint32_t>(std::move(built.value()), counts.degrees);
    else
        counts.triangles = triangles_by_rank<std::uint64_t>(std::move(built.value()), counts.degrees);
    return counts;
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

}  // namespace knotwell
