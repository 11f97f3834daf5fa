// Open-addressing hash sets of normalised node pairs (low < high), the edge
// sets of the random-graph generators.
//
// Linear probing over a power-of-two table sized once for the expected number
// of entries (load at most 2/3; under churn at most 1/3, or 1/2 for tables
// of over kSparseSlots slots), with backward-shift deletion, so no tombstones
// pile up over millions of swaps and no operation allocates. A
// pair packs into one key: 32 bits per id when every id is below 2^32, else a
// 128-bit key. The all-ones key marks an empty slot; it would be the pair
// (max, max), which is never stored because low < high. The set is only
// probed, never iterated, so its hash function cannot influence any result.
//
// The hash is keyed with a secret drawn from the operating system once per
// process: with a fixed hash, an edge list could be built whose pairs all
// share one probe run, making every operation linear in m. A key is folded
// into the pair before one full 64 x 64 -> 128-bit multiply by another key,
// whose two halves are xored (the folded multiply of aHash and wyhash); the
// home slot is taken from the top bits.
//
// Cost: O(1) expected per operation; memory 8 or 16 bytes times 1.5 to 3
// slots per expected entry (3 to 6 under churn, 2 to 4 for large tables).
// Where the pairs already live in an array of the caller's, as NarrowPairs
// keys, RowRefSet (row_ref_set.hpp) refers to them instead, in 4-byte slots.
#pragma once

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "parallel/interrupt.hpp"

