// Configuration model with erasure: a simple graph whose degrees approach a
// requested sequence.
//
// Node v contributes degrees[v] stubs (node order); the stub list is shuffled
// (S - 1 bounded draws, nothing after) and consecutive stubs are paired. A
// pairing of a node with itself, or one repeating an accepted pair, is dropped
// and counted, so accepted + discarded = S / 2 and node v keeps degrees[v]
// minus its stubs in dropped pairings. Pairs are returned in acceptance order.
//
// O(S) time after the shuffle's S - 1 draws. Memory, when every id is below
// 2^32: the stubs as 32-bit cells, two to a 64-bit word, in the output's own
// buffer (reserved for S elements, 16 bytes a pair of stubs, of which the
// stubs touch half); the shuffle's draws and exchanges do not depend on the
// item width. Accepted pairs are compacted in place over the words already
// paired, as NarrowPairs keys, one word a pair, and the edge set refers to
// them (4-byte slots, 6 to 12 bytes a pair of stubs) unless there are too
// few pairs for its memory to matter or too many for its references. Once the set is freed the keys are widened
// in place into (low, high) rows, so stubs and output never coexist: the call
// peaks at 14 to 20 bytes a pair of stubs. When at most half the pairs were
// accepted, the rows are copied into a buffer of their own size, so the
// result does not keep the stubs' memory. With larger ids the stubs are
// 64-bit, compacted in place, and copied into the output after the set is
// freed. The pairing pass prefetches the hash slot of a pair a few pairs
// ahead. Runs on the calling thread; every pass polls for an interrupt.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "nulls/row_ref_set.hpp"
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

// Appends `count` ids from `from` to `out`, sized for them first, polling
// between slices.
template <class Id>
void copy_sliced(const Id* from, std::uint64_t count, std::vector<std::uint64_t>& out) {
    out.reserve(count);
    parallel::InterruptPoll poll;
    for (std::uint64_t first = 0; first < count; first += kCopySlice) {
        poll.tick(kCopySlice);
        out.insert(out.end(), from + first, from + std::min(count, first + kCopySlice));
    }
}

// Wide ids: builds the stub list of `total` stubs, shuffles it and pairs it, leaving
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

// Wide ids: samples the pairs and copies the accepted ones into `out`, after
// the edge set is gone.
std::uint64_t sample_wide_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                                std::vector<std::uint64_t>& out) {
    std::vector<std::uint64_t> stubs;
    std::uint64_t discarded = 0;
    const std::uint64_t accepted = accept_pairs<nulls::WidePairs>(degrees, total, rng, stubs, discarded);
    copy_sliced(stubs.data(), 2 * accepted, out);
    return discarded;
}

// The stubs of the narrow path: 32-bit cells over the bytes of the words
// (copied through memcpy, so reading cells of 64-bit objects is defined).
struct StubCells {
    std::uint64_t* words;
    std::uint32_t get(std::uint64_t i) const {
        std::uint32_t c;
        std::memcpy(&c, reinterpret_cast<const char*>(words) + 4 * i, sizeof c);
        return c;
    }
    void set(std::uint64_t i, std::uint32_t c) { std::memcpy(reinterpret_cast<char*>(words) + 4 * i, &c, sizeof c); }
    const void* address(std::uint64_t i) const { return reinterpret_cast<const char*>(words) + 4 * i; }
};

