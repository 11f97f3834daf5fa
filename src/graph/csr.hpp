// The one compressed-sparse-row graph of the module and its builders.
//
// `Csr<Id>` holds n lists: list u is targets[offsets[u] .. offsets[u + 1]),
// with weights[k] beside targets[k] when the graph is weighted. Every unit
// that walks neighbour lists builds one with `build_csr` (from an edge list)
// or `group_arcs` (from arcs it generates itself, e.g. a coarsened graph),
// choosing what it relies on:
//
//   undirected       row (u, v) gives u -> v and v -> u; else u -> v only
//   drop_self_loops  rows (u, u) are left out
//   merge            None: lists hold every arc in emission (row) order,
//                    unsorted; one counting-sort pass.
//                    First / Smallest / Sum: lists sorted ascending by
//                    neighbour, one entry per neighbour carrying the first,
//                    the smallest, or the emission-order sum of the weights
//                    of its arcs; two stable counting-sort passes (group by
//                    target, then walk targets ascending into the source
//                    lists), so the arcs of one pair meet in emission order.
//                    Count: the same lists from arcs grouped as plain ids
//                    (their weights ignored), each entry weighing the number
//                    of arcs of its pair, a whole number as a double: k arcs
//                    of one weight 2^e sum exactly to k x 2^e (k < 2^53), so
//                    an unweighted Sum is Count times the weight, at a
//                    quarter of the grouping memory.
//
// Arcs that a unit can emit grouped by source, sources ascending (each
// coarse node's arcs gathered from its members, say), go through
// `group_by_source` instead: one pass with a dense accumulator keyed by
// target, each target's weights summed in emission order and every list then
// sorted, giving the bits of `group_arcs` with Merge::Sum on the same arcs.
// It needs no memory per arc besides the result (the two-pass grouping holds
// every arc twice over), at the price of a sort of each list's distinct
// targets.
//
// Ids are stored as `Id`: 32 bits whenever `fits_32_bit_ids(n)` (the one
// rule; `with_id_type` dispatches on it), which halves the memory traffic of
// every walk. Builds are O(n + arcs) time; all n-proportional sizes are
// checked before anything is allocated (`require_node_arrays`), so an absurd
// n fails with std::bad_alloc at once rather than after touching gigabytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <ranges>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "graph/input.hpp"
#include "graph/rows.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell {

template <class Id>
struct Csr {
    std::uint64_t n = 0;
    ScratchVector<std::uint64_t> offsets;  // n + 1 entries
    ScratchVector<Id> targets;
    ScratchVector<double> weights;  // parallel to `targets`; empty when unweighted

    std::uint64_t arcs() const { return targets.size(); }
    std::uint64_t degree(std::uint64_t u) const { return offsets[u + 1] - offsets[u]; }
    std::span<const Id> neighbours(std::uint64_t u) const {
        return {targets.data() + offsets[u], targets.data() + offsets[u + 1]};
    }
};

