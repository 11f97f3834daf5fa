// Wrappers of the breadth-first distance and component functions.
#include "lib/bindings.hpp"
#include "paths/paths.hpp"

namespace knotwell::bind {
namespace {

py::Ref mean_shortest_path_rust(std::uint64_t n, SharedEdges edges) {
    return py::to_float(py::compute(sig::kMeanShortestPath, [&] { return paths::mean_shortest_path(n, edges); }));
}

// The rows are read in place only for a plain int source: any other
// source's __index__ could change the array, so they are copied first.
py::Ref shortest_paths_rust(std::uint64_t n, SharedEdges edges, std::uint64_t source, bool directed) {
    return py::u64_vector(
        py::compute(sig::kShortestPaths, [&] { return paths::shortest_paths(n, edges, source, directed); }));
}

py::Ref shortest_paths_multi_rust(std::uint64_t n, OwnedRows edges, std::vector<NodeId> sources, bool directed) {
    std::vector<std::uint64_t> matrix = py::compute(
        sig::kShortestPathsMulti, [&] { return paths::shortest_paths_multi(std::move(edges), sources, directed); });
    return py::u64_matrix(std::move(matrix), sources.size(), n);
}

py::Ref connected_components_rust(std::uint64_t n, SharedEdges edges) {
    paths::Components components =
        py::compute(sig::kConnectedComponents, [&] { return paths::connected_components(n, edges); });
    py::Ref count = py::to_int(components.count);
    py::Ref labels = py::u64_vector(std::move(components.labels));
    return py::tuple({&count, &labels});
}

}  // namespace

std::span<const PyMethodDef> paths_methods() {
    static const PyMethodDef methods[] = {
        py::method<sig::kMeanShortestPath, mean_shortest_path_rust>(),
        py::method<sig::kShortestPaths, shortest_paths_rust>(),
        py::method<sig::kShortestPathsMulti, shortest_paths_multi_rust>(),
        py::method<sig::kConnectedComponents, connected_components_rust>(),
    };
    return methods;
}

}  // namespace knotwell::bind
