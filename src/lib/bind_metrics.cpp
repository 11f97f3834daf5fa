// Wrappers of the degree, strength, triangle, clustering and core functions.
// All keep the interpreter lock; the degree and strength sequences read the
// caller's rows in place where they may (SharedEdges, lib/slots.hpp).
#include "kcore/core.hpp"
#include "lib/bindings.hpp"
#include "metrics/degree.hpp"
#include "metrics/triangles.hpp"

namespace knotwell::bind {
namespace {

py::Ref degree_rust(std::uint64_t n, SharedEdges edges, bool directed) {
    const DegreeKind kind = directed ? DegreeKind::Out : DegreeKind::Undirected;
    return py::u64_vector(py::compute(sig::kDegree, [&] { return degree_sequence(n, edges, kind); }));
}

py::Ref in_degree_rust(std::uint64_t n, SharedEdges edges) {
    return py::u64_vector(py::compute(sig::kInDegree, [&] { return degree_sequence(n, edges, DegreeKind::In); }));
}

py::Ref out_degree_rust(std::uint64_t n, SharedEdges edges) {
    return py::u64_vector(py::compute(sig::kOutDegree, [&] { return degree_sequence(n, edges, DegreeKind::Out); }));
}

py::Ref strength_rust(std::uint64_t n, SharedEdges edges, SharedWeights weights, bool directed) {
    return py::f64_vector(py::compute(sig::kStrength, [&] { return strength_sequence(n, edges, weights, directed); }));
}

py::Ref triangles_per_node_rust(std::uint64_t, OwnedRows edges) {
    TriangleCounts counts = py::compute(sig::kTriangles, [&] { return count_triangles(std::move(edges)); });
    return py::u64_vector(std::move(counts.triangles));
}

py::Ref clustering_local_rust(std::uint64_t, OwnedRows edges) {
    return py::f64_vector(
        py::compute(sig::kClusteringLocal, [&] { return clustering_coefficients(std::move(edges)); }));
}

py::Ref clustering_avg_rust(std::uint64_t, OwnedRows edges) {
    return py::to_float(py::compute(sig::kClusteringAvg, [&] { return average_clustering(std::move(edges)); }));
}

py::Ref core_numbers_rust(std::uint64_t, OwnedRows edges) {
    return py::u64_vector(py::compute(sig::kCoreNumbers, [&] { return core_numbers(std::move(edges)); }));
}

}  // namespace

std::span<const PyMethodDef> metrics_methods() {
    static const PyMethodDef methods[] = {
        py::method<sig::kDegree, degree_rust>(),
        py::method<sig::kInDegree, in_degree_rust>(),
        py::method<sig::kOutDegree, out_degree_rust>(),
        py::method<sig::kStrength, strength_rust>(),
        py::method<sig::kTriangles, triangles_per_node_rust>(),
        py::method<sig::kClusteringAvg, clustering_avg_rust>(),
        py::method<sig::kClusteringLocal, clustering_local_rust>(),
        py::method<sig::kCoreNumbers, core_numbers_rust>(),
    };
    return methods;
}

}  // namespace knotwell::bind
