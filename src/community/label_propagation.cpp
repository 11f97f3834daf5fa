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
//
// A node's choice depends only on its neighbours' labels (its own takes no
// part), read in list order. A node whose last choice drew nothing from the
// stream (no tie was met on the way) and none of whose neighbours changed
// label since would choose the same label again without a draw, so it is
// skipped: the labels, the draws and the iteration count are those of
// visiting every node.
template <class Id>
struct Propagation {
    const WeightedGraph<Id>& g;
    const Id* targets;  // g's list entries
    std::vector<Id> labels;
    std::vector<double> label_weight;  // 0.0 except for labels in `touched`
    std::vector<Id> touched;           // labels written for the current node
    std::uint64_t n_touched;
    SplitMix64 stream;
    std::vector<std::uint8_t> pending;  // 1: the node must choose again
    bool drew = false;                  // the last choice drew from the stream

    // The label that u adopts: largest summed weight, ties uniform.
    Id choose(NodeId u) {
        for (std::uint64_t t = 0; t < n_touched; ++t) label_weight[touched[t]] = 0.0;
        // With zero weights a label can be listed twice; each listing takes
        // part in the draw.
        n_touched = gather_by_key<Id>(g.begin(u), g.end(u), targets, g.lists.weights.data(), labels.data(),
                                      label_weight.data(), touched.data());
        drew = false;
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
                drew = true;
                if (stream.gen_below(count) == 0) best = l;
            }
        }
        return best;
    }

    // One iteration; returns whether any label changed.
    bool iterate(std::span<Id> order) {
        stream.shuffle(order);
        bool changed = false;
        const std::uint64_t len = order.size();
        const std::uint64_t* off = g.lists.offsets.data();
        parallel::InterruptPoll poll;
        const std::uint8_t* due = pending.data();
        for (std::uint64_t i = 0; i < len; ++i) {
            const NodeId u = order[i];
            if (!due[u]) {
                poll.tick();
                continue;
            }
            poll.tick(off[u + 1] - off[u] + 1);
            // The order is random, so each list starts with a cache miss:
            // fetch the offsets six nodes ahead, the list three ahead and
            // the labels of the next node's first neighbours, for the nodes
            // that will be visited (inline: as a helper the same prefetches
            // cost more than they save).
            if (i + 6 < len && due[order[i + 6]]) __builtin_prefetch(off + order[i + 6]);
            if (i + 3 < len && due[order[i + 3]])
                prefetch_list(off[order[i + 3]], off[order[i + 3] + 1], targets, g.lists.weights.data());
            if (i + 1 < len && due[order[i + 1]]) {
                const std::uint64_t v = order[i + 1];
                const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
                for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(labels.data() + targets[j]);
            }
            if (g.begin(u) == g.end(u)) {  // nothing to adopt, nothing drawn
                pending[u] = 0;
                continue;
            }
            const Id best = choose(u);
            pending[u] = drew;
            if (best != labels[u]) {
                labels[u] = best;
                changed = true;
                for (std::uint64_t j = off[u]; j < off[u + 1]; ++j) pending[targets[j]] = 1;
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
    std::vector<std::uint64_t> labels = with_id_type(n, [&]<class Id>() {
        const WeightedGraph<Id> g = build_weighted_graph<Id>(std::move(edges), weights, scale);
        Propagation<Id> p{g,
                          g.lists.targets.data(),
                          std::vector<Id>(n),
                          std::vector<double>(n, 0.0),
                          std::vector<Id>(max_list_length(g.lists)),
                          0,
                          SplitMix64(seed),
                          std::vector<std::uint8_t>(n, 1)};
        std::iota(p.labels.begin(), p.labels.end(), Id{0});
        std::vector<Id> order(n);
        std::iota(order.begin(), order.end(), Id{0});

        for (std::uint64_t iterations = 1;; ++iterations)
            if (!p.iterate(order) || iterations >= max_iter) break;
        return std::vector<std::uint64_t>(p.labels.begin(), p.labels.end());
    });
    relabel_by_first_appearance(labels, n);
    return labels;
}

}  // namespace knotwell
