#include "community/label_propagation.hpp"

#include <algorithm>
#include <array>
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
//
// A node whose last choice drew, and none of whose neighbours changed label
// since, would meet the same ties in the same order: the same bounded draws,
// each (from the last strict maximum on) taking the same label when it
// gives 0. Up to kReplayDraws such draws are kept per node and replayed
// instead of summing its list again; on graphs mixed enough that ties
// persist, these nodes are most of every late iteration.
constexpr std::size_t kReplayDraws = 3;

template <class Id>
struct Replay {
    Id base;                  // the last strict maximum
    std::uint8_t draws;       // how many draws the choice made
    std::uint8_t final_from;  // draws before the last strict maximum
    std::array<std::uint32_t, kReplayDraws> bound;
    std::array<Id, kReplayDraws> label;
};

// pending[u]: u must choose again (kChoose), replays its draws (kReplay),
// or would choose the same label without a draw (kSettled).
constexpr std::uint8_t kSettled = 0, kChoose = 1, kReplay = 2;

template <class Id>
struct Propagation {
    const WeightedGraph<Id>& g;
    const Id* targets;  // g's list entries
    std::vector<Id> labels;
    std::vector<double> label_weight;  // 0.0 except for labels in `touched`
    std::vector<Id> touched;           // labels written for the current node
    std::uint64_t n_touched;
    SplitMix64 stream;
    std::vector<std::uint8_t> pending;  // kSettled, kChoose or kReplay
    std::vector<Replay<Id>> replay;     // read where pending is kReplay
    bool drew = false;                  // the last choice drew from the stream
    bool kept = false;                  // ... and its draws fit `replay`

    // The label that u adopts: largest summed weight, ties uniform.
    Id choose(NodeId u) {
        for (std::uint64_t t = 0; t < n_touched; ++t) label_weight[touched[t]] = 0.0;
        // With zero weights a label can be listed twice; each listing takes
        // part in the draw.
        double* weight_of = label_weight.data();
        n_touched = gather_by_key<Id>(
            g.begin(u), g.end(u), targets, g.lists.weights.data(), labels.data(),
            [weight_of](Id c) -> double& { return weight_of[c]; }, touched.data());
        drew = false;
        // Kept in registers, and stored only when it will be replayed: most
        // choices draw nothing.
        Replay<Id> r{};
        std::uint64_t draws = 0;
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
                r.base = l;
                r.final_from = static_cast<std::uint8_t>(std::min<std::uint64_t>(draws, kReplayDraws));
            } else if (s == best_weight) {
                ++count;
                drew = true;
                if (draws < kReplayDraws) {
                    r.bound[draws] = static_cast<std::uint32_t>(count);
                    r.label[draws] = l;
                }
                draws += 1 + (count > std::numeric_limits<std::uint32_t>::max() ? kReplayDraws : 0);
                if (stream.gen_below(count) == 0) best = l;
            }
        }
        kept = drew && draws <= kReplayDraws;
        if (kept) {
            r.draws = static_cast<std::uint8_t>(draws);
            replay[u] = r;
        }
        return best;
    }

    // The label that u's last choice would give again: its draws, in order.
    Id replay_choice(NodeId u) {
        const Replay<Id>& r = replay[u];
        Id best = r.base;
        for (std::uint8_t d = 0; d < r.draws; ++d)
            if (stream.gen_below(r.bound[d]) == 0 && d >= r.final_from) best = r.label[d];
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
            if (i + 6 < len && due[order[i + 6]] == kChoose) __builtin_prefetch(off + order[i + 6]);
            if (i + 3 < len && due[order[i + 3]] == kChoose)
                prefetch_list(off[order[i + 3]], off[order[i + 3] + 1], targets, g.lists.weights.data());
            if (i + 3 < len && due[order[i + 3]] == kReplay) __builtin_prefetch(replay.data() + order[i + 3]);
            if (i + 1 < len && due[order[i + 1]] == kChoose) {
                const std::uint64_t v = order[i + 1];
                const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
                for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(labels.data() + targets[j]);
            }
            if (g.begin(u) == g.end(u)) {  // nothing to adopt, nothing drawn
                pending[u] = kSettled;
                continue;
            }
            Id best;
            if (due[u] == kReplay) {
                best = replay_choice(u);
            } else {
                best = choose(u);
                pending[u] = kept ? kReplay : drew ? kChoose : kSettled;
            }
            if (best != labels[u]) {
                labels[u] = best;
                changed = true;
                for (std::uint64_t j = off[u]; j < off[u + 1]; ++j) pending[targets[j]] = kChoose;
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
                          std::vector<std::uint8_t>(n, kChoose),
                          std::vector<Replay<Id>>(n)};
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
