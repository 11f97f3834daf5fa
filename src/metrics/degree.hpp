// Degree and strength sequences, counted straight off the edge rows.
//
// One pass over the edges, n counters: O(n + m). Every row counts, repeats
// included; in the undirected case a self-loop adds 1 to the degree (its
// weight once to the strength), and the directed case counts the source end
// only. Float sums are plain additions in row order starting at +0.0.
// Both expect range-checked edges (and checked weights): the checks come
// before any counter is allocated, so a bad edge is reported even when n is
// too large for the counters.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/input.hpp"

namespace knotwell {

enum class DegreeKind { Out, In, Undirected };

std::vector<std::uint64_t> degree_sequence(std::uint64_t n, std::span<const Edge> edges, DegreeKind kind);
std::vector<double> strength_sequence(std::uint64_t n, std::span<const Edge> edges, std::span<const double> weights,
                                      bool directed);

}  // namespace knotwell
