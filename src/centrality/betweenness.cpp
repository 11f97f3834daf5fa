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

    // Adds the piece's sum into `sum` (n entries, one addition per entry,
    // as a handed-over sum would be folded) and starts the next piece from
    // zero.
    void fold_into(double* sum) {
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
    // Off when the caller reads each search's reach itself (the sampled
    // sweep) and the accumulator is only scratch.
    bool note_reach = true;

    explicit SourceWorker(const Graph& g) : ws(g), acc(g.n) {}

    // Searches one source with `search(workspace)` in doubles, and again in
    // wide floats when the doubles could not keep their bits; then runs
    // `accumulate(workspace)` on the search that held, notes the nodes it
    // reached and resets it. Returns the number of nodes reached.
    template <class Search, class Accumulate>
    std::uint64_t run(const Graph& g, Search&& search, Accumulate&& accumulate) {
        search(ws);
        if (ws.fits()) return finish(ws, accumulate);
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
        if (note_reach) acc.note(w.order, reached);
        w.reset();
        return reached;
    }
};

// One piece of the exact sweep, the only place its sources are visited:
// adds to the worker's accumulator what `run_source(worker, s)` adds for s
// in [begin, end), in ascending order. Both the whole sweep and the piece
// rows handed out one by one go through it, so their bits agree.
template <class Worker, class RunSource>
void sum_piece(Worker& worker, std::size_t begin, std::size_t end, RunSource& run_source) {
    parallel::InterruptPoll poll;  // on the calling thread, a piece can take minutes
    for (std::size_t s = begin; s < end; ++s) {
        // Interrupted or failed elsewhere: the sweep discards every
        // piece, so stop after the current source, not the piece.
        if (parallel::stop_requested()) break;
        poll.tick(run_source(worker, s) + 1);
    }
}

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
            sum_piece(*worker, begin, end, run_source);
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
                piece.lent->acc.fold_into(sum.data());
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

// Graphs of more nodes than this are renumbered for the searches: below it a
// worker's arrays stay in the per-core cache whatever the ids.
constexpr std::uint64_t kRenumberNodes = std::uint64_t{1} << 12;

// The searches' names for the caller's nodes. A search touches a node's
// entries in half a dozen n-vectors for every arc it crosses, so ids in no
// particular order (those of a random geometric graph follow the draw, not
// the place) miss the cache on nearly every arc; in breadth-first order the
// neighbours of a node sit a frontier's width away from it. `old_of` is
// empty when the caller's ids are kept.
template <class Id>
struct Numbering {
    std::vector<Id> old_of;  // old_of[search id] = caller's id
    std::vector<Id> new_of;  // new_of[caller's id] = search id

    bool kept() const { return old_of.empty(); }
    Id search_id(std::uint64_t v) const { return kept() ? static_cast<Id>(v) : new_of[v]; }

    // values[v] for the caller's v from values indexed by search id.
    void to_caller(double* values, std::vector<double>& scratch) const {
        if (kept()) return;
        scratch.assign(values, values + old_of.size());
        for (std::size_t i = 0; i < old_of.size(); ++i) values[old_of[i]] = scratch[i];
    }
};

// Breadth-first order over the arcs, each unplaced node in ascending id
// order starting a new search; O(n + arcs).
template <class Id>
Numbering<Id> breadth_first_numbering(const Csr<Id>& g) {
    Numbering<Id> num;
    const std::uint64_t n = g.n;
    num.old_of.reserve(n);
    num.new_of.assign(n, std::numeric_limits<Id>::max());
    constexpr Id kUnplaced = std::numeric_limits<Id>::max();
    for (std::uint64_t seed = 0; seed < n; ++seed) {
        if (num.new_of[seed] != kUnplaced) continue;
        num.new_of[seed] = static_cast<Id>(num.old_of.size());
        num.old_of.push_back(static_cast<Id>(seed));
        for (std::size_t head = num.old_of.size() - 1; head < num.old_of.size(); ++head) {
            for (const Id v : g.neighbours(num.old_of[head])) {
                if (num.new_of[v] != kUnplaced) continue;
                num.new_of[v] = static_cast<Id>(num.old_of.size());
                num.old_of.push_back(v);
            }
        }
    }
    return num;
}

