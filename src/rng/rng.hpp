// SplitMix64: the seeded random stream of every randomised function.
//
// A 64-bit counter advanced by the golden-ratio gamma and passed through a
// mixing function. Bounded draws use Lemire's multiply-and-reject, computing
// the rejection threshold only on the rare slow path. The draw order of each
// operation is part of the results' reproducibility: `gen_below` consumes one
// output plus one per rejection, `coin` one output, `shuffle` exactly len - 1
// bounded draws (Fisher-Yates from the back). No allocation.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "parallel/interrupt.hpp"

namespace knotwell {

struct SplitMix64 {
    std::uint64_t state;

    explicit SplitMix64(std::uint64_t seed) : state(seed) {}

    inline std::uint64_t next_u64() {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform on [0, bound); bound >= 1.
    inline std::uint64_t gen_below(std::uint64_t bound) {
        unsigned __int128 p = static_cast<unsigned __int128>(next_u64()) * bound;
        std::uint64_t lo = static_cast<std::uint64_t>(p);
        if (lo < bound) [[unlikely]] {
            const std::uint64_t threshold = (0 - bound) % bound;
            while (lo < threshold) {
                p = static_cast<unsigned __int128>(next_u64()) * bound;
                lo = static_cast<std::uint64_t>(p);
            }
        }
        return static_cast<std::uint64_t>(p >> 64);
    }

    inline bool coin() { return (next_u64() & 1u) != 0; }

    // Fisher-Yates from the back: exchange items[k - 1] with items[gen_below(k)]
    // for k = len .. 2. Long sequences draw kShuffleAhead bounds early (the
    // bounds are fixed in advance, so the draws are the same), prefetch the
    // items those draws will exchange and poll for an interrupt.
    template <class T>
    inline void shuffle(std::span<T> items) {
        shuffle_cells(
            items.size(), [&](std::uint64_t i, std::uint64_t j) { std::swap(items[i], items[j]); },
            [&](std::uint64_t j) { return static_cast<const void*>(&items[j]); });
    }

    // The same draws and exchanges over `len` items that live in some other
    // shape than a span (such as 32-bit cells packed two to a 64-bit word):
    // `exchange(i, j)` swaps items i and j (i may equal j), `address(j)` is
    // where item j lives, for the prefetch.
    template <class Exchange, class Address>
    inline void shuffle_cells(std::uint64_t len, Exchange&& exchange, Address&& address) {
        if (len < 2) return;
        if (len < kShuffleAheadMin) {
            for (std::uint64_t k = len; k >= 2; --k) exchange(k - 1, gen_below(k));
            return;
        }
        std::uint64_t ahead[kShuffleAhead];
        std::uint64_t next = len;  // bound of the next draw
        parallel::InterruptPoll poll;
        for (std::uint64_t& j : ahead) {
            j = gen_below(next--);
            __builtin_prefetch(address(j));
        }
        for (std::uint64_t k = len; k >= 2; --k) {
            std::uint64_t& slot = ahead[(len - k) % kShuffleAhead];
            const std::uint64_t j = slot;
            if (next >= 2) {
                slot = gen_below(next--);
                __builtin_prefetch(address(slot));
            }
            exchange(k - 1, j);
            poll.tick(4);
        }
    }

  private:
    static constexpr std::uint64_t kShuffleAhead = 16;
    static constexpr std::uint64_t kShuffleAheadMin = 1 << 14;
};

}  // namespace knotwell
