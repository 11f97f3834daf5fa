#include "centrality/betweenness.hpp"

#include <limits>
#include <memory>
#include <mutex>

#include "centrality/brandes.hpp"
#include "parallel/parallel.hpp"

namespace knotwell::centrality {
namespace {

// Per-worker state of one call, handed to pieces as they start and returned
// when they end, so there are about as many as pieces running at once.
template <class Worker, class Graph>
class WorkerShelf {
  public:
    explicit WorkerShelf(const Graph& g) : g_(g) {}

    std::unique_ptr<Worker> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<Worker> worker = std::move(free_.back());
                free_.pop_back();
                return worker;
            }
        }
        return std::make_unique<Worker>(g_);
    }

    void give(std::unique_ptr<Worker> worker) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(worker));
    }

  private:
    const Graph& g_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> free_;
};

// What one piece of sources adds to the total: the whole vector, or only the
// entries its searches reached when those are few. Entries left out are
// +0.0 and x + 0.0 == x, so both forms fold to the same bits.
struct PieceSum {
    bool dense = false;
    std::vector<double> values;  // n entries when dense, else parallel to `nodes`
    std::vector<std::uint64_t> nodes;
};

// `total` is dense.
void fold_piece(PieceSum& total, PieceSum&& piece) {
    std::vector<double>& sum = total.values;
    if (piece.dense) {
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = sum[i] + piece.values[i];
        return;
    }
    for (std::size_t j = 0; j < piece.nodes.size(); ++j) {
        double& t = sum[piece.nodes[j]];
        t = t + piece.values[j];
    }
}

// A worker's running sum over one piece: an n-vector that is zero outside
// the nodes listed as touched, so a piece whose searches stay small (many
// small components) hands over and clears only those. The list is dropped
// once it passes 1/kDenseShare of n.
class PieceAccumulator {
  public:
    explicit PieceAccumulator(std::uint64_t n) : values_(n, 0.0), seen_(n, 0) {}

    double* data() { return values_.data(); }

    // Notes the nodes one search reached, the only entries it added to.
    template <class Id>
    void note(const std::vector<Id>& order, std::uint64_t reached) {
        if (dense_) return;
        for (std::uint64_t i = 0; i < reached; ++i) {
            const Id v = order[i];
            if (seen_[v]) continue;
            seen_[v] = 1;
            touched_.push_back(v);
        }
        if (touched_.size() > values_.size() / kDenseShare) {
            for (std::uint64_t v : touched_) seen_[v] = 0;
            touched_.clear();
            dense_ = true;
        }
    }

    // Hands over the piece's sum and starts the next piece from zero.
    PieceSum finish() {
        PieceSum sum;
        sum.dense = dense_;
        if (dense_) {
            const std::size_t n = values_.size();
            sum.values = std::move(values_);
            values_.assign(n, 0.0);
            dense_ = false;
            return sum;
        }
        sum.values.reserve(touched_.size());
        for (std::uint64_t v : touched_) {
            sum.values.push_back(values_[v]);
            values_[v] = 0.0;
            seen_[v] = 0;
        }
        sum.nodes = std::move(touched_);
        touched_.clear();
        return sum;
    }

  private:
    static constexpr std::size_t kDenseShare = 16;

    std::vector<double> values_;
    std::vector<std::uint8_t> seen_;
    std::vector<std::uint64_t> touched_;
    bool dense_ = false;
};

// Sums over all sources s of g what `run_source(workspace, s, acc)` adds to
// acc; it returns whether it searched (and so left the workspace to reset).
template <class Workspace, class Graph, class RunSource>
std::vector<double> sweep_sources(const Graph& g, RunSource&& run_source) {
    struct Worker {
        Workspace ws;
        PieceAccumulator acc;
        explicit Worker(const Graph& graph) : ws(graph), acc(graph.n) {}
    };
    WorkerShelf<Worker, Graph> shelf(g);
    PieceSum zero{true, std::vector<double>(g.n, 0.0), {}};
    PieceSum total = parallel::sum_sweep(
        g.n, std::move(zero),
        [&](std::size_t begin, std::size_t end) {
            std::unique_ptr<Worker> worker = shelf.take();
            for (std::size_t s = begin; s < end; ++s) {
                // Interrupted or failed elsewhere: the sweep discards every
                // piece, so stop after the current source, not the piece.
                if (parallel::stop_requested()) break;
                if (!run_source(worker->ws, s, worker->acc.data())) continue;
                worker->acc.note(worker->ws.order, worker->ws.reached);
                worker->ws.reset();
            }
            PieceSum sum = worker->acc.finish();
            shelf.give(std::move(worker));
            return sum;
        },
        fold_piece, parallel::work_product(g.n, g.n + g.targets.size()));
    return std::move(total.values);
}

