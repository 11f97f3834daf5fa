// Owned edge rows: the one shape in which a kernel that needs the rows more
// than once (or runs without the interpreter lock) sees them.
//
// The caller's array is read exactly once, by `copy_rows`, into memory the
// call owns, narrowed to the id width the call needs (32-bit pairs whenever
// `fits_32_bit_ids(n)`, 8 bytes a row instead of 16) and range-checked in the
// same pass. A bad row does not stop the copy: the first one is recorded and
// the kernel reports it at its turn, after whatever checks come before it
// (the argument conversions of later parameters, the shape). Rows after a
// bad one are copied as they are; values that do not fit the narrow width
// are truncated, which nothing sees, since every kernel reports the
// recorded failure before it reads a row.
//
// Kernels read the rows through `visit`, as a span of `IdPair<Id>` in the id
// type `with_id_type(n)` picks, and drop them with `release` as soon as the
// structure built from them no longer needs them.
//
// The other shape is the one-pass reader over the caller's memory
// (graph/edge_blocks.hpp), for kernels that keep the lock and read each row
// once without running any Python code meanwhile.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "graph/input.hpp"

namespace knotwell {

template <class Id>
struct IdPair {
    Id source;
    Id target;
};

// Ids are below n, so with n <= 2^32 - 1 every id and n itself fit in 32
// bits: per-node counters, positions and ranks can share the id type.
inline constexpr bool fits_32_bit_ids(std::uint64_t n) { return n <= std::numeric_limits<std::uint32_t>::max(); }

// Calls `f.template operator()<Id>()` with the id type the rule above picks.
template <class F>
decltype(auto) with_id_type(std::uint64_t n, F&& f) {
    if (fits_32_bit_ids(n)) return f.template operator()<std::uint32_t>();
    return f.template operator()<std::uint64_t>();
}

class OwnedRows {
  public:
    OwnedRows() = default;
    OwnedRows(OwnedRows&&) noexcept = default;
    OwnedRows& operator=(OwnedRows&&) noexcept = default;
    OwnedRows(const OwnedRows&) = delete;
    OwnedRows& operator=(const OwnedRows&) = delete;

    std::uint64_t n() const { return n_; }
    std::uint64_t size() const { return size_; }
    // The first row naming an id >= n, found while copying.
    const Check& range_failure() const { return range_; }

    // f(std::span<const IdPair<Id>>) for the call's id type.
    template <class F>
    decltype(auto) visit(F&& f) const {
        if (fits_32_bit_ids(n_)) return f(std::span<const IdPair<std::uint32_t>>(narrow_.data(), narrow_.size()));
        return f(std::span<const IdPair<std::uint64_t>>(wide_.data(), wide_.size()));
    }

    // Moves the rows out, for a kernel that keeps them as they are; Id must
    // be the call's id type.
    template <class Id>
    ScratchVector<IdPair<Id>> take() {
        if constexpr (std::is_same_v<Id, std::uint32_t>)
            return std::move(narrow_);
        else
            return std::move(wide_);
    }

    // Frees the rows; size() and range_failure() stay.
    void release() {
        ScratchVector<IdPair<std::uint32_t>>().swap(narrow_);
        ScratchVector<IdPair<std::uint64_t>>().swap(wide_);
    }

    // `load(first, count, out)` copies rows [first, first + count) (Edges)
    // to `out`; it is called once per block, in ascending order, so every
    // row of the caller's memory is read exactly once.
    template <class Load>
    static OwnedRows copy_rows(std::uint64_t n, std::uint64_t rows, Load&& load) {
        OwnedRows out;
        out.n_ = n;
        out.size_ = rows;
        if (fits_32_bit_ids(n))
            out.range_ = copy_narrowed(n, rows, load, out.narrow_);
        else
            out.range_ = copy_narrowed(n, rows, load, out.wide_);
        return out;
    }

    // Rows already in memory (generated ones, tests) copied the same way.
    static OwnedRows of(std::uint64_t n, std::span<const Edge> edges) {
        return copy_rows(n, edges.size(), [edges](std::uint64_t first, std::size_t count, Edge* to) {
            std::copy_n(edges.data() + first, count, to);
        });
    }

  private:
    static constexpr std::size_t kBlock = 512;  // 8 KiB of rows as read: stays in the L1 cache

    // Each block is copied as it is into a buffer of the call's own, and only
    // that buffer is looked at: the value checked is the value narrowed, and
    // a bad row is named from it, whatever the caller's memory holds by then
    // (another thread may be writing it). The narrowed block goes into the
    // reserved vector, so no byte of it is written twice (a resize would
    // zero it first). The check has no early exit, so it runs at the speed
    // of the copy; only a block with a bad row is searched for the first.
    template <class Id, class Load>
    static Check copy_narrowed(std::uint64_t n, std::uint64_t rows, Load& load, ScratchVector<IdPair<Id>>& out) {
        Check first_bad;
        out.reserve(rows);
        Edge read[kBlock];
        IdPair<Id> narrowed[kBlock];
        for (std::uint64_t first = 0; first < rows; first += kBlock) {
            const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, rows - first));
            load(first, size, read);
            bool bad = false;
            for (std::size_t j = 0; j < size; ++j) {
                narrowed[j] = {static_cast<Id>(read[j].source), static_cast<Id>(read[j].target)};
                bad |= (read[j].source >= n) | (read[j].target >= n);
            }
            if (bad && !first_bad) first_bad = check_edge_range(n, std::span<const Edge>(read, size), first);
            out.insert(out.end(), narrowed, narrowed + size);
        }
        return first_bad;
    }

    std::uint64_t n_ = 0;
    std::uint64_t size_ = 0;
    Check range_;
    ScratchVector<IdPair<std::uint32_t>> narrow_;
    ScratchVector<IdPair<std::uint64_t>> wide_;
};

}  // namespace knotwell
