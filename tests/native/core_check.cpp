// Native checks of the graph core that Python cannot reach: the pool's sizing
// rules, fault transport, concurrency, window bound and fork behaviour; the
// adjacency builder's invariants; the switching search against the plain one.
//
//   core_check sizing        parse rules of the two environment variables
//   core_check pool          sweeps on the pool; prints a digest of the results
//   core_check graphs        adjacency invariants, searches against each other;
//                            the generators' edge sets against std::set and
//                            each other
//
// Exits non-zero with a message on the first failed check. Built and run by
// tests/test_parallel.py.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/degree_order.hpp"
#include "graph/scratch.hpp"
#include "graph/weight_scale.hpp"
#include "nulls/nulls.hpp"
#include "nulls/row_ref_set.hpp"
#include "parallel/parallel.hpp"
#include "paths/bfs.hpp"
#include "paths/pair_sums.hpp"

namespace kp = knotwell::parallel;
using knotwell::Edge;
using knotwell::EdgeList;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::exit(1);                                                                 \
        }                                                                                 \
    } while (0)

namespace {

// ------------------------------------------------------------------ sizing

void set_env(const char* name, const char* value) {
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, value, 1);
}

int sizing() {
    // Baseline: neither variable set gives the processor count.
    set_env("RAYON_NUM_THREADS", nullptr);
    set_env("RAYON_RS_NUM_CPUS", nullptr);
    const std::size_t dflt = kp::configured_pool_size();
    CHECK(dflt >= 1);
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;  // 0 = default
    };
    const Case cases[] = {
        {"3", nullptr, 3},
        {"+3", nullptr, 3},
        {"0003", nullptr, 3},
        {"0", "5", 0},  // zero means default; the second variable is not read
        {"4", "3", 4},
        {"abc", "3", 3},
        {"-1", "3", 3},
        {" 3", nullptr, 0},
        {"3 ", "2", 2},
        {"", "2", 2},
        {"+", "2", 2},
        {"++3", "2", 2},
        {"3.0", "2", 2},
        {"18446744073709551616", "2", 2},  // beyond 64 bits: not a number
        {"18446744073709551615", nullptr, 65535},
        {"65536", nullptr, 65535},
        {"65535", nullptr, 65535},
        {nullptr, "7", 7},
        {nullptr, "+7", 7},
        {nullptr, "0", 0},
        {nullptr, "x", 0},
        {nullptr, "99999999", 65535},
        {"x", "-2", 0},
    };
    for (const Case& c : cases) {
        set_env("RAYON_NUM_THREADS", c.num_threads);
        set_env("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
        const std::size_t want = c.expected == 0 ? dflt : c.expected;
        const std::size_t got = kp::configured_pool_size();
        if (got != want) {
            std::fprintf(stderr, "RAYON_NUM_THREADS=%s RAYON_RS_NUM_CPUS=%s: got %zu, want %zu\n",
                         c.num_threads ? c.num_threads : "(unset)", c.rs_num_cpus ? c.rs_num_cpus : "(unset)", got,
                         want);
            return 1;
        }
    }
    std::puts("ok");
    return 0;
}

// -------------------------------------------------------------------- pool

// A float sum whose value depends on the grouping of its terms.
double term(std::size_t i) { return 1.0 / (1.0 + static_cast<double>(i % 977)) * (i % 3 ? 1e-9 : 1e9); }

double float_sum(std::size_t length, std::uint64_t work = kp::kUnknownWork) {
    return kp::sum_sweep(
        length, 0.0,
        [](std::size_t b, std::size_t e) {
            double s = 0.0;
            for (std::size_t i = b; i < e; ++i) s += term(i);
            return s;
        },
        [](double& acc, double&& piece) { acc += piece; }, work);
}

// Items and the reported failure of a collect sweep whose index `bad` (if
// below length) fails, with one workspace count per piece.
std::vector<std::size_t> collect_items(std::size_t length, std::size_t bad, std::uint64_t work,
                                       std::optional<std::size_t>& failure) {
    std::vector<std::size_t> items(length);
    failure = kp::collect_sweep_with<std::size_t>(
        length, [] { return std::size_t{0}; },
        [&](std::size_t i, std::size_t& seen) -> std::optional<std::size_t> {
            if (i == bad || i == bad + 7) return i;
            items[i] = i * 3 + (seen++ > 0);  // the workspace carries over within a piece
            return std::nullopt;
        },
        work);
    return items;
}

// A sweep small enough for the calling thread gives what the pool gives.
void check_inline_matches_pool() {
    for (std::size_t length : {1ul, 5ul, 300ul, 100000ul}) {
        CHECK(float_sum(length, 0) == float_sum(length));
        std::optional<std::size_t> on_pool, inline_run;
        std::vector<std::size_t> a = collect_items(length, length, kp::kUnknownWork, on_pool);
        std::vector<std::size_t> b = collect_items(length, length, 0, inline_run);
        CHECK(!on_pool && !inline_run);
        for (std::size_t i = 0; i < length; ++i) CHECK(a[i] / 3 == i && b[i] / 3 == i);
        collect_items(length, length / 2, 0, inline_run);
        CHECK(inline_run == length / 2);  // the lowest failing index
        collect_items(length, length / 2, kp::kUnknownWork, on_pool);
        CHECK(on_pool == length / 2 || on_pool == length / 2 + 7);
    }
    CHECK(kp::work_product(std::uint64_t{1} << 40, std::uint64_t{1} << 30) == kp::kUnknownWork);
    CHECK(kp::work_product(34, 190) < kp::kInlineWork);
}

// The same fold done serially over the same pieces.
double serial_float_sum(std::size_t length) {
    const std::size_t pieces = kp::piece_count(length);
    double total = 0.0;
    for (std::size_t k = 0; k < pieces; ++k) {
        double s = 0.0;
        for (std::size_t i = kp::piece_begin(length, pieces, k); i < kp::piece_begin(length, pieces, k + 1); ++i)
            s += term(i);
        total += s;
    }
    return total;
}