namespace knotwell::nulls {

struct HashKey {
    std::uint64_t fold;  // xored into the key
    std::uint64_t mul;   // odd multiplier
    std::uint64_t wide;  // second multiplier of 128-bit keys (odd)
};

// Drawn once per process. Should the operating system refuse (no getrandom),
// the clock, the process id and an address are mixed instead: still nothing
// an input can know in advance.
inline HashKey draw_hash_key() {
    std::uint64_t words[3] = {};
    if (getrandom(words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
        std::uint64_t state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                              (static_cast<std::uint64_t>(getpid()) << 32) ^ reinterpret_cast<std::uintptr_t>(&words);
        for (std::uint64_t& w : words) {
            state += 0x9E3779B97F4A7C15ULL;
            std::uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            w = z ^ (z >> 31);
        }
    }
    return {words[0], words[1] | 1, words[2] | 1};
}

inline const HashKey& process_hash_key() {
    static const HashKey key = draw_hash_key();
    return key;
}

inline std::uint64_t folded_multiply(std::uint64_t x, std::uint64_t y) {
    const unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
    return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

// Both ids below 2^32: (low << 32) | high.
struct NarrowPairs {
    using Key = std::uint64_t;
    static constexpr Key kEmpty = ~Key{0};
    static Key pack(std::uint64_t low, std::uint64_t high) { return (low << 32) | high; }
    static std::uint64_t hash(Key k, const HashKey& key) { return folded_multiply(k ^ key.fold, key.mul); }
};

// Any 64-bit ids: low in the upper word, high in the lower one.
struct WidePairs {
    using Key = unsigned __int128;
    static constexpr Key kEmpty = ~Key{0};
    static Key pack(std::uint64_t low, std::uint64_t high) { return (static_cast<Key>(low) << 64) | high; }
    static std::uint64_t hash(Key k, const HashKey& key) {
        const auto low = static_cast<std::uint64_t>(k >> 64), high = static_cast<std::uint64_t>(k);
        return folded_multiply(folded_multiply(low ^ key.fold, key.mul) ^ high, key.wide);
    }
};

// The largest id count for which NarrowPairs keys are exact.
inline constexpr std::uint64_t kNarrowIdLimit = std::uint64_t{1} << 32;

template <class P>
class PairSet {
  public:
    using Pairs = P;
    using Key = typename Pairs::Key;

    // How much room to leave: a set that only grows (G(n, m), configuration
    // model) is kept at most 2/3 full; one with constant churn (rewiring,
    // where every swap erases and inserts two pairs) at most 1/3 full, which
    // shortens the probe runs that lookups and backward shifts walk. A churn
    // table of more than kSparseSlots slots is kept at most 1/2 full instead:
    // then its size is what limits the graphs a machine can rewire (at 1/3
    // it could be twice the working list and the result together), at the
    // price of longer runs (at 2^24 slots, half full, a rewiring takes about
    // a quarter longer than with a table twice the size).
    enum class Load { Dense, Sparse };
    static constexpr std::uint64_t kSparseSlots = std::uint64_t{1} << 24;

    // Room for `expected` entries without rehashing; throws std::length_error
    // (before allocating) when the table could not even be addressed.
    explicit PairSet(std::uint64_t expected, Load load = Load::Dense) {
        if (expected > (static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(Key)) / 8)
            throw std::length_error("edge set too large");
        std::uint64_t want = (load == Load::Dense ? expected + expected / 2 : 3 * expected) + 1;
        if (load == Load::Sparse && std::bit_ceil(want) > kSparseSlots) want = 2 * expected + 1;
        if (want < 16) want = 16;
        const std::uint64_t capacity = std::bit_ceil(want);
        shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
        mask_ = capacity - 1;
        parallel::resize_polled(slots_, capacity, Pairs::kEmpty);
    }

    // Key of the unordered pair {u, v}, u != v.
    static Key key(std::uint64_t u, std::uint64_t v) { return u < v ? Pairs::pack(u, v) : Pairs::pack(v, u); }

    bool contains(Key k) const {
        for (std::size_t i = home(k);; i = (i + 1) & mask_) {
            if (slots_[i] == k) return true;
            if (slots_[i] == Pairs::kEmpty) return false;
        }
    }

    // Adds `k`; false when it was already present.
    bool insert(Key k) {
        std::size_t i = home(k);
        for (; slots_[i] != Pairs::kEmpty; i = (i + 1) & mask_)
            if (slots_[i] == k) return false;
        slots_[i] = k;
        return true;
    }

    // The interface of the row-referencing set (row_ref_set.hpp), for code
    // that runs over either: this table holds the keys, so rows are ignored.
    bool insert(Key k, std::uint64_t) { return insert(k); }
    void insert_absent(Key k, std::uint64_t) { insert(k); }
    void erase(Key k, std::uint64_t) { erase(k); }

    // Removes `k`, which must be present. Later entries of the probe run
    // shift back into the hole unless their home lies after it.
    void erase(Key k) {
        std::size_t hole = home(k);
        while (slots_[hole] != k) hole = (hole + 1) & mask_;
        for (std::size_t j = (hole + 1) & mask_; slots_[j] != Pairs::kEmpty; j = (j + 1) & mask_) {
            if (((j - home(slots_[j])) & mask_) >= ((j - hole) & mask_)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Pairs::kEmpty;
    }

    // Always inlined: GCC would otherwise find the call free of effects and
    // drop it.
    [[gnu::always_inline]] void prefetch(Key k) const { __builtin_prefetch(&slots_[home(k)]); }

  private:
    std::size_t home(Key k) const { return static_cast<std::size_t>(Pairs::hash(k, key_) >> shift_); }

    HashKey key_ = process_hash_key();
    std::vector<Key> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 0;
};

// Turns m NarrowPairs keys at the front of `words` into m rows (low, high),
// from the last key down: row k is written over elements 2k and 2k + 1, both
// at or after key k, and every key below k is still unread. The capacity must
// already hold 2m elements, so nothing is reallocated.
inline void unpack_keys(std::uint64_t m, std::vector<std::uint64_t>& words) {
    words.resize(2 * m);
    parallel::InterruptPoll poll;
    for (std::uint64_t k = m; k-- > 0;) {
        poll.tick();
        const std::uint64_t key = words[k];
        words[2 * k + 1] = key & 0xFFFFFFFFu;
        words[2 * k] = key >> 32;
    }
}

}  // namespace knotwell::nulls
