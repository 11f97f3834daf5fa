#include "community/label_propagation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <numeric>
#include <type_traits>

#include "community/modularity.hpp"
#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/scratch.hpp"
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
struct alignas(32) Replay {   // 32 bytes (64 with 64-bit ids): one cache line
    Id base;                  // the last strict maximum
    std::uint8_t draws;       // how many draws the choice made
    std::uint8_t final_from;  // draws before the last strict maximum
    std::array<std::uint32_t, kReplayDraws> bound;
    std::array<Id, kReplayDraws> label;
};

// Below this many nodes an iteration walks the order position by position:
// every table stays in the L1 and L2 caches, and the queue of due nodes and
// its read-ahead (see `iterate`) would cost more than they save.
constexpr std::uint64_t kSmallGraph = 512;

// pending[u]: u must choose again (kChoose), replays its draws (kReplay),
// or would choose the same label without a draw (kSettled).
constexpr std::uint8_t kSettled = 0, kChoose = 1, kReplay = 2;

// Sum is the type of a label's summed weight: double in general, or Id when
// every list entry weighs the same w > 0 (an unweighted graph without
// repeated pairs, where each entry weighs the unit). Then the
// double sums are the exact k x w of k entries, ordered and equal as the
// counts k are, so counting gives the same maxima, ties and draws, with no
// weights to stream and a label table half the size (it and `labels` then
// fit the L2 cache on graphs where the doubles would not).
template <class Id, class Sum>
struct Propagation {
    static constexpr bool kCounts = !std::is_same_v<Sum, double>;

    const WeightedGraph<Id>& g;
    const Id* targets;  // g's list entries
    ScratchVector<Id> labels;
    ScratchVector<Sum> label_weight;  // 0 except for labels in `touched`
    ScratchVector<Id> touched;        // labels written for the current node
    std::uint64_t n_touched;
    SplitMix64 stream;
    ScratchVector<std::uint8_t> pending;  // kSettled, kChoose or kReplay
    UninitTable<Replay<Id>> replay;       // read where pending is kReplay
    bool drew = false;                    // the last choice drew from the stream
    bool kept = false;                    // ... and its draws fit `replay`

