// Triangles through each node, local clustering coefficients and their mean,
// in the undirected simple graph behind an edge list (self-loops, repeats and
// reversed rows change nothing).
//
// Algorithm: degree-ordered orientation with a marker array ("forward"
// counting; Schank & Wagner 2005, Latapy 2008). Nodes are ranked by
// (degree, id) and renumbered by rank; every edge {u, v} of the undirected
// simple graph (a `Csr` without self-loops or repeats) is kept once, as an
// arc from the lower-ranked end, in sorted CSR lists of ranks (32 bits
// whenever they fit). Each triangle
// x < y < z is found exactly once, from its middle corner y: out(y) is
// marked, and for every x with an arc to y the marked entries of out(x)
// after y close triangles; each is added to all three corners. Out-degrees
// are at most sqrt(2m), so counting costs O(m sqrt(m)) at worst; memory is
// O(n + m). Runs on the calling thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell {

// T(i) and d(i): triangles through i and distinct neighbours of i other than i.
struct TriangleCounts {
    std::vector<std::uint64_t> triangles;
    std::vector<std::uint64_t> degrees;
};

// Range check (which may fail), then the undirected graph, then the count.
Result<TriangleCounts> count_triangles(OwnedRows&& edges);

// cl(i) = (t + t) / q, t = T(i) as a double, q = d(i) (d(i) - 1) formed exactly
// in 64-bit integers then rounded to a double; 0.0 when d(i) < 2.
std::vector<double> local_clustering(const TriangleCounts& counts);

// Local coefficients of every node, built as above.
Result<std::vector<double>> clustering_coefficients(OwnedRows&& edges);

// Their mean; 0.0 when n = 0, without looking at the edges.
Result<double> average_clustering(OwnedRows&& edges);

// Mean of `values` with a fixed summation order: eight interleaved partial
// sums, folded as (p0+p4), (p1+p5), (p2+p6), (p3+p7) into +0.0, then the
// tail of fewer than eight values in index order; divided by the length.
// The caller handles the empty case.
double mean_eight_way(std::span<const double> values);

}  // namespace knotwell
