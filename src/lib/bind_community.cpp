// Wrappers of the community functions: modularity, Louvain and label
// propagation.
#include "community/label_propagation.hpp"
#include "community/louvain.hpp"
#include "community/modularity.hpp"
#include "lib/bindings.hpp"

namespace knotwell::bind {
namespace {

py::Ref louvain_rust(std::uint64_t, OwnedRows edges, std::optional<std::vector<double>> weights, double resolution,
                     std::optional<std::uint64_t> seed, std::uint64_t max_levels) {
    LouvainResult r =
        py::compute(sig::kLouvain, [&] { return louvain(std::move(edges), weights, resolution, seed, max_levels); });
    py::Ref labels = py::u64_vector(std::move(r.labels));
    py::Ref modularity = py::to_float(r.modularity);
    py::Ref communities = py::to_int(r.n_communities);
    py::Ref levels = py::to_int(r.n_levels);
    return py::tuple({&labels, &modularity, &communities, &levels});
}

py::Ref label_propagation_rust(std::uint64_t, OwnedRows edges, std::optional<std::vector<double>> weights,
                               std::uint64_t seed, std::uint64_t max_iter) {
    return py::u64_vector(py::compute(sig::kLabelPropagation,
                                      [&] { return label_propagation(std::move(edges), weights, seed, max_iter); }));
}

py::Ref modularity_rust(std::uint64_t, OwnedRows edges, std::vector<std::uint64_t> labels,
                        std::optional<std::vector<double>> weights, double resolution) {
    return py::to_float(
        py::compute(sig::kModularity, [&] { return modularity(std::move(edges), labels, weights, resolution); }));
}

}  // namespace

std::span<const PyMethodDef> community_methods() {
    static const PyMethodDef methods[] = {
        py::method<sig::kLouvain, louvain_rust>(),
        py::method<sig::kLabelPropagation, label_propagation_rust>(),
        py::method<sig::kModularity, modularity_rust>(),
    };
    return methods;
}

}  // namespace knotwell::bind
