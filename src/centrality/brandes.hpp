// Single-source stages of Brandes' betweenness algorithm: count shortest
// paths from one source (breadth-first, or Dijkstra on positive weights),
// then accumulate the source's dependencies back along the settle order.
//
// U. Brandes, "A faster algorithm for betweenness centrality", J. Math.
// Sociol. 25 (2001). Like the GAP benchmark suite's `bc.cc`, the searches keep
// no predecessor lists: v precedes w on a shortest path exactly when the arc
// v -> w closes the distance gap (depth[w] = depth[v] + 1, or, weighted,
// weight + dist[v] == dist[w] with the same float sum the search compared).
// The accumulation pulls: with coef[w] = (1 + delta[w]) / sigma[w] stored once
// w is done, and zero until then,
//     delta[v] = sigma[v] * sum of coef[w] over the successors w of v.
// Costs per source: O(n_s + m_s) breadth-first, O((n_s + m_s) log m_s)
// Dijkstra, over the n_s nodes and m_s arcs the search reaches.
//
// A workspace serves one piece of sources at a time; every search leaves it
// as it found it by resetting only the nodes it reached.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "centrality/neighbour_lists.hpp"

namespace knotwell::centrality {

template <class Id>
struct BfsWorkspace {
    static constexpr Id kUnseen = std::numeric_limits<Id>::max();

    std::vector<Id> depth;      // hop distance, kUnseen before the search reaches the node
    std::vector<double> sigma;  // shortest-path counts, as floats
    std::vector<double> coef;   // (1 + delta) / sigma once the node's dependency is final, else 0
    std::vector<Id> order;      // the queue, which is also the settle order
    std::vector<double> delta;  // dependency of order[i], by queue position
    std::vector<std::uint64_t> levels;  // depth k occupies order[levels[k] .. levels[k + 1])
    std::uint64_t reached = 0;

    explicit BfsWorkspace(std::uint64_t n) : depth(n, kUnseen), sigma(n, 0.0), coef(n, 0.0), order(n), delta(n) {}

    void reset() {
        for (std::uint64_t i = 0; i < reached; ++i) {
            const Id v = order[i];
            depth[v] = kUnseen;
            sigma[v] = 0.0;
            coef[v] = 0.0;
        }
        reached = 0;
    }
};

// Level-synchronous breadth-first search counting shortest paths from s.
template <class Id>
void count_paths_bfs(const NeighbourLists<Id>& g, Id s, BfsWorkspace<Id>& ws) {
    const Id kUnseen = BfsWorkspace<Id>::kUnseen;
    Id* depth = ws.depth.data();
    double* sigma = ws.sigma.data();
    Id* order = ws.order.data();
    depth[s] = 0;
    sigma[s] = 1.0;
    order[0] = s;
    ws.levels.assign(1, 0);
    std::uint64_t lo = 0, hi = 1, tail = 1;
    for (Id next = 1; lo < hi; ++next) {
        for (std::uint64_t i = lo; i < hi; ++i) {
            const Id v = order[i];
            const double sv = sigma[v];
            for (std::uint64_t k = g.begin(v), end = g.end(v); k < end; ++k) {
                const Id w = g.targets[k];
                Id dw = depth[w];
                if (dw == kUnseen) {
                    depth[w] = dw = next;
                    order[tail++] = w;
                }
                if (dw == next) sigma[w] += sv;
            }
        }
        ws.levels.push_back(hi);
        lo = hi;
        hi = tail;
    }
    ws.reached = tail;
}

// Deepest level first. Within a level, every dependency is computed before
// any coef of that level is published, so same-level neighbours read 0.
// Adds scale * delta[v] to acc[v] for every reached v other than the source.
template <class Id>
void accumulate_bfs(const NeighbourLists<Id>& g, BfsWorkspace<Id>& ws, double scale, double* acc) {
    const double* sigma = ws.sigma.data();
    double* coef = ws.coef.data();
    const Id* order = ws.order.data();
    double* delta = ws.delta.data();
    for (std::size_t level = ws.levels.size() - 1; level-- > 1;) {
        const std::uint64_t lo = ws.levels[level], hi = ws.levels[level + 1];
        for (std::uint64_t i = lo; i < hi; ++i) {
            const Id v = order[i];
            double sum = 0.0;
            for (std::uint64_t k = g.begin(v), end = g.end(v); k < end; ++k) sum += coef[g.targets[k]];
            delta[i] = sigma[v] * sum;
        }
        for (std::uint64_t i = lo; i < hi; ++i) {
            const Id v = order[i];
            acc[v] += scale * delta[i];
            coef[v] = (1.0 + delta[i]) / sigma[v];
        }
    }
}

template <class Id>
struct HeapEntry {
    double dist;
    Id pred;  // the node whose relaxation pushed the entry
    Id node;
};

template <class Id>
struct DijkstraWorkspace {
    std::vector<double> dist;  // best known length, +inf before the search reaches the node
    std::vector<double> sigma;
    std::vector<double> coef;
    std::vector<std::uint8_t> settled;
    std::vector<Id> order;  // settle order
    std::vector<HeapEntry<Id>> heap;
    std::uint64_t reached = 0;

