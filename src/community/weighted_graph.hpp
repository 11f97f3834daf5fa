// The undirected weighted graph shared by modularity, Louvain and label
// propagation, and the renumbering of community ids by first appearance.
//
// Lists are CSR (`offsets[n + 1]`, `targets`, `weights`). Every list is
// sorted ascending by neighbour id with each id once; a node never appears in
// its own list (self-loops live in `self_loop_weight`); the lists are
// symmetric. An entry's weight is the sum of the rows joining the pair, added
// in row order: arcs are laid out by a stable two-pass counting sort (bucket
// by target, then walk targets ascending into the source lists), so equal
// ids stand in the order they were appended and runs are summed in that
// order. O(n + m) time, 32 bytes per arc at the peak. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/input.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {

struct WeightedGraph {
    std::uint64_t node_count = 0;
    std::vector<std::uint64_t> offsets;  // node_count + 1 entries
    std::vector<NodeId> targets;
    std::vector<double> weights;
    std::vector<double> self_loop_weight;
    std::vector<double> strength;  // 2 x self-loop weight, then the list in order
    double total_weight = 0.0;     // m of the modularity formulas

    std::uint64_t begin(NodeId u) const { return offsets[u]; }
    std::uint64_t end(NodeId u) const { return offsets[u + 1]; }
};

// Preconditions: every id < n; `weights`, when given, holds one finite
// non-negative value per row (absent: every row weighs 1.0).
WeightedGraph build_weighted_graph(std::uint64_t n, std::span<const Edge> edges,
                                   const std::optional<std::vector<double>>& weights);

// Lays out the arcs that `for_each_arc(emit)` produces, emit(source, target,
// weight) in append order, as merged sorted lists of `g` (k nodes). Called
// twice on `for_each_arc`, which must produce the same arcs both times.
// Fills offsets, targets and weights only.
template <class ForEachArc>
void assemble_lists(std::uint64_t k, ForEachArc&& for_each_arc, WeightedGraph& g);

// strength[i] = 2 x self_loop_weight[i] + the list's weights in list order.
void compute_strengths(WeightedGraph& g);

// Longest list; bounds the `touched` buffers of the moving phases.
std::uint64_t max_list_length(const WeightedGraph& g);

// Sums u's list into `sum` by the key of each neighbour (its community or
// label), in list order. A key whose running sum is exactly 0.0 when met is
// appended to `touched` (room for u's list length), so zero-weight entries
// can list a key twice. Returns the number appended. Branch-free on the
// sums, so the random reads of neighbours overlap; the key table is read a
// few entries ahead.
inline std::uint64_t gather_by_key(const WeightedGraph& g, NodeId u, const std::uint64_t* key, double* sum,
                                   std::uint64_t* touched) {
    constexpr std::uint64_t kAhead = 8;
    const NodeId* targets = g.targets.data();
    const double* weights = g.weights.data();
    const std::uint64_t begin = g.begin(u), end = g.end(u);
    std::uint64_t count = 0;
    for (std::uint64_t j = begin; j < end; ++j) {
        if (j + kAhead < end) __builtin_prefetch(key + targets[j + kAhead]);
        const std::uint64_t c = key[targets[j]];
        const double s = sum[c];
        touched[count] = c;
        count += s == 0.0;
        sum[c] = weights[j] + s;
    }
    return count;
}

// Renumbers `values` (each < bound) to 0, 1, ... in order of first
// appearance; returns the number of distinct values. O(len + bound).
std::uint64_t relabel_by_first_appearance(std::span<std::uint64_t> values, std::uint64_t bound);

// ---------------------------------------------------------------------------

template <class ForEachArc>
void assemble_lists(std::uint64_t k, ForEachArc&& for_each_arc, WeightedGraph& g) {
    std::vector<std::uint64_t> by_target(k + 1, 0);
    std::vector<std::uint64_t>& by_source = g.offsets;
    by_source.assign(k + 1, 0);
    parallel::InterruptPoll poll;
    for_each_arc([&](NodeId s, NodeId t, double) {
        poll.tick();
        ++by_target[t + 1];
        ++by_source[s + 1];
    });
    for (std::uint64_t v = 0; v < k; ++v) {
        by_target[v + 1] += by_target[v];
        by_source[v + 1] += by_source[v];
    }
    const std::uint64_t arcs = by_target[k];

    // Pass 1: bucket (source, weight) by target, in append order.
    struct Half {
        NodeId source;
        double weight;
    };
    std::vector<Half> bucket(arcs);
    {
        std::vector<std::uint64_t> pos(by_target.begin(), by_target.end() - 1);
        for_each_arc([&](NodeId s, NodeId t, double w) {
            poll.tick();
            bucket[pos[t]++] = Half{s, w};
        });
    }

    // Pass 2: targets ascending into the source lists; a run of one target
    // arrives consecutively in its source list, in append order, and is
    // summed there as it arrives.
    g.targets.resize(arcs);
    g.weights.resize(arcs);
    std::vector<std::uint64_t> fill(by_source.begin(), by_source.end() - 1);
    NodeId* targets = g.targets.data();
    double* weights = g.weights.data();
    for (std::uint64_t t = 0; t < k; ++t) {
        poll.tick(by_target[t + 1] - by_target[t] + 1);
        for (std::uint64_t j = by_target[t]; j < by_target[t + 1]; ++j) {
            const NodeId s = bucket[j].source;
            std::uint64_t& f = fill[s];
            if (f > by_source[s] && targets[f - 1] == t) {
                weights[f - 1] += bucket[j].weight;
            } else {
                targets[f] = t;
                weights[f] = bucket[j].weight;
                ++f;
            }
        }
    }
    std::vector<Half>().swap(bucket);
    std::vector<std::uint64_t>().swap(by_target);

    // Squeeze out the room left by merged runs.
    std::uint64_t write = 0;
    for (std::uint64_t s = 0; s < k; ++s) {
        const std::uint64_t begin = by_source[s], end = fill[s];
        by_source[s] = write;
        for (std::uint64_t j = begin; j < end; ++j, ++write) {
            targets[write] = targets[j];
            weights[write] = weights[j];
        }
    }
    by_source[k] = write;
    g.targets.resize(write);
    g.weights.resize(write);
}

}  // namespace knotwell
