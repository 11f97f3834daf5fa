// Wrappers of the breadth-first distance and component functions.
#include "lib/bindings.hpp"
#include "paths/paths.hpp"

namespace knotwell::bind {

PyObject* mean_shortest_path_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kMeanShortestPath, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);  // the last parameter: read in place
        const SharedEdges edges = py::to_edge_rows(edges_array);
        return py::to_float(py::compute(sig::kMeanShortestPath, [&] { return paths::mean_shortest_path(n, edges); }));
    });
}

PyObject* shortest_paths_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kShortestPaths, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        // The rows are read in place only when converting the later
        // arguments runs no Python code: a plain int source (the flag must be
        // a bool). Any other source's __index__ could change the array, so
        // the rows are copied first.
        const py::EdgeRows edges_array = a.edge_rows(1, a.is_plain_int(2));
        const std::uint64_t source = a.count(2);
        const bool directed = a.flag(3);
        const SharedEdges edges = py::to_edge_rows(edges_array);
        return py::u64_vector(
            py::compute(sig::kShortestPaths, [&] { return paths::shortest_paths(n, edges, source, directed); }));
    });
}

PyObject* shortest_paths_multi_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kShortestPathsMulti, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::vector<NodeId> sources = a.id_vector(2);
        const bool directed = a.flag(3);
        OwnedRows edges = py::to_rows(std::move(edges_array));
        std::vector<std::uint64_t> matrix = py::compute(
            sig::kShortestPathsMulti, [&] { return paths::shortest_paths_multi(std::move(edges), sources, directed); });
        return py::u64_matrix(std::move(matrix), sources.size(), n);
    });
}

PyObject* connected_components_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kConnectedComponents, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);  // the last parameter: read in place
        const SharedEdges edges = py::to_edge_rows(edges_array);
        paths::Components components =
            py::compute(sig::kConnectedComponents, [&] { return paths::connected_components(n, edges); });
        py::Ref count = py::to_int(components.count);
        py::Ref labels = py::u64_vector(std::move(components.labels));
        return py::tuple({&count, &labels});
    });
}

}  // namespace knotwell::bind
