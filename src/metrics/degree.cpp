#include "metrics/degree.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "graph/csr.hpp"

namespace knotwell {
namespace {

// Counter tables larger than this (the per-core L2 cache) miss on most
// updates; there each row's counters are prefetched as the row is read, this
// many rows before it is counted.
constexpr std::size_t kL2Bytes = std::size_t{512} << 10;
constexpr std::size_t kPrefetchRows = 32;

// An id out of range is counted at the spare slot n, so the counting loop
// needs no branch on the ids; the pass is rejected afterwards.
inline NodeId slot(NodeId id, std::uint64_t n) { return id < n ? id : n; }

inline void prefetch_write(const void* p) { __builtin_prefetch(p, 1, 3); }

// Node counts below which the counters are the 64-bit result itself: 32 KiB
// of them, the L1 data cache.
constexpr std::uint64_t kWideCountNodes = 4096;

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

// The rows are read a block at a time into a buffer of the call's own (the
// one read of each row), then checked and counted from it. A bad row ends
// the pass: the block's copy names the first one, and the counts are void.
//
// Where the counters miss the cache, the block is read a row at a time,
// kPrefetchRows rows ahead of the counting, and each row's counters are
// prefetched as it arrives: the stream of rows and the counter misses then
// overlap, where copying the whole block first would leave the copy waiting
// on memory with no counter miss under way, then the counting with no row
// read under way (about 9% of the pass at 2^22 nodes).
template <DegreeKind kind, bool prefetch, class Count>
Check count_in_blocks(std::uint64_t n, const SharedEdges& edges, Count* c) {
    Edge block[kEdgeBlockRows];
    return for_each_block(edges.rows, [&](std::uint64_t first, std::size_t size) -> Check {
        const auto fetch = [&](std::size_t i) {
            const Edge row = block[i] = read_row(edges, first + i);
            if constexpr (kind != DegreeKind::In) prefetch_write(c + slot(row.source, n));
            if constexpr (kind != DegreeKind::Out) prefetch_write(c + slot(row.target, n));
        };
        if constexpr (prefetch) {
            for (std::size_t i = 0; i < std::min(kPrefetchRows, size); ++i) fetch(i);
        } else {
            read_block(edges, first, size, block);
        }
        bool bad = false;
        for (std::size_t i = 0; i < size; ++i) {
            if constexpr (prefetch) {
                if (i + kPrefetchRows < size) fetch(i + kPrefetchRows);
            }
            const Edge row = block[i];
            bad |= (row.source >= n) | (row.target >= n);
            count_row<kind>(row, n, c);
        }
        if (!bad) return std::nullopt;
        return check_edge_block(n, first, std::span<const Edge>(block, size));
    });
}

// Counts into n + 1 counters of type Count (no count can pass its range),
// then hands them over as the n 64-bit degrees. `rows` are read once,
// wherever they are.
template <class Count>
Result<std::vector<std::uint64_t>> count_degrees(std::uint64_t n, const SharedEdges& rows, DegreeKind kind) {
    constexpr bool kWide = std::is_same_v<Count, std::uint64_t>;
    require_node_arrays(n, sizeof(Count) + (kWide ? 0 : sizeof(std::uint64_t)));
    std::vector<Count> count(n + 1, 0);
    const bool prefetch = (n + 1) * sizeof(Count) > kL2Bytes;
    const auto each = [&]<DegreeKind k>() {
        return prefetch ? count_in_blocks<k, true>(n, rows, count.data())
                        : count_in_blocks<k, false>(n, rows, count.data());
    };
    Check bad;
    switch (kind) {
        case DegreeKind::Out:
            bad = each.template operator()<DegreeKind::Out>();
            break;
        case DegreeKind::In:
            bad = each.template operator()<DegreeKind::In>();
            break;
        case DegreeKind::Undirected:
            bad = each.template operator()<DegreeKind::Undirected>();
            break;
    }
    if (bad) return *bad;
    count.pop_back();
    if constexpr (kWide)
        return count;
    else
        return std::vector<std::uint64_t>(count.begin(), count.end());
}

// Reads every row once into a copy, checking each block as it comes (the
// first bad row ends the pass), for inputs whose counters would outweigh
// the rows: an n too large for memory must not hide a bad row.
Result<std::vector<Edge>> copy_checked(std::uint64_t n, const SharedEdges& edges) {
    std::vector<Edge> rows(edges.rows);
    if (Check bad = for_each_block(edges.rows, [&](std::uint64_t first, std::size_t size) {
            read_block(edges, first, size, rows.data() + first);
            return check_edge_block(n, first, std::span<const Edge>(rows.data() + first, size));
        }))
        return *bad;
    return rows;
}

// Whether some weight of one block breaks the non-negative rule: `w >= 0 &&
// w <= max` fails for it (NaN included). No early exit, so it keeps pace
// with the sums; only a failing block is searched for the first one.
inline bool weights_bad(std::span<const double> w) {
    constexpr double kMax = std::numeric_limits<double>::max();
    bool bad = false;
    for (const double x : w) bad |= !(x >= 0.0 && x <= kMax);
    return bad;
}

// Adds one row's weight; an id out of range sums at the spare slot.
inline void sum_row(Edge row, double x, std::uint64_t n, bool directed, double* s) {
    const NodeId su = slot(row.source, n), sv = slot(row.target, n);
    s[su] += x;
    if (!directed && sv != su) s[sv] += x;
}

// Sums one block of copied rows with their weights.
void sum_block(std::uint64_t n, std::span<const Edge> rows, std::span<const double> w, bool directed, double* s) {
    for (std::size_t i = 0; i < rows.size(); ++i) sum_row(rows[i], w[i], n, directed, s);
}

// Reads `size` rows and weights from `first` into the call's buffers and
// sums them, each row and weight read kPrefetchRows rows before its sum,
// with the sums it adds to prefetched (as in count_in_blocks).
void read_and_sum_block(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights, std::uint64_t first,
                        std::size_t size, Edge* rows, double* w, bool directed, double* s) {
    const auto fetch = [&](std::size_t i) {
        const Edge row = rows[i] = read_row(edges, first + i);
        w[i] = read_weight(weights, first + i);
        prefetch_write(s + slot(row.source, n));
        if (!directed) prefetch_write(s + slot(row.target, n));
    };
    for (std::size_t i = 0; i < std::min(kPrefetchRows, size); ++i) fetch(i);
    for (std::size_t i = 0; i < size; ++i) {
        if (i + kPrefetchRows < size) fetch(i + kPrefetchRows);
        sum_row(rows[i], w[i], n, directed, s);
    }
}

// One pass over the rows, and over the weights while they are all good:
// each block of both is read once into the call's buffers, checked and
// summed from there. A bad edge ends the pass at once; the first bad weight
// voids the sums and stops the reading of weights, but the rows are still
// checked to their end, since a bad edge in a later row outranks it.
// `sum` may be null (the sums are not wanted, only the checks).
template <bool prefetch>
Check sum_in_blocks(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights, bool directed,
                    double* sum) {
    Edge rows[kEdgeBlockRows];
    double w[kEdgeBlockRows];
    Check weight_failure;
    const bool with_weights = weights.size == edges.rows;
    Check edge = for_each_block(edges.rows, [&](std::uint64_t first, std::size_t size) -> Check {
        const std::span<const Edge> block(rows, size);
        if (!with_weights || weight_failure || sum == nullptr) {
            read_block(edges, first, size, rows);
            return check_edge_block(n, first, block);
        }
        if constexpr (prefetch) {
            read_and_sum_block(n, edges, weights, first, size, rows, w, directed, sum);
        } else {
            read_block(edges, first, size, rows);
            read_block(weights, first, size, w);
            sum_block(n, block, std::span<const double>(w, size), directed, sum);
        }
        const std::span<const double> values(w, size);
        if (Check bad = check_edge_block(n, first, block)) return bad;
        if (weights_bad(values)) weight_failure = check_weight_block(first, values);
        return std::nullopt;
    });
    if (edge) return edge;
    if (!with_weights) return InputError::weights_length(weights.size, edges.rows);
    return weight_failure;
}

}  // namespace

Result<std::vector<std::uint64_t>> degree_sequence(std::uint64_t n, const SharedEdges& edges, DegreeKind kind) {
    // A node's count is at most the number of rows, so 32-bit counters do
    // when the rows are fewer than 2^32; they halve the table the pass walks.
    // Below kWideCountNodes nodes even 64-bit counters stay in the L1 cache,
    // and counting straight into the result saves a second vector and the
    // widening pass (a fair share of a call on a graph of a few dozen nodes).
    const bool narrow = edges.rows <= std::numeric_limits<std::uint32_t>::max() && n >= kWideCountNodes;
    // Counters larger than the rows (n > 2m) are allocated only once the
    // rows, copied as they are read, have passed the range check.
    if (n / 2 > edges.rows) {
        Result<std::vector<Edge>> rows = copy_checked(n, edges);
        if (!rows.ok()) return rows.error();
        const SharedEdges owned = view_of(rows.value());
        return narrow ? count_degrees<std::uint32_t>(n, owned, kind) : count_degrees<std::uint64_t>(n, owned, kind);
    }
    return narrow ? count_degrees<std::uint32_t>(n, edges, kind) : count_degrees<std::uint64_t>(n, edges, kind);
}

Result<std::vector<double>> strength_sequence(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights,
                                              bool directed) {
    // As for degrees, counters larger than the rows wait for the checks:
    // rows and weights are copied as they are read, then summed from the
    // copies. A mismatched length needs only the range check of the rows.
    if (n / 2 > edges.rows || weights.size != edges.rows) {
        if (weights.size != edges.rows) {
            Check bad = sum_in_blocks<false>(n, edges, weights, directed, nullptr);
            return *bad;  // the length, when the rows pass
        }
        Result<std::vector<Edge>> rows = copy_checked(n, edges);
        if (!rows.ok()) return rows.error();
        std::vector<double> w(weights.size);
        read_block(weights, 0, w.size(), w.data());
        if (Check bad = for_each_block(w.size(), [&](std::uint64_t first, std::size_t size) {
                return check_weight_block(first, std::span<const double>(w.data() + first, size));
            }))
            return *bad;
        require_node_arrays(n, sizeof(double));
        std::vector<double> sum(n + 1, 0.0);
        sum_block(n, rows.value(), w, directed, sum.data());
        sum.pop_back();
        return sum;
    }
    require_node_arrays(n, sizeof(double));
    std::vector<double> sum(n + 1, 0.0);
    const bool prefetch = (n + 1) * sizeof(double) > kL2Bytes;
    if (Check failed = prefetch ? sum_in_blocks<true>(n, edges, weights, directed, sum.data())
                                : sum_in_blocks<false>(n, edges, weights, directed, sum.data()))
        return *failed;
    sum.pop_back();
    return sum;
}

}  // namespace knotwell
