// Edge rows and weights read straight from memory the call does not own (a
// caller's array, which another thread may be writing meanwhile), for the
// one-pass functions that would otherwise spend more on copying the rows
// than on using them.
//
// The rows are read a block at a time into a small buffer of the reader's
// own and only that copy is looked at: every value is read from the foreign
// memory exactly once per pass, so a value that is checked is the value that
// is used. A function that makes two passes re-checks in the second what it
// uses, since the memory may have changed in between.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "graph/input.hpp"

namespace knotwell {

// `rows` pairs of ids at `data`, packed (source, target) as in an
// `EdgeList`; `data` need not be aligned.
struct SharedEdges {
    const std::byte* data = nullptr;
    std::uint64_t rows = 0;
};

// Rows the call owns, seen through the same interface.
inline SharedEdges view_of(std::span<const Edge> edges) {
    return {reinterpret_cast<const std::byte*>(edges.data()), edges.size()};
}

// `size` packed doubles at `data`.
struct SharedWeights {
    const std::byte* data = nullptr;
    std::uint64_t size = 0;
};

inline constexpr std::size_t kEdgeBlockRows = 512;  // 8 KiB of rows: stays in the L1 cache beside what they index

// An empty array may have no memory at all (data null), which memcpy must
// not be given even for zero bytes.
inline void read_block(const SharedEdges& src, std::uint64_t first, std::size_t count, Edge* out) {
    if (count == 0) return;
    std::memcpy(out, src.data + first * sizeof(Edge), count * sizeof(Edge));
}

inline void read_block(const SharedWeights& src, std::uint64_t first, std::size_t count, double* out) {
    if (count == 0) return;
    std::memcpy(out, src.data + first * sizeof(double), count * sizeof(double));
}

// One row or weight read from the caller's memory straight into registers,
// for loops that use each value as they read it (keeping a copy of it only
// where a failure must later be named from that copy). The empty asm makes
// the values opaque to the compiler, which therefore cannot read the memory
// again: what is checked is what is used.
inline Edge read_row(const SharedEdges& src, std::uint64_t i) {
    NodeId u, v;
    std::memcpy(&u, src.data + i * sizeof(Edge), sizeof u);
    std::memcpy(&v, src.data + i * sizeof(Edge) + sizeof u, sizeof v);
    asm("" : "+r"(u), "+r"(v));
    return {u, v};
}

inline double read_weight(const SharedWeights& src, std::uint64_t i) {
    double w;
    std::memcpy(&w, src.data + i * sizeof(double), sizeof w);
    asm("" : "+x"(w));
    return w;
}

// Calls f(first, count) for consecutive blocks of at most kEdgeBlockRows of
// `rows` rows; stops at and returns the first failure f reports.
template <class F>
Check for_each_block(std::uint64_t rows, F&& f) {
    for (std::uint64_t first = 0; first < rows; first += kEdgeBlockRows) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kEdgeBlockRows, rows - first));
        if (Check failed = f(first, count)) return failed;
    }
    return std::nullopt;
}

// Calls f(first, block) for consecutive blocks of copied rows, first being
// the index of block[0]; stops at and returns the first failure f reports.
template <class F>
Check for_each_edge_block(const SharedEdges& edges, F&& f) {
    std::vector<Edge> buffer(std::min<std::uint64_t>(edges.rows, kEdgeBlockRows));
    for (std::uint64_t first = 0; first < edges.rows; first += buffer.size()) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), edges.rows - first));
        read_block(edges, first, count, buffer.data());
        if (Check failed = f(first, std::span<const Edge>(buffer.data(), count))) return failed;
    }
    return std::nullopt;
}

// The same over the weights alone.
template <class F>
Check for_each_weight_block(const SharedWeights& weights, F&& f) {
    std::vector<double> buffer(std::min<std::uint64_t>(weights.size, kEdgeBlockRows));
    for (std::uint64_t first = 0; first < weights.size; first += buffer.size()) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), weights.size - first));
        read_block(weights, first, count, buffer.data());
        if (Check failed = f(first, std::span<const double>(buffer.data(), count))) return failed;
    }
    return std::nullopt;
}

// Rows and their weights together (weights.size == edges.rows).
template <class F>
Check for_each_weighted_block(const SharedEdges& edges, const SharedWeights& weights, F&& f) {
    std::vector<double> values(std::min<std::uint64_t>(edges.rows, kEdgeBlockRows));
    return for_each_edge_block(edges, [&](std::uint64_t first, std::span<const Edge> block) {
        read_block(weights, first, block.size(), values.data());
        return f(first, block, std::span<const double>(values.data(), block.size()));
    });
}

// Range check of one block of rows whose first row has index `first`. The
// scan has no early exit, so it runs at the speed of the copy; only a block
// with a bad row is searched again for the first one.
inline Check check_edge_block(std::uint64_t n, std::uint64_t first, std::span<const Edge> block) {
    bool bad = false;
    for (const Edge& e : block) bad |= (e.source >= n) | (e.target >= n);
    if (!bad) return std::nullopt;
    for (std::size_t i = 0; i < block.size(); ++i)
        if (block[i].source >= n || block[i].target >= n)
            return InputError::edge_out_of_range(first + i, block[i].source, block[i].target, n);
    return std::nullopt;
}

// The first weight of one block that breaks the non-negative rule.
inline Check check_weight_block(std::uint64_t first, std::span<const double> block) {
    for (std::size_t i = 0; i < block.size(); ++i)
        if (!std::isfinite(block[i]) || block[i] < 0.0)
            return InputError::bad_weight(first + i, block[i], kRuleNonNegative);
    return std::nullopt;
}

}  // namespace knotwell
