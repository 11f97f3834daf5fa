// Wrappers of the random-graph generators: rewiring, configuration model and
// G(n, m).
#include "lib/bindings.hpp"
#include "nulls/nulls.hpp"

namespace knotwell::bind {
namespace {

py::Ref rewire_degree_preserving_rust(std::uint64_t, OwnedRows edges, std::uint64_t n_samples,
                                      std::uint64_t target_swaps, std::uint64_t max_attempts, std::uint64_t seed) {
    const std::uint64_t m = edges.size();
    RewireResult result = py::compute(sig::kRewire, [&] {
        return rewire_degree_preserving(std::move(edges), n_samples, target_swaps, max_attempts, seed);
    });
    py::Ref block = py::u64_block(std::move(result.edges), n_samples, m, 2);
    py::Ref swaps = py::int_list(result.swaps);
    py::Ref attempts = py::int_list(result.attempts);
    return py::tuple({&block, &swaps, &attempts});
}

py::Ref configuration_model_rust(std::vector<std::uint64_t> degrees, std::uint64_t seed) {
    ConfigurationResult result =
        py::compute(sig::kConfigurationModel, [&] { return configuration_model(degrees, seed); });
    const std::size_t rows = result.edges.size() / 2;
    py::Ref edges = py::u64_matrix(std::move(result.edges), rows, 2);
    py::Ref discarded = py::to_int(result.discarded);
    return py::tuple({&edges, &discarded});
}

py::Ref erdos_renyi_rust(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
    return py::u64_matrix(py::compute(sig::kErdosRenyi, [&] { return erdos_renyi(n, m, seed); }), m, 2);
}

}  // namespace

std::span<const PyMethodDef> nulls_methods() {
    static const PyMethodDef methods[] = {
        py::method<sig::kRewire, rewire_degree_preserving_rust>(),
        py::method<sig::kConfigurationModel, configuration_model_rust>(),
        py::method<sig::kErdosRenyi, erdos_renyi_rust>(),
    };
    return methods;
}

}  // namespace knotwell::bind
