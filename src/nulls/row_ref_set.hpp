// An edge set whose slots refer to rows of the caller's key array instead of
// holding the keys.
//
// Every generator keeps its current pairs as NarrowPairs keys, one 64-bit
// word a row, in an array of its own (the output buffer, before it is
// widened), so a table holding the keys again would be a second copy. A slot
// here is 32 bits: 0 when empty, else, from the top,
//
//   [row + 1 : index_bits][displacement : disp_bits][tag : tag_bits]
//
// index_bits is just wide enough for row + 1 (rows < kMaxRows); the tag is
// the hash's low bits (the home slot comes from its high ones), so a probe
// reads the referenced row only when the tags match (a false match costs one
// read, for 2^-tag_bits of the occupied slots probed). The displacement (distance from the home slot,
// saturating at its largest value) is kept only by sets that erase: the
// backward shift of a deletion needs each later entry's home, and a
// saturated one is found by reading the row and hashing its key again.
// With few spare bits (over 2^28 rows) the tag and displacement shrink, down
// to nothing, and every probe of an occupied slot reads a row: slower, never
// wrong.
//
// Linear probing over a table sized once (see Load): at the same load, half
// the bytes of the keyed table of NarrowPairs keys. Large churn tables are
// sized exactly rather than to a power of two (the home slot is then the
// high word of hash x size), so their load does not swing with m.
// The hash is the keyed one of NarrowPairs (see pair_set.hpp); the set is
// only probed, never iterated, so it cannot influence any result.
//
// The caller owns the key array and keeps it consistent: a referenced row
// holds its entry's key whenever an operation may read it (contains, insert
// and the shifts of erase read only rows of entries in the set).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "nulls/nulls.hpp"
#include "nulls/pair_set.hpp"
#include "parallel/interrupt.hpp"

namespace knotwell::nulls {

class RowRefSet {
  public:
    using Pairs = NarrowPairs;
    using Key = NarrowPairs::Key;

    // Rows 0 .. kMaxRows - 1 can be referred to: row + 1 fits 32 bits.
    static constexpr std::uint64_t kMaxRows = (std::uint64_t{1} << 32) - 1;
    // Below this many rows the generators keep the keyed table: it is then
    // at most 64 KiB, and comparing keys in the slots is cheaper than
    // decoding references (calls on a few dozen pairs ran 5 to 10% longer
    // with references).
    static constexpr std::uint64_t kMinRows = std::uint64_t{1} << 12;

    // Whether a generator with `rows` rows keeps this set.
    static bool chosen(std::uint64_t rows, RowRefs policy) {
        return policy == RowRefs::Always ? rows <= kMaxRows
                                         : policy == RowRefs::Auto && rows >= kMinRows && rows <= kMaxRows;
    }

    // Grow: only inserts; a power-of-two table at most 2/3 full (at least
    // 1/3: 6 to 12 bytes a row). Churn: inserts and erases (rewiring);
    // slots keep displacements. A churn table of up to kWideChurnSlots
    // slots (64 MiB) is a power of two at most 1/8 full: every step of a
    // probe run or a backward shift is a branch that mispredicts often, and
    // at 1/3 a rewiring of 10^5 pairs took 1.5 times as long. A larger one
    // is 2/5 full, 10 bytes a row, its size not rounded to a power of two:
    // then its size is what limits the graphs a machine can rewire, and
    // cache misses dominate anyway.
    enum class Load { Grow, Churn };
    static constexpr std::uint64_t kWideChurnSlots = std::uint64_t{1} << 24;

    // Room for rows 0 .. rows - 1 of `keys` (rows <= kMaxRows). Slots give
    // the row reference at least `min_index_bits` bits (at most 32), leaving
    // the tag and displacement fewer: tests reach every layout this way.
    RowRefSet(const Key* keys, std::uint64_t rows, Load load, unsigned min_index_bits = 0) : keys_(keys) {
        if (rows > kMaxRows) throw std::length_error("edge set too large for row references");
        if (load == Load::Grow) {
            size_ = std::bit_ceil(std::max<std::uint64_t>(rows + rows / 2 + 1, kMinSlots));
        } else {
            size_ = std::bit_ceil(std::max<std::uint64_t>(8 * rows + 1, kMinSlots));
            if (size_ > kWideChurnSlots) size_ = rows * 5 / 2 + 1;
        }
        // The home slot: the top bits of the hash for a power-of-two table
        // (a shift), else the high word of hash x size (a multiply).
        if (std::has_single_bit(size_)) shift_ = static_cast<unsigned>(64 - std::countr_zero(size_));
        const unsigned index_bits =
            std::max({1u, static_cast<unsigned>(std::bit_width(rows)), std::min(min_index_bits, 32u)});
        const unsigned spare = 32 - index_bits;
        const unsigned disp_bits = load == Load::Churn ? std::min(3u, spare / 2) : 0;
        ref_shift_ = spare;
        disp_shift_ = spare - disp_bits;
        disp_max_ = (std::uint32_t{1} << disp_bits) - 1;
        tag_mask_ = (std::uint32_t{1} << disp_shift_) - 1;
        parallel::resize_polled(slots_, size_);
    }

