// The undirected weighted graph shared by modularity, Louvain and label
// propagation, and the renumbering of community ids by first appearance.
//
// The lists are a merged `Csr<Id>` (graph/csr.hpp): every list sorted
// ascending by neighbour id with each id once; a node never appears in its
// own list (self-loops live in `self_loop_weight`); the lists are
// symmetric. An entry's weight is the sum of the rows joining the pair,
// added in row order. Id is 32-bit whenever n allows, so the lists stream
// at half the bytes and the moving phases read them as they are.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/csr.hpp"
#include "graph/rows.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {

template <class Id>
struct WeightedGraph {
    Csr<Id> lists;  // weights present, except as WeightedParts::ListsOnly says
    std::vector<double> self_loop_weight;
    std::vector<double> strength;  // 2 x self-loop weight, then the list in order
    double total_weight = 0.0;     // m of the modularity formulas

    std::uint64_t node_count() const { return lists.n; }
    std::uint64_t begin(std::uint64_t u) const { return lists.offsets[u]; }
    std::uint64_t end(std::uint64_t u) const { return lists.offsets[u + 1]; }
};

// What a build fills in: everything, or only `lists` for callers that never
// read the self-loops, strengths or total (label propagation), which skips
// a pass over the rows and one over the lists. ListsOnly also leaves the
// lists' weights empty when the rows are unweighted and no pair is joined by
// more than one row: every entry then weighs the unit, 2^scale_exponent.
enum class WeightedParts { All, ListsOnly };

// Preconditions: every id < n; `weights`, when given, holds one finite
// non-negative value per row (absent: every row weighs 1.0). Each weight is
// taken times 2^scale_exponent (see weight_scale.hpp); 0 keeps it as it is.
// `Id` is the rows' id type (`with_id_type(n)`). The rows are freed before
// the second grouping pass.
//
// Memory besides the result: unweighted rows are grouped as plain ids (4
// bytes an arc, a pair's weight its arc count times the unit weight);
// weighted ones as (id, weight) arcs of 16 bytes, plus a scaled copy of the
// weights while the rows are read when the scale is not 0.
template <class Id>
WeightedGraph<Id> build_weighted_graph(OwnedRows&& edges, const std::optional<std::vector<double>>& weights,
                                       int scale_exponent = 0, WeightedParts parts = WeightedParts::All);

// strength[i] = 2 x self_loop_weight[i] + the list's weights in list order.
template <class Id>
void compute_strengths(WeightedGraph<Id>& g);

// Longest list; bounds the `touched` buffers of the moving phases.
template <class Id>
std::uint64_t max_list_length(const Csr<Id>& g) {
    std::uint64_t longest = 0;
    for (std::uint64_t u = 0; u < g.n; ++u) longest = std::max(longest, g.degree(u));
    return longest;
}

// Sums the list [begin, end) into `sum_of(key)` (a double& per key: a plain
// array, or a field of a per-key record) by the key of each neighbour (its
// community or label), in list order. A key whose running sum is exactly 0.0
// when met is appended to `touched` (room for the list's length), so
// zero-weight entries can list a key twice. Returns the number appended.
// Branch-free on the sums, so the random reads of neighbours overlap; the
// key table is read kAhead entries ahead and the sum of that key kAhead / 2
// entries ahead (not at all when `Prefetch` is false: on tables that sit in the L1
// cache the look-aheads are only extra loads). `Id` is the width of the ids
// in `targets` and of the keys.
template <class Id, bool Prefetch = true, std::uint64_t kAhead = 8, class SumOf>
[[gnu::always_inline]] inline std::uint64_t gather_by_key(std::uint64_t begin, std::uint64_t end, const Id* targets,
                                                          const double* weights, const Id* key, SumOf&& sum_of,
                                                          Id* touched) {
    std::uint64_t count = 0;
    for (std::uint64_t j = begin; j < end; ++j) {
        if constexpr (Prefetch) {
            if (j + kAhead < end) __builtin_prefetch(key + targets[j + kAhead]);
            if (j + kAhead / 2 < end) __builtin_prefetch(&sum_of(key[targets[j + kAhead / 2]]));
        }
        const Id c = key[targets[j]];
        double& sum = sum_of(c);
        const double s = sum;
        touched[count] = c;
        count += s == 0.0;
        sum = weights[j] + s;
    }
    return count;
}

// Prefetches the list [begin, end), ids and weights, up to kPrefetchLines
// cache lines of each: a list starts at a random place, and the hardware
// prefetcher only takes over after a few misses of its own, which on lists
// of a few dozen entries is most of the list.
inline constexpr std::uint64_t kPrefetchLines = 4;

template <class Id>
[[gnu::always_inline]] inline void prefetch_list(std::uint64_t begin, std::uint64_t end, const Id* targets,
                                                 const double* weights) {
    const char* t = reinterpret_cast<const char*>(targets + begin);
    const char* w = reinterpret_cast<const char*>(weights + begin);
    const std::uint64_t entries = end - begin;  // bytes: 8 a weight, sizeof(Id) an id
    __builtin_prefetch(t);
    __builtin_prefetch(w);
    for (std::uint64_t line = 1; line < kPrefetchLines; ++line) {
        if (64 * line < entries * sizeof(Id)) __builtin_prefetch(t + 64 * line);
        if (64 * line < entries * sizeof(double)) __builtin_prefetch(w + 64 * line);
    }
}

// Renumbers `values` (each < bound) to 0, 1, ... in order of first
// appearance; returns the number of distinct values. O(len + bound).
std::uint64_t relabel_by_first_appearance(std::span<std::uint64_t> values, std::uint64_t bound);

}  // namespace knotwell
