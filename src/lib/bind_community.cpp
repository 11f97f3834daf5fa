// Wrappers of the community functions: modularity, Louvain and label
// propagation.
#include "community/label_propagation.hpp"
#include "community/louvain.hpp"
#include "community/modularity.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {

PyObject* louvain_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kLouvain, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const double resolution = a.real(3);
        const std::optional<std::uint64_t> seed = a.optional_count(4);
        const std::uint64_t max_levels = a.count(5);
        OwnedRows edges = py::to_rows(std::move(edges_array));
        LouvainResult r = py::compute(sig::kLouvain,
                                      [&] { return louvain(std::move(edges), weights, resolution, seed, max_levels); });
        py::Ref labels = py::u64_vector(std::move(r.labels));
        py::Ref modularity = py::to_float(r.modularity);
        py::Ref communities = py::to_int(r.n_communities);
        py::Ref levels = py::to_int(r.n_levels);
        return py::tuple({&labels, &modularity, &communities, &levels});
    });
}

PyObject* label_propagation_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kLabelPropagation, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const std::uint64_t seed = a.count(3);
        const std::uint64_t max_iter = a.count(4);
        OwnedRows edges = py::to_rows(std::move(edges_array));
        return py::u64_vector(py::compute(
            sig::kLabelPropagation, [&] { return label_propagation(std::move(edges), weights, seed, max_iter); }));
    });
}

PyObject* modularity_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kModularity, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::vector<std::uint64_t> labels = a.id_vector(2);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(3);
        const double resolution = a.real(4);
        OwnedRows edges = py::to_rows(std::move(edges_array));
        return py::to_float(
            py::compute(sig::kModularity, [&] { return modularity(std::move(edges), labels, weights, resolution); }));
    });
}

}  // namespace knotwell::bind
