#include "centrality/betweenness.hpp"

#include <limits>
#include <memory>
#include <mutex>

#include "centrality/brandes.hpp"
#include "parallel/parallel.hpp"

namespace knotwell::centrality {
namespace {

// Workspaces of one call, handed to pieces as they start and returned when
// they end, so there are about as many as pieces running at once.
template <class Workspace, class Graph>
class WorkspaceShelf {
  public:
    explicit WorkspaceShelf(const Graph& g) : g_(g) {}

    std::unique_ptr<Workspace> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<Workspace> ws = std::move(free_.back());
                free_.pop_back();
                return ws;
            }
        }
        return std::make_unique<Workspace>(g_);
    }

    void give(std::unique_ptr<Workspace> ws) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(ws));
    }

  private:
    const Graph& g_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> free_;
};

// Sums `run_source(workspace, s, acc)` over all sources s of g.
template <class Workspace, class Graph, class RunSource>
std::vector<double> sweep_sources(const Graph& g, RunSource&& run_source) {
    const std::uint64_t n = g.n;
    WorkspaceShelf<Workspace, Graph> shelf(g);
    return parallel::sum_sweep(
        n, std::vector<double>(n, 0.0),
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> acc(n, 0.0);
            std::unique_ptr<Workspace> ws = shelf.take();
            for (std::size_t s = begin; s < end; ++s) run_source(*ws, s, acc.data());
            shelf.give(std::move(ws));
            return acc;
        },
        [](std::vector<double>& total, std::vector<double>&& piece) {
            for (std::size_t i = 0; i < total.size(); ++i) total[i] = total[i] + piece[i];
        });
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
        if (folded == kFolded || g.degree(s) == 0) return;
        count_paths_bfs(g, static_cast<Id>(s), ws);
        accumulate_bfs(ws, 1.0 + static_cast<double>(folded), acc);
        if (folded > 0) acc[s] += static_cast<double>(folded) * static_cast<double>(ws.reached - 2);
        ws.reset();
    });
}

template <class Id>
std::vector<double> weighted_sum(const NeighbourLists<Id>& g) {
    return sweep_sources<DijkstraWorkspace<Id>>(g, [&](DijkstraWorkspace<Id>& ws, std::uint64_t s, double* acc) {
        if (g.degree(s) == 0) return;
        count_paths_dijkstra(g, static_cast<Id>(s), ws);
        accumulate_dijkstra(g, ws, acc);
        ws.reset();
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
