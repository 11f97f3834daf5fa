// Hop distances from one source (calling thread) and from several sources
// (one search per source on the worker pool, each writing its row of the
// result matrix directly).
//
// Single source: O(n + m) build plus one direction-optimizing search.
// Several sources: the graph is built once and shared read-only; source i's
// search fills row i, so no row is held twice and peak memory is the k x n
// matrix, the graph and one queue per running search. O(n + m) per source.
#include <algorithm>
#include <utility>

#include "parallel/parallel.hpp"
#include "paths/bfs.hpp"
#include "paths/paths.hpp"

namespace knotwell::paths {
namespace {

// A bad source is reported as an edge error on purpose: the message names
// "edge 0" with the source as both ids, the wording callers match on.
InputError source_out_of_range(NodeId source, std::uint64_t n) {
    return InputError::edge_out_of_range(0, source, source, n);
}

// Bytes per node of one search besides the graph: the distance row and a
// workspace (queue, marks and two bitmaps).
constexpr std::uint64_t kSearchBytesPerNode = 8 + 8 + 1 + 1;

std::size_t matrix_size(std::size_t rows, std::uint64_t n) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(rows, n, &cells) || cells > std::vector<std::uint64_t>().max_size())
        throw std::bad_alloc();
    return cells;
}

template <class Id>
Result<std::vector<std::uint64_t>> fill_distance_rows(std::uint64_t n, const Csr<Id>& g, bool undirected,
                                                      std::span<const NodeId> sources) {
    std::vector<std::uint64_t> matrix;
    parallel::resize_polled(matrix, matrix_size(sources.size(), n), kUnreachable);
    auto failure = parallel::collect_sweep_with<InputError>(
        sources.size(), [] { return DistanceWorkspace<Id>{}; },
        [&](std::size_t i, DistanceWorkspace<Id>& ws) -> std::optional<InputError> {
            // The caller has checked every source; this keeps the search in
            // bounds should that ever change.
            if (sources[i] >= n) return source_out_of_range(sources[i], n);
            search_distances(g, undirected, sources[i], std::span<std::uint64_t>(matrix.data() + i * n, n), ws);
            return std::nullopt;
        },
        parallel::work_product(sources.size(), n + g.targets.size()));
    if (failure) return *failure;
    return matrix;
}

}  // namespace

Result<std::vector<std::uint64_t>> shortest_paths(std::uint64_t n, const SharedEdges& edges, NodeId source,
                                                  bool directed) {
    return with_id_type(n, [&]<class Id>() -> Result<std::vector<std::uint64_t>> {
        Result<TraversalRows<Id>> rows = read_traversal_rows<Id>(n, edges, !directed);
        if (!rows.ok()) return rows.error();
        if (source >= n) return source_out_of_range(source, n);
        require_node_arrays(n, kCsrBytesPerNode + kSearchBytesPerNode);
        const Csr<Id> g = build_traversal_graph(std::move(rows.value()));
        std::vector<std::uint64_t> dist(n, kUnreachable);
        DistanceWorkspace<Id> ws;
        search_distances(g, !directed, source, dist, ws);
        return dist;
    });
}

Result<std::vector<std::uint64_t>> shortest_paths_multi(OwnedRows&& edges, std::span<const NodeId> sources,
                                                        bool directed) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    return with_id_type(n, [&]<class Id>() -> Result<std::vector<std::uint64_t>> {
        // Report the first bad source in input order, before any row is computed.
        for (NodeId s : sources)
            if (s >= n) return source_out_of_range(s, n);
        require_node_arrays(n, kCsrBytesPerNode + kSearchBytesPerNode);
        const Csr<Id> g = build_traversal_graph(TraversalRows<Id>{n, !directed, edges.take<Id>(), {}});
        return fill_distance_rows(n, g, !directed, sources);
    });
}

}  // namespace knotwell::paths
