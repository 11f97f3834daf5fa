#include "centrality/betweenness.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include "centrality/brandes.hpp"
#include "graph/weight_scale.hpp"
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
// +0.0 and x + 0.0 == x, so both forms fold to the same bits. A small sweep
// (run on the calling thread, folded as soon as made) leaves the sum in the
// worker's accumulator and lends the worker instead, so no piece allocates;
// the fold adds it in, clears it and shelves the worker again.
template <class Worker>
struct PieceSum {
    bool dense = false;
    std::vector<double> values;  // n entries when dense, else parallel to `nodes`
    std::vector<std::uint64_t> nodes;
    std::unique_ptr<Worker> lent;
};

// A worker's running sum over one piece: an n-vector that is zero outside
// the nodes listed as touched, so a piece whose searches stay small (many
// small components) hands over and clears only those. The list is dropped
// once it passes 1/kDenseShare of n. Up to kAlwaysDense nodes no list is
// kept: adding a whole vector that short costs less than listing what each
// search reached.
class PieceAccumulator {
  public:
    explicit PieceAccumulator(std::uint64_t n)
        : values_(n, 0.0), seen_(n <= kAlwaysDense ? 0 : n, 0), always_dense_(n <= kAlwaysDense) {
        dense_ = always_dense_;
    }

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

    // Adds the piece's sum into `total` (n entries, one addition per entry,
    // as a handed-over sum would be folded) and starts the next piece from
    // zero.
    void fold_into(std::vector<double>& total) {
        double* sum = total.data();
        double* values = values_.data();
        if (dense_) {
            for (std::size_t i = 0; i < values_.size(); ++i) {
                sum[i] = sum[i] + values[i];
                values[i] = 0.0;
            }
            dense_ = always_dense_;
            return;
        }
        for (std::uint64_t v : touched_) {
            sum[v] = sum[v] + values[v];
            values[v] = 0.0;
            seen_[v] = 0;
        }
        touched_.clear();
    }

