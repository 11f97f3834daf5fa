// Wrappers of the sweep pieces: convert (copying every array), then the
// typed routine without the interpreter lock, then the result arrays handed
// over without a copy.
#include "centrality/betweenness.hpp"
#include "graph/csr.hpp"
#include "graph/rows.hpp"
#include "lib/sweeps/sweeps.hpp"
#include "parallel/parallel.hpp"
#include "paths/source_sums.hpp"
#include "rng/sample.hpp"

namespace knotwell::sweeps {
namespace {

std::optional<std::span<const double>> weight_span(const std::optional<std::vector<double>>& weights) {
    if (!weights) return std::nullopt;
    return std::span<const double>(*weights);
}

py::Ref piece_count(std::uint64_t length) { return py::to_int(parallel::piece_count(length)); }

py::Ref betweenness_pieces(std::uint64_t, OwnedRows rows, std::uint64_t first, std::uint64_t last,
                           std::optional<std::vector<double>> weights, bool directed, bool use_pool) {
    return py::f64_vector(py::compute(tables::kBetweennessPieces, [&] {
        return centrality::betweenness_pieces(std::move(rows), weight_span(weights), directed, first, last, use_pool);
    }));
}

py::Ref betweenness_moments(std::uint64_t, OwnedRows rows, std::vector<std::uint64_t> sources, std::uint64_t first,
                            std::uint64_t last, std::optional<std::vector<double>> weights, bool directed,
                            bool use_pool) {
    return py::f64_vector(py::compute(tables::kBetweennessMoments, [&] {
        return centrality::betweenness_moments(std::move(rows), weight_span(weights), directed, sources, first, last,
                                               use_pool);
    }));
}

py::Ref distance_sums(std::uint64_t, OwnedRows rows, std::uint64_t first, std::uint64_t last, bool directed,
                      bool use_pool) {
    paths::SourceSums sums = py::compute(tables::kDistanceSums, [&] {
        return paths::source_distance_sums(std::move(rows), first, last, directed, use_pool);
    });
    py::Ref total = py::u64_vector(std::move(sums.total));
    py::Ref reached = py::u64_vector(std::move(sums.reached));
    py::Ref harmonic = py::f64_vector(std::move(sums.harmonic));
    return py::tuple({&total, &reached, &harmonic});
}

py::Ref mean_path_batches(std::uint64_t n) { return py::to_int(paths::mean_path_batches(n)); }

py::Ref mean_path_sums(std::uint64_t, OwnedRows rows, std::uint64_t first, std::uint64_t last, bool use_pool) {
    const paths::PairSums sums = py::compute(
        tables::kMeanPathSums, [&] { return paths::mean_path_sums(std::move(rows), first, last, use_pool); });
    // The total is 128-bit; a Python int holds it whole.
    py::Ref total = py::check(PyLong_FromUnsignedNativeBytes(
        &sums.total, sizeof sums.total, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
    py::Ref count = py::to_int(sums.count);
    return py::tuple({&total, &count});
}

py::Ref sample_sources(std::uint64_t n, std::uint64_t samples, std::uint64_t seed) {
    return py::u64_vector(py::compute(tables::kSampleSources, [&]() -> Result<std::vector<std::uint64_t>> {
        if (samples > n) return InputError::bad_parameter("samples", "must not exceed n");
        require_node_arrays(n, 8);
        return sample_ids(n, samples, seed);
    }));
}

}  // namespace

std::span<const PyMethodDef> methods() {
    static const PyMethodDef list[] = {
        py::method<tables::kPieceCount, piece_count>(),
        py::method<tables::kBetweennessPieces, betweenness_pieces>(),
        py::method<tables::kBetweennessMoments, betweenness_moments>(),
        py::method<tables::kDistanceSums, distance_sums>(),
        py::method<tables::kMeanPathBatches, mean_path_batches>(),
        py::method<tables::kMeanPathSums, mean_path_sums>(),
        py::method<tables::kSampleSources, sample_sources>(),
    };
    return list;
}

}  // namespace knotwell::sweeps
