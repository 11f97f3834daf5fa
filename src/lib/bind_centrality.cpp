// Wrapper of the betweenness function.
#include "centrality/betweenness.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kBetweennessNames[] = {"n", "edges", "weights", "directed", "normalized"};
constexpr py::Signature kBetweennessSig{"betweenness_rust", kBetweennessNames, 2};

}  // namespace

PyObject* betweenness_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kBetweennessSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const bool directed = a.flag(3, false);
        const bool normalized = a.flag(4, true);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        // Everything the computation reads is owned by the call from here on;
        // the content checks run without the lock and raise after it is back.
        Result<std::vector<double>> values = py::without_gil([&] {
            std::optional<std::span<const double>> w;
            if (weights) w = std::span<const double>(*weights);
            return centrality::betweenness(n, edges, w, directed, normalized);
        });
        return py::f64_vector(py::unwrap(std::move(values))).release();
    });
}

}  // namespace knotwell::bind
