// Call-scoped arrays (edge copies, CSR lists, search queues) that live for
// one call and come back at the next one of the same size.
//
// A call on a graph of a few tens of thousands of edges spends as long on
// the page faults of its fresh arrays as on the search itself whenever the
// process's allocator hands large freed blocks back to the kernel, which
// depends on what the process did before. Blocks of at least kMinBytes are
// therefore kept after use, up to kMaxBlocks of them and kMaxBytes in all,
// and a request of exactly the same size takes one back (repeated calls on
// one graph ask for the same sizes). The oldest go first when the limits are
// reached. Thread-safe; the cache is never destroyed, so a thread still in a
// call at interpreter exit can return its blocks.
//
// The bytes kept are at most the smallest of kMaxBytes, 1/256 of the
// machine's physical memory and the environment variable
// KNOTWELL_SCRATCH_CACHE (a decimal byte count, read once at the first
// call; 0 turns the cache off). Results never depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace knotwell {
namespace scratch {

inline constexpr std::size_t kMinBytes = std::size_t{64} << 10;
inline constexpr std::size_t kMaxBlocks = 16;
inline constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

// A block of `bytes` bytes (aligned as operator new aligns), cached or new;
// throws std::bad_alloc.
void* take(std::size_t bytes);

// Returns a block from `take(bytes)`.
void give(void* p, std::size_t bytes) noexcept;

// Frees every cached block (for tests and memory-tight callers).
void release() noexcept;

// The most bytes the cache keeps, and the bytes it keeps now.
std::size_t limit_bytes() noexcept;
std::size_t held_bytes() noexcept;

}  // namespace scratch

template <class T>
struct ScratchAllocator {
    using value_type = T;

    ScratchAllocator() noexcept = default;
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

    // As std::allocator: no object may span more than PTRDIFF_MAX bytes, so
    // a vector asked for more fails with std::length_error before any
    // allocator is called.
    std::size_t max_size() const noexcept {
        return static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
    }
    T* allocate(std::size_t n) {
        if (n > max_size()) throw std::bad_array_new_length();
        return static_cast<T*>(scratch::take(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { scratch::give(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// A table of n records that is only read where it was written first: taken
// from the scratch cache and never cleared, so a call neither clears nor
// faults in the pages of records it never writes. Records start on a cache
// line (T's size divides 64), so none spans two.
template <class T>
class UninitTable {
  public:
    static_assert(64 % sizeof(T) == 0);
    explicit UninitTable(std::uint64_t n)
        : bytes_(n * sizeof(T) + 64),
          block_(scratch::take(bytes_)),
          data_(reinterpret_cast<T*>((reinterpret_cast<std::uintptr_t>(block_) + 63) & ~std::uintptr_t{63})) {}
    ~UninitTable() { scratch::give(block_, bytes_); }
    UninitTable(const UninitTable&) = delete;
    UninitTable& operator=(const UninitTable&) = delete;
    T& operator[](std::uint64_t i) { return data_[i]; }

  private:
    std::uint64_t bytes_;
    void* block_;
    T* data_;
};

// Tables read at random on every step of a pass (a community per node, a
// slot per community) span megabytes on large graphs, where with 4 KiB pages
// most of their reads also miss the TLB. Blocks of at least kHugeBytes are
// aligned to 2 MiB and advised to be backed by huge pages (where the kernel
// offers them only on request); smaller ones come from operator new. Not
// cached: such tables live as long as the structure that holds them.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeBytes = std::size_t{4} << 20;

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    static std::size_t rounded(std::size_t n) { return (n * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage; }
    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - kHugePage) throw std::bad_array_new_length();
        if (n * sizeof(T) < kHugeBytes) return static_cast<T*>(::operator new(n * sizeof(T)));
        void* p = ::operator new(rounded(n), std::align_val_t{kHugePage});
#ifdef MADV_HUGEPAGE
        madvise(p, rounded(n), MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugeBytes)
            ::operator delete(p);
        else
            ::operator delete(p, std::align_val_t{kHugePage});
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace knotwell
