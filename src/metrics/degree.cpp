#include "metrics/degree.hpp"

namespace knotwell {
namespace {

// Counts one block of rows (the call's own copy), checked first as a whole:
// the counting loop then runs without a branch on the ids.
template <DegreeKind kind>
Check count_block(std::uint64_t n, std::uint64_t first, std::span<const Edge> block, std::uint64_t* c) {
    if (Check bad = check_edge_block(n, first, block)) return bad;
    for (const Edge& e : block) {
        const NodeId u = e.source, v = e.target;
        if constexpr (kind == DegreeKind::Out) {
            ++c[u];
        } else if constexpr (kind == DegreeKind::In) {
            ++c[v];
        } else {
            // The self-loop counts once: +1 at the source, +1 at the target
            // unless it is the source.
            ++c[u];
            c[v] += v != u;
        }
    }
    return std::nullopt;
}

template <DegreeKind kind>
Check count_all(std::uint64_t n, const SharedEdges& edges, std::uint64_t* c) {
    return for_each_edge_block(
        edges, [&](std::uint64_t first, std::span<const Edge> block) { return count_block<kind>(n, first, block, c); });
}

Check check_range(std::uint64_t n, const SharedEdges& edges) {
    return for_each_edge_block(
        edges, [n](std::uint64_t first, std::span<const Edge> block) { return check_edge_block(n, first, block); });
}

}  // namespace

Result<std::vector<std::uint64_t>> degree_sequence(std::uint64_t n, const SharedEdges& edges, DegreeKind kind) {
    // Counters no larger than the rows (n <= 2m) cost less to allocate than
    // a pass over the rows: the counting pass alone checks them, block by
    // block in row order, so it reports the same first bad row.
    if (n / 2 > edges.rows)
        if (Check bad = check_range(n, edges)) return *bad;
    std::vector<std::uint64_t> count(n, 0);
    Check changed;
    switch (kind) {
        case DegreeKind::Out:
            changed = count_all<DegreeKind::Out>(n, edges, count.data());
            break;
        case DegreeKind::In:
            changed = count_all<DegreeKind::In>(n, edges, count.data());
            break;
        case DegreeKind::Undirected:
            changed = count_all<DegreeKind::Undirected>(n, edges, count.data());
            break;
    }
    if (changed) return *changed;
    return count;
}

Result<std::vector<double>> strength_sequence(std::uint64_t n, const SharedEdges& edges, const SharedWeights& weights,
                                              bool directed) {
    if (Check bad = check_range(n, edges)) return *bad;
    if (weights.size != edges.rows) return InputError::weights_length(weights.size, edges.rows);
    if (Check bad = for_each_weight_block(weights, check_weight_block)) return *bad;
    std::vector<double> sum(n, 0.0);
    double* s = sum.data();
    Check changed = for_each_weighted_block(
        edges, weights, [&](std::uint64_t first, std::span<const Edge> block, std::span<const double> w) -> Check {
            if (Check bad = check_edge_block(n, first, block)) return bad;
            if (Check bad = check_weight_block(first, w)) return bad;
            for (std::size_t i = 0; i < block.size(); ++i) {
                const NodeId u = block[i].source, v = block[i].target;
                s[u] += w[i];
                if (!directed && v != u) s[v] += w[i];
            }
            return std::nullopt;
        });
    if (changed) return *changed;
    return sum;
}

}  // namespace knotwell
