#include "centrality/neighbour_lists.hpp"

#include <limits>
#include <new>

namespace knotwell::centrality {
namespace {

// Prefix sums turn per-node counts (at index v + 1) into bucket offsets.
void to_offsets(std::vector<std::uint64_t>& counts) {
    for (std::size_t v = 1; v < counts.size(); ++v) counts[v] += counts[v - 1];
}

// Arcs of the edge rows, without self-loops, bucketed by neighbour in row
// order: owner[k] (and weight[k]) for k in [by_target[t], by_target[t + 1]).
template <class Id>
struct ArcsByTarget {
    std::vector<std::uint64_t> offsets;
    std::vector<Id> owner;
    std::vector<double> weight;
};

template <class Id>
ArcsByTarget<Id> bucket_by_target(std::uint64_t n, std::span<const Edge> edges,
                                  std::optional<std::span<const double>> weights, bool directed) {
    ArcsByTarget<Id> arcs;
    // n + 1 offsets: for n = 2^64 - 1 the count would wrap to an empty table.
    if (n == std::numeric_limits<std::uint64_t>::max()) throw std::bad_alloc();
    arcs.offsets.assign(n + 1, 0);
    for (const Edge& e : edges) {
        if (e.source == e.target) continue;
        ++arcs.offsets[e.target + 1];
        if (!directed) ++arcs.offsets[e.source + 1];
    }
    to_offsets(arcs.offsets);
    arcs.owner.resize(arcs.offsets[n]);
    if (weights) arcs.weight.resize(arcs.offsets[n]);
    std::vector<std::uint64_t> pos(arcs.offsets.begin(), arcs.offsets.end() - 1);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Edge& e = edges[i];
        if (e.source == e.target) continue;
        const std::uint64_t k = pos[e.target]++;
        arcs.owner[k] = static_cast<Id>(e.source);
        if (weights) arcs.weight[k] = (*weights)[i];
        if (!directed) {
            const std::uint64_t r = pos[e.source]++;
            arcs.owner[r] = static_cast<Id>(e.target);
            if (weights) arcs.weight[r] = (*weights)[i];
        }
    }
    return arcs;
}

// Collapses each run of equal neighbours to its first entry, keeping the
// smallest weight of the run. Weights are positive and finite, so `<` is the
// total order of floats here.
template <class Id>
void merge_parallel_arcs(NeighbourLists<Id>& lists) {
    const bool weighted = !lists.weights.empty();
    std::uint64_t write = 0;
    for (std::uint64_t u = 0; u < lists.n; ++u) {
        const std::uint64_t begin = lists.offsets[u], end = lists.offsets[u + 1];
        lists.offsets[u] = write;
        for (std::uint64_t k = begin; k < end; ++k) {
            if (k != begin && lists.targets[k] == lists.targets[write - 1]) {
                if (weighted && lists.weights[k] < lists.weights[write - 1]) lists.weights[write - 1] = lists.weights[k];
                continue;
            }
            lists.targets[write] = lists.targets[k];
            if (weighted) lists.weights[write] = lists.weights[k];
            ++write;
        }
    }
    lists.offsets[lists.n] = write;
    lists.targets.resize(write);
    lists.targets.shrink_to_fit();
    if (weighted) {
        lists.weights.resize(write);
        lists.weights.shrink_to_fit();
    }
}

}  // namespace

template <class Id>
NeighbourLists<Id> build_neighbour_lists(std::uint64_t n, std::span<const Edge> edges,
                                         std::optional<std::span<const double>> weights, bool directed) {
    ArcsByTarget<Id> arcs = bucket_by_target<Id>(n, edges, weights, directed);

    // Walk neighbours ascending and append each arc to its owner's list.
    NeighbourLists<Id> lists;
    lists.n = n;
    lists.offsets.assign(n + 1, 0);
    for (Id u : arcs.owner) ++lists.offsets[static_cast<std::uint64_t>(u) + 1];
    to_offsets(lists.offsets);
    lists.targets.resize(arcs.owner.size());
    if (weights) lists.weights.resize(arcs.owner.size());
    std::vector<std::uint64_t> pos(lists.offsets.begin(), lists.offsets.end() - 1);
    for (std::uint64_t t = 0; t < n; ++t) {
        for (std::uint64_t k = arcs.offsets[t]; k < arcs.offsets[t + 1]; ++k) {
            const std::uint64_t slot = pos[arcs.owner[k]]++;
            lists.targets[slot] = static_cast<Id>(t);
            if (weights) lists.weights[slot] = arcs.weight[k];
        }
    }
    arcs = {};
    merge_parallel_arcs(lists);
    return lists;
}

template NeighbourLists<std::uint32_t> build_neighbour_lists(std::uint64_t, std::span<const Edge>,
                                                             std::optional<std::span<const double>>, bool);
template NeighbourLists<std::uint64_t> build_neighbour_lists(std::uint64_t, std::span<const Edge>,
                                                             std::optional<std::span<const double>>, bool);

}  // namespace knotwell::centrality
