#include "metrics/degree.hpp"

namespace knotwell {

std::vector<std::uint64_t> degree_sequence(std::uint64_t n, std::span<const Edge> edges, DegreeKind kind) {
    std::vector<std::uint64_t> count(n, 0);
    std::uint64_t* c = count.data();
    switch (kind) {
        case DegreeKind::Out:
            for (const Edge& e : edges) ++c[e.source];
            break;
        case DegreeKind::In:
            for (const Edge& e : edges) ++c[e.target];
            break;
        case DegreeKind::Undirected:
            // The self-loop rule as arithmetic: +1 at the source, +1 at the
            // target unless it is the source.
            for (const Edge& e : edges) {
                ++c[e.source];
                c[e.target] += e.target != e.source;
            }
            break;
    }
    return count;
}

std::vector<double> strength_sequence(std::uint64_t n, std::span<const Edge> edges, std::span<const double> weights,
                                      bool directed) {
    std::vector<double> sum(n, 0.0);
    double* s = sum.data();
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Edge e = edges[i];
        s[e.source] += weights[i];
        if (!directed && e.target != e.source) s[e.target] += weights[i];
    }
    return sum;
}

}  // namespace knotwell
