// Wrapper of the betweenness function.
#include "centrality/betweenness.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {

PyObject* betweenness_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kBetweenness, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const bool directed = a.flag(3);
        const bool normalized = a.flag(4);
        OwnedRows edges = py::to_rows(std::move(edges_array));
        return py::f64_vector(py::compute(sig::kBetweenness, [&] {
            std::optional<std::span<const double>> w;
            if (weights) w = std::span<const double>(*weights);
            return centrality::betweenness(std::move(edges), w, directed, normalized);
        }));
    });
}

}  // namespace knotwell::bind