    // Hands over the piece's sum and starts the next piece from zero.
    template <class Sum>
    Sum finish() {
        Sum sum;
        sum.dense = dense_;
        if (dense_) {
            const std::size_t n = values_.size();
            sum.values = std::move(values_);
            values_.assign(n, 0.0);
            dense_ = always_dense_;
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
    static constexpr std::uint64_t kAlwaysDense = 128;

    std::vector<double> values_;
    std::vector<std::uint8_t> seen_;
    std::vector<std::uint64_t> touched_;
    bool always_dense_;
    bool dense_;
};

// A worker's state for one call: the double workspace, the wide one made
// the first time a source's counts come near the double range, and the
// running sum of the piece at hand.
template <class Fast, class Wide, class Graph>
struct SourceWorker {
    Fast ws;
    std::unique_ptr<Wide> wide;
    PieceAccumulator acc;

    explicit SourceWorker(const Graph& g) : ws(g), acc(g.n) {}

    // Searches one source with `search(workspace)` in doubles, and again in
    // wide floats when its counts passed kSigmaLimit; then runs
    // `accumulate(workspace)` on the search that held, notes the nodes it
    // reached and resets it. Returns the number of nodes reached.
    template <class Search, class Accumulate>
    std::uint64_t run(const Graph& g, Search&& search, Accumulate&& accumulate) {
        search(ws);
        if (ws.peak_sigma <= kSigmaLimit) return finish(ws, accumulate);
        ws.reset();
        if (!wide) wide = std::make_unique<Wide>(g);
        search(*wide);
        return finish(*wide, accumulate);
    }

  private:
    template <class Workspace, class Accumulate>
    std::uint64_t finish(Workspace& w, Accumulate& accumulate) {
        accumulate(w);
        const std::uint64_t reached = w.reached;
        acc.note(w.order, reached);
        w.reset();
        return reached;
    }
};

// Sums over all sources s of g what `run_source(worker, s)` adds to the
// worker's accumulator.
template <class Worker, class Graph, class RunSource>
std::vector<double> sweep_sources(const Graph& g, RunSource&& run_source) {
    using Sum = PieceSum<Worker>;
    const std::uint64_t work = parallel::work_product(g.n, g.n + g.targets.size());
    // Below the inline bound every piece is folded right after it is made,
    // so lending holds one worker; above it pending pieces would each hold
    // one, so they hand over their sums.
    const bool lend = work < parallel::kInlineWork;
    WorkerShelf<Worker, Graph> shelf(g);
    Sum zero;
    zero.dense = true;
    zero.values.assign(g.n, 0.0);
    Sum total = parallel::sum_sweep(
        g.n, std::move(zero),
        [&](std::size_t begin, std::size_t end) {
            std::unique_ptr<Worker> worker = shelf.take();
            for (std::size_t s = begin; s < end; ++s) {
                // Interrupted or failed elsewhere: the sweep discards every
                // piece, so stop after the current source, not the piece.
                if (parallel::stop_requested()) break;
                run_source(*worker, s);
            }
            if (lend) {
                Sum sum;
                sum.lent = std::move(worker);
                return sum;
            }
            Sum sum = worker->acc.template finish<Sum>();
            shelf.give(std::move(worker));
            return sum;
        },
        [&](Sum& total, Sum&& piece) {
            std::vector<double>& sum = total.values;
            if (piece.lent) {
                piece.lent->acc.fold_into(sum);
                shelf.give(std::move(piece.lent));
            } else if (piece.dense) {
                for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = sum[i] + piece.values[i];
            } else {
                for (std::size_t j = 0; j < piece.nodes.size(); ++j) {
                    double& t = sum[piece.nodes[j]];
                    t = t + piece.values[j];
                }
            }
        },
        work);
    return std::move(total.values);
}

// Per node: how many leaves fold into it, or kFolded for a leaf whose search
// is skipped.
template <class Id>
std::vector<Id> fold_leaves(const Csr<Id>& g) {
    constexpr Id kFolded = std::numeric_limits<Id>::max();
    std::vector<Id> leaves(g.n, 0);
    for (std::uint64_t u = 0; u < g.n; ++u) {
        if (g.degree(u) != 1) continue;
        const Id p = g.targets[g.offsets[u]];
        if (g.degree(p) < 2) continue;
        leaves[u] = kFolded;
        ++leaves[p];
    }
    return leaves;
}

template <class Id>
std::vector<double> unweighted_sum(const Csr<Id>& g, bool directed) {
    using Graph = Csr<Id>;
    using Worker = SourceWorker<BfsWorkspace<Id, double>, BfsWorkspace<Id, WideFloat>, Graph>;
    constexpr Id kFolded = std::numeric_limits<Id>::max();
    const std::vector<Id> leaves = directed ? std::vector<Id>(g.n, 0) : fold_leaves(g);
    return sweep_sources<Worker>(g, [&](Worker& worker, std::uint64_t s) {
        const Id folded = leaves[s];
        if (folded == kFolded || g.degree(s) == 0) return;
        double* acc = worker.acc.data();
        const double scale = 1.0 + static_cast<double>(folded);
        const std::uint64_t reached = worker.run(
            g, [&](auto& ws) { count_paths_bfs(g, static_cast<Id>(s), ws); },
            [&](auto& ws) { accumulate_bfs(ws, scale, acc); });
        if (folded > 0) acc[s] += static_cast<double>(folded) * static_cast<double>(reached - 2);
    });
}

template <class Id, class Dist>
std::vector<double> weighted_sum(const Csr<Id>& g) {
    using Graph = Csr<Id>;
    using Worker = SourceWorker<DijkstraWorkspace<Id, Dist, double>, DijkstraWorkspace<Id, Dist, WideFloat>, Graph>;
    return sweep_sources<Worker>(g, [&](Worker& worker, std::uint64_t s) {
        if (g.degree(s) == 0) return;
        double* acc = worker.acc.data();
        worker.run(
            g, [&](auto& ws) { count_paths_dijkstra(g, static_cast<Id>(s), ws); },
            [&](auto& ws) { accumulate_dijkstra(g, ws, acc); });
    });
}

// Betweenness does not change when every length is multiplied by one
// positive constant, and multiplying by a power of two is exact while the
// product stays normal (ties stay ties, sums round alike). A shortest path
// has at most min(n - 1, arcs) edges, so its computed length stays below
// 2^1023 when that count times the largest weight is below 2^1022 (the
// rounding of up to 2^50 additions adds less than a factor 2^(1/8)). When
// it is not, the weights are scaled down by 2^-k to get there; if that
// would round a weight (one below 2^(k - 1022)), they are kept and the
// searches carry wide lengths instead. Returns whether lengths must be wide.
// Weights whose paths cannot leave the double range are left untouched.
template <class Id>
bool fit_lengths(Csr<Id>& g) {
    const double largest = *std::max_element(g.weights.begin(), g.weights.end());
    const std::uint64_t path_edges = std::min<std::uint64_t>(g.n - 1, g.targets.size());
    const int k = path_length_exponent(largest, path_edges);
    if (k <= 0) return false;
    if (!scales_exactly(g.weights, -k)) return true;
    scale_weights(g.weights, -k, g.weights);
    return false;
}

template <class Id>
std::vector<double> dependency_sum(std::uint64_t n, OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                   bool directed) {
    CsrOptions options;
    options.undirected = !directed;
    options.drop_self_loops = true;
    options.merge = Merge::Smallest;
    options.weighted = weights.has_value();
    Csr<Id> g = build_csr<Id>(std::move(edges), options, weights.value_or(std::span<const double>{}));
    if (!weights) return unweighted_sum(g, directed);
    if (g.weights.empty()) return std::vector<double>(n, 0.0);  // only self-loops
    return fit_lengths(g) ? weighted_sum<Id, WideFloat>(g) : weighted_sum<Id, double>(g);
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

Result<std::vector<double>> betweenness(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                        bool directed, bool normalized) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    if (weights) {
        if (auto err = check_weights(*weights, edges.size(), WeightMode::Distance)) return *err;
    }
    if (n == 0) return std::vector<double>{};
    // Ids are below n, so the largest Id stays free as the unseen-depth marker.
    std::vector<double> values =
        with_id_type(n, [&]<class Id>() { return dependency_sum<Id>(n, std::move(edges), weights, directed); });
    scale(values, n, directed, normalized);
    return values;
}

}  // namespace knotwell::centrality
