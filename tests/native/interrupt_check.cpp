// Every long loop stops when its thread's poll hook asks it to.
//
// For each algorithm, on an input big enough for many polls:
//   1. the result with no hook;
//   2. the result with a hook that counts its calls and never stops: equal
//      to (1) bit for bit, and the hook ran;
//   3. with hooks that stop at the first, a middle and the last poll seen in
//      (2): the call throws Interrupted (calls on the worker pool, whose
//      polls follow the pool's timing, stop at the first poll only);
//   4. the result with no hook again: equal to (1), nothing left behind.
// Prints one line per algorithm: its name, the polls of (2), and the longest
// stretch without a poll as a share of the whole run.
//
// Exits non-zero with a message on the first failed check. Built and run by
// tests/test_interrupt.py.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "centrality/betweenness.hpp"
#include "community/label_propagation.hpp"
#include "community/louvain.hpp"
#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/edge_blocks.hpp"
#include "kcore/core.hpp"
#include "metrics/triangles.hpp"
#include "nulls/nulls.hpp"
#include "parallel/parallel.hpp"
#include "paths/paths.hpp"

namespace kp = knotwell::parallel;
using namespace knotwell;

#define CHECK(cond, name)                                                                           \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            std::fprintf(stderr, "%s: %s:%d: check failed: %s\n", name, __FILE__, __LINE__, #cond); \
            std::exit(1);                                                                           \
        }                                                                                           \
    } while (0)

namespace {

using Clock = std::chrono::steady_clock;

struct Digest {
    std::uint64_t h = 1469598103934665603ULL;
    void add(std::uint64_t x) {
        for (int i = 0; i < 8; ++i) h = (h ^ ((x >> (8 * i)) & 0xFF)) * 1099511628211ULL;
    }
    void add(double x) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        add(bits);
    }
    template <class T, class A>
    void add(const std::vector<T, A>& v) {
        add(static_cast<std::uint64_t>(v.size()));
        for (const T& x : v) {
            if constexpr (std::is_integral_v<T>)
                add(static_cast<std::uint64_t>(x));
            else
                add(x);
        }
    }
};

template <class T>
T must(Result<T>&& r, const char* name) {
    CHECK(r.ok(), name);
    return std::move(r.value());
}

EdgeList random_edges(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    EdgeList edges(m);
    for (Edge& e : edges) e = {gen() % n, gen() % n};
    return edges;
}

// Distinct pairs, no self-loops: input for rewiring.
EdgeList simple_edges(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
    EdgeList edges = random_edges(n, m, seed);
    for (Edge& e : edges)
        if (e.source > e.target) std::swap(e.source, e.target);
    std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
        return a.source != b.source ? a.source < b.source : a.target < b.target;
    });
    edges.erase(std::unique(edges.begin(), edges.end(),
                            [](const Edge& a, const Edge& b) { return a.source == b.source && a.target == b.target; }),
                edges.end());
    std::erase_if(edges, [](const Edge& e) { return e.source == e.target; });
    return edges;
}

