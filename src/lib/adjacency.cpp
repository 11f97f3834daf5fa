#include "lib/adjacency.hpp"

#include <limits>
#include <new>

namespace knotwell {

Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    if (auto err = check_edge_range(n, edges)) return *err;
    // n + 1 offsets: for n = 2^64 - 1 the count would wrap to an empty array.
    if (n >= std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) throw std::bad_alloc();

    const std::size_t m = edges.size();
    const std::size_t arcs = undirected ? 2 * m : m;

    // Pass 1: bucket arc sources by arc target.
    std::vector<std::uint64_t> in_off(n + 1, 0);
    for (const Edge& e : edges) {
        ++in_off[e.target + 1];
        if (undirected) ++in_off[e.source + 1];
    }
    for (std::uint64_t v = 0; v < n; ++v) in_off[v + 1] += in_off[v];
    std::vector<NodeId> in_src(arcs);
    {
        std::vector<std::uint64_t> pos(in_off.begin(), in_off.end() - 1);
        for (const Edge& e : edges) {
            in_src[pos[e.target]++] = e.source;
            if (undirected) in_src[pos[e.source]++] = e.target;
        }
    }

    // Pass 2: walk targets ascending and append each to its source's list, so
    // every out-list comes out sorted by target.
    Adjacency adj;
    adj.n = n;
    adj.offsets.assign(n + 1, 0);
    for (NodeId s : in_src) ++adj.offsets[s + 1];
    for (std::uint64_t v = 0; v < n; ++v) adj.offsets[v + 1] += adj.offsets[v];
    adj.targets.resize(arcs);
    {
        std::vector<std::uint64_t> pos(adj.offsets.begin(), adj.offsets.end() - 1);
        for (std::uint64_t t = 0; t < n; ++t)
            for (std::uint64_t k = in_off[t]; k < in_off[t + 1]; ++k) adj.targets[pos[in_src[k]]++] = t;
    }
    std::vector<NodeId>().swap(in_src);
    std::vector<std::uint64_t>().swap(in_off);

    // Squeeze out repeats, keeping the first of each run.
    std::uint64_t write = 0;
    for (std::uint64_t u = 0; u < n; ++u) {
        const std::uint64_t begin = adj.offsets[u], end = adj.offsets[u + 1];
        adj.offsets[u] = write;
        for (std::uint64_t k = begin; k < end; ++k)
            if (k == begin || adj.targets[k] != adj.targets[k - 1]) adj.targets[write++] = adj.targets[k];
    }
    adj.offsets[n] = write;
    adj.targets.resize(write);
    adj.targets.shrink_to_fit();
    return adj;
}

}  // namespace knotwell
