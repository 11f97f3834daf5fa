// Wrappers of the degree, strength, triangle, clustering and core functions.
#include "lib/bindings.hpp"
#include "metrics/degree.hpp"

namespace knotwell::bind {
namespace {

constexpr const char* kNEdges[] = {"n", "edges"};
constexpr const char* kNEdgesDirected[] = {"n", "edges", "directed"};
constexpr const char* kStrengthNames[] = {"n", "edges", "weights", "directed"};

constexpr py::Signature kDegreeSig{"degree_rust", kNEdgesDirected, 3};
constexpr py::Signature kInDegreeSig{"in_degree_rust", kNEdges, 2};
constexpr py::Signature kOutDegreeSig{"out_degree_rust", kNEdges, 2};
constexpr py::Signature kStrengthSig{"strength_rust", kStrengthNames, 4};

PyObject* degrees(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::optional<DegreeKind> fixed) {
    return py::guarded([&] {
        py::Args a(sig, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const py::ArrayView edges_view = a.edge_array(1);
        DegreeKind kind = fixed ? *fixed : (a.flag(2) ? DegreeKind::Out : DegreeKind::Undirected);
        const py::EdgeRows edges(edges_view);
        return py::u64_vector(py::unwrap(degree_sequence(n, edges, kind))).release();
    });
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
        const py::ArrayView edges_view = a.edge_array(1);
        const py::ArrayView weights_view = a.weight_vector(2);
        const bool directed = a.flag(3);
        const py::EdgeRows edges(edges_view);
        const py::WeightRows weights(weights_view);
        py::raise_if(check_edge_range(n, edges));
        py::raise_if(check_weights(weights, edges.size(), WeightMode::NonNegative));
        return py::f64_vector(strength_sequence(n, edges, weights, directed)).release();
    });
}

}  // namespace knotwell::bind