    static Key key(std::uint64_t u, std::uint64_t v) { return u < v ? Pairs::pack(u, v) : Pairs::pack(v, u); }

    bool contains(Key k) const {
        const std::uint64_t h = hash(k);
        for (std::size_t i = home_of(h);; i = next(i)) {
            const std::uint32_t s = slots_[i];
            if (s == 0) return false;
            if (tag_matches(s, h) && keys_[row_of(s)] == k) return true;
        }
    }

    // Adds `k`, held by `row`; false (and nothing added) when it is already
    // present. keys[row] may be written after the call.
    bool insert(Key k, std::uint64_t row) {
        const std::uint64_t h = hash(k);
        std::size_t i = home_of(h);
        std::uint64_t d = 0;
        for (std::uint32_t s; (s = slots_[i]) != 0; i = next(i), ++d)
            if (tag_matches(s, h) && keys_[row_of(s)] == k) return false;
        slots_[i] = entry(h, d, row);
        return true;
    }

    // Adds `k`, held by `row`, known to be absent: no row is read.
    void insert_absent(Key k, std::uint64_t row) {
        const std::uint64_t h = hash(k);
        std::size_t i = home_of(h);
        std::uint64_t d = 0;
        for (; slots_[i] != 0; i = next(i)) ++d;
        slots_[i] = entry(h, d, row);
    }

    // Removes the entry of `row`, whose key is `k`. Later entries of the
    // probe run shift back into the hole unless their home lies after it.
    void erase(Key k, std::uint64_t row) {
        const std::uint32_t ref = static_cast<std::uint32_t>(row + 1);
        std::size_t hole = home_of(hash(k));
        while ((slots_[hole] >> ref_shift_) != ref) hole = next(hole);
        std::uint64_t gap = 1;  // from the hole to j
        for (std::size_t j = next(hole);; j = next(j), ++gap) {
            const std::uint32_t s = slots_[j];
            if (s == 0) break;
            const std::uint64_t d = displacement(s, j);
            if (d >= gap) {
                slots_[hole] = with_displacement(s, d - gap);
                hole = j;
                gap = 0;
            }
        }
        slots_[hole] = 0;
    }

    // Always inlined: GCC would otherwise find the call free of effects and
    // drop it.
    [[gnu::always_inline]] void prefetch(Key k) const { __builtin_prefetch(&slots_[home_of(hash(k))]); }

  private:
    static constexpr std::uint64_t kMinSlots = 16;

    std::uint64_t hash(Key k) const { return Pairs::hash(k, key_); }
    std::size_t home_of(std::uint64_t h) const {
        if (shift_ != 0) [[likely]]
            return static_cast<std::size_t>(h >> shift_);
        return static_cast<std::size_t>((static_cast<unsigned __int128>(h) * size_) >> 64);
    }
    std::size_t next(std::size_t i) const { return i + 1 == size_ ? 0 : i + 1; }

    bool tag_matches(std::uint32_t s, std::uint64_t h) const {
        return ((s ^ static_cast<std::uint32_t>(h)) & tag_mask_) == 0;
    }
    std::uint64_t row_of(std::uint32_t s) const { return (s >> ref_shift_) - 1; }
    std::uint32_t disp_field(std::uint64_t d) const {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(d, disp_max_)) << disp_shift_;
    }
    std::uint32_t entry(std::uint64_t h, std::uint64_t d, std::uint64_t row) const {
        return (static_cast<std::uint32_t>(row + 1) << ref_shift_) | disp_field(d) |
               (static_cast<std::uint32_t>(h) & tag_mask_);
    }
    std::uint32_t with_displacement(std::uint32_t s, std::uint64_t d) const {
        return (s & ~(disp_max_ << disp_shift_)) | disp_field(d);
    }
    // Distance of the entry `s` at slot j from its home: stored, or, when
    // saturated, found from the row's key.
    std::uint64_t displacement(std::uint32_t s, std::size_t j) const {
        const std::uint32_t stored = (s >> disp_shift_) & disp_max_;
        if (stored < disp_max_) return stored;
        const std::size_t home = home_of(hash(keys_[row_of(s)]));
        return j >= home ? j - home : j + size_ - home;
    }

    HashKey key_ = process_hash_key();
    const Key* keys_;
    std::vector<std::uint32_t> slots_;
    std::uint64_t size_ = 0;
    std::uint32_t tag_mask_ = 0;
    std::uint32_t disp_max_ = 0;
    unsigned disp_shift_ = 0;  // = tag bits
    unsigned ref_shift_ = 0;   // = tag and displacement bits
    unsigned shift_ = 0;       // 64 - log2(size) for a power-of-two size, else 0
};

}  // namespace knotwell::nulls
