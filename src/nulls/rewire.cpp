// Degree-preserving randomisation of a simple undirected graph by double edge
// swaps (the switching chain of Maslov and Sneppen).
//
// Each sample keeps a working list of the input edges as normalised pairs and
// an edge set holding exactly those pairs, and repeats attempts: two slots
// i, j drawn by `gen_below(m)`, and when i != j a coin choosing {a, d},{c, b}
// or {a, c},{b, d} from slots (a, b), (c, d). A swap is made unless it would
// create a self-loop or an existing pair. The loop ends at target_swaps swaps
// or max_attempts attempts; every attempt counts.
//
// Validation (id range, max_attempts, then self-loops and repeats in edge
// order) runs once, before anything is allocated for the samples, and only
// when there is at least one sample. It normalises the call's own copy of
// the rows in place while it loads them into an edge set.
//
// One sample (the common case, and the one whose memory matters at scale)
// swaps in those rows themselves, with the validation's edge set, and only
// after the set is freed are the rows widened into the result: rows, set and
// result are never all alive at once, and the set is built once. With 32-bit
// ids and at least RowRefSet::kMinRows rows, the rows are first packed into
// keys in the result's own buffer and freed, the edge set refers to those
// keys instead of holding them (validation then runs over the keys, in the
// same order, with the same checks), and the keys are widened in place: past
// 2^21 pairs the call peaks at 8 bytes a pair of keys plus 10 of set, or the
// 16 of the result.
// Several samples are independent: sample s runs on a stream seeded with the
// s-th output of the master stream, all drawn up front, so the samples form
// a collect sweep over the worker pool and the result is the same for any
// pool size. Each copies the normalised rows straight into its slice of the
// result block, builds its own edge set and swaps there. Either way a sample's
// draws and swaps are the same, so sample 0 does not depend on n_samples.
// A running sample looks at the sweep's stop flag every 65536 attempts, so an
// interrupt ends it early; the sweep then discards every sample.
//
// O(m) per sample to load plus O(1) expected per attempt; memory per sample
// is its m pairs plus one edge set of m entries.
#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <type_traits>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "nulls/row_ref_set.hpp"
#include "parallel/parallel.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

using nulls::PairSet;

struct RewireInput {
    std::uint64_t m;
    std::uint64_t target_swaps;
    std::uint64_t max_attempts;
};

struct SwapCounts {
    std::uint64_t swaps = 0;
    std::uint64_t attempts = 0;
};

// Edge sets with 32-bit keys for 32-bit rows.
template <class Id>
using PairsFor = std::conditional_t<std::is_same_v<Id, std::uint32_t>, nulls::NarrowPairs, nulls::WidePairs>;

// The checks that precede building the pairs: every id below n, then the
// attempt budget.
Check check_parameters(const OwnedRows& edges, const RewireInput& in) {
    if (edges.range_failure()) return edges.range_failure();
    if (in.max_attempts < in.target_swaps)
        return InputError::bad_parameter("max_attempts", "must be at least target_swaps, or no run could succeed");
    return std::nullopt;
}

// Adds the normalised pair (low, high), held by `row`, to the set; fails on a
// self-loop or a pair already present.
template <class Set>
Check admit_pair(std::uint64_t low, std::uint64_t high, std::uint64_t row, Set& set) {
    if (low == high)
        return InputError::bad_parameter(
            "edges", "must not contain self-loops; degree-preserving randomization samples simple graphs");
    if (!set.insert(Set::Pairs::pack(low, high), row))
        return InputError::bad_parameter(
            "edges", "must not repeat an edge; degree-preserving randomization samples simple graphs");
    return std::nullopt;
}

// Normalises every row to (low, high) in place and adds it to `set`, in edge
// order; the first self-loop or repeated pair fails.
template <class Pairs, class Id>
Check admit_rows(std::span<IdPair<Id>> rows, PairSet<Pairs>& set) {
    parallel::InterruptPoll poll;
    for (IdPair<Id>& e : rows) {
        poll.tick(4);
        e = {std::min(e.source, e.target), std::max(e.source, e.target)};
        if (Check failed = admit_pair(e.source, e.target, 0, set)) return failed;
    }
    return std::nullopt;
}

