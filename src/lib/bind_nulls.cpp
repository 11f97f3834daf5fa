// Wrappers of the random-graph generators: rewiring, configuration model and
// G(n, m). All three release the interpreter lock for the whole computation,
// checks included, and build their results after taking it back.
#include "lib/bindings.hpp"
#include "nulls/nulls.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kRewireNames[] = {"n", "edges", "n_samples", "target_swaps", "max_attempts", "seed"};
constexpr const char* kConfigurationNames[] = {"degrees", "seed"};
constexpr const char* kErdosRenyiNames[] = {"n", "m", "seed"};

constexpr py::Signature kRewireSig{"rewire_degree_preserving_rust", kRewireNames, 6};
constexpr py::Signature kConfigurationSig{"configuration_model_rust", kConfigurationNames, 2};
constexpr py::Signature kErdosRenyiSig{"erdos_renyi_rust", kErdosRenyiNames, 3};

}  // namespace

PyObject* rewire_degree_preserving_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kRewireSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        const std::uint64_t n_samples = a.count(2);
        const std::uint64_t target_swaps = a.count(3);
        const std::uint64_t max_attempts = a.count(4);
        const std::uint64_t seed = a.count(5);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        RewireResult result = py::unwrap(py::without_gil([&] {
            return rewire_degree_preserving(n, edges, n_samples, target_swaps, max_attempts, seed);
        }));
        py::Ref block = py::u64_block(std::move(result.edges), n_samples, edges.size(), 2);
        py::Ref swaps = py::int_list(result.swaps);
        py::Ref attempts = py::int_list(result.attempts);
        return py::tuple({&block, &swaps, &attempts}).release();
    });
}

PyObject* configuration_model_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kConfigurationSig, args, nargs, kwnames);
        std::vector<std::uint64_t> degrees = a.id_vector(0);
        const std::uint64_t seed = a.count(1);
        ConfigurationResult result =
            py::unwrap(py::without_gil([&] { return configuration_model(degrees, seed); }));
        const std::size_t rows = result.edges.size() / 2;
        py::Ref edges = py::u64_matrix(std::move(result.edges), rows, 2);
        py::Ref discarded = py::to_int(result.discarded);
        return py::tuple({&edges, &discarded}).release();
    });
}

PyObject* erdos_renyi_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kErdosRenyiSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const std::uint64_t m = a.count(1);
        const std::uint64_t seed = a.count(2);
        std::vector<std::uint64_t> edges = py::unwrap(py::without_gil([&] { return erdos_renyi(n, m, seed); }));
        return py::u64_matrix(std::move(edges), m, 2).release();
    });
}

}  // namespace knotwell::bind
