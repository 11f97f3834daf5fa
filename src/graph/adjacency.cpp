#include "graph/adjacency.hpp"

namespace knotwell {

Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    if (auto err = check_edge_range(n, edges)) return *err;

    // Pass 1: arc sources grouped by arc target.
    std::vector<std::uint64_t> in_off;
    std::vector<NodeId> in_src;
    group_by_key<NodeId>(
        n,
        [&](auto&& emit) {
            for (const Edge& e : edges) {
                emit(e.target, e.source);
                if (undirected) emit(e.source, e.target);
            }
        },
        in_off, in_src);

    // Pass 2: walk targets ascending and regroup by source; the grouping is
    // stable, so every out-list comes out sorted by target.
    Adjacency adj;
    adj.n = n;
    group_by_key<NodeId>(
        n,
        [&](auto&& emit) {
            for (std::uint64_t t = 0; t < n; ++t)
                for (std::uint64_t k = in_off[t]; k < in_off[t + 1]; ++k) emit(in_src[k], t);
        },
        adj.offsets, adj.targets);
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
