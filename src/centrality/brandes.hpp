// Single-source stages of Brandes' betweenness algorithm: count shortest
// paths from one source (breadth-first, or Dijkstra on positive weights),
// then accumulate the source's dependencies back along the settle order.
// The searches walk a Csr without self-loops, sorted, one entry per
// neighbour (parallel arcs merged to the smallest weight), weights strictly
// positive and finite.
//
// U. Brandes, "A faster algorithm for betweenness centrality", J. Math.
// Sociol. 25 (2001). The accumulation pulls instead of pushing along
// predecessor lists:
//     delta[v] = sigma[v] * sum of coef[w] over the successors w of v,
// with coef[w] = (1 + delta[w]) / sigma[w] written once w is done. The
// breadth-first search records each node's successors (the arcs it found to
// lead one level down) in one flat buffer, so the accumulation reads only
// those. The weighted accumulation tests arcs afterwards, as the GAP
// benchmark suite's `bc.cc` does: v precedes w exactly when weight + dist[v] ==
// dist[w], the same float sum the search compared, and w was settled after
// v; only the arcs that shortened or tied a distance are tested.
// Costs per source: O(n_s + m_s) breadth-first, O((n_s + m_s) log n_s)
// Dijkstra, over the n_s nodes and m_s arcs the search reaches.
//
// Path counts (`Sigma`) and, weighted, path lengths (`Dist`) are doubles or
// `WideFloat`s, which round alike but cannot overflow (a chain of k diamonds
// has 2^k shortest paths, so n = 3,100 nodes reach 2^1024). Searches count
// in doubles and say whether the doubles did what wide floats would; a
// source for which they could not is searched again with wide counts.
// Dijkstra's counts fit while they stay below kSigmaLimit. Breadth-first
// counts carry a power-of-two exponent per level instead (see
// `LevelScale`), so they fit unless one level's counts, or two adjacent
// levels', spread over nearly the whole double range.
//
// A workspace serves one piece of sources at a time; every search leaves it
// as it found it by resetting only the nodes it reached.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "centrality/wide_float.hpp"
#include "graph/csr.hpp"

namespace knotwell::centrality {

// Counts up to 2^1000 keep every coef = (1 + delta) / sigma >= 2^-1000 and
// every product of the accumulation normal: in this range a double does
// exactly what a WideFloat does, so the bits do not depend on the type.
inline constexpr double kSigmaLimit = 0x1p1000;

template <class Dist>
Dist unreached_distance() {
    if constexpr (std::is_same_v<Dist, double>) {
        return std::numeric_limits<double>::infinity();
    } else {
        return Dist::infinity();
    }
}

// Exponents of a breadth-first search's counts, one per level. The counts of
// level d are stored as sigma * 2^-e_d, e_0 = 0, and e_d is raised (by a
// whole power of two, once the level's counts are summed) when the level's
// largest stored count passes kRescaleAbove. A power of two scales exactly
// while values stay normal, and then each operation rounds to what a wide
// float gives, times the same power:
// - counts of level d + 1 are summed from stored counts of level d, under
//   e_d, and then rescaled;
// - coef of a level d + 1 node, (1 + delta) / stored sigma, is the true coef
//   times 2^e_(d+1), and so is their sum over a node's successors;
// - stored sigma_v * that sum, for v of level d, is delta_v * 2^(e_(d+1) -
//   e_d), and the product with `factor[d]` = 2^(e_d - e_(d+1)) is delta_v.
// It stays normal while every stored count lies in [kStoredLow,
// kRescaleAbove] (coef below 2^64 / kStoredLow, a sum of fewer than 2^64 of
// them below 2^1024, a level's counts below 2^64 times the level before)
// and the smallest count of each level is at least 2^-1000 times the largest
// of the next (delta_v >= sigma_v / sigma_w for each successor w). Counts
// below kRescaleAbove meet both with every factor 1: such searches are the
// plain double search.
struct LevelScale {
    static constexpr double kRescaleAbove = 0x1p900;
    static constexpr int kRescaledTop = 450;  // a rescaled level's largest count is in [2^450, 2^451)
    static constexpr double kStoredLow = 0x1p-800;

