// Configuration model with erasure: a simple graph whose degrees approach a
// requested sequence.
//
// Node v contributes degrees[v] stubs (node order); the stub list is shuffled
// (S - 1 bounded draws, nothing after) and consecutive stubs are paired. A
// pairing of a node with itself, or one repeating an accepted pair, is dropped
// and counted, so accepted + discarded = S / 2 and node v keeps degrees[v]
// minus its stubs in dropped pairings. Pairs are returned in acceptance order.
//
// O(S) time after the shuffle's S - 1 draws; one stub list of S ids, one edge
// set and one output list of S / 2 pairs, all allocated before any draw. The
// pairing pass prefetches the hash slot of a pair a few pairs ahead. Runs on
// the calling thread; every pass polls for an interrupt.
#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "parallel/interrupt.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

using nulls::PairSet;

constexpr std::size_t kPrefetchDistance = 8;

// Sum of the degrees, or nothing when it passes 2^64 - 1.
std::optional<std::uint64_t> stub_count(std::span<const std::uint64_t> degrees) {
    std::uint64_t total = 0;
    for (std::uint64_t d : degrees)
        if (__builtin_add_overflow(total, d, &total)) return std::nullopt;
    return total;
}

// Builds the stub list of `total` stubs, shuffles it and pairs it. The stub
// list, the edge set and the output are all allocated before any of them is
// filled (reserve throws std::length_error for sizes beyond the address space).
template <class Pairs>
std::uint64_t sample_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                           std::vector<std::uint64_t>& out) {
    using Set = PairSet<Pairs>;
    std::vector<std::uint64_t> stubs;
    stubs.reserve(total);
    Set set(total / 2);
    out.reserve(total);
    parallel::InterruptPoll poll;
    for (std::size_t v = 0; v < degrees.size(); ++v) {
        poll.tick(degrees[v] + 1);
        stubs.insert(stubs.end(), degrees[v], v);
    }
    rng.shuffle(std::span<std::uint64_t>(stubs));

    std::uint64_t discarded = 0;
    const std::size_t pairs = stubs.size() / 2;
    for (std::size_t p = 0; p < pairs; ++p) {
        poll.tick(4);
        if (p + kPrefetchDistance < pairs) {
            const std::uint64_t a = stubs[2 * (p + kPrefetchDistance)], b = stubs[2 * (p + kPrefetchDistance) + 1];
            if (a != b) set.prefetch(Set::key(a, b));
        }
        const std::uint64_t u = stubs[2 * p], v = stubs[2 * p + 1];
        if (u == v || !set.insert(Set::key(u, v))) {
            ++discarded;
            continue;
        }
        out.push_back(u < v ? u : v);
        out.push_back(u < v ? v : u);
    }
    return discarded;
}

}  // namespace

Result<ConfigurationResult> configuration_model(std::span<const std::uint64_t> degrees, std::uint64_t seed) {
    const std::optional<std::uint64_t> total = stub_count(degrees);
    if (!total) return InputError::bad_parameter("degrees", "must sum to less than 2^64");
    if (*total % 2 != 0)
        return InputError::bad_parameter("degrees", "must sum to an even number; no graph has an odd degree sum");

    ConfigurationResult result;
    SplitMix64 rng(seed);
    if (degrees.size() <= nulls::kNarrowIdLimit)
        result.discarded = sample_pairs<nulls::NarrowPairs>(degrees, *total, rng, result.edges);
    else
        result.discarded = sample_pairs<nulls::WidePairs>(degrees, *total, rng, result.edges);
    return result;
}

}  // namespace knotwell