// A sample's working list, slot k as (low, high): the validated rows
// themselves, or the sample's slice of the result block.
template <class Id>
struct RowPairs {
    IdPair<Id>* rows;
    std::uint64_t low(std::uint64_t k) const { return rows[k].source; }
    std::uint64_t high(std::uint64_t k) const { return rows[k].target; }
    void put(std::uint64_t k, std::uint64_t low, std::uint64_t high) {
        rows[k] = {static_cast<Id>(low), static_cast<Id>(high)};
    }
    const void* address(std::uint64_t k) const { return &rows[k]; }
};

// Pairs as NarrowPairs keys, one word a pair: the working list of one
// sample, in the result's own buffer.
struct KeyPairs {
    std::uint64_t* keys;
    std::uint64_t low(std::uint64_t k) const { return keys[k] >> 32; }
    std::uint64_t high(std::uint64_t k) const { return keys[k] & 0xFFFFFFFFu; }
    void put(std::uint64_t k, std::uint64_t low, std::uint64_t high) { keys[k] = nulls::NarrowPairs::pack(low, high); }
    const void* address(std::uint64_t k) const { return &keys[k]; }
};

struct BlockPairs {
    std::uint64_t* pairs;
    std::uint64_t low(std::uint64_t k) const { return pairs[2 * k]; }
    std::uint64_t high(std::uint64_t k) const { return pairs[2 * k + 1]; }
    void put(std::uint64_t k, std::uint64_t low, std::uint64_t high) {
        pairs[2 * k] = low;
        pairs[2 * k + 1] = high;
    }
    const void* address(std::uint64_t k) const { return &pairs[2 * k]; }
};

// One attempt's draws. They never depend on the pairs, so attempts are drawn
// ahead of time and the memory they will touch is prefetched.
struct Planned {
    std::uint64_t i;
    std::uint64_t j;
    bool coin;  // drawn only when i != j
};

constexpr std::size_t kAhead = 16;           // attempts drawn ahead; slots prefetched
constexpr std::size_t kHalf = 8;             // edge-set slots prefetched this far ahead
constexpr std::size_t kStopCheck = 1 << 16;  // attempts between looks at the sweep's stop flag

template <class List>
inline void plan_attempt(Planned& p, std::uint64_t m, SplitMix64& rng, const List& pairs) {
    p.i = rng.gen_below(m);
    p.j = rng.gen_below(m);
    p.coin = p.i != p.j && rng.coin();
    __builtin_prefetch(pairs.address(p.i));
    __builtin_prefetch(pairs.address(p.j));
}

// Prefetches the set slots an upcoming attempt will probe, from the pairs as
// they are now (a later swap may change them; then the hint is merely wasted).
// Always inlined, like PairSet::prefetch, or GCC drops the effect-free call.
template <class Set, class List>
[[gnu::always_inline]] inline void prefetch_slots(const Planned& p, const List& pairs, const Set& set) {
    using Pairs = typename Set::Pairs;
    if (p.i == p.j) return;
    const std::uint64_t a = pairs.low(p.i), b = pairs.high(p.i);
    const std::uint64_t c = pairs.low(p.j), d = pairs.high(p.j);
    set.prefetch(Set::key(a, p.coin ? c : d));
    set.prefetch(Set::key(p.coin ? b : c, p.coin ? d : b));
    set.prefetch(Pairs::pack(a, b));
    set.prefetch(Pairs::pack(c, d));
}

