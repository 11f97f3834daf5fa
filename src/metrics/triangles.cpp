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

// Keeps, in place, only the arcs u -> v with u ranked below v by (degree, id):
// each undirected edge survives once and self-entries go. Compaction writes
// never overtake reads, since every list only shrinks.
void orient_by_degree(Adjacency& adj, std::span<const std::uint64_t> deg) {
    std::uint64_t write = 0;
    NodeId* targets = adj.targets.data();
    for (NodeId u = 0; u < adj.n; ++u) {
        const std::uint64_t begin = adj.offsets[u], end = adj.offsets[u + 1];
        const std::uint64_t du = deg[u];
        adj.offsets[u] = write;
        for (std::uint64_t k = begin; k < end; ++k) {
            const NodeId v = targets[k];
            if (du < deg[v] || (du == deg[v] && u < v)) targets[write++] = v;
        }
    }
    adj.offsets[adj.n] = write;
    adj.targets.resize(write);
}

// Every triangle is met once, at its lowest-ranked corner u, as u -> v -> w
// with w also an out-neighbour of u; it is then added to u, v and w.
std::vector<std::uint64_t> count_oriented(const Adjacency& out) {
    std::vector<std::uint64_t> tri(out.n, 0);
    std::vector<std::uint8_t> marked(out.n, 0);
    std::uint64_t* t = tri.data();
    std::uint8_t* mark = marked.data();
    const NodeId* targets = out.targets.data();
    const std::uint64_t* off = out.offsets.data();
    for (NodeId u = 0; u < out.n; ++u) {
        const std::uint64_t begin = off[u], end = off[u + 1];
        if (end - begin < 2) continue;
        for (std::uint64_t k = begin; k < end; ++k) mark[targets[k]] = 1;
        std::uint64_t tu = 0;
        for (std::uint64_t k = begin; k < end; ++k) {
            const NodeId v = targets[k];
            std::uint64_t tv = 0;
            for (std::uint64_t j = off[v], j_end = off[v + 1]; j < j_end; ++j) {
                const NodeId w = targets[j];
                if (mark[w]) {
                    ++tv;
                    ++t[w];
                }
            }
            t[v] += tv;
            tu += tv;
        }
        t[u] += tu;
        for (std::uint64_t k = begin; k < end; ++k) mark[targets[k]] = 0;
    }
    return tri;
}

}  // namespace

Result<TriangleCounts> count_triangles(std::uint64_t n, std::span<const Edge> edges) {
    Result<Adjacency> built = build_adjacency(n, edges, true);
    if (!built.ok()) return built.error();
    Adjacency& adj = built.value();
    TriangleCounts counts;
    counts.degrees = degrees_without_self(adj);
    orient_by_degree(adj, counts.degrees);
    counts.triangles = count_oriented(adj);
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
