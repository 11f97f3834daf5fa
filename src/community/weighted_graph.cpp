#include "community/weighted_graph.hpp"

#include "graph/weight_scale.hpp"

#include <cmath>

namespace knotwell {

template <class Id>
WeightedGraph<Id> build_weighted_graph(OwnedRows&& rows, const std::optional<std::vector<double>>& weights,
                                       int scale_exponent, WeightedParts parts) {
    const std::uint64_t n = rows.n();
    require_node_arrays(n, kCsrBytesPerNode + 2 * sizeof(double));
    const double unit = std::ldexp(1.0, scale_exponent);
    std::vector<double> scaled;
    const double* w = weights ? weights->data() : nullptr;
    if (w && scale_exponent != 0) {
        scaled.resize(weights->size());
        scale_weights(*weights, scale_exponent, scaled);
        w = scaled.data();
    }

    WeightedGraph<Id> g;
    const bool all = parts == WeightedParts::All;
    if (all) {
        g.self_loop_weight.assign(n, 0.0);
        rows.visit([&](auto edges) {
            parallel::InterruptPoll poll;
            for (std::size_t i = 0; i < edges.size(); ++i) {
                poll.tick();
                if (edges[i].source == edges[i].target) g.self_loop_weight[edges[i].source] += w ? w[i] : unit;
            }
        });
    }
    // Row (u, v) emits u -> v, then v -> u, so each pair's weights are
    // summed in row order. Neither the rows nor `scaled` is read after the
    // first grouping pass.
    const CsrOptions options{.undirected = true,
                             .drop_self_loops = true,
                             .merge = w ? Merge::Sum : Merge::Count,
                             .weighted = w != nullptr,
                             .omit_unit_counts = !all};
    const std::span<const double> row_weights = w ? std::span<const double>(w, rows.size()) : std::span<const double>();
    g.lists = rows.visit([&](auto edges) {
        return build_csr<Id>(n, edges, options, row_weights, [&] {
            rows.release();
            std::vector<double>().swap(scaled);
        });
    });
    if (!w && unit != 1.0)
        for (double& x : g.lists.weights) x *= unit;  // exact: a whole count times a power of two
    if (!all) return g;
    compute_strengths(g);

    double sum = 0.0;
    for (double s : g.strength) sum += s;
    g.total_weight = 0.5 * sum;
    return g;
}

template <class Id>
void compute_strengths(WeightedGraph<Id>& g) {
    const std::uint64_t n = g.node_count();
    g.strength.resize(n);
    const double* weights = g.lists.weights.data();
    for (std::uint64_t u = 0; u < n; ++u) {
        double s = g.self_loop_weight[u] + g.self_loop_weight[u];
        for (std::uint64_t j = g.begin(u); j < g.end(u); ++j) s += weights[j];
        g.strength[u] = s;
    }
}

template WeightedGraph<std::uint32_t> build_weighted_graph(OwnedRows&&, const std::optional<std::vector<double>>&, int,
                                                           WeightedParts);
template WeightedGraph<std::uint64_t> build_weighted_graph(OwnedRows&&, const std::optional<std::vector<double>>&, int,
                                                           WeightedParts);
template void compute_strengths(WeightedGraph<std::uint32_t>&);
template void compute_strengths(WeightedGraph<std::uint64_t>&);

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