// Throws std::bad_alloc when n + 1 nodes of `bytes_per_node` bytes each
// cannot be addressed. Callers pass the total of all their per-node arrays
// before allocating the first, so no memory is touched for an n that could
// never fit.
inline void require_node_arrays(std::uint64_t n, std::uint64_t bytes_per_node) {
    std::uint64_t bytes = 0;
    if (n == std::numeric_limits<std::uint64_t>::max() || __builtin_mul_overflow(n + 1, bytes_per_node, &bytes) ||
        bytes > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        throw std::bad_alloc();
}

enum class Merge { None, First, Smallest, Sum, Count };

// Bytes of block keys (scratch of two or four bytes an arc) a grouping pass
// holds before it places its arcs a range of blocks at a time (group_by_key).
inline constexpr std::uint64_t kGroupScratchBytes = std::uint64_t{128} << 20;

struct CsrOptions {
    bool undirected = true;
    bool drop_self_loops = false;
    Merge merge = Merge::First;
    bool weighted = false;
    // The lists are the same whatever the value (tests lower it).
    std::uint64_t scratch_bytes = kGroupScratchBytes;
    // Merge::Count: when no pair has more than one arc, leave `weights`
    // empty rather than a 1.0 for every entry (the caller counts entries).
    bool omit_unit_counts = false;
};

// Per-node bytes of a build: the result's offsets and the first pass's.
inline constexpr std::uint64_t kCsrBytesPerNode = 16;

namespace csr_detail {

// Keys fall in blocks of 2^shift consecutive ids, at most kMaxBlocks blocks
// (more only for n beyond 2^41).
inline constexpr std::uint64_t kMaxBlocks = 512;

inline unsigned block_shift(std::uint64_t n) {
    unsigned shift = 10;
    while (shift < 32 && (n >> shift) > kMaxBlocks) ++shift;
    return shift;
}

// Stable counting sort of the block's arcs values[lo, hi) by local key
// (local[k - lo] for arc k), writing the offsets of the block's keys.
template <class V, class Local>
void sort_block(std::uint64_t first, std::uint64_t keys, std::uint64_t lo, std::uint64_t hi, const Local* local,
                V* values, std::uint64_t* offsets, std::vector<std::uint64_t>& count, std::vector<V>& staged) {
    std::fill_n(count.begin(), keys + 1, 0);
    for (std::uint64_t k = lo; k < hi; ++k) ++count[local[k - lo] + 1];
    for (std::uint64_t j = 0; j < keys; ++j) count[j + 1] += count[j];
    for (std::uint64_t j = 0; j < keys; ++j) offsets[first + j] = lo + count[j];
    staged.assign(values + lo, values + hi);
    for (std::uint64_t k = lo; k < hi; ++k) values[lo + count[local[k - lo]]++] = staged[k - lo];
}

// Past kGroupScratchBytes of block keys, a grouping pass is split into
// ranges of blocks, each holding at most 1/kMaxRanges of the arcs unless a
// single block holds more (a block is never split).
inline constexpr std::uint64_t kMaxRanges = 2;

inline constexpr std::uint64_t kDirectKeys = std::uint64_t{1} << 16;

// Rows (or nodes) of a pass between two polls: a few milliseconds of work.
inline constexpr std::size_t kPollRows = std::size_t{1} << 16;

// Second half of the direct counting sort: offsets (n + 2 entries) holds
// key k's count at [k + 2]. After the prefix sums offsets[k + 1] is where key
// k starts and serves as its cursor: once the values are placed it holds
// where key k + 1 starts, which is the final offsets array (the extra entry
// is dropped).
template <class V, class ForEachArc>
void place_counted(std::uint64_t n, ForEachArc&& for_each_arc, ScratchVector<std::uint64_t>& offsets,
                   ScratchVector<V>& values) {
    parallel::InterruptPoll poll;
    std::uint64_t* at = offsets.data();
    for (std::uint64_t k = 2; k < n + 2; ++k) at[k] += at[k - 1];
    const std::uint64_t arcs = at[n + 1];
    poll.tick(n + arcs);
    values.resize(arcs);
    V* out = values.data();
    for_each_arc([at, out](std::uint64_t key, V value) { out[at[key + 1]++] = value; });
    poll.tick(arcs);
    offsets.pop_back();
}

// One counting sort over all arcs: count, then place.
template <class V, class ForEachArc>
void group_directly(std::uint64_t n, ForEachArc&& for_each_arc, ScratchVector<std::uint64_t>& offsets,
                    ScratchVector<V>& values) {
    offsets.assign(n + 2, 0);
    std::uint64_t* at = offsets.data();
    for_each_arc([at](std::uint64_t key, V) { ++at[key + 2]; });
    place_counted(n, for_each_arc, offsets, values);
}

// A neighbour with its weight, while weighted arcs are being grouped.
template <class Id>
struct WeightedArc {
    Id node;
    double weight;
};

}  // namespace csr_detail

// Groups arcs by key into CSR form (offsets of n + 1, values), stably: the
// values of key u keep the order in which they were emitted.
// `for_each_arc(emit)` must call emit(key, value) for every arc, with key <
// n, in the same order on each of its calls (two, or more on large inputs).
// Two phases, so that no pass scatters over the whole value array: arcs go
// to blocks of keys first (a few hundred sequential write streams), then
// each block, small enough for the cache, is counting-sorted on its own.
// O(n + arcs) time; besides the result, the key within its block of each arc
// being placed, as scratch: 2 bytes while blocks hold at most 2^16 keys (n up
// to 2^25), else 4. Past `scratch_bytes` of such keys, the blocks are placed
// and sorted a range at a time, each range by its own pass over the arcs,
// which halves the scratch (kMaxRanges) for one more pass: on R-MAT scale 22
// (2^27 arcs) that pass costs about a quarter of the grouping's time and
// saves 2 bytes per edge row at the peak of every build. The offsets
// are allocated first: the block table is smaller by a factor of at least
// 2^10, so a node count too large to hold fails there, before anything else
// is touched. Up to kDirectKeys keys, whose offsets fit the L2 cache, one
// counting sort over all arcs replaces the two phases and needs no scratch.
template <class V, class ForEachArc>
void group_by_key(std::uint64_t n, ForEachArc&& for_each_arc, ScratchVector<std::uint64_t>& offsets,
                  ScratchVector<V>& values, std::uint64_t scratch_bytes = kGroupScratchBytes) {
    require_node_arrays(n, sizeof(std::uint64_t));
    if (n <= csr_detail::kDirectKeys) return csr_detail::group_directly(n, for_each_arc, offsets, values);
    offsets.assign(n + 1, 0);
    const unsigned shift = csr_detail::block_shift(n);
    const std::uint64_t blocks = (n >> shift) + 1;
    const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    parallel::InterruptPoll poll;
    std::vector<std::uint64_t> block_start(blocks + 1, 0);
    // The arc passes stream the input and poll between them only: a tick
    // per arc, an opaque call on its rare path, keeps the compiler from
    // holding the pass's pointers in registers (about 1.5x on the pass).
    for_each_arc([&](std::uint64_t key, V) { ++block_start[(key >> shift) + 1]; });
    for (std::uint64_t b = 0; b < blocks; ++b) block_start[b + 1] += block_start[b];
    const std::uint64_t arcs = block_start[blocks];
    poll.tick(arcs);

    // One slot past the lists takes the arcs of blocks outside the range
    // being placed, so that a pass needs no branch on the range.
    values.resize(arcs + 1);
    V* out = values.data();
    const auto place_and_sort = [&]<class Local>() {
        const std::uint64_t budget = std::max(scratch_bytes / sizeof(Local), arcs / csr_detail::kMaxRanges + 1);
        // Ranges of whole blocks of at most `budget` arcs each (or one block).
        std::vector<std::uint64_t> range_end;
        std::uint64_t widest = 0;
        for (std::uint64_t b = 0; b < blocks;) {
            std::uint64_t e = b + 1;
            while (e < blocks && block_start[e + 1] - block_start[b] <= budget) ++e;
            range_end.push_back(e);
            widest = std::max(widest, block_start[e] - block_start[b]);
            b = e;
        }
        ScratchVector<Local> local(widest + 1);  // key within its block; the last slot is the sink's
        std::vector<std::uint64_t> cursor(blocks);
        std::vector<std::uint64_t> count(std::min(n, mask + 1) + 1);
        std::vector<V> staged;
        std::uint64_t first_block = 0;
        for (const std::uint64_t end_block : range_end) {
            const std::uint64_t base = block_start[first_block], width = block_start[end_block] - base;
            std::copy(block_start.begin(), block_start.end() - 1, cursor.begin());
            Local* keys = local.data();
            std::uint64_t* at = cursor.data();
            // Everything the pass reads besides the arcs is copied into the
            // closure: captured by reference, a 64-bit bound would be
            // reloaded after every cursor store (which may alias it).
            const std::uint64_t lo = first_block, span = end_block - first_block, sink = arcs;
            if (span == blocks) {
                // One range, every arc inside it: the plain placement, without
                // the masks of the split one (a tenth of a build's time).
                for_each_arc([=](std::uint64_t key, V value) {
                    const std::uint64_t k = at[key >> shift]++;
                    out[k] = value;
                    keys[k] = static_cast<Local>(key & mask);
                });
            } else {
                for_each_arc([=](std::uint64_t key, V value) {
                    const std::uint64_t b = key >> shift;
                    const std::uint64_t inside = b - lo < span;
                    const std::uint64_t k = at[b];
                    // Branch-free: a range holds a random half or less of
                    // the arcs, which no predictor learns.
                    const std::uint64_t keep = 0 - inside;
                    out[(k & keep) | (sink & ~keep)] = value;
                    keys[((k - base) & keep) | (width & ~keep)] = static_cast<Local>(key & mask);
                    at[b] = k + inside;
                });
            }
            poll.tick(arcs);
            for (std::uint64_t b = first_block; b < end_block && (b << shift) < n; ++b) {
                const std::uint64_t first = b << shift;
                poll.tick(2 * (block_start[b + 1] - block_start[b]) + mask + 1);
                csr_detail::sort_block(first, std::min(mask + 1, n - first), block_start[b], block_start[b + 1],
                                       keys + (block_start[b] - base), out, offsets.data(), count, staged);
            }
            first_block = end_block;
        }
    };
    if (shift <= 16)
        place_and_sort.template operator()<std::uint16_t>();
    else
        place_and_sort.template operator()<std::uint32_t>();
    values.pop_back();
    offsets[n] = arcs;
}

namespace csr_detail {

// Moves grouped values into the lists of `g`: plain ids as they are,
// weighted arcs split into targets and weights.
template <class Id>
void take_lists(ScratchVector<Id>&& values, Csr<Id>& g) {
    g.targets = std::move(values);
}

template <class Id>
void take_lists(ScratchVector<WeightedArc<Id>>&& values, Csr<Id>& g) {
    g.targets.resize(values.size());
    g.weights.resize(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        g.targets[k] = values[k].node;
        g.weights[k] = values[k].weight;
    }
    ScratchVector<WeightedArc<Id>>().swap(values);
}

// Collapses each run of equal neighbours of a sorted list to one entry,
// combining the run's weights as `merge` says, and closes the gaps.
template <class Id>
void merge_runs(Csr<Id>& g, Merge merge) {
    const bool weighted = !g.weights.empty();
    Id* t = g.targets.data();
    double* w = g.weights.data();
    std::uint64_t write = 0;
    parallel::InterruptPoll poll;
    for (std::uint64_t u = 0; u < g.n; ++u) {
        const std::uint64_t begin = g.offsets[u], end = g.offsets[u + 1];
        if ((u & (kPollRows - 1)) == 0) poll.tick(kPollRows + g.offsets[std::min(g.n, u + kPollRows)] - begin);
        g.offsets[u] = write;
        for (std::uint64_t k = begin; k < end; ++k) {
            if (k != begin && t[k] == t[write - 1]) {
                // Weights are finite here, so `<` is the total order of floats.
                if (!weighted || merge == Merge::First) continue;
                if (merge == Merge::Sum)
                    w[write - 1] += w[k];
                else if (w[k] < w[write - 1])
                    w[write - 1] = w[k];
                continue;
            }
            t[write] = t[k];
            if (weighted) w[write] = w[k];
            ++write;
        }
    }
    g.offsets[g.n] = write;
    g.targets.resize(write);
    g.targets.shrink_to_fit();
    if (weighted) {
        g.weights.resize(write);
        g.weights.shrink_to_fit();
    }
}

// Collapses each run of equal neighbours of a sorted list to one entry
// weighing the run's length. The lists are counted first, so the weights
// are allocated at their final size; with `omit_unit` and no run longer
// than 1, the lists are final as they are and no weights are made.
template <class Id>
void count_runs(Csr<Id>& g, bool omit_unit) {
    const Id* t = g.targets.data();
    std::uint64_t distinct = 0;
    parallel::InterruptPoll poll;
    for (std::uint64_t u = 0; u < g.n; ++u) {
        const std::uint64_t begin = g.offsets[u], end = g.offsets[u + 1];
        if ((u & (kPollRows - 1)) == 0) poll.tick(kPollRows + g.offsets[std::min(g.n, u + kPollRows)] - begin);
        for (std::uint64_t k = begin; k < end; ++k) distinct += k == begin || t[k] != t[k - 1];
    }
    if (omit_unit && distinct == g.targets.size()) return;
    g.weights.resize(distinct);
    Id* out = g.targets.data();
    double* w = g.weights.data();
    std::uint64_t write = 0;
    for (std::uint64_t u = 0; u < g.n; ++u) {
        const std::uint64_t begin = g.offsets[u], end = g.offsets[u + 1];
        if ((u & (kPollRows - 1)) == 0) poll.tick(kPollRows + g.offsets[std::min(g.n, u + kPollRows)] - begin);
        g.offsets[u] = write;
        for (std::uint64_t k = begin; k < end;) {
            const Id v = out[k];
            std::uint64_t run = k + 1;
            while (run < end && out[run] == v) ++run;
            out[write] = v;
            w[write] = static_cast<double>(run - k);
            ++write;
            k = run;
        }
    }
    g.offsets[g.n] = write;
    // The copy of a shrink costs 4 bytes an entry while it runs: taken only
    // when it frees more than it copies, so the peak stays at most 8 bytes an
    // arc plus the weights.
    const bool shrink = 2 * write <= g.targets.size();
    g.targets.resize(write);
    if (shrink) g.targets.shrink_to_fit();
}

template <class V, class Id>
V make_value(Id node, double weight) {
    if constexpr (std::is_same_v<V, Id>)
        return node;
    else
        return V{node, weight};
}

// `done()` is called once `for_each_arc` has been called for the last time.
template <class Id, class V, class ForEachArc, class Done>
Csr<Id> group_arcs_as(std::uint64_t n, Merge merge, ForEachArc&& for_each_arc, Done&& done, std::uint64_t scratch_bytes,
                      bool omit_unit_counts) {
    require_node_arrays(n, kCsrBytesPerNode);
    Csr<Id> g;
    g.n = n;
    ScratchVector<V> values;
    if (merge == Merge::None) {
        group_by_key<V>(
            n,
            [&](auto&& emit) {
                for_each_arc(
                    [&](std::uint64_t s, std::uint64_t t, double w) { emit(s, make_value<V>(static_cast<Id>(t), w)); });
            },
            g.offsets, values, scratch_bytes);
        done();
        take_lists(std::move(values), g);
        return g;
    }
    parallel::InterruptPoll poll;
    // Pass 1: sources grouped by target, in emission order.
    ScratchVector<std::uint64_t> by_target;
    ScratchVector<V> sources;
    group_by_key<V>(
        n,
        [&](auto&& emit) {
            for_each_arc(
                [&](std::uint64_t s, std::uint64_t t, double w) { emit(t, make_value<V>(static_cast<Id>(s), w)); });
        },
        by_target, sources, scratch_bytes);
    done();
    // Pass 2: targets walked ascending and regrouped by source; the grouping
    // is stable, so every list comes out sorted, equal targets in emission
    // order.
    group_by_key<V>(
        n,
        [&](auto&& emit) {
            for (std::uint64_t first = 0; first < n; first += kPollRows) {
                const std::uint64_t end = std::min<std::uint64_t>(n, first + kPollRows);
                for (std::uint64_t t = first; t < end; ++t) {
                    for (std::uint64_t k = by_target[t]; k < by_target[t + 1]; ++k) {
                        if constexpr (std::is_same_v<V, Id>)
                            emit(sources[k], static_cast<Id>(t));
                        else
                            emit(sources[k].node, V{static_cast<Id>(t), sources[k].weight});
                    }
                }
                poll.tick(end - first + by_target[end] - by_target[first]);
            }
        },
        g.offsets, values, scratch_bytes);
    ScratchVector<V>().swap(sources);
    ScratchVector<std::uint64_t>().swap(by_target);
    take_lists(std::move(values), g);
    if (merge == Merge::Count)
        count_runs(g, omit_unit_counts);
    else
        merge_runs(g, merge);
    return g;
}

}  // namespace csr_detail

// Lays out the arcs that `for_each_arc(emit)` produces, emit(source, target,
// weight) with both ids < n, as the lists of a Csr<Id>. `for_each_arc` is
// called twice and must produce the same arcs both times. With `weighted`
// false, or `merge` Count, the weights passed to emit are ignored.
// `omit_unit_counts` as in CsrOptions.
template <class Id, class ForEachArc, class Done = void (*)()>
Csr<Id> group_arcs(
    std::uint64_t n, bool weighted, Merge merge, ForEachArc&& for_each_arc, Done&& done = [] {},
    std::uint64_t scratch_bytes = kGroupScratchBytes, bool omit_unit_counts = false) {
    if (weighted && merge != Merge::Count)
        return csr_detail::group_arcs_as<Id, csr_detail::WeightedArc<Id>>(n, merge, for_each_arc, done, scratch_bytes,
                                                                          false);
    return csr_detail::group_arcs_as<Id, Id>(n, merge, for_each_arc, done, scratch_bytes, omit_unit_counts);
}

// The weighted Csr of arcs emitted source by source: `arcs_of(s, emit)` is
// called once for each s = 0, 1, ..., n - 1 in turn and calls emit(t, w),
// t < n, for each arc of s. List s holds each distinct target once, sorted
// ascending, weighing the sum of its arcs' weights in emission order (bit
// for bit what `group_arcs` with Merge::Sum gives). `expected_arcs` only
// sizes the first allocation of the lists. O(n + arcs + sum over lists of
// d log d) time; 12 bytes per node of scratch (8 with 32-bit ids) besides a
// buffer of the longest list's distinct targets.
template <class Id, class ArcsOf>
Csr<Id> group_by_source(std::uint64_t n, ArcsOf&& arcs_of, std::uint64_t expected_arcs = 0) {
    require_node_arrays(n, kCsrBytesPerNode + sizeof(double) + sizeof(Id));
    Csr<Id> g;
    g.n = n;
    g.offsets.assign(n + 1, 0);
    g.targets.reserve(expected_arcs);
    g.weights.reserve(expected_arcs);
    std::vector<double> sum(n, 0.0);
    // mark[t] == s once t is listed for source s; n (no source) at first.
    std::vector<Id> mark(n, static_cast<Id>(n));
    std::vector<Id> listed;
    Id* const marked = mark.data();
    double* const sums = sum.data();
    parallel::InterruptPoll poll;
    for (std::uint64_t s = 0; s < n; ++s) {
        const auto source = static_cast<Id>(s);
        listed.clear();
        arcs_of(s, [&](std::uint64_t target, double w) {
            const auto t = static_cast<Id>(target);
            if (marked[t] != source) {
                marked[t] = source;
                sums[t] = w;
                listed.push_back(t);
            } else {
                sums[t] += w;
            }
        });
        poll.tick(listed.size() + 1);
        std::sort(listed.begin(), listed.end());
        for (const Id t : listed) {
            g.targets.push_back(t);
            g.weights.push_back(sums[t]);
        }
        g.offsets[s + 1] = g.targets.size();
    }
    g.targets.shrink_to_fit();
    g.weights.shrink_to_fit();
    return g;
}

// The Csr of rows (`Edge` or `IdPair`) whose ids are all below n
// (range-checked by the caller). When `options.weighted`, row i weighs
// weights[i], or 1.0 each when `weights` is empty. Row (u, v) emits u -> v,
// then v -> u when undirected. `done()` is called once the rows have been
// read for the last time.
template <class Id, class Rows, class Done = void (*)()>
Csr<Id> build_csr(
    std::uint64_t n, const Rows& edges, CsrOptions options, std::span<const double> weights = {}, Done&& done = [] {}) {
    using Row = std::ranges::range_value_t<Rows>;
    const double* w = weights.empty() ? nullptr : weights.data();
    parallel::InterruptPoll poll;
    return group_arcs<Id>(
        n, options.weighted, options.merge,
        [&](auto&& emit) {
            // Rows in blocks, polling between them: a pass over hundreds of
            // millions of rows takes seconds, and a poll inside the row loop
            // would keep the compiler from holding the pass in registers.
            for (std::size_t first = 0; first < edges.size(); first += csr_detail::kPollRows) {
                const std::size_t end = std::min<std::size_t>(edges.size(), first + csr_detail::kPollRows);
                for (std::size_t i = first; i < end; ++i) {
                    const Row e = edges[i];
                    if (options.drop_self_loops && e.source == e.target) continue;
                    const double wi = w != nullptr ? w[i] : 1.0;
                    emit(e.source, e.target, wi);
                    if (options.undirected) emit(e.target, e.source, wi);
                }
                poll.tick(end - first);
            }
        },
        done, options.scratch_bytes, options.omit_unit_counts);
}

// The same from owned rows (checked by the caller), which are freed as soon
// as the build has read them for the last time, before the second grouping
// pass of a merged build.
template <class Id>
Csr<Id> build_csr(OwnedRows&& rows, CsrOptions options, std::span<const double> weights = {}) {
    return rows.visit(
        [&](auto span) { return build_csr<Id>(rows.n(), span, options, weights, [&] { rows.release(); }); });
}

// The plain adjacency structure: 64-bit ids, every list sorted without
// repeats, a self-loop leaving u once in its own list. The reference form
// that the tuned searches are checked against.
using Adjacency = Csr<NodeId>;

// Range check first (nothing is allocated before it passes), then the build.
Result<Adjacency> build_adjacency(std::uint64_t n, std::span<const Edge> edges, bool undirected);

}  // namespace knotwell
