#include "community/modularity.hpp"

#include "graph/weight_scale.hpp"

#include <algorithm>
#include <cmath>

#include "parallel/interrupt.hpp"

namespace knotwell {
namespace {

constexpr std::size_t kRowsPerPoll = std::size_t{1} << 16;

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

// The sum over communities in ascending order, 2m as m + m.
double sum_terms(std::span<const double> internal, std::span<const double> total, double m, double resolution) {
    const double two_m = m + m;
    auto term = [&](std::uint64_t c) {
        const double share = total[c] / two_m;
        return internal[c] / m - (share * share) * resolution;
    };
    double q = term(0);
    for (std::uint64_t c = 1; c < internal.size(); ++c) q += term(c);
    return q;
}

// Whole weights whose doubled total stays below 2^51: then every partial
// sum of strengths, internal weights and their halves is a multiple of 0.5
// below 2^52, so each addition is exact and the order of additions cannot
// change a result. Unweighted rows (1.0 each) always qualify.
bool sums_are_exact(std::uint64_t rows, const std::optional<std::vector<double>>& weights) {
    constexpr double kExactBound = 0x1p50;
    if (!weights) return rows < (std::uint64_t{1} << 49);
    double total = 0.0;
    for (const double w : *weights) {
        if (std::trunc(w) != w) return false;
        total += w;
    }
    return total < kExactBound;
}

// Modularity straight off the rows, for inputs where `sums_are_exact`: no
// lists are built, and the result equals that of `partition_modularity`.
template <class Row>
double modularity_from_rows(std::uint64_t n, std::span<const Row> edges,
                            const std::optional<std::vector<double>>& weights, std::span<const std::uint64_t> labels,
                            double resolution) {
    const double* w = weights ? weights->data() : nullptr;
    // Both row passes poll between blocks of rows (the call's own copy): on
    // hundreds of millions of rows each takes seconds.
    parallel::InterruptPoll poll;
    const auto in_blocks = [&](auto&& row) {
        for (std::size_t first = 0; first < edges.size(); first += kRowsPerPoll) {
            const std::size_t end = std::min(edges.size(), first + kRowsPerPoll);
            for (std::size_t i = first; i < end; ++i) row(i);
            poll.tick(end - first);
        }
    };
    std::vector<double> strength(n, 0.0);
    in_blocks([&](std::size_t i) {
        const double wi = w ? w[i] : 1.0;
        strength[edges[i].source] += wi;  // a self-loop counts twice
        strength[edges[i].target] += wi;
    });
    double sum = 0.0;
    for (const double s : strength) sum += s;
    const double m = 0.5 * sum;
    if (!(m > 0.0) || n == 0) return 0.0;

    std::vector<std::uint64_t> community;
    const std::uint64_t k = compact_labels(labels, community);
    std::vector<double> internal(k, 0.0), total(k, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) total[community[i]] += strength[i];
    in_blocks([&](std::size_t i) {
        const std::uint64_t c = community[edges[i].source];
        if (community[edges[i].target] == c) internal[c] += w ? w[i] : 1.0;
    });
    return sum_terms(internal, total, m, resolution);
}

}  // namespace

template <class Id>
double partition_modularity(const WeightedGraph<Id>& g, std::span<const std::uint64_t> labels, double resolution) {
    const double m = g.total_weight;
    const std::uint64_t n = g.node_count();
    if (!(m > 0.0) || n == 0) return 0.0;

    std::vector<std::uint64_t> community;
    const std::uint64_t k = compact_labels(labels, community);
    std::vector<double> internal(k, 0.0), total(k, 0.0);
    const std::uint64_t* c_of = community.data();
    const Id* targets = g.lists.targets.data();
    const double* weights = g.lists.weights.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t c = c_of[i];
        total[c] += g.strength[i];
        double in = internal[c] + g.self_loop_weight[i];
        // Each inside edge is met from both ends, half from each.
        for (std::uint64_t j = g.begin(i); j < g.end(i); ++j)
            if (c_of[targets[j]] == c) in += weights[j] * 0.5;
        internal[c] = in;
    }

    return sum_terms(internal, total, m, resolution);
}

template double partition_modularity(const WeightedGraph<std::uint32_t>&, std::span<const std::uint64_t>, double);
template double partition_modularity(const WeightedGraph<std::uint64_t>&, std::span<const std::uint64_t>, double);

double modularity_from_sums(std::span<const double> internal, std::span<const double> total, double m,
                            double resolution) {
    return sum_terms(internal, total, m, resolution);
}

Check check_weighted_edges(const OwnedRows& edges, const std::optional<std::vector<double>>& weights) {
    if (edges.range_failure()) return edges.range_failure();
    if (weights) return check_weights(*weights, edges.size(), WeightMode::NonNegative);
    return std::nullopt;
}

Result<double> modularity(OwnedRows&& edges, std::span<const std::uint64_t> labels,
                          const std::optional<std::vector<double>>& weights, double resolution) {
    if (auto err = check_weighted_edges(edges, weights)) return *err;
    const std::uint64_t n = edges.n();
    if (!is_positive_finite(resolution)) return InputError::bad_parameter("resolution", kResolutionRequirement);
    if (auto err = check_labels_length(labels.size(), n)) return *err;
    if (sums_are_exact(edges.size(), weights))
        return edges.visit([&](auto rows) { return modularity_from_rows(n, rows, weights, labels, resolution); });
    const int scale =
        weight_scale_exponent(edges.size(), weight_span(weights), resolution, WeightExposure::SumsAndHalves);
    return with_id_type(n, [&]<class Id>() {
        const WeightedGraph<Id> g = build_weighted_graph<Id>(std::move(edges), weights, scale);
        return partition_modularity(g, labels, resolution);
    });
}

}  // namespace knotwell