void check_pieces_cover_in_order() {
    for (std::size_t length : {0ul, 1ul, 2ul, 255ul, 256ul, 257ul, 1000ul, 100003ul}) {
        std::vector<std::pair<std::size_t, std::size_t>> seen;
        auto spans = kp::sum_sweep(
            length, seen,
            [](std::size_t b, std::size_t e) {
                CHECK(b < e);
                return std::vector<std::pair<std::size_t, std::size_t>>{{b, e}};
            },
            [](auto& acc, auto&& piece) { acc.insert(acc.end(), piece.begin(), piece.end()); });
        std::size_t next = 0;
        for (auto [b, e] : spans) {
            CHECK(b == next);
            next = e;
        }
        CHECK(next == length);
        CHECK(spans.size() == kp::piece_count(length));
    }
}

void check_faults_come_back() {
    for (int round = 0; round < 3; ++round) {
        bool caught = false;
        try {
            kp::sum_sweep(
                1000, 0,
                [](std::size_t b, std::size_t e) {
                    if (b <= 500 && 500 < e) throw std::bad_alloc();
                    return 1;
                },
                [](int& a, int&& p) { a += p; });
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        CHECK(caught);
        caught = false;
        try {
            kp::collect_sweep<int>(300, [](std::size_t i) -> std::optional<int> {
                if (i == 299) throw std::out_of_range("index");
                return std::nullopt;
            });
        } catch (const std::out_of_range& e) {
            caught = std::strcmp(e.what(), "index") == 0;
        }
        CHECK(caught);
        // The pool survives: a full sweep afterwards still sees every index.
        CHECK(kp::sum_sweep(
                  5000, std::uint64_t{0},
                  [](std::size_t b, std::size_t e) {
                      std::uint64_t s = 0;
                      for (std::size_t i = b; i < e; ++i) s += i;
                      return s;
                  },
                  [](std::uint64_t& a, std::uint64_t&& p) { a += p; }) == 5000ull * 4999 / 2);
    }
}

void check_collect() {
    std::vector<std::uint64_t> slots(1000, 0);
    auto none = kp::collect_sweep<std::string>(slots.size(), [&](std::size_t i) -> std::optional<std::string> {
        slots[i] = i * i;
        return std::nullopt;
    });
    CHECK(!none);
    for (std::size_t i = 0; i < slots.size(); ++i) CHECK(slots[i] == i * i);

    std::atomic<std::size_t> ran{0};
    auto failed = kp::collect_sweep<std::size_t>(100000, [&](std::size_t i) -> std::optional<std::size_t> {
        ran.fetch_add(1);
        if (i % 1000 == 17) return i;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        return std::nullopt;
    });
    CHECK(failed && *failed % 1000 == 17);
    CHECK(ran.load() < 100000);  // no new index is started after a failure
    CHECK(!kp::collect_sweep<int>(0, [](std::size_t) -> std::optional<int> { return 1; }));

    // One workspace per piece, reused by the piece's indices in ascending order.
    std::atomic<std::size_t> made{0}, misordered{0};
    std::vector<std::size_t> owner(10000);
    auto ok = kp::collect_sweep_with<int>(
        owner.size(),
        [&] {
            made.fetch_add(1);
            return std::vector<std::size_t>{};
        },
        [&](std::size_t i, std::vector<std::size_t>& visited) -> std::optional<int> {
            if (!visited.empty() && visited.back() + 1 != i) misordered.fetch_add(1);
            visited.push_back(i);
            owner[i] = visited.front();
            return std::nullopt;
        });
    CHECK(!ok && made.load() == kp::piece_count(owner.size()) && misordered.load() == 0);
    const std::size_t pieces = kp::piece_count(owner.size());
    for (std::size_t k = 0; k < pieces; ++k)
        for (std::size_t i = kp::piece_begin(owner.size(), pieces, k); i < kp::piece_begin(owner.size(), pieces, k + 1);
             ++i)
            CHECK(owner[i] == kp::piece_begin(owner.size(), pieces, k));
}

// Values of a sum sweep waiting for their left neighbour stay bounded.
std::atomic<long> live{0}, peak{0};
struct Counted {
    Counted() { bump(); }
    Counted(Counted&&) noexcept { bump(); }
    Counted& operator=(Counted&&) noexcept { return *this; }
    ~Counted() { live.fetch_sub(1); }
    static void bump() {
        const long now = live.fetch_add(1) + 1;
        long p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
    }
};

void check_window() {
    peak = 0;
    kp::sum_sweep(
        4096, Counted{},
        [](std::size_t b, std::size_t) {
            if (b == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return Counted{};
        },
        [](Counted&, Counted&&) {});
    const long bound = static_cast<long>(2 * kp::pool_size() + 2 + 2 * kp::pool_size() + 4);
    if (peak.load() > bound) {
        std::fprintf(stderr, "peak %ld live piece values, bound %ld\n", peak.load(), bound);
        std::exit(1);
    }
}

void check_poll() {
    bool interrupted = false;
    {
        kp::PollScope scope([] { return true; });
        try {
            kp::collect_sweep<int>(64, [](std::size_t) -> std::optional<int> {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                return std::nullopt;
            });
        } catch (const kp::Interrupted&) {
            interrupted = true;
        }
    }
    CHECK(interrupted);
    bool caught = false;
    {
        kp::PollScope scope([]() -> bool { throw std::runtime_error("poll"); });
        try {
            kp::collect_sweep<int>(8, [](std::size_t) -> std::optional<int> {
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                return std::nullopt;
            });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    }
    CHECK(caught);
    CHECK(float_sum(777) == serial_float_sum(777));
}

void check_concurrent_callers() {
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < 20; ++r) {
                const std::size_t length = 1000 + 37 * static_cast<std::size_t>(t * 20 + r);
                if (float_sum(length) != serial_float_sum(length)) bad.fetch_add(1);
                std::vector<std::size_t> out(length);
                kp::collect_sweep<int>(length, [&](std::size_t i) -> std::optional<int> {
                    out[i] = i + 1;
                    return std::nullopt;
                });
                for (std::size_t i = 0; i < length; ++i)
                    if (out[i] != i + 1) bad.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(bad.load() == 0);
}

void check_fork() {
    CHECK(float_sum(5000) == serial_float_sum(5000));
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        alarm(20);
        const bool ok = float_sum(6000) == serial_float_sum(6000);
        _exit(ok ? 0 : 3);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

int pool() {
    alarm(120);  // a deadlock ends the run instead of hanging it
    check_pieces_cover_in_order();
    check_faults_come_back();
    check_collect();
    check_window();
    check_poll();
    check_concurrent_callers();
    check_fork();
    check_inline_matches_pool();
    // Results that must not depend on the pool size.
    for (std::size_t length : {1ul, 3ul, 100ul, 4097ul, 1000000ul}) {
        const double s = float_sum(length);
        CHECK(s == serial_float_sum(length));
        std::printf("%zu %a\n", length, s);
    }
    std::printf("workers %zu\n", kp::pool_size());
    return 0;
}

// ------------------------------------------------------------------ graphs

EdgeList random_edges(std::mt19937_64& rng, std::uint64_t n, std::size_t m) {
    EdgeList edges;
    if (n == 0) return edges;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t u = rng() % n, v = rng() % 4 == 0 ? u : rng() % n;
        edges.push_back({u, v});
        if (rng() % 5 == 0) edges.push_back({v, u});
        if (rng() % 7 == 0) edges.push_back({u, v});
    }
    return edges;
}

void check_adjacency(std::uint64_t n, const EdgeList& edges, bool undirected) {
    auto built = knotwell::build_adjacency(n, edges, undirected);
    CHECK(built.ok());
    const knotwell::Adjacency& adj = built.value();
    std::vector<std::set<std::uint64_t>> want(n);
    for (const Edge& e : edges) {
        want[e.source].insert(e.target);
        if (undirected) want[e.target].insert(e.source);
    }
    CHECK(adj.offsets.size() == n + 1 && adj.offsets[0] == 0);
    for (std::uint64_t u = 0; u < n; ++u) {
        auto list = adj.neighbours(u);
        CHECK(std::vector<std::uint64_t>(list.begin(), list.end()) ==
              std::vector<std::uint64_t>(want[u].begin(), want[u].end()));
    }
}

template <class Id>
void check_search(std::uint64_t n, const EdgeList& edges, bool undirected) {
    auto adj = knotwell::build_adjacency(n, edges, undirected);
    CHECK(adj.ok());
    auto rows = knotwell::paths::read_traversal_rows<Id>(n, knotwell::view_of(edges), undirected);
    CHECK(rows.ok());
    const auto g = knotwell::paths::build_traversal_graph(std::move(rows.value()));
    knotwell::paths::DistanceWorkspace<Id> ws;
    for (std::uint64_t s = 0; s < n; s += 1 + n / 40) {
        std::vector<std::uint64_t> plain(n, knotwell::paths::kUnreachable), fast(n, knotwell::paths::kUnreachable);
        knotwell::paths::bfs_distances(adj.value(), s, plain);
        knotwell::paths::search_distances(g, undirected, s, fast, ws);
        CHECK(plain == fast);
    }
}

// The traversal rows on either side of the node count up to which their
// reading pass also counts the arcs: searches agree with the plain one, and
// a bad row is reported as the first, whatever follows it.
void check_traversal_rows(std::uint64_t n, EdgeList edges) {
    for (bool undirected : {true, false}) check_search<std::uint32_t>(n, edges, undirected);
    edges[edges.size() / 2] = {n, 1};
    edges.back() = {0, n + 5};
    auto bad = knotwell::paths::read_traversal_rows<std::uint32_t>(n, knotwell::view_of(edges), true);
    CHECK(!bad.ok() && bad.error().message() == "edge " + std::to_string(edges.size() / 2) + " (" + std::to_string(n) +
                                                    ", 1) names a node id outside [0, " + std::to_string(n) + ")");
}

// The lists every option combination must give, from the arcs in emission
// order: row i emits (u, v, w_i), then (v, u, w_i) when undirected.
struct RefArc {
    std::uint64_t target;
    double weight;
};

std::vector<std::vector<RefArc>> reference_lists(std::uint64_t n, const EdgeList& edges, const std::vector<double>& w,
                                                 const knotwell::CsrOptions& o) {
    std::vector<std::vector<RefArc>> lists(n);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Edge e = edges[i];
        if (o.drop_self_loops && e.source == e.target) continue;
        const double wi = w.empty() ? 1.0 : w[i];
        lists[e.source].push_back({e.target, wi});
        if (o.undirected) lists[e.target].push_back({e.source, wi});
    }
    if (o.merge == knotwell::Merge::None) return lists;
    for (auto& list : lists) {
        std::map<std::uint64_t, double> merged;  // emission order within a target kept by the walk
        for (const RefArc& a : list) {
            if (o.merge == knotwell::Merge::Count) {
                merged[a.target] += 1.0;
                continue;
            }
            auto [it, fresh] = merged.emplace(a.target, a.weight);
            if (fresh || o.merge == knotwell::Merge::First) continue;
            if (o.merge == knotwell::Merge::Sum)
                it->second = it->second + a.weight;
            else
                it->second = std::min(it->second, a.weight);
        }
        list.clear();
        for (auto [t, wt] : merged) list.push_back({t, wt});
    }
    return lists;
}

template <class Id>
void check_csr(std::uint64_t n, const EdgeList& edges, const std::vector<double>& w, knotwell::CsrOptions o,
               const std::vector<std::vector<RefArc>>& want) {
    const auto g = knotwell::build_csr<Id>(n, edges, o, w);
    CHECK(g.n == n && g.offsets.size() == n + 1 && g.offsets[0] == 0 && g.offsets[n] == g.targets.size());
    const bool counted = o.merge == knotwell::Merge::Count;
    CHECK(g.weights.size() == (o.weighted || counted ? g.targets.size() : 0));
    for (std::uint64_t u = 0; u < n; ++u) {
        CHECK(g.degree(u) == want[u].size());
        for (std::uint64_t j = 0; j < want[u].size(); ++j) {
            const std::uint64_t k = g.offsets[u] + j;
            CHECK(g.targets[k] == want[u][j].target);
            // Bit-exact: a Sum in any other order than emission order differs.
            if (o.weighted || counted) CHECK(std::memcmp(&g.weights[k], &want[u][j].weight, sizeof(double)) == 0);
        }
    }
}

// Every option combination in both id widths; the 64-bit build takes the
// weights or their absence (every row weighing 1.0) at random. `merges`
// narrows the merge modes for graphs too large to check all forty: every
// combination is checked on the smaller graphs, and a large one adds only
// more blocks of the same grouping.
void check_csr_options(std::mt19937_64& rng, std::uint64_t n, const EdgeList& edges,
                       std::initializer_list<knotwell::Merge> merges = {knotwell::Merge::None, knotwell::Merge::First,
                                                                        knotwell::Merge::Smallest, knotwell::Merge::Sum,
                                                                        knotwell::Merge::Count}) {
    // Weights of very different sizes, so that sums depend on their order.
    const double palette[] = {1e16, 1.0, 3.0, 0.1, 2.5e-8, 0.0};
    std::vector<double> w(edges.size());
    for (double& x : w) x = palette[rng() % 6];
    const std::vector<double> none;
    for (auto merge : merges)
        for (bool undirected : {true, false})
            for (bool drop : {true, false})
                for (bool weighted : {true, false}) {
                    // Half the builds place their arcs in ranges of key
                    // blocks, a pass each (graphs of more than 2^16 nodes).
                    const knotwell::CsrOptions o{undirected, drop, merge, weighted,
                                                 rng() % 2 ? knotwell::kGroupScratchBytes : 1};
                    const std::vector<double>& narrow = weighted ? w : none;
                    const std::vector<double>& wide = weighted && rng() % 2 ? w : none;
                    const auto want = reference_lists(n, edges, narrow, o);
                    check_csr<std::uint32_t>(n, edges, narrow, o, want);
                    if (&wide == &narrow)
                        check_csr<std::uint64_t>(n, edges, wide, o, want);
                    else
                        check_csr<std::uint64_t>(n, edges, wide, o, reference_lists(n, edges, wide, o));
                }
}

// Unweighted rows are grouped as plain ids and weighed by their count times
// the unit; rows that all weigh 1.0 go through the weighted (id, weight)
// grouping and sum in row order. Both must give the same bits, scaled or not.
template <class Id>
void check_unit_weights(std::uint64_t n, const EdgeList& edges) {
    auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
    };
    for (int scale : {0, -3, 9}) {
        const auto counted = knotwell::build_weighted_graph<Id>(knotwell::OwnedRows::of(n, edges), std::nullopt, scale);
        const auto summed = knotwell::build_weighted_graph<Id>(knotwell::OwnedRows::of(n, edges),
                                                               std::vector<double>(edges.size(), 1.0), scale);
        CHECK(counted.lists.n == n && same(counted.lists.offsets, summed.lists.offsets));
        CHECK(same(counted.lists.targets, summed.lists.targets) && same(counted.lists.weights, summed.lists.weights));
        CHECK(same(counted.self_loop_weight, summed.self_loop_weight) && same(counted.strength, summed.strength));
        CHECK(counted.total_weight == summed.total_weight);
        // Lists only: the same lists, no self-loops or strengths, and the
        // weights left out exactly when every entry would weigh the unit
        // (no pair has a second row), else the counted bits.
        const auto lists = knotwell::build_weighted_graph<Id>(knotwell::OwnedRows::of(n, edges), std::nullopt, scale,
                                                              knotwell::WeightedParts::ListsOnly);
        CHECK(same(lists.lists.offsets, counted.lists.offsets) && same(lists.lists.targets, counted.lists.targets));
        CHECK(lists.self_loop_weight.empty() && lists.strength.empty());
        const double unit = std::ldexp(1.0, scale);
        const bool all_unit = std::all_of(counted.lists.weights.begin(), counted.lists.weights.end(),
                                          [unit](double x) { return x == unit; });
        CHECK(all_unit ? lists.lists.weights.empty() : same(lists.lists.weights, counted.lists.weights));
    }
}

// check_unit_weights on the rows left after dropping every repeat of a pair
// (either orientation; self-loops kept), where lists-only builds carry no
// weights, and on those rows plus one repeat, where they must.
template <class Id>
void check_unit_weights_simple(std::uint64_t n, const EdgeList& edges) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    EdgeList simple;
    for (const auto& e : edges)
        if (seen.insert({std::min(e.source, e.target), std::max(e.source, e.target)}).second) simple.push_back(e);
    check_unit_weights<Id>(n, simple);
    for (const auto& e : simple)
        if (e.source != e.target) {
            simple.push_back({e.target, e.source});
            break;
        }
    check_unit_weights<Id>(n, simple);
}