    std::vector<std::uint64_t> begin;  // order index of each level's first node, then the end of the last
    std::vector<double> factor;        // per level, 2^(e_d - e_(d+1)); 1 for the last
    double low = 1.0;                  // smallest stored count of the last level settled
    bool fits = true;
    bool scaled = false;  // some factor is not 1

    void start() {
        begin.assign(1, 0);
        factor.clear();
        low = 1.0;
        fits = true;
        scaled = false;
    }

    // Level [lo, hi) of `order` has all its counts: gives it its exponent,
    // and notes when the bounds cannot be kept.
    template <class Id, class Node>
    void settle(const Id* order, std::uint64_t lo, std::uint64_t hi, Node* node) {
        double top = 0.0, bottom = std::numeric_limits<double>::infinity();
        for (std::uint64_t i = lo; i < hi; ++i) {
            const double x = node[order[i]].sigma;
            top = std::max(top, x);
            bottom = std::min(bottom, x);
        }
        // low >= kStoredLow, so low * 2^1000 is exact or +inf.
        fits &= low * 0x1p1000 >= top;
        double f = 1.0;
        if (top > kRescaleAbove) {
            f = std::ldexp(1.0, kRescaledTop - std::ilogb(top));
            for (std::uint64_t i = lo; i < hi; ++i) node[order[i]].sigma *= f;
            bottom *= f;
            scaled = true;
        }
        fits &= bottom >= kStoredLow;
        factor.push_back(f);
        begin.push_back(lo);
        low = bottom;
    }

    void finish(std::uint64_t reached) {
        factor.push_back(1.0);
        begin.push_back(reached);
    }
};

template <class Id, class Sigma>
struct BfsWorkspace {
    static constexpr Id kUnseen = std::numeric_limits<Id>::max();

    // A node's shortest-path count, as a float (doubles: scaled per level),
    // beside its hop distance (kUnseen before the search reaches it): the
    // search reads and writes both on every arc, so they share a cache line.
    struct Node {
        Sigma sigma{};
        Id depth = kUnseen;
    };
    std::vector<Node> node;
    // (1 + delta) / sigma, written once the node's dependency is final; the
    // spare entry n stays zero (see accumulate_bfs).
    std::vector<Sigma> coef;
    std::vector<Id> order;  // the queue, which is also the settle order; one spare slot at the end
    // The successors of order[i] are succ[succ_end[i - 1] .. succ_end[i]),
    // in list order (succ_end[-1] read as 0): the arcs that the search found
    // to lead one level down, so the accumulation reads no other arc.
    // kSuccSlack spare slots at the end.
    static constexpr std::size_t kSuccSlack = 4;
    std::vector<Id> succ;
    std::vector<std::uint64_t> succ_end;
    LevelScale levels;  // double counts only
    std::uint64_t reached = 0;

    explicit BfsWorkspace(const Csr<Id>& g)
        : node(g.n), coef(g.n + 1), order(g.n + 1), succ(g.targets.size() + kSuccSlack), succ_end(g.n) {}

    // Whether the last search's counts are those of wide floats.
    bool fits() const { return std::is_same_v<Sigma, WideFloat> || levels.fits; }

