// Asynchronous label propagation (Raghavan, Albert & Kumara 2007): every
// node starts in its own community; each iteration visits the nodes in a
// freshly shuffled order (each shuffle continues from the last permutation)
// and gives each the label of largest summed weight among its neighbours,
// updating at once. Ties are broken uniformly by reservoir sampling, one
// bounded draw per tie met. Stops after an iteration without change or after
// max_iter iterations.
//
// `label_weight` is dense by label and only the touched labels are reset, so
// an iteration costs one shuffle plus O(n + m). Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell {

// Checks the edge range, weights and max_iter, in that order, then returns
// the labels numbered by first appearance.
Result<std::vector<std::uint64_t>> label_propagation(OwnedRows&& edges,
                                                     const std::optional<std::vector<double>>& weights,
                                                     std::uint64_t seed, std::uint64_t max_iter);

}  // namespace knotwell
