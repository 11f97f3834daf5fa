// Power-of-two rescaling of weights, so that weights near either end of the
// double range give sound answers: the one routine that applies a scale
// (`scale_weights`), the test of whether it is exact, and the choice of the
// exponent for the community functions and for path lengths.
//
// The community functions:
// Modularity, the Louvain gains and label propagation's comparisons do not
// change when every weight is multiplied by one positive constant, and a
// product with 2^k is exact while no value leaves the range of normal
// doubles. What each function exposes:
//   - sums: strengths and the accumulated weights reach 2m (twice the total
//     weight), which can overflow;
//   - halves: modularity and coarsening halve single entries (w x 0.5), which
//     loses bits below the normal range;
//   - products: a Louvain gain multiplies two sums and the resolution, then
//     divides by 2m, which overflows above ~2^511 and underflows below
//     ~2^-511 at resolution 1.
// `weight_scale_exponent` returns the k nearest to 0 that keeps every such
// value normal, so an input that never leaves the range gets k = 0 and the
// exact bits of the plain computation; any other k gives the same bits as
// the plain computation would in an unbounded exponent range. When no k
// fits (weights spanning more than ~2^900 at once) overflow is avoided
// first: the smallest weights then round, by less than 2^-800 of the total.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace knotwell {

enum class WeightExposure {
    Sums,           // label propagation
    SumsAndHalves,  // modularity
    Gains,          // Louvain: sums, halves and gain products with gamma
};

// `weights` absent means 1.0 per row; `resolution` (gamma) is only read for
// `Gains`. Preconditions: weights finite and non-negative, gamma finite > 0.
int weight_scale_exponent(std::uint64_t rows, std::optional<std::span<const double>> weights, double resolution,
                          WeightExposure exposure);

// Whether every w x 2^k is exact: no product leaves the normal range.
bool scales_exactly(std::span<const double> weights, int k);

// out[i] = weights[i] x 2^k (out may be weights itself).
void scale_weights(std::span<const double> weights, int k, std::span<double> out);

// The k such that weights scaled by 2^-k keep every path of at most
// `path_edges` edges below 2^1023 when the largest weight is `largest` (> 0);
// k <= 0 when the unscaled lengths already stay there.
int path_length_exponent(double largest, std::uint64_t path_edges);

inline std::optional<std::span<const double>> weight_span(const std::optional<std::vector<double>>& weights) {
    if (!weights) return std::nullopt;
    return std::span<const double>(*weights);
}

}  // namespace knotwell
