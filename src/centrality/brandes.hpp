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
// Costs per source: O(n_s + m_s) breadth-first, O((n_s + m_s) log n_s)
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
            // Two running sums halve the chain of dependent additions.
            double even = 0.0, odd = 0.0;
            std::uint64_t k = g.begin(v);
            const std::uint64_t end = g.end(v);
            for (; k + 1 < end; k += 2) {
                even += coef[g.targets[k]];
                odd += coef[g.targets[k + 1]];
            }
            if (k < end) even += coef[g.targets[k]];
            delta[i] = sigma[v] * (even + odd);
        }
        for (std::uint64_t i = lo; i < hi; ++i) {
            const Id v = order[i];
            acc[v] += scale * delta[i];
            coef[v] = (1.0 + delta[i]) / sigma[v];
        }
    }
}

// Min-heap of the nodes whose distance is tentative, keyed by it, with four
// children per slot and each node's slot recorded so a shorter distance
// moves the node up in place: the heap never holds more than the frontier
// and every reached node is popped exactly once.
template <class Id>
class IndexedHeap {
  public:
    explicit IndexedHeap(std::uint64_t n) : slot_(n) {}

    bool empty() const { return items_.empty(); }

    void push(Id node, double key) {
        items_.push_back({key, node});
        sift_up(items_.size() - 1, {key, node});
    }

    // `node` is in the heap and `key` is below its current key.
    void decrease(Id node, double key) { sift_up(slot_[node], {key, node}); }

    Id pop() {
        const Id top = items_[0].node;
        const Item last = items_.back();
        items_.pop_back();
        if (!items_.empty()) sift_down(last);
        return top;
    }

  private:
    struct Item {
        double key;
        Id node;
    };

    void place(std::size_t i, const Item& item) {
        items_[i] = item;
        slot_[item.node] = static_cast<Id>(i);
    }

    void sift_up(std::size_t i, const Item& item) {
        while (i > 0) {
            const std::size_t parent = (i - 1) / 4;
            if (items_[parent].key <= item.key) break;
            place(i, items_[parent]);
            i = parent;
        }
        place(i, item);
    }

    // Refills the root slot with `item`: the hole first sinks to a leaf along
    // the smallest children, then `item` rises from there (Floyd's trick; the
    // last item nearly always belongs near the bottom).
    void sift_down(const Item& item) {
        const std::size_t size = items_.size();
        std::size_t i = 0;
        for (;;) {
            const std::size_t first = 4 * i + 1;
            if (first >= size) break;
            const std::size_t stop = first + 4 < size ? first + 4 : size;
            std::size_t best = first;
            double best_key = items_[first].key;
            for (std::size_t c = first + 1; c < stop; ++c) {
                const double key = items_[c].key;
                best = key < best_key ? c : best;
                best_key = key < best_key ? key : best_key;
            }
            place(i, items_[best]);
            i = best;
        }
        sift_up(i, item);
    }

    std::vector<Item> items_;
    std::vector<Id> slot_;  // valid while the node is in the heap
};

template <class Id>
struct DijkstraWorkspace {
    std::vector<double> dist;  // best known length, +inf before the search reaches the node
    std::vector<double> sigma;
    std::vector<double> coef;
    std::vector<Id> pred;  // the node behind the latest shorter distance
    std::vector<std::uint8_t> settled;
    std::vector<Id> order;  // settle order
    IndexedHeap<Id> heap;
    std::uint64_t reached = 0;

    explicit DijkstraWorkspace(std::uint64_t n)
        : dist(n, std::numeric_limits<double>::infinity()),
          sigma(n, 0.0),
          coef(n, 0.0),
          pred(n),
          settled(n, 0),
          order(n),
          heap(n) {}

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

// Dijkstra counting shortest paths from s. A strictly shorter tentative
// distance restarts the count and records the relaxing node; an exactly
// equal one adds the relaxing node's (final) count. The recorded node's
// count is added when the node is settled.
template <class Id>
void count_paths_dijkstra(const NeighbourLists<Id>& g, Id s, DijkstraWorkspace<Id>& ws) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double* dist = ws.dist.data();
    double* sigma = ws.sigma.data();
    Id* pred = ws.pred.data();
    std::uint8_t* settled = ws.settled.data();
    IndexedHeap<Id>& heap = ws.heap;
    dist[s] = 0.0;
    sigma[s] = 1.0;
    heap.push(s, 0.0);
    std::uint64_t reached = 0;
    while (!heap.empty()) {
        const Id v = heap.pop();
        if (v != s) sigma[v] += sigma[pred[v]];
        settled[v] = 1;
        ws.order[reached++] = v;
        const double d = dist[v];
        const double sv = sigma[v];
        for (std::uint64_t k = g.begin(v), end = g.end(v); k < end; ++k) {
            // A settled w has dist[w] <= d <= nd, so only the tie test needs
            // the flag (a weight absorbed by d can make nd == d).
            const Id w = g.targets[k];
            const double nd = g.weights[k] + d;
            const double dw = dist[w];
            if (dw > nd) {
                dist[w] = nd;
                sigma[w] = 0.0;
                pred[w] = v;
                if (dw == kInf) {
                    heap.push(w, nd);
                } else {
                    heap.decrease(w, nd);
                }
            } else if (dw == nd && !settled[w]) {
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
