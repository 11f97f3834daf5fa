// G(n, m): a uniform simple graph with n nodes and exactly m edges.
//
// Rejection sampling: ordered pairs (u, v) are drawn, u first, each by
// `gen_below(n)`; self-pairs and pairs already taken are dropped until m
// distinct pairs are accepted, so each accepted pair is uniform over the pairs
// not yet taken. Rows are returned in acceptance order.
//
// The draws never depend on the set's contents, so pairs are drawn a batch
// ahead and their hash slots prefetched; a draw past the m-th acceptance is
// simply dropped with the stream. The loop polls for an interrupt once per
// batch. Expected O(m) time for m well below
// n(n - 1)/2 (a coupon-collector tail as m nears it). Memory: the output of
// m pairs and an edge set of m entries; when every id is below 2^32 the
// output holds one packed 64-bit key per pair while the set lives, and the
// keys are unpacked in place into (low, high) rows once it is gone, so only
// half the output is in use beside the set. That set refers to the keys in
// the output (4-byte slots, 6 to 12 bytes a pair) unless m is too small for
// its memory to matter or too large for its references, so the call peaks
// at 14 to 20 bytes a pair. Runs on the calling thread.
#include <limits>
#include <type_traits>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "nulls/row_ref_set.hpp"
#include "parallel/interrupt.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

using nulls::PairSet;

constexpr std::size_t kBatch = 32;

// n(n - 1)/2 with the product saturating at 2^64 - 1 instead of wrapping.
std::uint64_t distinct_pairs(std::uint64_t n) {
    if (n < 2) return 0;
    std::uint64_t product;
    if (__builtin_mul_overflow(n, n - 1, &product)) product = std::numeric_limits<std::uint64_t>::max();
    return product / 2;
}

// Appends the m accepted pairs to `out` (reserved for 2m elements): as one
// key per pair for NarrowPairs (low << 32 | high), as low, high for
// WidePairs. `set` starts empty; a row-referencing one refers to the keys in
// `out`.
template <class Set>
void draw_edges(std::uint64_t n, std::uint64_t m, SplitMix64& rng, Set& set, std::vector<std::uint64_t>& out) {
    std::uint64_t us[kBatch], vs[kBatch];
    std::uint64_t count = 0;
    parallel::InterruptPoll poll;
    while (count < m) {
        poll.tick(kBatch);
        for (std::size_t b = 0; b < kBatch; ++b) {
            us[b] = rng.gen_below(n);
            vs[b] = rng.gen_below(n);
            if (us[b] != vs[b]) set.prefetch(Set::key(us[b], vs[b]));
        }
        for (std::size_t b = 0; b < kBatch && count < m; ++b) {
            const std::uint64_t u = us[b], v = vs[b];
            if (u == v) continue;
            const typename Set::Key key = Set::key(u, v);
            if (!set.insert(key, count)) continue;
            if constexpr (std::is_same_v<typename Set::Pairs, nulls::NarrowPairs>) {
                out.push_back(key);
            } else {
                out.push_back(u < v ? u : v);
                out.push_back(u < v ? v : u);
            }
            ++count;
        }
    }
}

}  // namespace

Result<std::vector<std::uint64_t>> erdos_renyi(std::uint64_t n, std::uint64_t m, std::uint64_t seed,
                                               const EdgeSetOptions& sets) {
    if (m > distinct_pairs(n))
        return InputError::bad_parameter("m", "must not exceed the number of distinct node pairs");
    std::vector<std::uint64_t> out;
    if (m == 0) return out;
    // m <= n(n - 1)/2 < 2^63, so 2m does not wrap; reserve throws
    // std::length_error for a table no address space could hold.
    out.reserve(2 * m);
    SplitMix64 rng(seed);
    if (n <= nulls::kNarrowIdLimit) {
        if (nulls::RowRefSet::chosen(m, sets.row_refs)) {
            nulls::RowRefSet set(out.data(), m, nulls::RowRefSet::Load::Grow, sets.min_index_bits);
            draw_edges(n, m, rng, set, out);
        } else {
            PairSet<nulls::NarrowPairs> set(m);
            draw_edges(n, m, rng, set, out);
        }
        nulls::unpack_keys(m, out);
    } else {
        PairSet<nulls::WidePairs> set(m);
        draw_edges(n, m, rng, set, out);
    }
    return out;
}

}  // namespace knotwell