    void reset() {
        for (std::uint64_t i = 0; i < reached; ++i) node[order[i]] = Node{};
        reached = 0;
    }
};

// Level-synchronous breadth-first search counting shortest paths from s and
// recording each node's successors. `kBranchless` takes the same stores on
// every arc of a double search instead of branching on the level of the
// node it reaches (see `same_level_share`); the results are the same bits.
// A double search stops at the first level whose counts do not fit.
template <bool kBranchless, class Id, class Sigma>
void count_paths_bfs(const Csr<Id>& g, Id s, BfsWorkspace<Id, Sigma>& ws) {
    constexpr bool kDouble = std::is_same_v<Sigma, double>;
    const Id kUnseen = BfsWorkspace<Id, Sigma>::kUnseen;
    auto* node = ws.node.data();
    Id* order = ws.order.data();
    Id* succ = ws.succ.data();
    std::uint64_t* succ_end = ws.succ_end.data();
    const std::uint64_t* offsets = g.offsets.data();
    const Id* targets = g.targets.data();
    node[s].depth = 0;
    node[s].sigma = Sigma(1.0);
    order[0] = s;
    if constexpr (kDouble) ws.levels.start();
    std::uint64_t lo = 0, hi = 1, tail = 1, n_succ = 0;
    for (Id next = 1; lo < hi; ++next) {
        if constexpr (kDouble) {
            if (lo > 0) {
                ws.levels.settle(order, lo, hi, node);
                if (!ws.levels.fits) break;
            }
        }
        for (std::uint64_t i = lo; i < hi; ++i) {
            const Id v = order[i];
            const Sigma sv = node[v].sigma;
            if constexpr (kBranchless && kDouble) {
                // Whether an arc finds a new node, a node of the next level,
                // or one already done follows no pattern that a branch
                // predictor could learn here, so every arc takes the same
                // stores. An arc to a node of the same or an earlier level
                // adds +0.0 to a positive count, which leaves its bits as
                // they are, and writes beyond the ends of the queue and the
                // successors, which the next write covers. Selections by
                // masks: the compiler turns ?: back into branches. Every
                // node seen so far is at most one level down, so exactly the
                // nodes one level down or unseen (kUnseen, the largest Id)
                // have a depth >= next.
                const std::uint64_t sv_bits = std::bit_cast<std::uint64_t>(sv);
                for (std::uint64_t k = offsets[v], end = offsets[v + 1]; k < end; ++k) {
                    const Id w = targets[k];
                    auto& x = node[w];
                    const Id dw = x.depth;
                    const Id fresh = dw == kUnseen;
                    const std::uint64_t below = dw >= next;
                    x.depth = std::min(dw, next);
                    order[tail] = w;
                    tail += fresh;
                    x.sigma += std::bit_cast<double>(sv_bits & (0 - below));
                    succ[n_succ] = w;
                    n_succ += below;
                }
            } else {
                for (std::uint64_t k = offsets[v], end = offsets[v + 1]; k < end; ++k) {
                    const Id w = targets[k];
                    auto& x = node[w];
                    Id dw = x.depth;
                    if (dw == kUnseen) {
                        x.depth = dw = next;
                        order[tail++] = w;
                    }
                    if (dw == next) {
                        x.sigma += sv;
                        succ[n_succ++] = w;
                    }
                }
            }
            succ_end[i] = n_succ;
        }
        lo = hi;
        hi = tail;
    }
    ws.reached = tail;
    if constexpr (kDouble) ws.levels.finish(tail);
}

// The share of the arcs met by a breadth-first search from node 0 that join
// two nodes of one level. Where it is large (a random geometric graph: about
// a third) the level an arc reaches follows no pattern and the branches of
// the search mispredict on most arcs; where it is small (a bipartite lattice:
// none) they follow the graph's regular shape and are cheaper than the
// stores of the branchless search. One search, O(n + arcs).
template <class Id>
double same_level_share(const Csr<Id>& g) {
    if (g.n == 0) return 0.0;
    constexpr Id kUnseen = std::numeric_limits<Id>::max();
    std::vector<Id> depth(g.n, kUnseen), queue{0};
    depth[0] = 0;
    std::uint64_t arcs = 0, level = 0;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const Id v = queue[head];
        for (const Id w : g.neighbours(v)) {
            ++arcs;
            if (depth[w] == kUnseen) {
                depth[w] = depth[v] + 1;
                queue.push_back(w);
            }
            level += depth[w] == depth[v];
        }
    }
    return arcs == 0 ? 0.0 : static_cast<double>(level) / static_cast<double>(arcs);
}

