// Wrapper of the betweenness function.
#include "centrality/betweenness.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {
namespace {

py::Ref betweenness_rust(std::uint64_t, OwnedRows edges, std::optional<std::vector<double>> weights, bool directed,
                         bool normalized) {
    return py::f64_vector(py::compute(sig::kBetweenness, [&] {
        std::optional<std::span<const double>> w;
        if (weights) w = std::span<const double>(*weights);
        return centrality::betweenness(std::move(edges), w, directed, normalized);
    }));
}

}  // namespace

std::span<const PyMethodDef> centrality_methods() {
    static const PyMethodDef methods[] = {py::method<sig::kBetweenness, betweenness_rust>()};
    return methods;
}

}  // namespace knotwell::bind
