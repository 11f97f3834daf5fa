#include "metrics/degree.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "graph/csr.hpp"

namespace knotwell {
namespace {

// Counter tables larger than this (the per-core L2 cache) miss on most
// updates; there the counters of rows a little ahead are prefetched.
constexpr std::size_t kL2Bytes = std::size_t{512} << 10;
constexpr std::size_t kPrefetchRows = 16;

// An id out of range is counted at the spare slot n, so the counting loop
// needs no branch on the ids; the pass is rejected afterwards.
inline NodeId slot(NodeId id, std::uint64_t n) { return id < n ? id : n; }

inline void prefetch_write(const void* p) { __builtin_prefetch(p, 1, 3); }

// Adds one row to the counters; an id out of range counts at the spare slot.
template <DegreeKind kind, class Count>
inline void count_row(Edge row, std::uint64_t n, Count* c) {
    const NodeId su = slot(row.source, n), sv = slot(row.target, n);
    if constexpr (kind == DegreeKind::Out) {
        ++c[su];
    } else if constexpr (kind == DegreeKind::In) {
        ++c[sv];
    } else {
        // The self-loop counts once: +1 at the source, +1 at the target
        // unless it is the source.
        ++c[su];
        c[sv] += sv != su;
    }
}

// Counts every row as it is read, with no copy and no branch on the ids;
// returns whether some row was out of range, in which case the counts are
// void.
template <DegreeKind kind, bool prefetch, class Count>
bool count_in_place(std::uint64_t n, const SharedEdges& edges, Count* c) {
    bool bad = false;
    for (std::uint64_t i = 0; i < edges.rows; ++i) {
        if constexpr (prefetch) {
            if (i + kPrefetchRows < edges.rows) {
                const Edge ahead = read_row(edges, i + kPrefetchRows);
                if constexpr (kind != DegreeKind::In) prefetch_write(c + slot(ahead.source, n));
                if constexpr (kind != DegreeKind::Out) prefetch_write(c + slot(ahead.target, n));
            }
        }
        const Edge row = read_row(edges, i);
        bad |= (row.source >= n) | (row.target >= n);
        count_row<kind>(row, n, c);
    }
    return bad;
}

// The careful count, for an input the fast one found bad: each block is
// copied, checked in the copy and counted from it, so the first bad row is
// named as this pass read it (the rows may have changed since).
template <DegreeKind kind, class Count>
Check count_copies(std::uint64_t n, const SharedEdges& edges, Count* c) {
    return for_each_edge_block(edges, [&](std::uint64_t first, std::span<const Edge> block) -> Check {
        if (Check bad = check_edge_block(n, first, block)) return bad;
        for (const Edge& e : block) count_row<kind>(e, n, c);
        return std::nullopt;
    });
}

template <DegreeKind kind, class Count>
Check count_all(std::uint64_t n, const SharedEdges& edges, std::vector<Count>& count) {
    const bool bad = (n + 1) * sizeof(Count) > kL2Bytes ? count_in_place<kind, true>(n, edges, count.data())
                                                        : count_in_place<kind, false>(n, edges, count.data());
    if (!bad) return std::nullopt;
    std::fill(count.begin(), count.end(), Count{0});
    return count_copies<kind>(n, edges, count.data());
}

Check check_range(std::uint64_t n, const SharedEdges& edges) {
    return for_each_edge_block(
        edges, [n](std::uint64_t first, std::span<const Edge> block) { return check_edge_block(n, first, block); });
}

// Counts into n + 1 counters of type Count (no count can pass its range),
// then hands them over as the n 64-bit degrees.
template <class Count>
Result<std::vector<std::uint64_t>> count_degrees(std::uint64_t n, const SharedEdges& edges, DegreeKind kind) {
    constexpr bool kWide = std::is_same_v<Count, std::uint64_t>;
    require_node_arrays(n, sizeof(Count) + (kWide ? 0 : sizeof(std::uint64_t)));
    std::vector<Count> count(n + 1, 0);
    Check changed;
    switch (kind) {
        case DegreeKind::Out:
            changed = count_all<DegreeKind::Out>(n, edges, count);
            break;
        case DegreeKind::In:
            changed = count_all<DegreeKind::In>(n, edges, count);
            break;
        case DegreeKind::Undirected:
            changed = count_all<DegreeKind::Undirected>(n, edges, count);
            break;
    }
    if (changed) return *changed;
    count.pop_back();
    if constexpr (kWide)
        return count;
    else
        return std::vector<std::uint64_t>(count.begin(), count.end());
}

// The checks in contract order (edge range, weights length, weight values),
// each over all rows.
Check check_strength_inputs(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights) {
    if (Check bad = check_range(n, edges)) return bad;
    if (weights.size != edges.rows) return InputError::weights_length(weights.size, edges.rows);
    return for_each_weight_block(weights, check_weight_block);
}

// Sums the rows [first, first + rows.size()) with their weights in one loop
// that also checks both and keeps a copy of what it read; a weight breaking
// the non-negative rule (NaN included) fails `w >= 0 && w <= max`.
template <bool prefetch>
Check sum_block(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights, std::uint64_t first,
                std::span<Edge> rows, std::span<double> w, bool directed, double* s) {
    constexpr double kMax = std::numeric_limits<double>::max();
    bool bad = false;
    const std::size_t size = rows.size();
    for (std::size_t i = 0; i < size; ++i) {
        if constexpr (prefetch) {
            if (i + kPrefetchRows < size) {
                const Edge ahead = read_row(edges, first + i + kPrefetchRows);
                prefetch_write(s + slot(ahead.source, n));
                if (!directed) prefetch_write(s + slot(ahead.target, n));
            }
        }
        const Edge row = read_row(edges, first + i);
        const double x = read_weight(weights, first + i);
        rows[i] = row;
        w[i] = x;
        const NodeId u = row.source, v = row.target;
        bad |= (u >= n) | (v >= n) | !(x >= 0.0 && x <= kMax);
        const NodeId su = slot(u, n), sv = slot(v, n);
        s[su] += x;
        if (!directed && sv != su) s[sv] += x;
    }
    if (!bad) return std::nullopt;
    if (Check edge = check_edge_block(n, first, rows)) return edge;
    return check_weight_block(first, w);
}

}  // namespace

Result<std::vector<std::uint64_t>> degree_sequence(std::uint64_t n, const SharedEdges& edges, DegreeKind kind) {
    // Counters no larger than the rows (n <= 2m) cost less to allocate than
    // a pass over the rows: the counting passes alone check them, and the
    // careful one names the same first bad row.
    if (n / 2 > edges.rows)
        if (Check bad = check_range(n, edges)) return *bad;
    // A node's count is at most the number of rows.
    if (edges.rows <= std::numeric_limits<std::uint32_t>::max()) return count_degrees<std::uint32_t>(n, edges, kind);
    return count_degrees<std::uint64_t>(n, edges, kind);
}

Result<std::vector<double>> strength_sequence(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights,
                                              bool directed) {
    // As for degrees; a mismatched length is reported only after the edge
    // range, so that case takes the ordered checks at once.
    if (n / 2 > edges.rows || weights.size != edges.rows)
        if (Check bad = check_strength_inputs(n, edges, weights)) return *bad;
    require_node_arrays(n, sizeof(double));
    std::vector<double> sum(n + 1, 0.0);
    const std::size_t block = std::min<std::uint64_t>(edges.rows, kEdgeBlockRows);
    std::vector<Edge> rows(block);
    std::vector<double> w(block);
    const auto each = [&]<bool prefetch>() {
        return for_each_block(edges.rows, [&](std::uint64_t first, std::size_t count) {
            return sum_block<prefetch>(n, edges, weights, first, std::span<Edge>(rows.data(), count),
                                       std::span<double>(w.data(), count), directed, sum.data());
        });
    };
    const bool prefetch = (n + 1) * sizeof(double) > kL2Bytes;
    if (Check failed = prefetch ? each.template operator()<true>() : each.template operator()<false>()) {
        // A bad edge in a later row outranks this block's bad weight: the
        // ordered checks decide, unless the rows have changed meanwhile and
        // pass them now, in which case this block's own failure stands.
        if (Check ordered = check_strength_inputs(n, edges, weights)) return *ordered;
        return *failed;
    }
    sum.pop_back();
    return sum;
}

}  // namespace knotwell