// The swap loop over m >= 2 normalised pairs that `set` holds exactly, slot
// k's pair as row k (for a set that refers to rows, the list is the array it
// refers to). Attempt t uses the draws planned kAhead attempts earlier;
// draws made past the last attempt are dropped with the stream.
template <class Set, class List>
SwapCounts swap_edges(List pairs, std::uint64_t m, Set& set, SplitMix64& rng, std::uint64_t target_swaps,
                      std::uint64_t max_attempts) {
    using Pairs = typename Set::Pairs;
    Planned plan[kAhead];
    for (Planned& p : plan) plan_attempt(p, m, rng, pairs);
    SwapCounts counts;
    for (std::size_t t = 0; counts.swaps < target_swaps && counts.attempts < max_attempts; ++t) {
        // An interrupted or failed sweep discards this sample: stop early.
        if (t % kStopCheck == kStopCheck - 1 && parallel::stop_requested()) break;
        prefetch_slots(plan[(t + kHalf) % kAhead], pairs, set);
        const Planned p = plan[t % kAhead];
        plan_attempt(plan[t % kAhead], m, rng, pairs);
        ++counts.attempts;
        if (p.i == p.j) continue;
        const std::uint64_t a = pairs.low(p.i), b = pairs.high(p.i);
        const std::uint64_t c = pairs.low(p.j), d = pairs.high(p.j);
        // Coin 0 joins {a, d} and {c, b}; coin 1 joins {a, c} and {b, d}.
        // Selected by masks: the coin is a fair bit, so a branch on it would
        // be mispredicted half the time.
        const std::uint64_t mask = 0 - static_cast<std::uint64_t>(p.coin);
        const std::uint64_t v1 = d ^ ((c ^ d) & mask);
        const std::uint64_t u2 = c ^ ((b ^ c) & mask);
        const std::uint64_t v2 = b ^ ((d ^ b) & mask);
        if (a == v1 || u2 == v2) continue;
        const std::uint64_t low1 = std::min(a, v1), high1 = std::max(a, v1);
        const std::uint64_t low2 = std::min(u2, v2), high2 = std::max(u2, v2);
        const typename Set::Key k1 = Pairs::pack(low1, high1), k2 = Pairs::pack(low2, high2);
        if (set.contains(k1) || set.contains(k2)) continue;
        // Both old entries leave before a row changes: an erase may read
        // the rows of the entries it shifts.
        set.erase(Pairs::pack(a, b), p.i);
        set.erase(Pairs::pack(c, d), p.j);
        set.insert_absent(k1, p.i);
        set.insert_absent(k2, p.j);
        pairs.put(p.i, low1, high1);
        pairs.put(p.j, low2, high2);
        ++counts.swaps;
    }
    return counts;
}

// The swaps of one sample whose pairs `set` holds exactly.
template <class Set, class List>
SwapCounts run_swaps(List pairs, Set& set, const RewireInput& in, std::uint64_t seed) {
    if (in.m < 2 || in.target_swaps == 0) return {};
    SplitMix64 rng(seed);
    return swap_edges(pairs, in.m, set, rng, in.target_swaps, in.max_attempts);
}

// Elements of the n_samples * m * 2 result block; throws, before anything is
// allocated, when the block could not exist.
std::uint64_t block_size(std::uint64_t n_samples, std::uint64_t m) {
    constexpr std::uint64_t kMaxPairs = static_cast<std::uint64_t>(PTRDIFF_MAX) / (2 * sizeof(std::uint64_t));
    if (m != 0 && n_samples > kMaxPairs / m) throw std::length_error("rewired sample block too large");
    return n_samples * m * 2;
}

std::uint64_t sweep_work(const RewireInput& in, std::uint64_t n_samples) {
    return parallel::work_product(n_samples, in.m + std::min(in.max_attempts, parallel::kUnknownWork - in.m));
}

// The swaps of sample 0 of `seed`, run as a sweep of one, so that the sweep's
// stop flag ends them on an interrupt; records the counts.
template <class List, class Set>
void run_one_sample(List pairs, Set& set, const RewireInput& in, std::uint64_t seed, RewireResult& result) {
    SplitMix64 master(seed);
    const std::uint64_t sample_seed = master.next_u64();
    SwapCounts counts;
    parallel::collect_sweep<InputError>(
        1,
        [&](std::size_t) -> Check {
            counts = run_swaps(pairs, set, in, sample_seed);
            return std::nullopt;
        },
        sweep_work(in, 1));
    result.swaps.assign(1, counts.swaps);
    result.attempts.assign(1, counts.attempts);
}

// One sample: validation into the sample's own edge set (sized for churn),
// the swaps in the rows (run as a sweep of one, so that the sweep's stop flag
// ends them on an interrupt), then, the set freed, the rows widened into the
// result block (reserve throws std::length_error for a block beyond the
// address space).
template <class Id>
Check rewire_one(std::span<IdPair<Id>> rows, const RewireInput& in, std::uint64_t seed, RewireResult& result) {
    using Pairs = PairsFor<Id>;
    {
        PairSet<Pairs> set(in.m, PairSet<Pairs>::Load::Sparse);
        if (Check failed = admit_rows(rows, set)) return failed;
        run_one_sample(RowPairs<Id>{rows.data()}, set, in, seed, result);
    }
    result.edges.reserve(2 * in.m);
    parallel::InterruptPoll poll;
    for (const IdPair<Id>& e : rows) {
        poll.tick();
        result.edges.push_back(e.source);
        result.edges.push_back(e.target);
    }
    return std::nullopt;
}

