// Distance sums of one source at a time: a queue breadth-first search over
// the traversal graph (bfs.hpp), counting the nodes of each level. The sums
// follow from the level counts: total = sum of d * c_d, reached = 1 + sum of
// c_d, harmonic = sum of c_d / d in ascending d (one rounding per level,
// not per node). O(n_s + m_s) per source over what it reaches; the queue
// and depths are reset only where the previous search wrote.
#include "paths/source_sums.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "graph/edge_blocks.hpp"
#include "parallel/parallel.hpp"
#include "paths/bfs.hpp"

namespace knotwell::paths {
namespace {

template <class Id>
struct LevelSearch {
    static constexpr Id kUnseen = std::numeric_limits<Id>::max();
    std::vector<Id> depth;
    std::vector<Id> queue;

    explicit LevelSearch(std::uint64_t n) : depth(n, kUnseen), queue(n) {}

    // Returns the work done (nodes reached plus arcs scanned).
    std::uint64_t run(const Csr<Id>& g, Id s, SourceSums& out, std::size_t slot) {
        std::uint64_t total = 0, arcs = 0;
        double harmonic = 0.0;
        depth[s] = 0;
        queue[0] = s;
        std::uint64_t lo = 0, hi = 1, tail = 1;
        for (Id d = 1; lo < hi; ++d) {
            for (std::uint64_t i = lo; i < hi; ++i) {
                const Id v = queue[i];
                arcs += g.degree(v);
                for (const Id w : g.neighbours(v)) {
                    if (depth[w] != kUnseen) continue;
                    depth[w] = d;
                    queue[tail++] = w;
                }
            }
            const std::uint64_t level = tail - hi;
            if (level > 0) {
                total += level * d;
                harmonic += static_cast<double>(level) / static_cast<double>(d);
            }
            lo = hi;
            hi = tail;
        }
        for (std::uint64_t i = 0; i < tail; ++i) depth[queue[i]] = kUnseen;
        out.total[slot] = total;
        out.reached[slot] = tail;
        out.harmonic[slot] = harmonic;
        return tail + arcs;
    }
};

struct NoFailure {};

}  // namespace

Result<SourceSums> source_distance_sums(OwnedRows&& edges, std::uint64_t first, std::uint64_t last, bool directed,
                                        bool use_pool) {
    if (const Check& err = edges.range_failure()) return *err;
    const std::uint64_t n = edges.n();
    return with_id_type(n, [&]<class Id>() -> Result<SourceSums> {
        TraversalRows<Id> rows{n, !directed, edges.take<Id>(), {}};
        // Incoming distances: the searches run on the reversed arcs.
        if (directed)
            for (IdPair<Id>& p : rows.pairs) std::swap(p.source, p.target);
        if (first > last || last > n) return InputError::bad_parameter("sources", "must be a range within [0, n]");
        const std::uint64_t k = last - first;
        require_node_arrays(n, kCsrBytesPerNode + 2 * sizeof(Id));
        require_node_arrays(k, 24);
        SourceSums out{std::vector<std::uint64_t>(k), std::vector<std::uint64_t>(k), std::vector<double>(k)};
        if (k == 0) return out;
        const Csr<Id> g = build_traversal_graph(std::move(rows));
        auto body = [&](std::size_t i, std::unique_ptr<LevelSearch<Id>>& search) -> std::optional<NoFailure> {
            search->run(g, static_cast<Id>(first + i), out, i);
            return std::nullopt;
        };
        if (use_pool) {
            parallel::collect_sweep_with<NoFailure>(
                k, [&] { return std::make_unique<LevelSearch<Id>>(n); }, body, parallel::work_product(k, n + g.arcs()));
        } else {
            LevelSearch<Id> search(n);
            parallel::InterruptPoll poll;
            for (std::uint64_t i = 0; i < k; ++i) poll.tick(search.run(g, static_cast<Id>(first + i), out, i));
        }
        return out;
    });
}

}  // namespace knotwell::paths
