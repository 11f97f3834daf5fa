// Wrappers of the breadth-first distance and component functions.
#include "lib/bindings.hpp"
#include "paths/paths.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kNEdges[] = {"n", "edges"};
constexpr const char* kShortestPathsNames[] = {"n", "edges", "source", "directed"};
constexpr const char* kShortestPathsMultiNames[] = {"n", "edges", "sources", "directed"};

constexpr py::Signature kMeanShortestPathSig{"mean_shortest_path_rust", kNEdges, 2};
constexpr py::Signature kShortestPathsSig{"shortest_paths_rust", kShortestPathsNames, 4};
constexpr py::Signature kShortestPathsMultiSig{"shortest_paths_multi_rust", kShortestPathsMultiNames, 4};
constexpr py::Signature kConnectedComponentsSig{"connected_components_rust", kNEdges, 2};

}  // namespace

PyObject* mean_shortest_path_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kMeanShortestPathSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        return py::to_float(py::unwrap(paths::mean_shortest_path(n, edges))).release();
    });
}

PyObject* shortest_paths_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kShortestPathsSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        const std::uint64_t source = a.count(2);
        const bool directed = a.flag(3);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        return py::u64_vector(py::unwrap(paths::shortest_paths(n, edges, source, directed))).release();
    });
}

PyObject* shortest_paths_multi_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kShortestPathsMultiSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        std::vector<std::uint64_t> sources = a.id_vector(2);
        const bool directed = a.flag(3);
        EdgeList edges = py::to_edge_list(std::move(edges_array));
        std::vector<std::uint64_t> matrix = py::unwrap(py::without_gil(
            [&] { return paths::shortest_paths_multi(n, std::move(edges), sources, directed); }));
        return py::u64_matrix(std::move(matrix), sources.size(), n).release();
    });
}

PyObject* connected_components_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kConnectedComponentsSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1);
        const EdgeList edges = py::to_edge_list(std::move(edges_array));
        paths::Components components = py::unwrap(paths::connected_components(n, edges));
        py::Ref count = py::to_int(components.count);
        py::Ref labels = py::u64_vector(std::move(components.labels));
        return py::tuple({&count, &labels}).release();
    });
}

}  // namespace knotwell::bind
