#include "paths/bfs.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace knotwell::paths {
namespace {

// Switching thresholds of GAPBS: go bottom-up once the frontier's edges
// exceed 1/kAlpha of the unexplored edges, back top-down once the frontier
// shrinks below n/kBeta nodes. A bottom-up step scans all n nodes, so it is
// also required that the frontier's edges reach n/kBeta: near the end of a
// search on a high-diameter graph the unexplored edges dwindle while the
// frontier stays small, and GAPBS's rule alone would scan the whole graph
// for each of those last levels.
constexpr std::int64_t kAlpha = 15;
constexpr std::uint64_t kBeta = 18;
constexpr std::size_t kPrefetchAhead = 4;

inline bool test_bit(const std::uint64_t* bits, std::uint64_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }
inline void set_bit(std::uint64_t* bits, std::uint64_t i) { bits[i >> 6] |= std::uint64_t{1} << (i & 63); }

// Expands queue[head, tail) (the nodes at distance d) and appends the nodes
// it discovers; returns the sum of their degrees. `seen` (a byte a node)
// marks every node with a distance: it stays in the L1 cache where the
// distances, eight times larger, would not, and its test is one compare.
template <class Id>
std::uint64_t top_down_step(const Csr<Id>& g, std::uint64_t* dist, std::uint8_t* seen, Id* queue, std::size_t head,
                            std::size_t& tail, std::uint64_t d) {
    const std::uint64_t* off = g.offsets.data();
    const Id* targets = g.targets.data();
    std::uint64_t scout = 0;
    // Locals, not re-read after each store: `seen` is a byte array, which
    // may alias anything as far as the compiler knows.
    const std::size_t end = tail;
    std::size_t next = tail;
    for (std::size_t i = head; i < end; ++i) {
        const std::uint64_t u = queue[i];
        // The frontier of a high-diameter graph is spread thinly over the
        // lists, a cache miss each; start the one a few nodes ahead (entries
        // past `end` are already the next level's).
        if (i + kPrefetchAhead < next) __builtin_prefetch(targets + off[queue[i + kPrefetchAhead]]);
        const std::uint64_t last = off[u + 1];
        for (std::uint64_t k = off[u]; k < last; ++k) {
            const Id v = targets[k];
            if (!seen[v]) {
                seen[v] = 1;
                dist[v] = d + 1;
                queue[next++] = v;
                scout += off[v + 1] - off[v];
            }
        }
    }
    tail = next;
    return scout;
}

// Every unvisited node looks for a neighbour in `front` (distance d); the
// first one found makes it a node of distance d + 1 in `next`. Returns the
// number of nodes found. Undirected graphs only: a node's list stands for
// its in-neighbours.
template <class Id>
std::uint64_t bottom_up_step(const Csr<Id>& g, std::uint64_t* dist, std::uint8_t* seen, const std::uint64_t* front,
                             std::uint64_t* next, std::uint64_t d) {
    const std::uint64_t n = g.n;
    const std::uint64_t* off = g.offsets.data();
    const Id* targets = g.targets.data();
    std::fill_n(next, (n + 63) / 64, 0);
    std::uint64_t awake = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        if (seen[v]) continue;
        const std::uint64_t last = off[v + 1];
        for (std::uint64_t k = off[v]; k < last; ++k) {
            if (test_bit(front, targets[k])) {
                seen[v] = 1;
                dist[v] = d + 1;
                set_bit(next, v);
                ++awake;
                break;
            }
        }
    }
    return awake;
}

template <class Id>
std::size_t bitmap_to_queue(const std::uint64_t* bits, std::uint64_t n, Id* queue) {
    std::size_t tail = 0;
    for (std::uint64_t w = 0; w < (n + 63) / 64; ++w)
        for (std::uint64_t word = bits[w]; word != 0; word &= word - 1)
            queue[tail++] = static_cast<Id>(w * 64 + static_cast<unsigned>(std::countr_zero(word)));
    return tail;
}

}  // namespace

void bfs_distances(const Adjacency& adj, NodeId source, std::span<std::uint64_t> dist) {
    std::vector<NodeId> queue;
    queue.reserve(1);
    std::size_t head = 0;
    dist[source] = 0;
    queue.push_back(source);
    while (head < queue.size()) {
        const NodeId u = queue[head++];
        for (NodeId v : adj.neighbours(u)) {
            if (dist[v] == kUnreachable) {
                dist[v] = dist[u] + 1;
                queue.push_back(v);
            }
        }
    }
}

template <class Id>
void search_distances(const Csr<Id>& g, bool undirected, std::uint64_t source, std::span<std::uint64_t> dist,
                      DistanceWorkspace<Id>& ws) {
    const std::uint64_t words = (g.n + 63) / 64;
    if (ws.queue.size() < g.n) ws.queue.resize(g.n);
    ws.seen.assign(g.n, 0);
    if (undirected && ws.front.size() < words) {
        ws.front.resize(words);
        ws.next.resize(words);
    }
    Id* queue = ws.queue.data();
    std::uint64_t* d = dist.data();

    std::uint8_t* seen = ws.seen.data();

    d[source] = 0;
    seen[source] = 1;
    queue[0] = static_cast<Id>(source);
    std::size_t head = 0, tail = 1;
    std::uint64_t level = 0;
    std::int64_t edges_to_check = static_cast<std::int64_t>(g.arcs());
    std::uint64_t scout = g.degree(source);
    while (head < tail) {
        if (undirected && static_cast<std::int64_t>(scout) > edges_to_check / kAlpha && scout > g.n / kBeta) {
            std::uint64_t* front = ws.front.data();
            std::uint64_t* next = ws.next.data();
            std::fill_n(front, words, 0);
            for (std::size_t i = head; i < tail; ++i) set_bit(front, queue[i]);
            std::uint64_t awake = tail - head, old_awake;
            do {
                old_awake = awake;
                awake = bottom_up_step(g, d, seen, front, next, level);
                std::swap(front, next);
                ++level;
            } while (awake >= old_awake || awake > g.n / kBeta);
            head = 0;
            tail = bitmap_to_queue(front, g.n, queue);
            scout = 1;
        } else {
            edges_to_check -= static_cast<std::int64_t>(scout);
            const std::size_t level_end = tail;
            scout = top_down_step(g, d, seen, queue, head, tail, level);
            head = level_end;
            ++level;
        }
    }
}

template void search_distances(const Csr<std::uint32_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                               DistanceWorkspace<std::uint32_t>&);
template void search_distances(const Csr<std::uint64_t>&, bool, std::uint64_t, std::span<std::uint64_t>,
                               DistanceWorkspace<std::uint64_t>&);

}  // namespace knotwell::paths