struct Case {
    const char* name;
    bool pooled;  // runs on the worker pool
    std::function<std::uint64_t()> run;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    all.push_back({"erdos_renyi", false, [] {
                       Digest d;
                       d.add(must(erdos_renyi(1500, 1000000, 7), "erdos_renyi"));
                       return d.h;
                   }});
    all.push_back({"configuration_model", false, [] {
                       const std::vector<std::uint64_t> degrees(200000, 10);
                       ConfigurationResult r = must(configuration_model(degrees, 7), "configuration_model");
                       Digest d;
                       d.add(r.edges);
                       d.add(r.discarded);
                       return d.h;
                   }});
    all.push_back({"label_propagation", false, [] {
                       const EdgeList e = random_edges(50000, 200000, 1);
                       Digest d;
                       d.add(
                           must(label_propagation(OwnedRows::of(50000, e), std::nullopt, 3, 100), "label_propagation"));
                       return d.h;
                   }});
    all.push_back({"louvain", false, [] {
                       const EdgeList e = random_edges(50000, 200000, 2);
                       LouvainResult r = must(louvain(OwnedRows::of(50000, e), std::nullopt, 1.0, 5, 20), "louvain");
                       Digest d;
                       d.add(r.labels);
                       d.add(r.modularity);
                       return d.h;
                   }});
    all.push_back({"weighted_graph", false, [] {
                       const EdgeList e = random_edges(200000, 1000000, 3);
                       const auto g = build_weighted_graph<std::uint32_t>(OwnedRows::of(200000, e), std::nullopt);
                       Digest d;
                       d.add(g.lists.offsets);
                       d.add(g.lists.targets);
                       d.add(g.lists.weights);
                       return d.h;
                   }});
    all.push_back({"adjacency", false, [] {
                       const EdgeList e = random_edges(1000000, 2000000, 4);
                       Adjacency a = must(build_adjacency(1000000, e, true), "adjacency");
                       Digest d;
                       d.add(a.offsets);
                       d.add(a.targets);
                       return d.h;
                   }});
    all.push_back({"triangles", false, [] {
                       const EdgeList e = random_edges(20000, 400000, 5);
                       Digest d;
                       d.add(must(count_triangles(OwnedRows::of(20000, e)), "triangles").triangles);
                       return d.h;
                   }});
    all.push_back({"core_numbers", false, [] {
                       const EdgeList e = random_edges(200000, 1000000, 6);
                       Digest d;
                       d.add(must(core_numbers(OwnedRows::of(200000, e)), "core_numbers"));
                       return d.h;
                   }});
    all.push_back({"components", false, [] {
                       const EdgeList e = random_edges(1000000, 2000000, 7);
                       Digest d;
                       d.add(must(paths::connected_components(1000000, view_of(e)), "components").labels);
                       return d.h;
                   }});
    all.push_back({"shortest_paths_multi", true, [] {
                       std::vector<NodeId> sources(400);
                       for (std::size_t i = 0; i < sources.size(); ++i) sources[i] = i * 7;
                       Digest d;
                       d.add(must(paths::shortest_paths_multi(OwnedRows::of(20000, random_edges(20000, 100000, 8)),
                                                              sources, true),
                                  "shortest_paths_multi"));
                       return d.h;
                   }});
    all.push_back({"mean_shortest_path", true, [] {
                       const EdgeList e = random_edges(20000, 40000, 9);
                       Digest d;
                       d.add(must(paths::mean_shortest_path(20000, view_of(e)), "mean_shortest_path"));
                       return d.h;
                   }});
    all.push_back(
        {"betweenness", true, [] {
             const EdgeList e = random_edges(5000, 20000, 10);
             Digest d;
             d.add(must(centrality::betweenness(OwnedRows::of(5000, e), std::nullopt, false, true), "betweenness"));
             return d.h;
         }});
    // One sample: swaps in the result's own buffer, with an edge set that
    // refers to its rows.
    all.push_back({"rewire_one", true, [] {
                       const EdgeList e = simple_edges(10000, 30000, 12);
                       RewireResult r =
                           must(rewire_degree_preserving(OwnedRows::of(10000, e), 1, 2000000, 2000000, 3), "rewire");
                       Digest d;
                       d.add(r.edges);
                       d.add(r.swaps);
                       return d.h;
                   }});
    all.push_back({"rewire", true, [] {
                       const EdgeList e = simple_edges(10000, 30000, 11);
                       RewireResult r =
                           must(rewire_degree_preserving(OwnedRows::of(10000, e), 4, 2000000, 2000000, 3), "rewire");
                       Digest d;
                       d.add(r.edges);
                       d.add(r.swaps);
                       return d.h;
                   }});
    return all;
}

// Runs `c` under a hook that stops at poll `stop_at` (0: never); returns
// whether it was interrupted and, when `gaps` is given, the poll times.
bool run_hooked(const Case& c, std::uint64_t stop_at, std::uint64_t& polls, std::uint64_t* digest,
                std::vector<Clock::time_point>* times) {
    polls = 0;
    kp::PollScope scope(
        [&] {
            ++polls;
            if (times) times->push_back(Clock::now());
            return stop_at != 0 && polls >= stop_at;
        },
        std::chrono::nanoseconds(0));
    try {
        *digest = c.run();
    } catch (const kp::Interrupted&) {
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    for (const Case& c : cases()) {
        if (!only.empty() && only != c.name) continue;
        const std::uint64_t plain = c.run();

        std::uint64_t polls = 0, digest = 0;
        std::vector<Clock::time_point> times;
        const Clock::time_point start = Clock::now();
        CHECK(!run_hooked(c, 0, polls, &digest, &times), c.name);
        const Clock::time_point end = Clock::now();
        CHECK(digest == plain, c.name);
        CHECK(polls >= 1, c.name);

        double longest = 0;
        Clock::time_point last = start;
        times.push_back(end);
        for (const Clock::time_point t : times) {
            longest = std::max(longest, std::chrono::duration<double>(t - last).count());
            last = t;
        }
        const double total = std::chrono::duration<double>(end - start).count();

        std::vector<std::uint64_t> stops = {1};
        if (!c.pooled) stops.insert(stops.end(), {std::max<std::uint64_t>(1, polls / 2), polls});
        for (const std::uint64_t k : stops) {
            std::uint64_t seen = 0;
            CHECK(run_hooked(c, k, seen, &digest, nullptr), c.name);
            CHECK(seen == k, c.name);
        }
        CHECK(c.run() == plain, c.name);
        std::printf("%s %llu %.3f\n", c.name, static_cast<unsigned long long>(polls),
                    total > 0 ? longest / total : 0.0);
    }
    return 0;
}
