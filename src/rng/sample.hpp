// Uniform sampling of k distinct node ids out of n, reproducible from a seed:
// the ids 0 .. n - 1 are shuffled by SplitMix64(seed) (`shuffle`, Fisher-
// Yates from the back, n - 1 bounded draws) and the first k are kept, sorted
// ascending. Every k-subset is equally likely. O(n) time and memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "rng/rng.hpp"

namespace knotwell {

// k <= n.
inline std::vector<std::uint64_t> sample_ids(std::uint64_t n, std::uint64_t k, std::uint64_t seed) {
    std::vector<std::uint64_t> ids(n);
    std::iota(ids.begin(), ids.end(), std::uint64_t{0});
    SplitMix64 rng(seed);
    rng.shuffle(std::span<std::uint64_t>(ids));
    ids.resize(k);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace knotwell