// Reverse settle order: every successor's coef is written before it is read.
// Adds scale * delta[v] to acc[v] for every reached v other than the source.
// Double counts are read level by level, each under its exponent (one sweep
// when every exponent is 0). With kRounds a node's successors are read four
// at a time, the slots past its last one reading the spare coef (+0.0): the
// number of rounds is the same for nearly every node, where a loop over 0 to
// 8 successors ends at a different point each time, and adding +0.0 to a
// sum of non-negative terms leaves its bits as they are. On small graphs the
// plain loop is faster: levels are short, so each node's sum waits on coefs
// just written, and the spare slots lengthen that chain.
template <bool kRounds, class Id, class Sigma>
void accumulate_bfs(BfsWorkspace<Id, Sigma>& ws, double scale, double* acc) {
    const auto* node = ws.node.data();
    Sigma* coef = ws.coef.data();
    const Id* succ = ws.succ.data();
    const Id* order = ws.order.data();
    const std::uint64_t* succ_end = ws.succ_end.data();
    if constexpr (std::is_same_v<Sigma, double>) {
        constexpr std::size_t kRound = BfsWorkspace<Id, Sigma>::kSuccSlack;
        const Id spare = static_cast<Id>(ws.node.size());
        // Node order[i]'s dependency, under factor f when kScaled.
        auto add_dependency = [&]<bool kScaled>(std::uint64_t i, double f) {
            const Id v = order[i];
            const std::uint64_t end = succ_end[i];
            std::uint64_t k = succ_end[i - 1];
            double sum = 0.0;
            if constexpr (kRounds) {
                // 0.0 + x is x for every x >= +0.0, so the sum starts at its
                // first term: one dependent addition less.
                sum = coef[k < end ? succ[k] : spare];
                for (std::size_t j = 1; j < kRound; ++j) {
                    const Id w = succ[k + j];
                    sum += coef[k + j < end ? w : spare];
                }
                for (k += kRound; k < end; k += kRound)
                    for (std::size_t j = 0; j < kRound; ++j) {
                        const Id w = succ[k + j];
                        sum += coef[k + j < end ? w : spare];
                    }
            } else {
                for (; k < end; ++k) sum += coef[succ[k]];
            }
            const double sv = node[v].sigma;
            double delta = sv * sum;
            if constexpr (kScaled) delta *= f;
            acc[v] += scale * delta;
            coef[v] = (1.0 + delta) / sv;
        };
        if (!ws.levels.scaled) {
            // Every factor is 1: one sweep, without a product on each node's
            // chain of dependent operations.
            for (std::uint64_t i = ws.reached; i-- > 1;) add_dependency.template operator()<false>(i, 1.0);
            return;
        }
        const std::uint64_t* begin = ws.levels.begin.data();
        for (std::size_t d = ws.levels.factor.size(); d-- > 1;) {
            const double f = ws.levels.factor[d];
            for (std::uint64_t i = begin[d + 1]; i-- > begin[d];) add_dependency.template operator()<true>(i, f);
        }
    } else {
        for (std::uint64_t i = ws.reached; i-- > 1;) {
            const Id v = order[i];
            Sigma sum{};
            for (std::uint64_t k = succ_end[i - 1], end = succ_end[i]; k < end; ++k) sum += coef[succ[k]];
            const Sigma sv = node[v].sigma;
            const double delta = to_double(sv * sum);
            acc[v] += scale * delta;
            coef[v] = Sigma(1.0 + delta) / sv;
        }
    }
}

