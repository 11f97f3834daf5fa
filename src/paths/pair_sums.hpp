// Running sums of the mean shortest path: the total distance and the number
// of connected pairs, both exact integers, so they do not depend on how the
// sweep is split. The total is 128-bit: on a path of about 4.8 million nodes
// the distances already sum past 2^64. Pair counts stay 64-bit (they pass
// 2^64 only beyond 6 billion nodes).
#pragma once

#include <cstdint>
#include <limits>

namespace knotwell::paths {

struct PairSums {
    unsigned __int128 total = 0;  // sum of distances
    std::uint64_t count = 0;      // number of connected pairs

    // `pairs` more pairs at distance d.
    void add(std::uint64_t pairs, std::uint64_t d) {
        total += static_cast<unsigned __int128>(pairs) * d;
        count += pairs;
    }
    void add(const PairSums& other) {
        total += other.total;
        count += other.count;
    }
    // total / count, each rounded to the nearest double first (below 2^64
    // the same double as from a 64-bit total); NaN without pairs.
    double mean() const {
        if (count == 0) return std::numeric_limits<double>::quiet_NaN();
        return static_cast<double>(total) / static_cast<double>(count);
    }
};

}  // namespace knotwell::paths
