#include "community/weighted_graph.hpp"

#include "graph/weight_scale.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace knotwell {

namespace {

constexpr std::uint64_t kAhead = 16;  // rows or arcs between a prefetch and its use

// Lays out the arcs of the non-loop rows as merged sorted lists of `g`
// (offsets, targets, weights). Row (u, v) appends (v, w) to u's list, then
// (u, w) to v's. The lists are symmetric, so a node's list length equals
// the number of arcs into it and one count serves both passes:
//   1. bucket each arc's source by target, in append order (a bucket then
//      holds the node's neighbours in row order);
//   2. walk the targets ascending and append each to its sources' lists: a
//      run of one target arrives consecutively, in append order, and is
//      summed there as it arrives.
// `Weighted` false means every row weighs `unit`, and the buckets carry no
// weight. O(n + m), two scatter passes, the next writes prefetched.
// `rows_read()` is called once the rows and their weights are no longer
// read, before the lists are allocated.
template <bool Weighted, class Row, class Done>
void lay_out_lists(std::uint64_t n, std::span<const Row> edges, const double* row_weight, double unit, WeightedGraph& g,
                   Done&& rows_read) {
    std::vector<std::uint64_t>& offsets = g.offsets;
    offsets.assign(n + 1, 0);
    parallel::InterruptPoll poll;
    for (const Row e : edges) {
        poll.tick();
        if (e.source == e.target) continue;
        ++offsets[e.source + 1];
        ++offsets[e.target + 1];
    }
    for (std::uint64_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
    const std::uint64_t arcs = offsets[n];

    // Sources in the rows' own id width.
    using Source = decltype(Row::source);
    struct Half {
        Source source;
        double weight;
    };
    using Entry = std::conditional_t<Weighted, Half, Source>;
    std::vector<Entry> bucket(arcs);
    {
        std::vector<std::uint64_t> pos(offsets.begin(), offsets.end() - 1);
        const std::uint64_t m = edges.size();
        for (std::uint64_t i = 0; i < m; ++i) {
            poll.tick();
            if (i + kAhead < m) {
                __builtin_prefetch(&pos[edges[i + kAhead].source]);
                __builtin_prefetch(&pos[edges[i + kAhead].target]);
            }
            const Row e = edges[i];
            if (e.source == e.target) continue;
            if constexpr (Weighted) {
                bucket[pos[e.target]++] = Half{e.source, row_weight[i]};
                bucket[pos[e.source]++] = Half{e.target, row_weight[i]};
            } else {
                bucket[pos[e.target]++] = e.source;
                bucket[pos[e.source]++] = e.target;
            }
        }
    }

    rows_read();
    g.targets.resize(arcs);
    g.weights.resize(arcs);
    std::vector<std::uint64_t> fill(offsets.begin(), offsets.end() - 1);
    NodeId* targets = g.targets.data();
    double* weights = g.weights.data();
    auto source_of = [&](std::uint64_t j) -> NodeId {
        if constexpr (Weighted)
            return bucket[j].source;
        else
            return bucket[j];
    };
    std::uint64_t t = 0;
    for (std::uint64_t j = 0; j < arcs; ++j) {
        poll.tick();
        while (offsets[t + 1] == j) ++t;
        if (j + kAhead < arcs) __builtin_prefetch(&fill[source_of(j + kAhead)]);
        if (j + kAhead / 2 < arcs) __builtin_prefetch(targets + fill[source_of(j + kAhead / 2)], 1);
        const NodeId s = source_of(j);
        double w = unit;
        if constexpr (Weighted) w = bucket[j].weight;
        std::uint64_t& f = fill[s];
        if (f > offsets[s] && targets[f - 1] == t) {
            weights[f - 1] += w;
        } else {
            targets[f] = t;
            weights[f] = w;
            ++f;
        }
    }
    std::vector<Entry>().swap(bucket);

    // Squeeze out the room left by merged runs.
    std::uint64_t write = 0;
    for (std::uint64_t s = 0; s < n; ++s) {
        const std::uint64_t begin = offsets[s], end = fill[s];
        offsets[s] = write;
        if (begin != write) {
            std::copy(targets + begin, targets + end, targets + write);
            std::copy(weights + begin, weights + end, weights + write);
        }
        write += end - begin;
    }
    offsets[n] = write;
    g.targets.resize(write);
    g.weights.resize(write);
}

}  // namespace

WeightedGraph build_weighted_graph(OwnedRows&& rows, const std::optional<std::vector<double>>& weights,
                                   int scale_exponent) {
    const std::uint64_t n = rows.n();
    const double unit = std::ldexp(1.0, scale_exponent);
    std::vector<double> scaled;
    const double* w = weights ? weights->data() : nullptr;
    if (w && scale_exponent != 0) {
        scaled.resize(weights->size());
        scale_weights(*weights, scale_exponent, scaled);
        w = scaled.data();
    }

    WeightedGraph g;
    g.node_count = n;
    g.self_loop_weight.assign(n, 0.0);
    rows.visit([&](auto edges) {
        for (std::size_t i = 0; i < edges.size(); ++i)
            if (edges[i].source == edges[i].target) g.self_loop_weight[edges[i].source] += w ? w[i] : unit;
        // Neither `edges` nor `w` is read after `free_rows`.
        const auto free_rows = [&] {
            rows.release();
            std::vector<double>().swap(scaled);
        };
        if (w)
            lay_out_lists<true>(n, edges, w, unit, g, free_rows);
        else
            lay_out_lists<false>(n, edges, nullptr, unit, g, free_rows);
    });
    compute_strengths(g);

    double sum = 0.0;
    for (double s : g.strength) sum += s;
    g.total_weight = 0.5 * sum;
    return g;
}

void compute_strengths(WeightedGraph& g) {
    const std::uint64_t n = g.node_count;
    g.strength.resize(n);
    for (std::uint64_t u = 0; u < n; ++u) {
        double s = g.self_loop_weight[u] + g.self_loop_weight[u];
        for (std::uint64_t j = g.begin(u); j < g.end(u); ++j) s += g.weights[j];
        g.strength[u] = s;
    }
}

std::uint64_t max_list_length(const WeightedGraph& g) {
    std::uint64_t longest = 0;
    for (std::uint64_t u = 0; u < g.node_count; ++u) longest = std::max(longest, g.end(u) - g.begin(u));
    return longest;
}

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