// g under the search ids. Each list keeps its entries in their order (the
// caller's ids ascending), so every search meets the arcs, and adds the
// counts and dependencies, in the order it would under the caller's ids:
// the bits of every sum are the same.
template <class Id>
Csr<Id> renumbered(const Csr<Id>& g, const Numbering<Id>& num) {
    Csr<Id> r;
    r.n = g.n;
    r.offsets.resize(g.n + 1);
    r.targets.resize(g.targets.size());
    r.weights.resize(g.weights.size());
    const bool weighted = !g.weights.empty();
    std::uint64_t at = 0;
    r.offsets[0] = 0;
    for (std::uint64_t u = 0; u < g.n; ++u) {
        const std::uint64_t old = num.old_of[u];
        for (std::uint64_t k = g.offsets[old], end = g.offsets[old + 1]; k < end; ++k, ++at) {
            r.targets[at] = num.new_of[g.targets[k]];
            if (weighted) r.weights[at] = g.weights[k];
        }
        r.offsets[u + 1] = at;
    }
    return r;
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
using BfsWorker = SourceWorker<BfsWorkspace<Id, double>, BfsWorkspace<Id, WideFloat>, Csr<Id>>;
template <class Id, class Dist>
using DijkstraWorker =
    SourceWorker<DijkstraWorkspace<Id, Dist, double>, DijkstraWorkspace<Id, Dist, WideFloat>, Csr<Id>>;

// The searches of one graph. `exact(worker, s)` adds what source s brings
// to the exact sweep's sum (leaves folded, see the header) to the worker's
// accumulator; `single(worker, s, after)` adds source s's own dependencies
// and calls `after(workspace)` while its reach (order[0, reached)) is still
// readable. Both return the nodes reached, the work the interrupt poll
// counts.
template <class Id>
struct BfsSweep {
    using Worker = BfsWorker<Id>;
    const Csr<Id>& g;  // under the search ids
    const Numbering<Id>& num;
    std::vector<Id> leaves;   // as fold_leaves gives it, or all zero; empty when only `single` runs
    bool branchless = false;  // which search counts the paths (same bits either way)
    bool rounds = false;      // which loop sums the successors (same bits either way)

    void count(Id s, auto& ws) const {
        if (branchless)
            count_paths_bfs<true>(g, s, ws);
        else
            count_paths_bfs<false>(g, s, ws);
    }

    void accumulate(auto& ws, double scale, double* acc) const {
        if (rounds)
            accumulate_bfs<true>(ws, scale, acc);
        else
            accumulate_bfs<false>(ws, scale, acc);
    }

    // `s` is a caller's id; the worker's accumulator is indexed by search id.
    std::uint64_t exact(Worker& worker, std::uint64_t caller_s) const {
        constexpr Id kFolded = std::numeric_limits<Id>::max();
        const std::uint64_t s = num.search_id(caller_s);
        const Id folded = leaves[s];
        if (folded == kFolded || g.degree(s) == 0) return 0;
        double* acc = worker.acc.data();
        const double scale = 1.0 + static_cast<double>(folded);
        const std::uint64_t reached = worker.run(
            g, [&](auto& ws) { count(static_cast<Id>(s), ws); }, [&](auto& ws) { accumulate(ws, scale, acc); });
        if (folded > 0) acc[s] += static_cast<double>(folded) * static_cast<double>(reached - 2);
        return reached;
    }

    template <class After>
    std::uint64_t single(Worker& worker, std::uint64_t caller_s, After&& after) const {
        const std::uint64_t s = num.search_id(caller_s);
        if (g.degree(s) == 0) return 0;
        double* acc = worker.acc.data();
        return worker.run(
            g, [&](auto& ws) { count(static_cast<Id>(s), ws); },
            [&](auto& ws) {
                accumulate(ws, 1.0, acc);
                after(ws);
            });
    }
};

template <class Id, class Dist>
struct DijkstraSweep {
    using Worker = DijkstraWorker<Id, Dist>;
    const Csr<Id>& g;  // under the search ids
    const Numbering<Id>& num;

    std::uint64_t exact(Worker& worker, std::uint64_t s) const {
        return single(worker, s, [](auto&) {});
    }

    template <class After>
    std::uint64_t single(Worker& worker, std::uint64_t caller_s, After&& after) const {
        const std::uint64_t s = num.search_id(caller_s);
        if (g.degree(s) == 0) return 0;
        double* acc = worker.acc.data();
        return worker.run(
            g, [&](auto& ws) { count_paths_dijkstra(g, static_cast<Id>(s), ws); },
            [&](auto& ws) {
                accumulate_dijkstra(g, ws, acc);
                after(ws);
            });
    }
};

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

// The sweeps' graph: self-loops dropped, parallel arcs merged to the
// smallest weight.
inline CsrOptions sweep_options(bool weighted, bool directed) {
    CsrOptions options;
    options.undirected = !directed;
    options.drop_self_loops = true;
    options.merge = Merge::Smallest;
    options.weighted = weighted;
    return options;
}

// Builds the sweeps' graph from the call's rows (freed once read) and
// returns `use(sweep)` for the searches it needs, its lengths fitted to the
// double range first. The sweep takes and reports nodes by search id
// (`sweep.num`) except for the sources, which it takes by the caller's id. Leaves are folded when `fold` asks for it on
// an undirected unweighted graph.
template <class Id, class Use>
auto with_sweep(OwnedRows&& edges, std::optional<std::span<const double>> weights, bool directed, bool fold,
                Use&& use) {
    Csr<Id> g = build_csr<Id>(std::move(edges), sweep_options(weights.has_value(), directed),
                              weights.value_or(std::span<const double>{}));
    Numbering<Id> num;
    if (g.n > kRenumberNodes) {
        num = breadth_first_numbering(g);
        g = renumbered(g, num);
    }
    if (!weights) {
        std::vector<Id> leaves;
        if (fold) leaves = directed ? std::vector<Id>(g.n, 0) : fold_leaves(g);
        // Branches mispredict on most arcs once a tenth of them stay within a level.
        // Small graphs sum successors with the plain loop (see accumulate_bfs).
        return use(BfsSweep<Id>{g, num, std::move(leaves), same_level_share(g) > 0.1, g.n > kRenumberNodes});
    }
    // Only self-loops leave no arcs and no weight to fit; every search is empty.
    if (!g.weights.empty() && fit_lengths(g)) return use(DijkstraSweep<Id, WideFloat>{g, num});
    return use(DijkstraSweep<Id, double>{g, num});
}

template <class Id>
std::vector<double> dependency_sum(std::uint64_t n, OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                   bool directed) {
    return with_sweep<Id>(std::move(edges), weights, directed, true, [&](const auto& sweep) {
        if (weights && sweep.g.weights.empty()) return std::vector<double>(n, 0.0);  // only self-loops
        using Worker = typename std::remove_cvref_t<decltype(sweep)>::Worker;
        std::vector<double> sum =
            sweep_sources<Worker>(sweep.g, [&](Worker& worker, std::uint64_t s) { return sweep.exact(worker, s); });
        std::vector<double> scratch;
        sweep.num.to_caller(sum.data(), scratch);
        return sum;
    });
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

// No failure: the collect sweeps below only spread pieces over the pool.
struct NoFailure {};

// Runs `row(k, worker)` for k in [first, last), on the pool or, without it,
// on the calling thread in ascending order; one worker per piece of the
// pool's division, reused across its rows.
template <class Worker, class Graph, class Row>
void for_each_row(const Graph& g, std::size_t first, std::size_t last, bool use_pool, std::uint64_t work, Row&& row) {
    if (!use_pool) {
        Worker worker(g);
        for (std::size_t k = first; k < last; ++k) row(k, worker);
        return;
    }
    parallel::collect_sweep_with<NoFailure>(
        last - first, [&] { return std::make_unique<Worker>(g); },
        [&](std::size_t i, std::unique_ptr<Worker>& worker) -> std::optional<NoFailure> {
            row(first + i, *worker);
            return std::nullopt;
        },
        work);
}

template <class Id>
std::vector<double> piece_rows(std::uint64_t n, OwnedRows&& edges, std::optional<std::span<const double>> weights,
                               bool directed, std::size_t first, std::size_t last, bool use_pool) {
    require_node_arrays(n, 8 * (last - first));
    std::vector<double> rows((last - first) * n, 0.0);
    if (first == last) return rows;
    with_sweep<Id>(std::move(edges), weights, directed, true, [&](const auto& sweep) {
        using Worker = typename std::remove_cvref_t<decltype(sweep)>::Worker;
        const std::size_t pieces = parallel::piece_count(n);
        const std::uint64_t work = parallel::work_product(n / pieces * (last - first), n + sweep.g.targets.size());
        auto run = [&](Worker& worker, std::uint64_t s) { return sweep.exact(worker, s); };
        for_each_row<Worker>(sweep.g, first, last, use_pool, work, [&](std::size_t k, Worker& worker) {
            sum_piece(worker, parallel::piece_begin(n, pieces, k), parallel::piece_begin(n, pieces, k + 1), run);
            worker.acc.fold_into(rows.data() + (k - first) * n);  // +0.0 + x == x: the piece's own sum
            std::vector<double> scratch;
            sweep.num.to_caller(rows.data() + (k - first) * n, scratch);
        });
        return 0;
    });
    return rows;
}

// Block k of the sampled sweep: the positions [piece_begin(k), piece_begin(k
// + 1)) of `sources` under the division of its length, visited in order.
// Adds delta_s(v) and delta_s(v)^2 of each source to the block's two rows.
template <class Id>
std::vector<double> moment_rows(std::uint64_t n, OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                bool directed, std::span<const std::uint64_t> sources, std::size_t first,
                                std::size_t last, bool use_pool) {
    require_node_arrays(n, 16 * (last - first));
    std::vector<double> rows(2 * (last - first) * n, 0.0);
    if (first == last) return rows;
    with_sweep<Id>(std::move(edges), weights, directed, false, [&](const auto& sweep) {
        using Worker = typename std::remove_cvref_t<decltype(sweep)>::Worker;
        const std::size_t length = sources.size();
        const std::size_t blocks = parallel::piece_count(length);
        const std::uint64_t work = parallel::work_product(length / blocks * (last - first), n + sweep.g.targets.size());
        for_each_row<Worker>(sweep.g, first, last, use_pool, work, [&](std::size_t k, Worker& worker) {
            double* sum = rows.data() + 2 * (k - first) * n;
            double* squares = sum + n;
            // The accumulator is scratch: each search's dependencies are moved
            // out and cleared before the next one.
            worker.note_reach = false;
            double* scratch = worker.acc.data();
            parallel::InterruptPoll poll;
            const std::size_t end = parallel::piece_begin(length, blocks, k + 1);
            for (std::size_t i = parallel::piece_begin(length, blocks, k); i < end; ++i) {
                if (parallel::stop_requested()) break;
                poll.tick(1 + sweep.single(worker, sources[i], [&](auto& ws) {
                    for (std::uint64_t j = 1; j < ws.reached; ++j) {
                        const std::uint64_t v = ws.order[j];
                        const std::uint64_t caller_v = sweep.num.kept() ? v : sweep.num.old_of[v];
                        const double x = scratch[v];
                        sum[caller_v] += x;
                        squares[caller_v] += x * x;
                        scratch[v] = 0.0;
                    }
                }));
            }
        });
        return 0;
    });
    return rows;
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

namespace knotwell::centrality {

Result<std::vector<double>> betweenness_pieces(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                               bool directed, std::uint64_t first, std::uint64_t last, bool use_pool) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    if (weights) {
        if (auto err = check_weights(*weights, edges.size(), WeightMode::Distance)) return *err;
    }
    if (first > last || last > parallel::piece_count(n))
        return InputError::bad_parameter("pieces", "must be a range within [0, piece count of n]");
    return with_id_type(
        n, [&]<class Id>() { return piece_rows<Id>(n, std::move(edges), weights, directed, first, last, use_pool); });
}

Result<std::vector<double>> betweenness_moments(OwnedRows&& edges, std::optional<std::span<const double>> weights,
                                                bool directed, std::span<const std::uint64_t> sources,
                                                std::uint64_t first, std::uint64_t last, bool use_pool) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    if (weights) {
        if (auto err = check_weights(*weights, edges.size(), WeightMode::Distance)) return *err;
    }
    for (std::uint64_t s : sources)
        if (s >= n) return InputError::bad_parameter("sources", "must be node ids below n");
    if (first > last || last > parallel::piece_count(sources.size()))
        return InputError::bad_parameter("blocks", "must be a range within [0, piece count of the sources]");
    return with_id_type(n, [&]<class Id>() {
        return moment_rows<Id>(n, std::move(edges), weights, directed, sources, first, last, use_pool);
    });
}

}  // namespace knotwell::centrality
