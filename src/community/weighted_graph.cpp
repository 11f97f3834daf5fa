#include "community/weighted_graph.hpp"

#include <algorithm>
#include <cmath>

namespace knotwell {

WeightedGraph build_weighted_graph(std::uint64_t n, std::span<const Edge> edges,
                                   const std::optional<std::vector<double>>& weights, int scale_exponent) {
    const double* w = weights ? weights->data() : nullptr;
    const double unit = std::ldexp(1.0, scale_exponent);
    auto weight_of = [w, unit, scale_exponent](std::size_t i) {
        if (!w) return unit;
        return scale_exponent == 0 ? w[i] : std::ldexp(w[i], scale_exponent);
    };

    WeightedGraph g;
    g.node_count = n;
    g.self_loop_weight.assign(n, 0.0);
    for (std::size_t i = 0; i < edges.size(); ++i)
        if (edges[i].source == edges[i].target) g.self_loop_weight[edges[i].source] += weight_of(i);

    // Row (u, v) appends (v, w) to u's list, then (u, w) to v's.
    assemble_lists(
        n,
        [&](auto&& emit) {
            for (std::size_t i = 0; i < edges.size(); ++i) {
                const Edge e = edges[i];
                if (e.source == e.target) continue;
                const double wi = weight_of(i);
                emit(e.source, e.target, wi);
                emit(e.target, e.source, wi);
            }
        },
        g);
    compute_strengths(g);

    double sum = 0.0;
    for (double s : g.strength) sum += s;
    g.total_weight = 0.5 * sum;
    return g;
}

void compute_strengths(WeightedGraph& g) {
    const std::uint64_t n = g.node_count;
    g.strength.resize(n);
    for (std::uint64_t u = 0; u < n; ++u) {
        double s = g.self_loop_weight[u] + g.self_loop_weight[u];
        for (std::uint64_t j = g.begin(u); j < g.end(u); ++j) s += g.weights[j];
        g.strength[u] = s;
    }
}

std::uint64_t max_list_length(const WeightedGraph& g) {
    std::uint64_t longest = 0;
    for (std::uint64_t u = 0; u < g.node_count; ++u) longest = std::max(longest, g.end(u) - g.begin(u));
    return longest;
}

std::uint64_t relabel_by_first_appearance(std::span<std::uint64_t> values, std::uint64_t bound) {
    constexpr std::uint64_t kUnassigned = ~std::uint64_t{0};
    std::vector<std::uint64_t> table(bound, kUnassigned);
    std::uint64_t next = 0;
    for (std::uint64_t& v : values) {
        std::uint64_t& id = table[v];
        if (id == kUnassigned) id = next++;
        v = id;
    }
    return next;
}

}  // namespace knotwell