// Ids below 2^32: fills `out` (reserved for `total` elements) with the total /
// 2 words of stub cells, shuffles the cells and pairs them, leaving the
// accepted pairs' keys at the front of `out`; returns their count. `set` is
// empty; a row-referencing one refers to `out`'s words.
template <class Set>
std::uint64_t accept_narrow_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                                  Set& set, std::vector<std::uint64_t>& out, std::uint64_t& discarded) {
    parallel::InterruptPoll poll;
    // Stub i is cell i: cell 2p in word p's low-addressed half. A node's
    // stubs fill a pending half word, then whole words, then leave one half.
    std::uint64_t word = 0;
    bool half = false;  // one cell of `word` is written
    const auto put_cell = [&](std::uint32_t c) {
        std::memcpy(reinterpret_cast<char*>(&word) + (half ? 4 : 0), &c, sizeof c);
        if (half) out.push_back(word);
        half = !half;
    };
    for (std::size_t v = 0; v < degrees.size(); ++v) {
        poll.tick(degrees[v] + 1);
        const auto id = static_cast<std::uint32_t>(v);
        std::uint64_t left = degrees[v];
        if (left != 0 && half) {
            put_cell(id);
            --left;
        }
        if (left >= 2) {
            put_cell(id);
            put_cell(id);
            out.insert(out.end(), left / 2 - 1, word);
        }
        if (left % 2 != 0) put_cell(id);
    }
    StubCells cells{out.data()};
    rng.shuffle_cells(
        total,
        [&](std::uint64_t i, std::uint64_t j) {
            const std::uint32_t a = cells.get(i), b = cells.get(j);
            cells.set(i, b);
            cells.set(j, a);
        },
        [&](std::uint64_t j) { return cells.address(j); });

    // Pair p (cells 2p, 2p + 1, word p) is read before the key of accepted
    // pair `accepted` <= p is written over word `accepted`.
    std::uint64_t accepted = 0;
    const std::uint64_t pairs = total / 2;
    for (std::uint64_t p = 0; p < pairs; ++p) {
        poll.tick(4);
        if (p + kPrefetchDistance < pairs) {
            const std::uint64_t a = cells.get(2 * (p + kPrefetchDistance)),
                                b = cells.get(2 * (p + kPrefetchDistance) + 1);
            if (a != b) set.prefetch(Set::key(a, b));
        }
        const std::uint64_t u = cells.get(2 * p), v = cells.get(2 * p + 1);
        if (u == v) {
            ++discarded;
            continue;
        }
        const std::uint64_t key = Set::key(u, v);
        if (!set.insert(key, accepted)) {
            ++discarded;
            continue;
        }
        out[accepted] = key;
        ++accepted;
    }
    return accepted;
}

// Ids below 2^32: the stubs live in `out`'s buffer and are widened there.
std::uint64_t sample_narrow_pairs(std::span<const std::uint64_t> degrees, std::uint64_t total, SplitMix64& rng,
                                  std::vector<std::uint64_t>& out, const EdgeSetOptions& sets) {
    const std::uint64_t pairs = total / 2;
    std::uint64_t discarded = 0, accepted;
    if (nulls::RowRefSet::chosen(pairs, sets.row_refs)) {
        out.reserve(total);
        nulls::RowRefSet set(out.data(), pairs, nulls::RowRefSet::Load::Grow, sets.min_index_bits);
        accepted = accept_narrow_pairs(degrees, total, rng, set, out, discarded);
    } else {
        // The set first: its size check refuses a total beyond the address
        // space (std::length_error) before any large allocation.
        PairSet<nulls::NarrowPairs> set(pairs);
        out.reserve(total);
        accepted = accept_narrow_pairs(degrees, total, rng, set, out, discarded);
    }
    nulls::unpack_keys(accepted, out);
    if (2 * accepted <= pairs) {
        std::vector<std::uint64_t> fitted;
        copy_sliced(out.data(), 2 * accepted, fitted);
        out.swap(fitted);
    }
    return discarded;
}

}  // namespace

Result<ConfigurationResult> configuration_model(std::span<const std::uint64_t> degrees, std::uint64_t seed,
                                                const EdgeSetOptions& sets) {
    const std::optional<std::uint64_t> total = stub_count(degrees);
    if (!total) return InputError::bad_parameter("degrees", "must sum to less than 2^64");
    if (*total % 2 != 0)
        return InputError::bad_parameter("degrees", "must sum to an even number; no graph has an odd degree sum");

    ConfigurationResult result;
    SplitMix64 rng(seed);
    if (degrees.size() <= nulls::kNarrowIdLimit)
        result.discarded = sample_narrow_pairs(degrees, *total, rng, result.edges, sets);
    else
        result.discarded = sample_wide_pairs(degrees, *total, rng, result.edges);
    return result;
}

}  // namespace knotwell
