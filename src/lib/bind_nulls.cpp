// Wrappers of the random-graph generators: rewiring, configuration model and
// G(n, m).
#include "lib/bindings.hpp"
#include "nulls/nulls.hpp"

namespace knotwell::bind {

PyObject* rewire_degree_preserving_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kRewire, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::uint64_t n_samples = a.count(2);
        const std::uint64_t target_swaps = a.count(3);
        const std::uint64_t max_attempts = a.count(4);
        const std::uint64_t seed = a.count(5);
        const OwnedRows edges = py::to_rows(std::move(edges_array));
        RewireResult result = py::compute(
            sig::kRewire, [&] { return rewire_degree_preserving(edges, n_samples, target_swaps, max_attempts, seed); });
        py::Ref block = py::u64_block(std::move(result.edges), n_samples, edges.size(), 2);
        py::Ref swaps = py::int_list(result.swaps);
        py::Ref attempts = py::int_list(result.attempts);
        return py::tuple({&block, &swaps, &attempts});
    });
}

PyObject* configuration_model_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kConfigurationModel, args, nargs, kwnames);
        const std::vector<std::uint64_t> degrees = a.id_vector(0);
        const std::uint64_t seed = a.count(1);
        ConfigurationResult result =
            py::compute(sig::kConfigurationModel, [&] { return configuration_model(degrees, seed); });
        const std::size_t rows = result.edges.size() / 2;
        py::Ref edges = py::u64_matrix(std::move(result.edges), rows, 2);
        py::Ref discarded = py::to_int(result.discarded);
        return py::tuple({&edges, &discarded});
    });
}

PyObject* erdos_renyi_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kErdosRenyi, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const std::uint64_t m = a.count(1);
        const std::uint64_t seed = a.count(2);
        return py::u64_matrix(py::compute(sig::kErdosRenyi, [&] { return erdos_renyi(n, m, seed); }), m, 2);
    });
}

}  // namespace knotwell::bind
