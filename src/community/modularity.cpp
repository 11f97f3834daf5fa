#include "community/modularity.hpp"

#include <algorithm>

namespace knotwell {
namespace {

// Maps labels to community indices that keep the ascending order of the
// ids. Dense labels are used as they are; ids ranging far beyond the node
// count are ranked among the distinct ids present. Returns the number of
// accumulator slots.
std::uint64_t compact_labels(std::span<const std::uint64_t> labels, std::vector<std::uint64_t>& index) {
    const std::uint64_t n = labels.size();
    const std::uint64_t largest = *std::max_element(labels.begin(), labels.end());
    index.assign(labels.begin(), labels.end());
    if (largest < 2 * n + 1024) return largest + 1;

    std::vector<std::uint64_t> ids(labels.begin(), labels.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (std::uint64_t& c : index) c = std::lower_bound(ids.begin(), ids.end(), c) - ids.begin();
    return ids.size();
}

}  // namespace

double partition_modularity(const WeightedGraph& g, std::span<const std::uint64_t> labels, double resolution) {
    const double m = g.total_weight;
    const std::uint64_t n = g.node_count;
    if (!(m > 0.0) || n == 0) return 0.0;

    std::vector<std::uint64_t> community;
    const std::uint64_t k = compact_labels(labels, community);
    std::vector<double> internal(k, 0.0), total(k, 0.0);
    const std::uint64_t* c_of = community.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t c = c_of[i];
        total[c] += g.strength[i];
        double in = internal[c] + g.self_loop_weight[i];
        // Each inside edge is met from both ends, half from each.
        for (std::uint64_t j = g.begin(i); j < g.end(i); ++j)
            if (c_of[g.targets[j]] == c) in += g.weights[j] * 0.5;
        internal[c] = in;
    }

    const double two_m = m + m;
    auto term = [&](std::uint64_t c) {
        const double share = total[c] / two_m;
        return internal[c] / m - (share * share) * resolution;
    };
    double q = term(0);
    for (std::uint64_t c = 1; c < k; ++c) q += term(c);
    return q;
}

Check check_weighted_edges(std::uint64_t n, std::span<const Edge> edges,
                           const std::optional<std::vector<double>>& weights) {
    if (auto err = check_edge_range(n, edges)) return err;
    if (weights) return check_weights(*weights, edges.size(), WeightMode::NonNegative);
    return std::nullopt;
}

Result<double> modularity(std::uint64_t n, std::span<const Edge> edges, std::span<const std::uint64_t> labels,
                          const std::optional<std::vector<double>>& weights, double resolution) {
    if (auto err = check_weighted_edges(n, edges, weights)) return *err;
    if (!is_positive_finite(resolution)) return InputError::bad_parameter("resolution", kResolutionRequirement);
    if (auto err = check_labels_length(labels.size(), n)) return *err;
    const WeightedGraph g = build_weighted_graph(n, edges, weights);
    return partition_modularity(g, labels, resolution);
}

}  // namespace knotwell
