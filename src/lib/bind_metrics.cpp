// Wrappers of the degree, strength, triangle, clustering and core functions.
// All keep the interpreter lock.
#include "kcore/core.hpp"
#include "lib/bindings.hpp"
#include "metrics/degree.hpp"
#include "metrics/triangles.hpp"

namespace knotwell::bind {
namespace {

// Degree sequences read the rows in place (see py::EdgeRows): nothing after
// `edges` runs Python code.
PyObject* degrees(const sig::Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::optional<DegreeKind> fixed) {
    return py::guarded([&] {
        py::Args a(f, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);
        const DegreeKind kind = fixed ? *fixed : (a.flag(2) ? DegreeKind::Out : DegreeKind::Undirected);
        const SharedEdges edges = py::to_edge_rows(edges_array);
        return py::u64_vector(py::compute(f, [&] { return degree_sequence(n, edges, kind); }));
    });
}

// The (n, edges) functions: converted, copied and shape-checked rows.
OwnedRows graph_args(const sig::Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(f, args, nargs, kwnames);
    const std::uint64_t n = a.count(0);
    return py::to_rows(a.edge_array(1, n));
}

}  // namespace

PyObject* degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(sig::kDegree, args, nargs, kwnames, std::nullopt);
}

PyObject* in_degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(sig::kInDegree, args, nargs, kwnames, DegreeKind::In);
}

PyObject* out_degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(sig::kOutDegree, args, nargs, kwnames, DegreeKind::Out);
}

PyObject* strength_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(sig::kStrength, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);
        const py::WeightRows weights_array = a.weight_rows(2);
        const bool directed = a.flag(3);
        const SharedEdges edges = py::to_edge_rows(edges_array);
        const SharedWeights weights = py::to_weight_rows(weights_array);
        return py::f64_vector(
            py::compute(sig::kStrength, [&] { return strength_sequence(n, edges, weights, directed); }));
    });
}

PyObject* triangles_per_node_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        OwnedRows edges = graph_args(sig::kTriangles, args, nargs, kwnames);
        TriangleCounts counts = py::compute(sig::kTriangles, [&] { return count_triangles(std::move(edges)); });
        return py::u64_vector(std::move(counts.triangles));
    });
}

PyObject* clustering_local_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        OwnedRows edges = graph_args(sig::kClusteringLocal, args, nargs, kwnames);
        return py::f64_vector(
            py::compute(sig::kClusteringLocal, [&] { return clustering_coefficients(std::move(edges)); }));
    });
}

PyObject* clustering_avg_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        OwnedRows edges = graph_args(sig::kClusteringAvg, args, nargs, kwnames);
        return py::to_float(py::compute(sig::kClusteringAvg, [&] { return average_clustering(std::move(edges)); }));
    });
}

PyObject* core_numbers_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        OwnedRows edges = graph_args(sig::kCoreNumbers, args, nargs, kwnames);
        return py::u64_vector(py::compute(sig::kCoreNumbers, [&] { return core_numbers(std::move(edges)); }));
    });
}

}  // namespace knotwell::bind
