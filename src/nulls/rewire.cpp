// Degree-preserving randomisation of a simple undirected graph by double edge
// swaps (the switching chain of Maslov and Sneppen).
//
// Each sample copies the input edges as normalised pairs straight into its
// slice of the result block, loads them into its own edge set, and repeats
// attempts: two slots i, j drawn by `gen_below(m)`, and when i != j a coin
// choosing {a, d},{c, b} or {a, c},{b, d} from slots (a, b), (c, d). A swap
// is made unless it would create a self-loop or an existing pair. The loop
// ends at target_swaps swaps or max_attempts attempts; every attempt counts.
//
// Samples are independent: sample s runs on a stream seeded with the s-th
// output of the master stream, all drawn up front, so the samples form a
// collect sweep over the worker pool and the result is the same for any pool
// size. Validation (id range, max_attempts, self-loops, repeats) runs once,
// before anything is allocated for the samples, and only when there is at
// least one sample.
// A running sample looks at the sweep's stop flag every 65536 attempts, so an
// interrupt ends it early; the sweep then discards every sample.
//
// O(m) per sample to load plus O(1) expected per attempt; memory per sample
// is its m pairs in the result block plus one edge set of m entries.
#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "parallel/parallel.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

using nulls::PairSet;

struct RewireInput {
    const OwnedRows& edges;
    std::uint64_t target_swaps;
    std::uint64_t max_attempts;
};

struct SwapCounts {
    std::uint64_t swaps = 0;
    std::uint64_t attempts = 0;
};

// The checks that precede building the pairs: every id below n, then the
// attempt budget.
Check check_parameters(const RewireInput& in) {
    if (in.edges.range_failure()) return in.edges.range_failure();
    if (in.max_attempts < in.target_swaps)
        return InputError::bad_parameter("max_attempts", "must be at least target_swaps, or no run could succeed");
    return std::nullopt;
}

// Adds the normalised pair (low, high) to the set; fails on a self-loop or a
// pair already present.
template <class Pairs>
Check admit_pair(std::uint64_t low, std::uint64_t high, PairSet<Pairs>& set) {
    if (low == high)
        return InputError::bad_parameter(
            "edges", "must not contain self-loops; degree-preserving randomization samples simple graphs");
    if (!set.insert(Pairs::pack(low, high)))
        return InputError::bad_parameter(
            "edges", "must not repeat an edge; degree-preserving randomization samples simple graphs");
    return std::nullopt;
}

// Writes edge k as (low, high) into pairs[2k], pairs[2k + 1] and adds it to
// the set. The edges have passed `check_input`, so every pair is new.
template <class Pairs>
void load_pairs(const OwnedRows& rows, PairSet<Pairs>& set, std::uint64_t* pairs) {
    rows.visit([&](auto edges) {
        for (std::size_t k = 0; k < edges.size(); ++k) {
            const std::uint64_t u = edges[k].source, v = edges[k].target;
            pairs[2 * k] = u < v ? u : v;
            pairs[2 * k + 1] = u < v ? v : u;
        }
    });
    for (std::size_t k = 0; k < rows.size(); ++k) set.insert(Pairs::pack(pairs[2 * k], pairs[2 * k + 1]));
}

// Ids below n, the attempt budget, then the first self-loop or repeated pair
// in edge order.
template <class Pairs>
Check check_input(const RewireInput& in) {
    if (Check failed = check_parameters(in)) return failed;
    PairSet<Pairs> set(in.edges.size());
    return in.edges.visit([&](auto edges) -> Check {
        for (const auto& e : edges) {
            const std::uint64_t u = e.source, v = e.target;
            if (Check failed = admit_pair(std::min(u, v), std::max(u, v), set)) return failed;
        }
        return std::nullopt;
    });
}

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

inline void plan_attempt(Planned& p, std::uint64_t m, SplitMix64& rng, const std::uint64_t* pairs) {
    p.i = rng.gen_below(m);
    p.j = rng.gen_below(m);
    p.coin = p.i != p.j && rng.coin();
    __builtin_prefetch(&pairs[2 * p.i]);
    __builtin_prefetch(&pairs[2 * p.j]);
}

