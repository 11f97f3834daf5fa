#include "graph/csr.hpp"

namespace knotwell {

Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected) {
    if (auto err = check_edge_range(n, edges)) return *err;
    return build_csr<NodeId>(n, edges, CsrOptions{.undirected = undirected, .merge = Merge::First});
}

}  // namespace knotwell
