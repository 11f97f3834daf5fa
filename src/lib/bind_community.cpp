// Wrappers of the community functions: modularity, Louvain and label
// propagation. Louvain and label propagation release the interpreter lock
// once their inputs are copied and run their checks without it.
#include "community/label_propagation.hpp"
#include "community/louvain.hpp"
#include "community/modularity.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kLouvainNames[] = {"n", "edges", "weights", "resolution", "seed", "max_levels"};
constexpr const char* kLabelPropagationNames[] = {"n", "edges", "weights", "seed", "max_iter"};
constexpr const char* kModularityNames[] = {"n", "edges", "labels", "weights", "resolution"};

constexpr py::Signature kLouvainSig{"louvain_rust", kLouvainNames, 2};
constexpr py::Signature kLabelPropagationSig{"label_propagation_rust", kLabelPropagationNames, 2};
constexpr py::Signature kModularitySig{"modularity_rust", kModularityNames, 3};

constexpr std::uint64_t kDefaultMaxLevels = 20;
constexpr std::uint64_t kDefaultMaxIter = 100;

}  // namespace

PyObject* louvain_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kLouvainSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const double resolution = a.real(3, 1.0);
        const std::optional<std::uint64_t> seed = a.optional_count(4);
        const std::uint64_t max_levels = a.count(5, kDefaultMaxLevels);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        LouvainResult r =
            py::unwrap(py::without_gil([&] { return louvain(n, edges, weights, resolution, seed, max_levels); }));
        py::Ref labels = py::u64_vector(std::move(r.labels));
        py::Ref modularity = py::to_float(r.modularity);
        py::Ref communities = py::to_int(r.n_communities);
        py::Ref levels = py::to_int(r.n_levels);
        return py::tuple({&labels, &modularity, &communities, &levels}).release();
    });
}

PyObject* label_propagation_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kLabelPropagationSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        std::optional<std::vector<double>> weights = a.optional_weight_vector(2);
        const std::uint64_t seed = a.count(3, 0);
        const std::uint64_t max_iter = a.count(4, kDefaultMaxIter);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        std::vector<std::uint64_t> labels =
            py::unwrap(py::without_gil([&] { return label_propagation(n, edges, weights, seed, max_iter); }));
        return py::u64_vector(std::move(labels)).release();
    });
}

PyObject* modularity_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kModularitySig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        std::vector<std::uint64_t> labels = a.id_vector(2);
        std::optional<std::vector<double>> weights = a.optional_weight_vector(3);
        const double resolution = a.real(4, 1.0);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        return py::to_float(py::unwrap(modularity(n, edges, labels, weights, resolution))).release();
    });
}

}  // namespace knotwell::bind