    explicit DijkstraWorkspace(std::uint64_t n)
        : dist(n, std::numeric_limits<double>::infinity()), sigma(n, 0.0), coef(n, 0.0), settled(n, 0), order(n) {}

    void reset() {
        for (std::uint64_t i = 0; i < reached; ++i) {
            const Id v = order[i];
            dist[v] = std::numeric_limits<double>::infinity();
            sigma[v] = 0.0;
            coef[v] = 0.0;
            settled[v] = 0;
        }
        reached = 0;
    }
};

// Dijkstra with lazy deletion counting shortest paths from s. A strictly
// shorter tentative distance restarts the count; an exactly equal one adds
// the relaxing node's (final) count. The count of the node behind an
// improving entry is added when that entry is popped, once it is final.
template <class Id>
void count_paths_dijkstra(const NeighbourLists<Id>& g, Id s, DijkstraWorkspace<Id>& ws) {
    const auto later = [](const HeapEntry<Id>& a, const HeapEntry<Id>& b) { return a.dist > b.dist; };
    double* dist = ws.dist.data();
    double* sigma = ws.sigma.data();
    std::uint8_t* settled = ws.settled.data();
    auto& heap = ws.heap;
    dist[s] = 0.0;
    sigma[s] = 1.0;
    heap.push_back({0.0, s, s});
    std::uint64_t reached = 0;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        const HeapEntry<Id> top = heap.back();
        heap.pop_back();
        const Id v = top.node;
        if (settled[v]) continue;
        if (v != s) sigma[v] += sigma[top.pred];
        settled[v] = 1;
        ws.order[reached++] = v;
        const double sv = sigma[v];
        for (std::uint64_t k = g.begin(v), end = g.end(v); k < end; ++k) {
            const Id w = g.targets[k];
            if (settled[w]) continue;
            const double nd = g.weights[k] + top.dist;
            if (dist[w] > nd) {
                dist[w] = nd;
                sigma[w] = 0.0;
                heap.push_back({nd, v, w});
                std::push_heap(heap.begin(), heap.end(), later);
            } else if (dist[w] == nd) {
                sigma[w] += sv;
            }
        }
    }
    ws.reached = reached;
}

// Reverse settle order. Nodes settled before v still have coef 0, so the
// exact distance test alone selects v's successors.
template <class Id>
void accumulate_dijkstra(const NeighbourLists<Id>& g, DijkstraWorkspace<Id>& ws, double* acc) {
    const double* dist = ws.dist.data();
    const double* sigma = ws.sigma.data();
    double* coef = ws.coef.data();
    for (std::uint64_t i = ws.reached; i-- > 1;) {
        const Id v = ws.order[i];
        const double dv = dist[v];
        double sum = 0.0;
        for (std::uint64_t k = g.begin(v), end = g.end(v); k < end; ++k) {
            const Id w = g.targets[k];
            if (g.weights[k] + dv == dist[w]) sum += coef[w];
        }
        const double delta = sigma[v] * sum;
        acc[v] += delta;
        coef[v] = (1.0 + delta) / sigma[v];
    }
}

}  // namespace knotwell::centrality
