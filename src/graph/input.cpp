// Content checks and the message catalogue of failed checks.
#include "graph/input.hpp"

#include <charconv>
#include <cmath>

namespace knotwell {

namespace {

using std::to_string;

std::string describe(const InputError::EdgeOutOfRange& e) {
    return "edge " + to_string(e.row) + " (" + to_string(e.source) + ", " + to_string(e.target) +
           ") names a node id outside [0, " + to_string(e.n) + ")";
}

std::string describe(const InputError::WeightsLength& e) {
    return "weights length (" + to_string(e.weights_len) + ") must match edges length (" + to_string(e.edges_len) + ")";
}

std::string describe(const InputError::BadWeight& e) {
    return "weight " + to_string(e.index) + " is " + format_weight(e.value) + ", but " + e.rule;
}

std::string describe(const InputError::LabelsLength& e) {
    return "labels length (" + to_string(e.labels_len) + ") must equal the node count (" + to_string(e.n) + ")";
}

std::string describe(const InputError::BadParameter& e) { return e.name + " " + e.requirement; }

std::string describe(const InputError::EdgeShape& e) {
    return "edges must have shape [m, 2], got [" + to_string(e.rows) + ", " + to_string(e.cols) + "]";
}

}  // namespace

std::string InputError::message() const {
    return std::visit([](const auto& d) { return describe(d); }, detail);
}

Check check_edge_range(std::uint64_t n, std::span<const Edge> edges, std::uint64_t first) {
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Edge e = edges[i];
        if (e.source >= n || e.target >= n) return InputError::edge_out_of_range(first + i, e.source, e.target, n);
    }
    return std::nullopt;
}

bool is_positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

Check check_weights(std::span<const double> weights, std::uint64_t m, WeightMode mode) {
    if (weights.size() != m) return InputError::weights_length(weights.size(), m);
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double w = weights[i];
        const bool good = mode == WeightMode::NonNegative ? (std::isfinite(w) && !(w < 0.0)) : is_positive_finite(w);
        if (!good)
            return InputError::bad_weight(i, w, mode == WeightMode::NonNegative ? kRuleNonNegative : kRuleDistance);
    }
    return std::nullopt;
}

Check check_labels_length(std::uint64_t labels_len, std::uint64_t n) {
    if (labels_len != n) return InputError::labels_length(labels_len, n);
    return std::nullopt;
}

std::string format_weight(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    // Shortest round-trip digits in scientific form: d[.ddd]e[+-]XX.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    const auto epos = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < epos; ++i)
        if (sci[i] != '.') digits += sci[i];
    const int exp10 = std::stoi(sci.substr(epos + 1));
    // Value = 0.digits * 10^(exp10 + 1): the decimal point sits after `point` digits.
    const long point = static_cast<long>(exp10) + 1;
    std::string out = std::signbit(x) ? "-" : "";
    const long nd = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= nd) {
        out += digits + std::string(static_cast<std::size_t>(point - nd), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace knotwell
