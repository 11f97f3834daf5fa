#include "community/louvain.hpp"

#include <algorithm>
#include <numeric>

#include "community/modularity.hpp"
#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/weight_scale.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

constexpr std::uint64_t kMaxPasses = 1000;

// Tables of one level's local moving, sized by its node count. The moving
// runs on ids of type Id, 32-bit whenever the level's node count allows:
// the community table then fits the L2 cache on graphs where the 64-bit one
// would not, and the lists stream at half the bytes.
template <class Id>
struct Level {
    std::vector<Id> targets;  // the level's lists, narrowed (unused when Id is NodeId)
    std::vector<Id> community;
    std::vector<double> community_strength;
    std::vector<double> weight_to;  // 0.0 except for ids in `touched`
    std::vector<Id> touched;        // ids written for the current node
    std::uint64_t n_touched = 0;
};

// One pass over `order`; returns the number of nodes that changed community.
template <class Id>
std::uint64_t move_nodes(const WeightedGraph& g, const Id* targets, std::span<const std::uint64_t> order,
                         double resolution, double two_m, Level<Id>& lv) {
    Id* community = lv.community.data();
    double* cs = lv.community_strength.data();
    double* weight_to = lv.weight_to.data();
    Id* touched = lv.touched.data();
    std::uint64_t moves = 0;
    const std::uint64_t len = order.size();
    const std::uint64_t* off = g.offsets.data();
    parallel::InterruptPoll poll;
    for (std::uint64_t i = 0; i < len; ++i) {
        const std::uint64_t u = order[i];
        poll.tick(off[u + 1] - off[u] + 1);
        prefetch_visit<Id>(order, i, off, targets, g.weights.data(), community);
        const double k_u = g.strength[u];
        const Id c_old = community[u];
        for (std::uint64_t t = 0; t < lv.n_touched; ++t) weight_to[touched[t]] = 0.0;
        lv.n_touched = gather_by_key<Id>(off[u], off[u + 1], targets, g.weights.data(), community, weight_to, touched);
        cs[c_old] -= k_u;

        const double r = resolution * k_u;
        Id best = c_old;
        double best_gain = weight_to[c_old] - (cs[c_old] * r) / two_m;
        for (std::uint64_t t = 0; t < lv.n_touched; ++t) {
            const Id c = touched[t];
            if (c == c_old) continue;
            // gain = weight_to[c] - x with x >= 0 cannot beat a best gain
            // of at least weight_to[c]: skip the division.
            if (weight_to[c] <= best_gain && cs[c] >= 0.0) continue;
            const double gain = weight_to[c] - (cs[c] * r) / two_m;
            if (gain > best_gain) {
                best = c;
                best_gain = gain;
            }
        }
        cs[best] += k_u;
        community[u] = best;
        moves += best != c_old;
    }
    return moves;
}

// Local moving of one level until a pass moves nothing (or the pass limit);
// leaves each node's community in `node_community`.
template <class Id>
void local_moving(const WeightedGraph& g, double resolution, double two_m, std::optional<SplitMix64>& stream,
                  Level<Id>& lv, std::vector<std::uint64_t>& node_community) {
    const std::uint64_t n = g.node_count;
    const Id* targets = targets_as(g, lv.targets);
    lv.community.resize(n);
    std::iota(lv.community.begin(), lv.community.end(), Id{0});
    lv.community_strength.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) lv.community_strength[i] = 0.0 + g.strength[i];
    lv.weight_to.assign(n, 0.0);
    lv.touched.assign(max_list_length(g), 0);
    lv.n_touched = 0;

    std::vector<std::uint64_t> order(n);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    if (stream) stream->shuffle(std::span<std::uint64_t>(order));

    for (std::uint64_t pass = 0; pass < kMaxPasses; ++pass)
        if (move_nodes(g, targets, order, resolution, two_m, lv) == 0) break;
    node_community.assign(lv.community.begin(), lv.community.end());
}

