// Configuration model with erasure: a simple graph whose degrees approach a
// requested sequence.
//
// Node v contributes degrees[v] stubs (node order); the stub list is shuffled
// (S - 1 bounded draws, nothing after) and consecutive stubs are paired. A
// pairing of a node with itself, or one repeating an accepted pair, is dropped
// and counted, so accepted + discarded = S / 2 and node v keeps degrees[v]
// minus its stubs in dropped pairings. Pairs are returned in acceptance order.
//
// O(S) time after the shuffle's S - 1 draws. Memory: the stub list, as
// 32-bit ids whenever every id fits (the shuffle's draws and exchanges do not
// depend on the item width), and the edge set sized for S / 2 pairs; the
// accepted pairs are compacted in place over the stubs already paired, and
// only once the set is freed are they widened into the output, sized for the
// pairs actually accepted. The pairing pass prefetches the hash slot of a
// pair a few pairs ahead. Runs on the calling thread; every pass polls for an
// interrupt.
#include <algorithm>
#include <type_traits>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "parallel/interrupt.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

using nulls::PairSet;

constexpr std::size_t kPrefetchDistance = 8;
constexpr std::uint64_t kCopySlice = std::uint64_t{1} << 16;  // ids widened between polls

// Sum of the degrees, or nothing when it passes 2^64 - 1.
std::optional<std::uint64_t> stub_count(std::span<const std::uint64_t> degrees) {
    std::uint64_t total = 0;
    for (std::uint64_t d : degrees)
        if (__builtin_add_overflow(total, d, &total)) return std::nullopt;
    return total;
}

// Builds the stub list of `total` stubs, shuffles it and pairs it, leaving
// the accepted pairs (low, high) at the front of `stubs`; returns their
// count. The edge set is allocated before the stub list (both before any
// draw), so that a total beyond the address space is refused by the set's
// size check (std::length_error) before any large allocation is attempted.
template <class Pairs, class Stub>
std::uint64_t accept_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                           std::vector<Stub>& stubs, std::uint64_t& discarded) {
    using Set = PairSet<Pairs>;
    Set set(total / 2);
    stubs.reserve(total);
    parallel::InterruptPoll poll;
    for (std::size_t v = 0; v < degrees.size(); ++v) {
        poll.tick(degrees[v] + 1);
        stubs.insert(stubs.end(), degrees[v], static_cast<Stub>(v));
    }
    rng.shuffle(std::span<Stub>(stubs));

    // Pair p is read before the accepted pair `accepted` <= p is written
    // over slots 2 accepted, 2 accepted + 1, so no unread stub is overwritten.
    std::uint64_t accepted = 0;
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
        stubs[2 * accepted] = static_cast<Stub>(u < v ? u : v);
        stubs[2 * accepted + 1] = static_cast<Stub>(u < v ? v : u);
        ++accepted;
    }
    return accepted;
}

// Samples the pairs and copies the accepted ones, widened to 64 bits, into
// `out`, after the edge set is gone. Stubs are 32-bit when every id is below
// 2^32 (NarrowPairs), else 64-bit.
template <class Pairs>
std::uint64_t sample_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                           std::vector<std::uint64_t>& out) {
    using Stub = std::conditional_t<std::is_same_v<Pairs, nulls::NarrowPairs>, std::uint32_t, std::uint64_t>;
    std::vector<Stub> stubs;
    std::uint64_t discarded = 0;
    const std::uint64_t accepted = accept_pairs<Pairs>(degrees, total, rng, stubs, discarded);
    out.reserve(2 * accepted);
    parallel::InterruptPoll poll;
    for (std::uint64_t first = 0; first < 2 * accepted; first += kCopySlice) {
        poll.tick(kCopySlice);
        out.insert(out.end(), stubs.begin() + first, stubs.begin() + std::min(2 * accepted, first + kCopySlice));
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
