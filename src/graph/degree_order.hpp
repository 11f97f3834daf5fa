// Nodes in ascending order of degree, ties by ascending id: the order in
// which k-core peeling starts and by which triangle counting ranks nodes.
//
// One stable counting sort over the degrees: O(n + max degree) time, three
// arrays in the id type (ids, positions and block starts are all below n).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace knotwell {

template <class Id>
struct DegreeOrder {
    std::vector<Id> vert;   // vert[r]: the node at position r
    std::vector<Id> rank;   // rank[u]: the position of node u
    std::vector<Id> start;  // start[d]: the first position of degree d (max degree + 2 entries)
};

// `deg[u]` is the degree of node u (any unsigned type; every value < n).
template <class Id, class Degree>
DegreeOrder<Id> order_by_degree(std::span<const Degree> deg) {
    const std::uint64_t n = deg.size();
    const std::uint64_t max_deg = n == 0 ? 0 : *std::max_element(deg.begin(), deg.end());
    DegreeOrder<Id> order;
    order.start.assign(max_deg + 2, 0);
    for (const Degree d : deg) ++order.start[d + 1];
    for (std::uint64_t d = 0; d <= max_deg; ++d) order.start[d + 1] += order.start[d];
    order.vert.resize(n);
    order.rank.resize(n);
    std::vector<Id> next(order.start.begin(), order.start.end() - 1);
    for (std::uint64_t u = 0; u < n; ++u) {
        const Id r = next[deg[u]]++;
        order.rank[u] = r;
        order.vert[r] = static_cast<Id>(u);
    }
    return order;
}

}  // namespace knotwell
