#include "graph/weight_scale.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace knotwell {
namespace {

// Every value kept must lie within [2^-kLimit, 2^kLimit]: a margin of a few
// binades on both sides of the normal range for rounding and doubling.
constexpr int kLimit = 1016;
// A nonzero sum or difference of weights whose smallest positive member is
// at least 2^lo is a multiple of 2^(lo - 52), hence at least that.
constexpr int kSumBits = 53;

int floor_div2(int x) { return x >= 0 ? x / 2 : -((-x + 1) / 2); }
int ceil_div2(int x) { return -floor_div2(-x); }

}  // namespace

int weight_scale_exponent(std::uint64_t rows, std::optional<std::span<const double>> weights, double resolution,
                          WeightExposure exposure) {
    if (rows == 0) return 0;
    // lo: every positive weight >= 2^lo; hi: every sum of weights (at most
    // 2m, each row counted from both ends) < 2^hi.
    const int sum_bits = std::bit_width(rows) + 1;
    int lo = 0, hi = 1 + sum_bits;
    if (weights) {
        double largest = 0.0, smallest = INFINITY;
        for (const double w : *weights) {
            largest = std::max(largest, w);
            if (w > 0.0) smallest = std::min(smallest, w);
        }
        if (!(largest > 0.0)) return 0;
        int e = 0;
        std::frexp(largest, &e);  // largest < 2^e
        hi = e + sum_bits;
        std::frexp(smallest, &e);  // smallest >= 2^(e - 1)
        lo = e - 1;
    }

    // Scaled by 2^k: k + hi <= kLimit keeps sums finite; k + lo - 1 >=
    // -kLimit keeps halves normal.
    int k_max = kLimit - hi;
    int k_min = std::numeric_limits<int>::min();
    if (exposure != WeightExposure::Sums) k_min = -kLimit - lo + 1;
    if (exposure == WeightExposure::Gains) {
        int g = 0;
        std::frexp(resolution, &g);  // gamma in [2^(g - 1), 2^g)
        const int sum_lo = lo - kSumBits;
        // r = gamma k_u, cs r and (cs r) / 2m, largest and smallest nonzero.
        k_max = std::min({k_max, kLimit - g - hi, floor_div2(kLimit - g) - hi});
        k_min = std::max({k_min, -kLimit - (g - 1) - sum_lo, ceil_div2(-kLimit - (g - 1)) - sum_lo,
                          -kLimit - (g - 1) - 2 * sum_lo + hi});
    }
    if (k_min <= 0 && 0 <= k_max) return 0;
    if (k_min > k_max) return k_max;
    return k_min > 0 ? k_min : k_max;
}

bool scales_exactly(std::span<const double> weights, int k) {
    for (const double w : weights)
        if (std::ldexp(std::ldexp(w, k), -k) != w) return false;
    return true;
}

void scale_weights(std::span<const double> weights, int k, std::span<double> out) {
    for (std::size_t i = 0; i < weights.size(); ++i) out[i] = std::ldexp(weights[i], k);
}

int path_length_exponent(double largest, std::uint64_t path_edges) {
    return std::ilogb(largest) + 1 + static_cast<int>(std::bit_width(path_edges)) - 1022;
}

}  // namespace knotwell