// Min-heap of the nodes whose distance is tentative, keyed by it, with four
// children per slot and each node's slot recorded so a shorter distance
// moves the node up in place: the heap never holds more than the frontier
// and every reached node is popped exactly once. Slot i lives at items_[i +
// 3] of a block whose start is aligned to a cache line, so the four children
// 4i + 1 .. 4i + 4 of a 16-byte item fill exactly one line.
template <class Id, class Key>
class IndexedHeap {
  public:
    explicit IndexedHeap(std::uint64_t n) : storage_(n + kPad + kSlack), slot_(n) {
        const auto addr = reinterpret_cast<std::uintptr_t>(storage_.data());
        const std::size_t skip = (kLine - addr % kLine) % kLine;
        items_ = storage_.data() +
                 (skip % sizeof(Item) == 0 && skip / sizeof(Item) <= kSlack ? skip / sizeof(Item) : 0) + kPad;
    }
    IndexedHeap(const IndexedHeap&) = delete;
    IndexedHeap& operator=(const IndexedHeap&) = delete;

    bool empty() const { return size_ == 0; }

    void push(Id node, Key key) { sift_up(size_++, {key, node}); }

    // `node` is in the heap and `key` is below its current key.
    void decrease(Id node, Key key) { sift_up(slot_[node], {key, node}); }

    Id pop() {
        const Id top = items_[0].node;
        const Item last = items_[--size_];
        if (size_ > 0) sift_down(last);
        return top;
    }

  private:
    struct Item {
        Key key;
        Id node;
    };
    static constexpr std::size_t kLine = 64;
    static constexpr std::size_t kPad = 3;
    static constexpr std::size_t kSlack = kLine / 16;

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
        const std::size_t size = size_;
        std::size_t i = 0;
        for (;;) {
            const std::size_t first = 4 * i + 1;
            if (first >= size) break;
            const std::size_t stop = first + 4 < size ? first + 4 : size;
            std::size_t best = first;
            Key best_key = items_[first].key;
            for (std::size_t c = first + 1; c < stop; ++c) {
                const Key key = items_[c].key;
                best = key < best_key ? c : best;
                best_key = key < best_key ? key : best_key;
            }
            place(i, items_[best]);
            i = best;
        }
        sift_up(i, item);
    }

    std::vector<Item> storage_;  // n slots, kPad before them, kSlack to align
    Item* items_ = nullptr;      // slot 0
    std::size_t size_ = 0;
    std::vector<Id> slot_;  // valid while the node is in the heap
};

template <class Id, class Dist, class Sigma>
struct DijkstraWorkspace {
    std::vector<Dist> dist;  // best known length, unreached_distance() before the search reaches the node
    std::vector<Sigma> sigma;
    std::vector<Sigma> coef;  // as in BfsWorkspace
    std::vector<Id> pred;     // the node behind the latest shorter distance
    std::vector<std::uint8_t> settled;
    std::vector<Id> order;  // settle order
    // Arcs of order[i] that shortened or tied a distance when order[i]
    // settled: candidates[candidates_end[i - 1] .. candidates_end[i]). Every
    // successor arc is among them; the accumulation tests only these.
    std::vector<std::uint64_t> candidates;
    std::vector<std::uint64_t> candidates_end;
    IndexedHeap<Id, Dist> heap;
    std::uint64_t reached = 0;
    double peak_sigma = 0.0;  // largest count of the last double search

    explicit DijkstraWorkspace(const Csr<Id>& g)
        : dist(g.n, unreached_distance<Dist>()),
          sigma(g.n),
          coef(g.n),
          pred(g.n),
          settled(g.n, 0),
          order(g.n),
          candidates(g.targets.size()),
          candidates_end(g.n),
          heap(g.n) {}

    // Whether the last search's counts are those of wide floats.
    bool fits() const { return peak_sigma <= kSigmaLimit; }

    void reset() {
        for (std::uint64_t i = 0; i < reached; ++i) {
            const Id v = order[i];
            dist[v] = unreached_distance<Dist>();
            sigma[v] = Sigma();
            settled[v] = 0;
        }
        reached = 0;
    }
};

