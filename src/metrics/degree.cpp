#include "metrics/degree.hpp"

namespace knotwell {

std::vector<std::uint64_t> degree_sequence(std::uint64_t n, std::span<const Edge> edges, DegreeKind kind) {
    std::vector<std::uint64_t> count(n, 0);
    std::uint64_t* c = count.data();
    const Edge* e = edges.data();
    const std::size_t m = edges.size();
    for (std::size_t i = 0; i < m; ++i) {
        const NodeId u = e[i].source, v = e[i].target;
        switch (kind) {
            case DegreeKind::Out:
                ++c[u];
                break;
            case DegreeKind::In:
                ++c[v];
                break;
            case DegreeKind::Undirected:
                // The self-loop counts once: +1 at the source, +1 at the
                // target unless it is the source.
                ++c[u];
                c[v] += v != u;
                break;
        }
    }
    return count;
}

std::vector<double> strength_sequence(std::uint64_t n, std::span<const Edge> edges, std::span<const double> weights,
                                      bool directed) {
    std::vector<double> sum(n, 0.0);
    double* s = sum.data();
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const NodeId u = edges[i].source, v = edges[i].target;
        s[u] += weights[i];
        if (!directed && v != u) s[v] += weights[i];
    }
    return sum;
}

}  // namespace knotwell