    // The label that u adopts: largest summed weight, ties uniform.
    Id choose(NodeId u) {
        for (std::uint64_t t = 0; t < n_touched; ++t) label_weight[touched[t]] = 0;
        // With zero weights a label can be listed twice; each listing takes
        // part in the draw.
        Sum* weight_of = label_weight.data();
        if constexpr (kCounts)
            n_touched = count_by_label(g.begin(u), g.end(u));
        else
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
        // Counts are at least 1, so 0 is below every one as -inf is below
        // every double sum.
        Sum best_weight = kCounts ? Sum{0} : static_cast<Sum>(-std::numeric_limits<double>::infinity());
        for (std::uint64_t t = 0; t < n_touched; ++t) {
            const Id l = touched[t];
            const Sum s = label_weight[l];
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

    // gather_by_key with each entry counting 1: the same touched labels in
    // the same order, the same read-ahead.
    std::uint64_t count_by_label(std::uint64_t begin, std::uint64_t end) {
        constexpr std::uint64_t kAhead = 8;
        const Id* key = labels.data();
        Sum* sum = label_weight.data();
        Id* out = touched.data();
        std::uint64_t count = 0;
        for (std::uint64_t j = begin; j < end; ++j) {
            if (j + kAhead < end) __builtin_prefetch(key + targets[j + kAhead]);
            if (j + kAhead / 2 < end) __builtin_prefetch(sum + key[targets[j + kAhead / 2]]);
            const Id c = key[targets[j]];
            const Sum s = sum[c];
            out[count] = c;
            count += s == 0;
            sum[c] = s + 1;
        }
        return count;
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
    //
    // The nodes due in the shuffled order are queued kAhead deep ahead of
    // the visit, so the read-ahead counts due nodes, not positions: late in
    // a run most nodes are settled, and a fixed number of positions ahead
    // would reach a due node only just before its visit. Each queued node
    // stays due until its visit (only its own choice settles it); a node
    // passed over as settled can be woken by a later change, so such a
    // change queues again from the position after the changed node.
    bool iterate(std::span<Id> order) {
        if (order.size() < kSmallGraph) return iterate_small(order);
        stream.shuffle(order);
        bool changed = false;
        const std::uint64_t len = order.size();
        const std::uint64_t* off = g.lists.offsets.data();
        const double* weights = g.lists.weights.data();
        parallel::InterruptPoll poll;
        std::uint8_t* due = pending.data();
        constexpr std::uint64_t kAhead = 16;  // a power of two, above the deepest read-ahead
        constexpr std::uint64_t kReplayAhead = 12, kOffsetsAhead = 6, kListAhead = 3, kLabelsAhead = 1;
        std::array<Id, kAhead> queue;
        std::array<std::uint64_t, kAhead> queued_at;
        std::uint64_t head = 0, tail = 0;  // queue[head % kAhead .. tail % kAhead)
        // Positions are read 64 at a time into a mask of the due ones: the
        // 64 reads of `pending` are independent, where a position-by-position
        // scan waits on each before it knows where the next goes.
        std::uint64_t next = 0;  // the first position not read yet
        std::uint64_t base = 0;  // bit k of `due_bits`: position base + k was due when read
        std::uint64_t due_bits = 0;
        for (;;) {
            while (tail - head < kAhead) {
                if (due_bits == 0) {
                    if (next >= len) break;
                    const std::uint64_t count = std::min<std::uint64_t>(64, len - next);
                    std::uint64_t bits = 0;
                    for (std::uint64_t k = 0; k < count; ++k)
                        bits |= static_cast<std::uint64_t>(due[order[next + k]] != kSettled) << k;
                    due_bits = bits;
                    base = next;
                    next += count;
                    poll.tick(count);
                    continue;
                }
                const std::uint64_t at = base + static_cast<std::uint64_t>(std::countr_zero(due_bits));
                due_bits &= due_bits - 1;
                queue[tail % kAhead] = order[at];
                queued_at[tail % kAhead] = at;
                ++tail;
            }
            if (head == tail) break;
            const Id u = queue[head % kAhead];
            const std::uint64_t at = queued_at[head % kAhead];
            ++head;
            // The order is random, so each list starts with a cache miss:
            // fetch the offsets six due nodes ahead, the list three ahead
            // and the labels of the next node's first neighbours; a replay
            // takes a few draws, so its record and label are fetched twelve
            // ahead (inline: as a helper the same prefetches cost more than
            // they save).
            if (tail - head >= kReplayAhead) {
                const Id v = queue[(head + kReplayAhead - 1) % kAhead];
                if (due[v] == kReplay) {
                    __builtin_prefetch(&replay[v]);
                    __builtin_prefetch(labels.data() + v);
                }
            }
            if (tail - head >= kOffsetsAhead && due[queue[(head + kOffsetsAhead - 1) % kAhead]] == kChoose)
                __builtin_prefetch(off + queue[(head + kOffsetsAhead - 1) % kAhead]);
            if (tail - head >= kListAhead && due[queue[(head + kListAhead - 1) % kAhead]] == kChoose) {
                const Id v = queue[(head + kListAhead - 1) % kAhead];
                if constexpr (kCounts) {  // no weights to fetch
                    const char* t = reinterpret_cast<const char*>(targets + off[v]);
                    const std::uint64_t bytes = (off[v + 1] - off[v]) * sizeof(Id);
                    for (std::uint64_t line = 0; line < kPrefetchLines && 64 * line < bytes; ++line)
                        __builtin_prefetch(t + 64 * line);
                } else {
                    prefetch_list(off[v], off[v + 1], targets, weights);
                }
            }
            if (tail - head >= kLabelsAhead && due[queue[(head + kLabelsAhead - 1) % kAhead]] == kChoose) {
                const std::uint64_t v = queue[(head + kLabelsAhead - 1) % kAhead];
                const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
                for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(labels.data() + targets[j]);
            }
            if (due[u] == kChoose) poll.tick(off[u + 1] - off[u]);
            if (visit(u, changed)) {  // queue again past u
                tail = head;
                due_bits = 0;
                next = at + 1;
            }
        }
        return changed;
    }

    // Visits due node u: replays or chooses, adopts the label, marks the
    // neighbours when it changed. Returns whether that woke a settled node.
    [[gnu::always_inline]] bool visit(Id u, bool& changed) {
        const std::uint64_t* off = g.lists.offsets.data();
        std::uint8_t* due = pending.data();
        Id best;
        if (due[u] == kReplay) {  // u's list is not read unless its label changes
            best = replay_choice(u);
        } else {
            if (off[u] == off[u + 1]) {  // nothing to adopt, nothing drawn
                pending[u] = kSettled;
                return false;
            }
            best = choose(u);
            pending[u] = kept ? kReplay : drew ? kChoose : kSettled;
        }
        if (best == labels[u]) return false;
        labels[u] = best;
        changed = true;
        std::uint8_t woke = 0;
        for (std::uint64_t j = off[u]; j < off[u + 1]; ++j) {
            woke |= static_cast<std::uint8_t>(due[targets[j]] == kSettled);
            due[targets[j]] = kChoose;
        }
        return woke;
    }

    // An iteration of a graph small enough to stay in the L1 and L2 caches:
    // position by position, no queue or read-ahead.
    bool iterate_small(std::span<Id> order) {
        stream.shuffle(order);
        bool changed = false;
        const std::uint64_t* off = g.lists.offsets.data();
        parallel::InterruptPoll poll;
        for (const Id u : order) {
            poll.tick(pending[u] == kChoose ? off[u + 1] - off[u] + 1 : 1);
            if (pending[u] != kSettled) visit(u, changed);
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
        const WeightedGraph<Id> g =
            build_weighted_graph<Id>(std::move(edges), weights, scale, WeightedParts::ListsOnly);
        const auto run = [&]<class Sum>() {
            Propagation<Id, Sum> p{g,
                                   g.lists.targets.data(),
                                   ScratchVector<Id>(n),
                                   ScratchVector<Sum>(n, Sum{0}),
                                   ScratchVector<Id>(max_list_length(g.lists)),
                                   0,
                                   SplitMix64(seed),
                                   ScratchVector<std::uint8_t>(n, kChoose),
                                   UninitTable<Replay<Id>>(n)};
            std::iota(p.labels.begin(), p.labels.end(), Id{0});
            ScratchVector<Id> order(n);
            std::iota(order.begin(), order.end(), Id{0});

            for (std::uint64_t iterations = 1;; ++iterations)
                if (!p.iterate(order) || iterations >= max_iter) break;
            return std::vector<std::uint64_t>(p.labels.begin(), p.labels.end());
        };
        // No weights: no pair is joined by two rows, so each entry weighs
        // the unit.
        if (g.lists.weights.empty()) return run.template operator()<Id>();
        return run.template operator()<double>();
    });
    relabel_by_first_appearance(labels, n);
    return labels;
}

}  // namespace knotwell