// One sample over 32-bit ids, with m small enough for row references: the
// rows, normalised, become NarrowPairs keys in the result's own buffer
// (reserved for the widened rows) and are freed; the keys are validated, in
// edge order, into an edge set that refers to them, swapped there, and once
// the set is freed widened in place.
Check rewire_one_keys(ScratchVector<IdPair<std::uint32_t>>& rows, const RewireInput& in, std::uint64_t seed,
                      RewireResult& result, const EdgeSetOptions& sets) {
    std::vector<std::uint64_t>& keys = result.edges;
    keys.reserve(2 * in.m);
    {
        parallel::InterruptPoll poll;
        for (const IdPair<std::uint32_t>& e : rows) {
            poll.tick();
            keys.push_back(nulls::RowRefSet::key(e.source, e.target));
        }
    }
    ScratchVector<IdPair<std::uint32_t>>().swap(rows);
    {
        nulls::RowRefSet set(keys.data(), in.m, nulls::RowRefSet::Load::Churn, sets.min_index_bits);
        parallel::InterruptPoll poll;
        for (std::uint64_t k = 0; k < in.m; ++k) {
            poll.tick(4);
            const std::uint64_t key = keys[k];
            if (Check failed = admit_pair(key >> 32, key & 0xFFFFFFFFu, k, set)) return failed;
        }
        run_one_sample(KeyPairs{keys.data()}, set, in, seed, result);
    }
    nulls::unpack_keys(in.m, keys);
    return std::nullopt;
}

// Several samples over the validated rows, each in its slice of the block.
template <class Id>
Check rewire_many(std::span<IdPair<Id>> rows, const RewireInput& in, std::uint64_t n_samples, std::uint64_t seed,
                  RewireResult& result) {
    using Pairs = PairsFor<Id>;
    {
        PairSet<Pairs> set(in.m);
        if (Check failed = admit_rows(rows, set)) return failed;
    }
    result.edges.resize(block_size(n_samples, in.m));
    result.swaps.resize(n_samples);
    result.attempts.resize(n_samples);
    std::vector<std::uint64_t> seeds(n_samples);
    SplitMix64 master(seed);
    for (std::uint64_t& s : seeds) s = master.next_u64();

    // Samples of validated input cannot fail.
    parallel::collect_sweep<InputError>(
        n_samples,
        [&](std::size_t s) -> Check {
            BlockPairs pairs{result.edges.data() + s * in.m * 2};
            PairSet<Pairs> set(in.m, PairSet<Pairs>::Load::Sparse);
            for (std::size_t k = 0; k < rows.size(); ++k) {
                pairs.put(k, rows[k].source, rows[k].target);
                set.insert(Pairs::pack(rows[k].source, rows[k].target));
            }
            const SwapCounts counts = run_swaps(pairs, set, in, seeds[s]);
            result.swaps[s] = counts.swaps;
            result.attempts[s] = counts.attempts;
            return std::nullopt;
        },
        sweep_work(in, n_samples));
    return std::nullopt;
}

}  // namespace

Result<RewireResult> rewire_degree_preserving(OwnedRows edges, std::uint64_t n_samples, std::uint64_t target_swaps,
                                              std::uint64_t max_attempts, std::uint64_t seed,
                                              const EdgeSetOptions& sets) {
    RewireResult result;
    if (n_samples == 0) return result;  // nothing to validate for
    const RewireInput in{edges.size(), target_swaps, max_attempts};
    if (Check failed = check_parameters(edges, in)) return std::move(*failed);
    Check failed = with_id_type(edges.n(), [&]<class Id>() {
        ScratchVector<IdPair<Id>> rows = edges.take<Id>();
        if constexpr (std::is_same_v<Id, std::uint32_t>)
            if (n_samples == 1 && nulls::RowRefSet::chosen(in.m, sets.row_refs))
                return rewire_one_keys(rows, in, seed, result, sets);
        const std::span<IdPair<Id>> span(rows.data(), rows.size());
        return n_samples == 1 ? rewire_one(span, in, seed, result) : rewire_many(span, in, n_samples, seed, result);
    });
    if (failed) return std::move(*failed);
    return result;
}

}  // namespace knotwell
