// Wrappers of the degree, strength, triangle, clustering and core functions.
#include "lib/bindings.hpp"
#include "kcore/core.hpp"
#include "metrics/degree.hpp"
#include "metrics/triangles.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kNEdges[] = {"n", "edges"};
constexpr const char* kNEdgesDirected[] = {"n", "edges", "directed"};
constexpr const char* kStrengthNames[] = {"n", "edges", "weights", "directed"};

constexpr py::Signature kDegreeSig{"degree_rust", kNEdgesDirected, 3};
constexpr py::Signature kInDegreeSig{"in_degree_rust", kNEdges, 2};
constexpr py::Signature kOutDegreeSig{"out_degree_rust", kNEdges, 2};
constexpr py::Signature kStrengthSig{"strength_rust", kStrengthNames, 4};
constexpr py::Signature kTrianglesSig{"triangles_per_node_rust", kNEdges, 2};
constexpr py::Signature kClusteringAvgSig{"clustering_avg_rust", kNEdges, 2};
constexpr py::Signature kClusteringLocalSig{"clustering_local_rust", kNEdges, 2};
constexpr py::Signature kCoreNumbersSig{"core_numbers_rust", kNEdges, 2};

PyObject* degrees(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::optional<DegreeKind> fixed) {
    return py::guarded([&] {
        py::Args a(sig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);
        DegreeKind kind = fixed ? *fixed : (a.flag(2) ? DegreeKind::Out : DegreeKind::Undirected);
        const SharedEdges edges = py::to_edge_rows(edges_array);
        return py::u64_vector(py::unwrap(degree_sequence(n, edges, kind))).release();
    });
}

// n and the edge list of the (n, edges) functions, converted and
// shape-checked.
struct GraphArgs {
    std::uint64_t n;
    EdgeList edges;
};

GraphArgs graph_args(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    const std::uint64_t n = a.count(0);
    py::EdgeArray edges_array = a.edge_array(1);
    return GraphArgs{n, py::to_edge_list(std::move(edges_array))};
}

}  // namespace

PyObject* degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(kDegreeSig, args, nargs, kwnames, std::nullopt);
}

PyObject* in_degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(kInDegreeSig, args, nargs, kwnames, DegreeKind::In);
}

PyObject* out_degree_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return degrees(kOutDegreeSig, args, nargs, kwnames, DegreeKind::Out);
}

PyObject* strength_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(kStrengthSig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::EdgeRows edges_array = a.edge_rows(1);
        const py::WeightRows weights_array = a.weight_rows(2);
        const bool directed = a.flag(3);
        const SharedEdges edges = py::to_edge_rows(edges_array);
        const SharedWeights weights = py::to_weight_rows(weights_array);
        return py::f64_vector(py::unwrap(strength_sequence(n, edges, weights, directed))).release();
    });
}

PyObject* triangles_per_node_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        GraphArgs g = graph_args(kTrianglesSig, args, nargs, kwnames);
        TriangleCounts counts = py::unwrap(count_triangles(g.n, g.edges));
        return py::u64_vector(std::move(counts.triangles)).release();
    });
}

PyObject* clustering_local_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        GraphArgs g = graph_args(kClusteringLocalSig, args, nargs, kwnames);
        const TriangleCounts counts = py::unwrap(count_triangles(g.n, g.edges));
        return py::f64_vector(local_clustering(counts)).release();
    });
}

PyObject* clustering_avg_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        GraphArgs g = graph_args(kClusteringAvgSig, args, nargs, kwnames);
        // No nodes: 0.0 without building anything, so the edges go unchecked.
        if (g.n == 0) return py::to_float(0.0).release();
        const TriangleCounts counts = py::unwrap(count_triangles(g.n, g.edges));
        return py::to_float(mean_eight_way(local_clustering(counts))).release();
    });
}

PyObject* core_numbers_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        GraphArgs g = graph_args(kCoreNumbersSig, args, nargs, kwnames);
        return py::u64_vector(py::unwrap(core_numbers(g.n, g.edges))).release();
    });
}

}  // namespace knotwell::bind