// Per node: how many leaves fold into it, or kFolded for a leaf whose search
// is skipped.
template <class Id>
std::vector<Id> fold_leaves(const NeighbourLists<Id>& g) {
    constexpr Id kFolded = std::numeric_limits<Id>::max();
    std::vector<Id> leaves(g.n, 0);
    for (std::uint64_t u = 0; u < g.n; ++u) {
        if (g.degree(u) != 1) continue;
        const Id p = g.targets[g.begin(u)];
        if (g.degree(p) < 2) continue;
        leaves[u] = kFolded;
        ++leaves[p];
    }
    return leaves;
}

template <class Id>
std::vector<double> unweighted_sum(const NeighbourLists<Id>& g, bool directed) {
    constexpr Id kFolded = std::numeric_limits<Id>::max();
    const std::vector<Id> leaves = directed ? std::vector<Id>(g.n, 0) : fold_leaves(g);
    return sweep_sources<BfsWorkspace<Id>>(g, [&](BfsWorkspace<Id>& ws, std::uint64_t s, double* acc) {
        const Id folded = leaves[s];
        if (folded == kFolded || g.degree(s) == 0) return false;
        count_paths_bfs(g, static_cast<Id>(s), ws);
        accumulate_bfs(ws, 1.0 + static_cast<double>(folded), acc);
        if (folded > 0) acc[s] += static_cast<double>(folded) * static_cast<double>(ws.reached - 2);
        return true;
    });
}

template <class Id>
std::vector<double> weighted_sum(const NeighbourLists<Id>& g) {
    return sweep_sources<DijkstraWorkspace<Id>>(g, [&](DijkstraWorkspace<Id>& ws, std::uint64_t s, double* acc) {
        if (g.degree(s) == 0) return false;
        count_paths_dijkstra(g, static_cast<Id>(s), ws);
        accumulate_dijkstra(g, ws, acc);
        return true;
    });
}

template <class Id>
std::vector<double> dependency_sum(std::uint64_t n, std::span<const Edge> edges,
                                   std::optional<std::span<const double>> weights, bool directed) {
    const NeighbourLists<Id> g = build_neighbour_lists<Id>(n, edges, weights, directed);
    return weights ? weighted_sum(g) : unweighted_sum(g, directed);
}

void scale(std::vector<double>& values, std::uint64_t n, bool directed, bool normalized) {
    double factor = 1.0;
    if (normalized) {
        if (n < 3) return;
        factor = 1.0 / (static_cast<double>(n - 1) * static_cast<double>(n - 2));
    } else if (!directed) {
        factor = 0.5;
    } else {
        return;
    }
    for (double& x : values) x *= factor;
}

}  // namespace

Result<std::vector<double>> betweenness(std::uint64_t n, std::span<const Edge> edges,
                                        std::optional<std::span<const double>> weights, bool directed,
                                        bool normalized) {
    if (auto err = check_edge_range(n, edges)) return *err;
    if (weights) {
        if (auto err = check_weights(*weights, edges.size(), WeightMode::Distance)) return *err;
    }
    if (n == 0) return std::vector<double>{};
    // 32-bit ids leave UINT32_MAX free as the unseen-depth marker.
    std::vector<double> values = n <= std::numeric_limits<std::uint32_t>::max()
                                     ? dependency_sum<std::uint32_t>(n, edges, weights, directed)
                                     : dependency_sum<std::uint64_t>(n, edges, weights, directed);
    scale(values, n, directed, normalized);
    return values;
}

}  // namespace knotwell::centrality