// One node per community (ids 0..k-1): internal edges become self-loop
// weight (half from each end), the others are re-listed between
// communities. The members of each community are visited in ascending node
// order, each list in list order, which is the order in which the arcs of
// the community's list are met; a dense accumulator keyed by neighbouring
// community sums each run in that order, and the distinct neighbours are
// then sorted. One pass over the arcs, with no transposition.
WeightedGraph coarsen(const WeightedGraph& g, std::span<const std::uint64_t> community, std::uint64_t k) {
    const std::uint64_t n = g.node_count;
    std::vector<std::uint64_t> start(k + 1, 0);
    for (std::uint64_t i = 0; i < n; ++i) ++start[community[i] + 1];
    for (std::uint64_t c = 0; c < k; ++c) start[c + 1] += start[c];
    std::vector<NodeId> members(n);
    {
        std::vector<std::uint64_t> fill(start.begin(), start.end() - 1);
        for (std::uint64_t i = 0; i < n; ++i) members[fill[community[i]]++] = i;
    }

    WeightedGraph coarse;
    coarse.node_count = k;
    coarse.total_weight = g.total_weight;
    coarse.self_loop_weight.assign(k, 0.0);
    coarse.offsets.assign(k + 1, 0);
    coarse.targets.reserve(std::min<std::uint64_t>(g.targets.size(), 4 * k + 64));
    coarse.weights.reserve(coarse.targets.capacity());
    std::vector<double> sum(k, 0.0);
    std::vector<std::uint64_t> mark(k, k);  // == c once listed for community c
    std::vector<std::uint64_t> listed;
    const std::uint64_t* off = g.offsets.data();
    const NodeId* targets = g.targets.data();
    const double* weights = g.weights.data();
    constexpr std::uint64_t kAhead = 4;
    parallel::InterruptPoll poll;
    for (std::uint64_t c = 0; c < k; ++c) {
        poll.tick(start[c + 1] - start[c] + 1);
        double self = 0.0;
        listed.clear();
        for (std::uint64_t m = start[c]; m < start[c + 1]; ++m) {
            if (m + kAhead < n) {
                const std::uint64_t b = off[members[m + kAhead]];
                __builtin_prefetch(targets + b);
                __builtin_prefetch(weights + b);
            }
            const NodeId i = members[m];
            self = self + g.self_loop_weight[i];
            for (std::uint64_t j = off[i]; j < off[i + 1]; ++j) {
                const std::uint64_t c_v = community[targets[j]];
                const double w = weights[j];
                if (c_v == c) {
                    self += w * 0.5;
                } else if (mark[c_v] != c) {
                    mark[c_v] = c;
                    sum[c_v] = w;
                    listed.push_back(c_v);
                } else {
                    sum[c_v] += w;
                }
            }
        }
        coarse.self_loop_weight[c] = self;
        std::sort(listed.begin(), listed.end());
        for (const std::uint64_t c_v : listed) {
            coarse.targets.push_back(c_v);
            coarse.weights.push_back(sum[c_v]);
        }
        coarse.offsets[c + 1] = coarse.targets.size();
    }
    compute_strengths(coarse);
    return coarse;
}

Check check_louvain(const OwnedRows& edges, const std::optional<std::vector<double>>& weights, double resolution,
                    std::uint64_t max_levels) {
    if (auto err = check_weighted_edges(edges, weights)) return err;
    if (!is_positive_finite(resolution)) return InputError::bad_parameter("resolution", kResolutionRequirement);
    if (max_levels == 0) return InputError::bad_parameter("max_levels", "must be at least 1");
    return std::nullopt;
}

}  // namespace

Result<LouvainResult> louvain(OwnedRows&& edges, const std::optional<std::vector<double>>& weights, double resolution,
                              std::optional<std::uint64_t> seed, std::uint64_t max_levels) {
    if (auto err = check_louvain(edges, weights, resolution, max_levels)) return *err;
    const std::uint64_t n = edges.n();

    // Exact power-of-two rescaling keeps every gain within the double range;
    // labels and modularity are those of the unscaled weights.
    const int scale = weight_scale_exponent(edges.size(), weight_span(weights), resolution, WeightExposure::Gains);
    const WeightedGraph input = build_weighted_graph(std::move(edges), weights, scale);
    LouvainResult result;
    result.labels.resize(n);
    std::iota(result.labels.begin(), result.labels.end(), std::uint64_t{0});
    result.n_communities = n;
    if (n == 0 || !(input.total_weight > 0.0)) return result;

    std::optional<SplitMix64> stream;
    if (seed) stream.emplace(*seed);
    const double two_m = input.total_weight + input.total_weight;

    // The first level reads the input graph itself; it is never changed.
    const WeightedGraph* work = &input;
    WeightedGraph coarse;
    std::vector<std::uint64_t> community;
    with_id_type(n, [&]<class Id>() {
        Level<Id> lv;
        while (result.n_levels < max_levels) {
            local_moving(*work, resolution, two_m, stream, lv, community);
            const std::uint64_t k = relabel_by_first_appearance(community, work->node_count);
            if (k == work->node_count) break;
            ++result.n_levels;
            for (std::uint64_t& label : result.labels) label = community[label];
            WeightedGraph next = coarsen(*work, community, k);
            coarse = std::move(next);
            work = &coarse;
        }
    });

    result.n_communities = relabel_by_first_appearance(result.labels, n);
    result.modularity = partition_modularity(input, result.labels, resolution);
    return result;
}

}  // namespace knotwell
