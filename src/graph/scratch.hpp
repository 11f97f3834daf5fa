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
#include <limits>
#include <new>
#include <vector>

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

}  // namespace knotwell
