// Owned inputs of one call and the content checks run on them.
//
// Python-free: the algorithm units include this header for `EdgeList`,
// `InputError` and `Result`; only the binding layer turns an `InputError`
// into a Python `ValueError`.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "graph/scratch.hpp"

namespace knotwell {

using NodeId = std::uint64_t;

// The m rows (source, target) of the edge array, in input row order, with
// self-loops and repeats kept. Ids are not range-checked on construction.
struct Edge {
    NodeId source;
    NodeId target;
};
using EdgeList = ScratchVector<Edge>;  // call-scoped: see graph/scratch.hpp

// A failed content check; raised as ValueError with `message()`. Each kind
// carries the values its message names, under their own names.
struct InputError {
    // Row `row` of the edge array names an id >= n.
    struct EdgeOutOfRange {
        std::uint64_t row;
        NodeId source;
        NodeId target;
        std::uint64_t n;
    };
    struct WeightsLength {
        std::uint64_t weights_len;
        std::uint64_t edges_len;
    };
    // Weight `index` breaks `rule` (one of the kRule* texts below).
    struct BadWeight {
        std::uint64_t index;
        double value;
        std::string rule;
    };
    struct LabelsLength {
        std::uint64_t labels_len;
        std::uint64_t n;
    };
    // A scalar argument out of its domain: "<name> <requirement>".
    struct BadParameter {
        std::string name;
        std::string requirement;
    };
    // The edge array is not m x 2.
    struct EdgeShape {
        std::uint64_t rows;
        std::uint64_t cols;
    };
    using Detail = std::variant<EdgeOutOfRange, WeightsLength, BadWeight, LabelsLength, BadParameter, EdgeShape>;

    Detail detail;

    static InputError edge_out_of_range(std::uint64_t row, NodeId source, NodeId target, std::uint64_t n) {
        return {EdgeOutOfRange{row, source, target, n}};
    }
    static InputError weights_length(std::uint64_t weights_len, std::uint64_t edges_len) {
        return {WeightsLength{weights_len, edges_len}};
    }
    static InputError bad_weight(std::uint64_t index, double value, std::string rule) {
        return {BadWeight{index, value, std::move(rule)}};
    }
    static InputError labels_length(std::uint64_t labels_len, std::uint64_t n) { return {LabelsLength{labels_len, n}}; }
    static InputError bad_parameter(std::string name, std::string requirement) {
        return {BadParameter{std::move(name), std::move(requirement)}};
    }
    static InputError edge_shape(std::uint64_t rows, std::uint64_t cols) { return {EdgeShape{rows, cols}}; }

    std::string message() const;
};

// A value or the InputError that prevented it.
template <class T>
class Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(InputError error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const InputError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, InputError> v_;
};

using Check = std::optional<InputError>;

enum class WeightMode { NonNegative, Distance };

inline constexpr const char* kRuleNonNegative = "weights must be finite and non-negative";
inline constexpr const char* kRuleDistance = "weights are distances and must be finite and strictly positive";

// First edge (input order) with an id >= n; `first` is the row index of
// edges[0].
Check check_edge_range(std::uint64_t n, std::span<const Edge> edges, std::uint64_t first = 0);
// Length, then the first weight that breaks the mode's rule.
Check check_weights(std::span<const double> weights, std::uint64_t m, WeightMode mode);
Check check_labels_length(std::uint64_t labels_len, std::uint64_t n);
// Finite and strictly positive (the distance rule), as `resolution` needs.
bool is_positive_finite(double x);

// Shortest decimal text that reads back as `x`, never in exponent form;
// "NaN", "inf", "-inf", and "-0" for negative zero.
std::string format_weight(double x);

}  // namespace knotwell