// Dijkstra counting shortest paths from s. A strictly shorter tentative
// distance restarts the count and records the relaxing node; an exactly
// equal one adds the relaxing node's (final) count. The recorded node's
// count is added when the node is settled.
template <class Id, class Dist, class Sigma>
void count_paths_dijkstra(const Csr<Id>& g, Id s, DijkstraWorkspace<Id, Dist, Sigma>& ws) {
    const Dist kUnreached = unreached_distance<Dist>();
    Dist* dist = ws.dist.data();
    Sigma* sigma = ws.sigma.data();
    Id* pred = ws.pred.data();
    std::uint8_t* settled = ws.settled.data();
    IndexedHeap<Id, Dist>& heap = ws.heap;
    // Plain pointers: the stores below could alias the vectors' own fields,
    // which would make the compiler reload them on every arc.
    const Id* targets = g.targets.data();
    const double* weights = g.weights.data();
    const std::uint64_t* offsets = g.offsets.data();
    Id* order = ws.order.data();
    dist[s] = Dist(0.0);
    sigma[s] = Sigma(1.0);
    heap.push(s, Dist(0.0));
    double peak = 1.0;
    std::uint64_t reached = 0, n_candidates = 0;
    std::uint64_t* candidates = ws.candidates.data();
    while (!heap.empty()) {
        const Id v = heap.pop();
        if (v != s) sigma[v] += sigma[pred[v]];
        settled[v] = 1;
        order[reached++] = v;
        const Dist d = dist[v];
        const Sigma sv = sigma[v];
        if constexpr (std::is_same_v<Sigma, double>) peak = std::max(peak, sv);
        for (std::uint64_t k = offsets[v], end = offsets[v + 1]; k < end; ++k) {
            // A settled w has dist[w] <= d <= nd, so only the tie test needs
            // the flag (a weight absorbed by d can make nd == d).
            const Id w = targets[k];
            const Dist nd = Dist(weights[k]) + d;
            const Dist dw = dist[w];
            if (dw > nd) {
                dist[w] = nd;
                sigma[w] = Sigma();
                pred[w] = v;
                if (dw == kUnreached) {
                    heap.push(w, nd);
                } else {
                    heap.decrease(w, nd);
                }
                candidates[n_candidates++] = k;
            } else if (dw == nd && dw != kUnreached && !settled[w]) {
                // A length past the double range never ties: w stays
                // unreached through this arc, and nothing of w is touched
                // that the reset would not undo.
                sigma[w] += sv;
                candidates[n_candidates++] = k;
            }
        }
        ws.candidates_end[reached - 1] = n_candidates;
    }
    ws.reached = reached;
    ws.peak_sigma = peak;
}

// Reverse settle order. A candidate arc v -> w led to a node settled after
// v in this search (so coef[w] is already this search's); it is a successor
// arc when its distance still holds exactly.
template <class Id, class Dist, class Sigma>
void accumulate_dijkstra(const Csr<Id>& g, DijkstraWorkspace<Id, Dist, Sigma>& ws, double* acc) {
    const Dist* dist = ws.dist.data();
    const Sigma* sigma = ws.sigma.data();
    Sigma* coef = ws.coef.data();
    for (std::uint64_t i = ws.reached; i-- > 1;) {
        const Id v = ws.order[i];
        const Dist dv = dist[v];
        Sigma sum{};
        for (std::uint64_t c = ws.candidates_end[i - 1], end = ws.candidates_end[i]; c < end; ++c) {
            const std::uint64_t k = ws.candidates[c];
            const Id w = g.targets[k];
            if (Dist(g.weights[k]) + dv == dist[w]) sum += coef[w];
        }
        const double delta = to_double(sigma[v] * sum);
        acc[v] += delta;
        coef[v] = Sigma(1.0 + delta) / sigma[v];
    }
}

}  // namespace knotwell::centrality
