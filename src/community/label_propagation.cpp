#include "community/label_propagation.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "community/modularity.hpp"
#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/weight_scale.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

// Labels and the lists' ids are of type Id, 32-bit whenever n allows: the
// label table then fits the L2 cache on graphs where the 64-bit one would
// not, and the lists stream at half the bytes.
template <class Id>
struct Propagation {
    const WeightedGraph& g;
    const Id* targets;  // g's lists with Id-wide ids
    std::vector<Id> labels;
    std::vector<double> label_weight;  // 0.0 except for labels in `touched`
    std::vector<Id> touched;           // labels written for the current node
    std::uint64_t n_touched;
    SplitMix64 stream;

    // The label that u adopts: largest summed weight, ties uniform.
    Id choose(NodeId u) {
        for (std::uint64_t t = 0; t < n_touched; ++t) label_weight[touched[t]] = 0.0;
        // With zero weights a label can be listed twice; each listing takes
        // part in the draw.
        n_touched = gather_by_key<Id>(g.begin(u), g.end(u), targets, g.weights.data(), labels.data(),
                                      label_weight.data(), touched.data());
        Id best = 0;
        std::uint64_t count = 0;
        double best_weight = -std::numeric_limits<double>::infinity();
        for (std::uint64_t t = 0; t < n_touched; ++t) {
            const Id l = touched[t];
            const double s = label_weight[l];
            if (s > best_weight) {
                best = l;
                best_weight = s;
                count = 1;
            } else if (s == best_weight) {
                ++count;
                if (stream.gen_below(count) == 0) best = l;
            }
        }
        return best;
    }

    // One iteration; returns whether any label changed.
    bool iterate(std::span<std::uint64_t> order) {
        stream.shuffle(order);
        bool changed = false;
        const std::uint64_t len = order.size();
        const std::uint64_t* off = g.offsets.data();
        parallel::InterruptPoll poll;
        for (std::uint64_t i = 0; i < len; ++i) {
            const NodeId u = order[i];
            poll.tick(off[u + 1] - off[u] + 1);
            prefetch_visit<Id>(order, i, off, targets, g.weights.data(), labels.data());
            if (g.begin(u) == g.end(u)) continue;  // nothing to adopt, nothing drawn
            const Id best = choose(u);
            if (best != labels[u]) {
                labels[u] = best;
                changed = true;
            }
        }
        return changed;
    }
};

}  // namespace

Result<std::vector<std::uint64_t>> label_propagation(OwnedRows&& edges,
                                                     const std::optional<std::vector<double>>& weights,
                                                     std::uint64_t seed, std::uint64_t max_iter) {
    if (auto err = check_weighted_edges(edges, weights)) return *err;
    const std::uint64_t n = edges.n();
    if (max_iter == 0) return InputError::bad_parameter("max_iter", "must be at least 1");
    if (n == 0) return std::vector<std::uint64_t>{};

    // Sums of weights near the top of the range would tie at infinity.
    const int scale = weight_scale_exponent(edges.size(), weight_span(weights), 1.0, WeightExposure::Sums);
    const WeightedGraph g = build_weighted_graph(std::move(edges), weights, scale);
    std::vector<std::uint64_t> labels = with_id_type(n, [&]<class Id>() {
        std::vector<Id> narrowed;
        const Id* targets = targets_as(g, narrowed);
        Propagation<Id> p{
            g, targets,         std::vector<Id>(n), std::vector<double>(n, 0.0), std::vector<Id>(max_list_length(g)),
            0, SplitMix64(seed)};
        std::iota(p.labels.begin(), p.labels.end(), Id{0});
        std::vector<std::uint64_t> order(n);
        std::iota(order.begin(), order.end(), std::uint64_t{0});

        for (std::uint64_t iterations = 1;; ++iterations)
            if (!p.iterate(order) || iterations >= max_iter) break;
        return std::vector<std::uint64_t>(p.labels.begin(), p.labels.end());
    });
    relabel_by_first_appearance(labels, n);
    return labels;
}

}  // namespace knotwell