void check_size_rules() {
    CHECK(knotwell::fits_32_bit_ids(0) && knotwell::fits_32_bit_ids(UINT32_MAX));
    CHECK(!knotwell::fits_32_bit_ids(std::uint64_t{UINT32_MAX} + 1));
    CHECK(knotwell::with_id_type(UINT32_MAX, []<class Id>() { return sizeof(Id); }) == 4);
    CHECK(knotwell::with_id_type(std::uint64_t{1} << 32, []<class Id>() { return sizeof(Id); }) == 8);
    struct Case {
        std::uint64_t n, bytes;
        bool fits;
    };
    for (const Case c : {Case{1000, 64, true}, Case{(std::uint64_t{1} << 56) - 2, 128, true},
                         Case{std::uint64_t{1} << 56, 128, false}, Case{(std::uint64_t{1} << 61) - 2, 16, false},
                         Case{UINT64_MAX, 1, false}, Case{UINT64_MAX - 1, 1, false}, Case{0, 8, true}}) {
        bool threw = false;
        try {
            knotwell::require_node_arrays(c.n, c.bytes);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        CHECK(threw != c.fits);
    }
    // A node count far beyond memory fails before any table is filled.
    for (std::uint64_t n : {(std::uint64_t{1} << 61) - 2, UINT64_MAX}) {
        bool threw = false;
        try {
            knotwell::build_csr<std::uint64_t>(n, EdgeList{{0, 1}}, {});
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        CHECK(threw);
    }
}

// The block cache: an exact size comes back, other sizes do not, small and
// oversized blocks are never kept, the oldest go first at the limits, and a
// child forked while other threads use the cache can still use it.
void check_scratch_cache() {
    namespace sc = knotwell::scratch;
    sc::release();
    const std::size_t big = sc::kMinBytes * 3;
    void* a = sc::take(big);
    std::memset(a, 1, big);
    sc::give(a, big);
    void* other = sc::take(big + 8);  // another size: a fresh block, `a` stays cached
    CHECK(other != a);
    sc::give(other, big + 8);
    void* b = sc::take(big);
    CHECK(b == a);  // the same size: the cached block
    sc::give(b, big);
    // Blocks below or above the cached sizes go straight back: after giving
    // them, the cached block of their size is still the only one.
    sc::give(sc::take(64), 64);
    sc::give(sc::take(sc::kMaxBytes + 1), sc::kMaxBytes + 1);
    // More blocks than the cache holds: the first given is evicted first.
    sc::release();
    std::vector<void*> blocks;
    for (std::size_t i = 0; i <= sc::kMaxBlocks; ++i) blocks.push_back(sc::take(sc::kMinBytes + 64 * i));
    for (std::size_t i = 0; i <= sc::kMaxBlocks; ++i) sc::give(blocks[i], sc::kMinBytes + 64 * i);
    void* last = sc::take(sc::kMinBytes + 64 * sc::kMaxBlocks);
    CHECK(last == blocks.back());
    void* second = sc::take(sc::kMinBytes + 64);
    CHECK(second == blocks[1]);
    sc::give(last, sc::kMinBytes + 64 * sc::kMaxBlocks);
    sc::give(second, sc::kMinBytes + 64);
    // Vectors on the cache, from several threads at once, then a fork.
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
        users.emplace_back([&, t] {
            while (!stop) {
                knotwell::ScratchVector<std::uint64_t> v(sc::kMinBytes / 8 + t, 7);
                CHECK(v.front() == 7 && v.back() == 7);
            }
        });
    for (int f = 0; f < 20; ++f) {
        const pid_t pid = fork();
        if (pid == 0) {
            knotwell::ScratchVector<std::uint64_t> v(sc::kMinBytes / 8 + 1, 3);
            _exit(v.back() == 3 ? 0 : 1);
        }
        int status = 0;
        CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    for (auto& u : users) u.join();
    sc::release();
}

// Arcs from a callback, as a coarsening emits them: keys need not follow
// any edge list, and each pair's weights are summed in emission order.
void check_group_arcs() {
    const auto g = knotwell::group_arcs<std::uint32_t>(3, true, knotwell::Merge::Sum, [](auto&& emit) {
        emit(2, 0, 1e16);
        emit(0, 2, 0.5);
        emit(2, 0, 1.0);
        emit(2, 1, 4.0);
        emit(2, 0, 1.0);
    });
    CHECK((g.offsets == knotwell::ScratchVector<std::uint64_t>{0, 1, 1, 3}));
    CHECK((g.targets == knotwell::ScratchVector<std::uint32_t>{2, 0, 1}));
    CHECK((g.weights == knotwell::ScratchVector<double>{0.5, (1e16 + 1.0) + 1.0, 4.0}));
}

// Arcs emitted source by source, as a coarsening gathers them, give the
// lists and the bits of the two-pass grouping with Merge::Sum on the same
// arcs: every target once, ascending, its weights summed in emission order.
template <class Id>
void check_group_by_source(std::mt19937_64& rng, std::uint64_t n, std::size_t m) {
    // Weights of very different sizes, so that sums depend on their order.
    const double palette[] = {1e16, 1.0, 3.0, 0.1, 2.5e-8, 0.0, 0x1p-1074};
    std::vector<std::vector<RefArc>> arcs(n);
    for (std::size_t i = 0; n > 0 && i < m; ++i) {
        // Skewed targets, so that lists repeat targets often.
        const std::uint64_t t = rng() % 2 ? rng() % std::min<std::uint64_t>(n, 5) : rng() % n;
        arcs[rng() % n].push_back({t, palette[rng() % 7]});
    }
    const auto want = knotwell::group_arcs<Id>(n, true, knotwell::Merge::Sum, [&](auto&& emit) {
        for (std::uint64_t s = 0; s < n; ++s)
            for (const RefArc& a : arcs[s]) emit(s, a.target, a.weight);
    });
    std::uint64_t next = 0;
    const auto got = knotwell::group_by_source<Id>(
        n,
        [&](std::uint64_t s, auto&& emit) {
            CHECK(s == next++);
            for (const RefArc& a : arcs[s]) emit(a.target, a.weight);
        },
        m % 3);
    CHECK(next == n && got.n == n && got.offsets == want.offsets && got.targets == want.targets);
    CHECK(got.weights.size() == want.weights.size() &&
          (want.weights.empty() ||
           std::memcmp(got.weights.data(), want.weights.data(), want.weights.size() * sizeof(double)) == 0));
}

// The mean's distance total must not wrap past 2^64, and below 2^64 it must
// give the very double a 64-bit total gave.
void check_pair_sums() {
    knotwell::paths::PairSums sums;
    // A path of 5 million nodes: distance d joins n - d pairs.
    const std::uint64_t n = 5'000'000;
    for (std::uint64_t d = 1; d < n; ++d) sums.add(n - d, d);
    CHECK(sums.count == n * (n - 1) / 2);
    // sum (n - d) d = (n^3 - n) / 6, far above 2^64.
    const unsigned __int128 want = (static_cast<unsigned __int128>(n) * n * n - n) / 6;
    CHECK(sums.total == want && want > UINT64_MAX);
    CHECK(sums.mean() == static_cast<double>(want) / static_cast<double>(sums.count));
    CHECK(std::fabs(sums.mean() - (n + 1) / 3.0) < 1e-6);
    // Pieces added in any grouping give the same sums.
    knotwell::paths::PairSums left, right;
    left.add(3, UINT64_MAX);
    right.add(UINT64_MAX, 2);
    left.add(right);
    CHECK(left.total ==
          static_cast<unsigned __int128>(3) * UINT64_MAX + static_cast<unsigned __int128>(UINT64_MAX) * 2);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 1000; ++i) {
        knotwell::paths::PairSums small;
        const std::uint64_t total = rng() >> (rng() % 64), count = 1 + (rng() >> (rng() % 64));
        small.add(1, total);
        small.add(count - 1, 0);
        CHECK(small.mean() == static_cast<double>(total) / static_cast<double>(count));
    }
    CHECK(std::isnan(knotwell::paths::PairSums{}.mean()));
}

// Owned rows: narrowed exactly when the node count allows, every value kept
// at its width, the first bad row named with its full values even past the
// copy's first block, and a build from them equal to one from the rows it
// was copied from.
void check_owned_rows(std::mt19937_64& rng) {
    using knotwell::OwnedRows;
    const std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    for (std::uint64_t n : {std::uint64_t{7}, max32, max32 + 1}) {
        EdgeList edges;
        for (int i = 0; i < 1500; ++i) edges.push_back({rng() % n, n - 1 - rng() % n});
        OwnedRows rows = OwnedRows::of(n, edges);
        CHECK(rows.n() == n && rows.size() == edges.size() && !rows.range_failure());
        rows.visit([&](auto span) {
            CHECK((sizeof(span[0].source) == 4) == (n <= max32));
            bool same = span.size() == edges.size();
            for (std::size_t i = 0; same && i < span.size(); ++i)
                same = span[i].source == edges[i].source && span[i].target == edges[i].target;
            CHECK(same);
        });
        edges[1000] = {n + (std::uint64_t{1} << 33), 0};
        edges[1200] = {0, n};
        OwnedRows bad = OwnedRows::of(n, edges);
        CHECK(bad.range_failure() &&
              bad.range_failure()->message() == "edge 1000 (" + std::to_string(n + (std::uint64_t{1} << 33)) +
                                                    ", 0) names a node id outside [0, " + std::to_string(n) + ")");
        bad.release();
        CHECK(bad.size() == edges.size() && bad.range_failure());
    }
    const std::uint64_t n = 3000;
    const EdgeList edges = random_edges(rng, n, 5 * n);
    for (knotwell::Merge merge : {knotwell::Merge::None, knotwell::Merge::First}) {
        const knotwell::CsrOptions o{.undirected = true, .drop_self_loops = true, .merge = merge};
        OwnedRows rows = OwnedRows::of(n, edges);
        const auto from_rows = knotwell::build_csr<std::uint32_t>(std::move(rows), o);
        const auto from_edges = knotwell::build_csr<std::uint32_t>(n, edges, o);
        CHECK(from_rows.offsets == from_edges.offsets && from_rows.targets == from_edges.targets);
        rows.visit([](auto span) { CHECK(span.empty()); });  // freed by the build
    }
}

// The degree order by its definition: a permutation sorted by (degree, id),
// `rank` its inverse, `start` the first position of each degree.
template <class Id>
void check_degree_order(std::mt19937_64& rng, std::uint64_t n, std::uint64_t max_deg) {
    std::vector<std::uint64_t> deg(n);
    for (auto& d : deg) d = rng() % (max_deg + 1);
    const auto order = knotwell::order_by_degree<Id>(std::span<const std::uint64_t>(deg));
    bool ok = order.vert.size() == n && order.rank.size() == n;
    for (std::uint64_t r = 0; ok && r < n; ++r) {
        const std::uint64_t u = order.vert[r];
        ok = u < n && order.rank[u] == r && r >= order.start[deg[u]] && r < order.start[deg[u] + 1];
        if (ok && r > 0) {
            const std::uint64_t p = order.vert[r - 1];
            ok = deg[p] < deg[u] || (deg[p] == deg[u] && p < u);
        }
    }
    CHECK(ok);
}

// Power-of-two scaling: exact exactly when no product leaves the normal
// range, and the same bits as a plain multiplication when it is.
void check_weight_scaling() {
    const std::vector<double> w = {1.0, 0.75, 0x1p-1000, 0x1p+1000, 3.0e-300};
    std::vector<double> out(w.size());
    CHECK(knotwell::scales_exactly(w, 20) && knotwell::scales_exactly(w, -20));
    knotwell::scale_weights(w, -20, out);
    bool same = true;
    for (std::size_t i = 0; i < w.size(); ++i) same = same && out[i] == w[i] * 0x1p-20;
    CHECK(same);
    CHECK(!knotwell::scales_exactly(w, 30));    // 2^1000 x 2^30 overflows
    CHECK(!knotwell::scales_exactly(w, -100));  // 2^-1000 x 2^-100 drops bits below the normal range
    CHECK(!knotwell::scales_exactly(std::vector<double>{0.0, 0.75}, -1073));  // a subnormal that rounds
    CHECK(knotwell::path_length_exponent(1.0, 1) <= 0);
    CHECK(knotwell::path_length_exponent(0x1p1000, std::uint64_t{1} << 40) == 1001 + 41 - 1022);
}

// ------------------------------------------------------- generator edge sets

using knotwell::nulls::RowRefSet;

// RowRefSet against std::set: grow-only sets take keys drawn from few ids
// (so many repeat) and churn sets replace rows as rewiring does, over
// tables from one row up and every slot layout from full tags and
// displacements down to none (32 index bits: every probe reads rows, every
// shift rehashes), with ids up to 2^32 - 1.
void check_row_ref_set(std::mt19937_64& rng) {
    struct Case {
        std::uint64_t rows;
        unsigned min_index_bits;
        std::uint64_t ids;  // ids drawn below this, near 2^32 when offset
        bool top;           // ids counted down from 2^32 - 1
    };
    const Case cases[] = {{1, 0, 3, false},     {2, 0, 3, true},        {3, 32, 4, false},    {17, 0, 9, false},
                          {17, 31, 9, true},    {40, 30, 12, false},    {300, 29, 40, true},  {300, 32, 40, false},
                          {5000, 0, 200, true}, {5000, 28, 150, false}, {5000, 31, 120, true}};
    const std::uint64_t max_id = 0xFFFFFFFFu;
    for (const Case& c : cases) {
        const auto id = [&] {
            const std::uint64_t v = rng() % c.ids;
            return c.top ? max_id - v : v;
        };
        for (RowRefSet::Load load : {RowRefSet::Load::Grow, RowRefSet::Load::Churn}) {
            std::vector<std::uint64_t> keys(c.rows);
            RowRefSet set(keys.data(), c.rows, load, c.min_index_bits);
            std::set<std::uint64_t> truth;
            // Fill: every row, repeats rejected exactly when std::set has them.
            for (std::uint64_t row = 0; row < c.rows;) {
                const std::uint64_t u = id(), v = id();
                if (u == v) continue;
                const std::uint64_t k = RowRefSet::key(u, v);
                CHECK(set.contains(k) == truth.count(k));
                const bool added = set.insert(k, row);
                CHECK(added == truth.insert(k).second);
                if (added) keys[row++] = k;
            }
            if (load == RowRefSet::Load::Churn) {
                // Swap-like churn: rows take pairs not yet present, the old
                // pair erased first; absent pairs probed in between.
                for (int step = 0; step < 20000; ++step) {
                    const std::uint64_t row = rng() % c.rows, u = id(), v = id();
                    if (u == v) continue;
                    const std::uint64_t k = RowRefSet::key(u, v);
                    CHECK(set.contains(k) == truth.count(k));
                    if (truth.count(k)) continue;
                    set.erase(keys[row], row);
                    truth.erase(keys[row]);
                    CHECK(!set.contains(keys[row]));
                    set.insert_absent(k, row);
                    truth.insert(k);
                    keys[row] = k;
                }
            }
            for (std::uint64_t row = 0; row < c.rows; ++row) CHECK(set.contains(keys[row]));
            for (int probe = 0; probe < 2000; ++probe) {
                const std::uint64_t u = id(), v = id();
                if (u != v) CHECK(set.contains(RowRefSet::key(u, v)) == truth.count(RowRefSet::key(u, v)));
            }
        }
    }
}

template <class T>
T must(knotwell::Result<T>&& r) {
    if (!r.ok()) {
        std::fprintf(stderr, "unexpected failure: %s\n", r.error().message().c_str());
        std::exit(1);
    }
    return std::move(r.value());
}

// Every generator gives the same rows, counts and failures whichever edge
// set it keeps: the keyed table, or references under any slot layout (the
// set is never iterated). Cases cover tiny and dense G(n, m), ids at the
// narrow limit, degree sequences that discard most pairings (and fewer than
// half, which refits the output), and one rewired sample, valid or not.
void check_generator_edge_sets(std::mt19937_64& rng) {
    using knotwell::EdgeSetOptions;
    using knotwell::RowRefs;
    const EdgeSetOptions variants[] = {{RowRefs::Never, 0},   {RowRefs::Always, 0},  {RowRefs::Always, 29},
                                       {RowRefs::Always, 31}, {RowRefs::Always, 32}, {RowRefs::Auto, 0}};
    struct Gnm {
        std::uint64_t n, m;
    };
    const std::uint64_t narrow = std::uint64_t{1} << 32;
    for (const Gnm& g : {Gnm{2, 1}, Gnm{10, 20}, Gnm{50, 1225}, Gnm{300, 44000}, Gnm{narrow, 6000},
                         Gnm{narrow + 1, 300}, Gnm{100000, 9000}}) {
        const auto want = must(knotwell::erdos_renyi(g.n, g.m, g.n + g.m));
        CHECK(want.size() == 2 * g.m);
        for (const EdgeSetOptions& o : variants) CHECK(must(knotwell::erdos_renyi(g.n, g.m, g.n + g.m, o)) == want);
    }

    std::vector<std::vector<std::uint64_t>> sequences = {{}, {2}, {1, 1}, {400, 400, 2, 2}, {3000, 1, 1, 2}};
    std::vector<std::uint64_t> regular(3000, 5), hubs(9000, 1);
    for (std::size_t v = 0; v < 30; ++v) hubs[v] = 300 + v;
    std::vector<std::uint64_t> mixed(7000);
    for (std::uint64_t& d : mixed) d = rng() % 7 == 0 ? rng() % 500 : rng() % 4;
    for (auto* d : {&regular, &hubs, &mixed})
        if (std::accumulate(d->begin(), d->end(), std::uint64_t{0}) % 2) ++d->front();
    sequences.push_back(regular);
    sequences.push_back(hubs);
    sequences.push_back(mixed);
    for (const auto& degrees : sequences) {
        const auto want = must(knotwell::configuration_model(degrees, 5));
        std::uint64_t stubs = 0;
        for (std::uint64_t d : degrees) stubs += d;
        CHECK(want.edges.size() / 2 + want.discarded == stubs / 2);
        for (const EdgeSetOptions& o : variants) {
            const auto got = must(knotwell::configuration_model(degrees, 5, o));
            CHECK(got.edges == want.edges && got.discarded == want.discarded);
            // Not the stubs' buffer when at most half the pairings were kept.
            if (2 * got.edges.size() <= stubs) CHECK(got.edges.capacity() == got.edges.size());
        }
    }

    struct Rewire {
        std::uint64_t n;
        EdgeList edges;
        std::uint64_t target, attempts;
    };
    std::vector<Rewire> rewires;
    for (std::uint64_t n : {std::uint64_t{40}, std::uint64_t{2000}, narrow - 1}) {
        EdgeList e;
        std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
        const std::uint64_t span = std::min<std::uint64_t>(n, 300);
        while (e.size() < (n == 40 ? 300u : 6000u)) {
            // Ids near n: the top of the narrow range for n = 2^32 - 1.
            const std::uint64_t u = n - 1 - rng() % span, v = n - 1 - rng() % span;
            if (u == v || !seen.insert({std::min(u, v), std::max(u, v)}).second) continue;
            e.push_back({u, v});
        }
        rewires.push_back({n, e, 4 * e.size(), 6 * e.size()});
    }
    rewires.push_back({5, EdgeList{{0, 1}, {2, 3}}, 10, 10});
    rewires.push_back({5, EdgeList{{0, 1}, {3, 4}, {1, 0}, {2, 2}}, 10, 10});  // repeat before loop
    rewires.push_back({5, EdgeList{{0, 1}, {3, 3}, {4, 3}, {3, 4}}, 10, 10});  // loop before repeat
    for (const Rewire& r : rewires) {
        auto base = knotwell::rewire_degree_preserving(knotwell::OwnedRows::of(r.n, r.edges), 1, r.target, r.attempts,
                                                       9, {RowRefs::Never, 0});
        for (const EdgeSetOptions& o : variants) {
            auto got = knotwell::rewire_degree_preserving(knotwell::OwnedRows::of(r.n, r.edges), 1, r.target,
                                                          r.attempts, 9, o);
            CHECK(got.ok() == base.ok());
            if (!got.ok()) {
                CHECK(got.error().message() == base.error().message());
                continue;
            }
            CHECK(got.value().edges == base.value().edges);
            CHECK(got.value().swaps == base.value().swaps && got.value().attempts == base.value().attempts);
        }
        // Rewiring kept every degree.
        if (base.ok() && r.edges.size() > 10) {
            std::map<std::uint64_t, long> degree;
            for (const Edge& e : r.edges) ++degree[e.source], ++degree[e.target];
            const auto& rows = base.value().edges;
            for (std::size_t k = 0; k < rows.size(); k += 2) {
                CHECK(rows[k] < rows[k + 1]);
                --degree[rows[k]];
                --degree[rows[k + 1]];
            }
            for (const auto& [v, d] : degree) CHECK(d == 0);
            CHECK(base.value().swaps[0] > 0);
        }
    }
}

int graphs() {
    std::mt19937_64 rng(12345);
    // Worked cases of the builder.
    auto a = knotwell::build_adjacency(2, EdgeList{{0, 1}, {1, 0}, {0, 1}}, true);
    CHECK(a.ok() && a.value().targets == (knotwell::ScratchVector<std::uint64_t>{1, 0}));
    auto loop = knotwell::build_adjacency(3, EdgeList{{2, 2}}, true);
    CHECK(loop.ok() && loop.value().targets == (knotwell::ScratchVector<std::uint64_t>{2}));
    auto bad = knotwell::build_adjacency(3, EdgeList{{0, 5}, {7, 1}}, true);
    CHECK(!bad.ok() && bad.error().message() == "edge 0 (0, 5) names a node id outside [0, 3)");
    EdgeList many;
    for (std::uint64_t v = 25; v >= 1; --v) many.push_back({0, v}), many.push_back({0, v});
    check_adjacency(26, many, false);
    check_adjacency(26, many, true);
    bool threw = false;
    try {
        knotwell::build_adjacency(UINT64_MAX, EdgeList{{0, 1}}, true);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
    check_size_rules();
    check_scratch_cache();
    check_group_arcs();
    for (std::uint64_t n : {0, 1, 2, 7, 300, 4000}) {
        check_group_by_source<std::uint32_t>(rng, n, 6 * n);
        check_group_by_source<std::uint64_t>(rng, n, n / 2);
    }
    check_pair_sums();
    check_owned_rows(rng);
    check_row_ref_set(rng);
    check_generator_edge_sets(rng);
    check_weight_scaling();
    for (std::uint64_t n : {0, 1, 50, 5000}) {
        check_degree_order<std::uint32_t>(rng, n, n / 3 + 1);
        check_degree_order<std::uint64_t>(rng, n, 2);
    }

    for (int round = 0; round < 40; ++round) {
        const std::uint64_t n = round < 5 ? static_cast<std::uint64_t>(round) : 1 + rng() % 3000;
        const std::size_t m = n == 0 ? 0 : rng() % (8 * n + 1);
        const EdgeList edges = random_edges(rng, n, m);
        for (bool undirected : {true, false}) {
            check_adjacency(n, edges, undirected);
            check_search<std::uint32_t>(n, edges, undirected);
            check_search<std::uint64_t>(n, edges, undirected);
        }
        if (round < 12) check_csr_options(rng, n, edges);
        if (round < 12) check_unit_weights<std::uint32_t>(n, edges);
        if (round < 12) check_unit_weights_simple<std::uint64_t>(n, edges);
    }
    // Both sides of the switch from one direct counting sort to the blocked
    // one (above 2^16 keys), with keys in several blocks.
    for (std::uint64_t n : {std::uint64_t{1} << 16, (std::uint64_t{1} << 16) + 1, std::uint64_t{300000}}) {
        const EdgeList edges = random_edges(rng, n, 4 * n);
        check_adjacency(n, edges, true);
        if (n < 300000)
            check_csr_options(rng, n, edges);
        else
            check_csr_options(rng, n, edges, {knotwell::Merge::Sum, knotwell::Merge::Count});
        check_unit_weights<std::uint64_t>(n, edges);
        check_unit_weights_simple<std::uint32_t>(n, edges);
        if (n < 300000) check_traversal_rows(n, edges);
    }
    std::puts("ok");
    return 0;
}

}  // namespace

// The cache's limit as the environment sets it: prints the limit and the
// bytes held after one block of kMinBytes has been given back.
int scratch_limit() {
    namespace sc = knotwell::scratch;
    sc::give(sc::take(sc::kMinBytes), sc::kMinBytes);
    std::printf("%zu %zu\n", sc::limit_bytes(), sc::held_bytes());
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "sizing") == 0) return sizing();
    if (argc == 2 && std::strcmp(argv[1], "pool") == 0) return pool();
    if (argc == 2 && std::strcmp(argv[1], "graphs") == 0) return graphs();
    if (argc == 2 && std::strcmp(argv[1], "scratch-limit") == 0) return scratch_limit();
    std::fprintf(stderr, "usage: core_check sizing|pool|graphs\n");
    return 2;
}