// Prefetches the set slots an upcoming attempt will probe, from the pairs as
// they are now (a later swap may change them; then the hint is merely wasted).
// Always inlined, like PairSet::prefetch, or GCC drops the effect-free call.
template <class Pairs>
[[gnu::always_inline]] inline void prefetch_slots(const Planned& p, const std::uint64_t* pairs,
                                                  const PairSet<Pairs>& set) {
    if (p.i == p.j) return;
    const std::uint64_t a = pairs[2 * p.i], b = pairs[2 * p.i + 1];
    const std::uint64_t c = pairs[2 * p.j], d = pairs[2 * p.j + 1];
    set.prefetch(PairSet<Pairs>::key(a, p.coin ? c : d));
    set.prefetch(PairSet<Pairs>::key(p.coin ? b : c, p.coin ? d : b));
    set.prefetch(Pairs::pack(a, b));
    set.prefetch(Pairs::pack(c, d));
}

// The swap loop over m >= 2 normalised pairs that `set` holds exactly.
// Attempt t uses the draws planned kAhead attempts earlier; draws made past
// the last attempt are dropped with the stream.
template <class Pairs>
SwapCounts swap_edges(std::uint64_t* pairs, std::uint64_t m, PairSet<Pairs>& set, SplitMix64& rng,
                      std::uint64_t target_swaps, std::uint64_t max_attempts) {
    using Set = PairSet<Pairs>;
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
        const std::uint64_t a = pairs[2 * p.i], b = pairs[2 * p.i + 1];
        const std::uint64_t c = pairs[2 * p.j], d = pairs[2 * p.j + 1];
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
        set.erase(Pairs::pack(a, b));
        set.erase(Pairs::pack(c, d));
        set.insert(k1);
        set.insert(k2);
        pairs[2 * p.i] = low1;
        pairs[2 * p.i + 1] = high1;
        pairs[2 * p.j] = low2;
        pairs[2 * p.j + 1] = high2;
        ++counts.swaps;
    }
    return counts;
}

// One sample of validated input: load, swap. `pairs` is the sample's slice
// of the result block.
template <class Pairs>
SwapCounts run_sample(const RewireInput& in, std::uint64_t seed, std::uint64_t* pairs) {
    PairSet<Pairs> set(in.edges.size(), PairSet<Pairs>::Load::Sparse);
    load_pairs(in.edges, set, pairs);
    if (in.edges.size() < 2 || in.target_swaps == 0) return {};
    SplitMix64 rng(seed);
    return swap_edges(pairs, in.edges.size(), set, rng, in.target_swaps, in.max_attempts);
}

// Elements of the n_samples * m * 2 result block; throws, before anything is
// allocated, when the block could not exist.
std::uint64_t block_size(std::uint64_t n_samples, std::uint64_t m) {
    constexpr std::uint64_t kMaxPairs = static_cast<std::uint64_t>(PTRDIFF_MAX) / (2 * sizeof(std::uint64_t));
    if (m != 0 && n_samples > kMaxPairs / m) throw std::length_error("rewired sample block too large");
    return n_samples * m * 2;
}

}  // namespace

Result<RewireResult> rewire_degree_preserving(const OwnedRows& edges, std::uint64_t n_samples,
                                              std::uint64_t target_swaps, std::uint64_t max_attempts,
                                              std::uint64_t seed) {
    const std::uint64_t n = edges.n();
    const std::uint64_t m = edges.size();
    RewireResult result;
    if (n_samples == 0) return result;  // nothing to validate for
    const RewireInput in{edges, target_swaps, max_attempts};
    const bool narrow = n <= nulls::kNarrowIdLimit;
    if (Check failed = narrow ? check_input<nulls::NarrowPairs>(in) : check_input<nulls::WidePairs>(in))
        return std::move(*failed);

    result.edges.resize(block_size(n_samples, m));
    result.swaps.resize(n_samples);
    result.attempts.resize(n_samples);
    std::vector<std::uint64_t> seeds(n_samples);
    SplitMix64 master(seed);
    for (std::uint64_t& s : seeds) s = master.next_u64();

    // Samples of validated input cannot fail.
    parallel::collect_sweep<InputError>(
        n_samples,
        [&](std::size_t s) -> Check {
            std::uint64_t* pairs = result.edges.data() + s * m * 2;
            const SwapCounts counts = narrow ? run_sample<nulls::NarrowPairs>(in, seeds[s], pairs)
                                             : run_sample<nulls::WidePairs>(in, seeds[s], pairs);
            result.swaps[s] = counts.swaps;
            result.attempts[s] = counts.attempts;
            return std::nullopt;
        },
        parallel::work_product(n_samples, m + std::min(max_attempts, parallel::kUnknownWork - m)));
    return result;
}

}  // namespace knotwell
