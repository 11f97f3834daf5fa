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

}  // namespace

PyObject* piece_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kPieceCount, args, nargs, kwnames);
        return py::to_int(parallel::piece_count(a.count(0)));
    });
}

PyObject* betweenness_pieces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kBetweennessPieces, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::uint64_t first = a.count(2);
        const std::uint64_t last = a.count(3);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(4);
        const bool directed = a.flag(5);
        const bool use_pool = a.flag(6);
        OwnedRows rows = py::to_rows(std::move(edges_array));
        return py::f64_vector(py::compute(tables::kBetweennessPieces, [&] {
            return centrality::betweenness_pieces(std::move(rows), weight_span(weights), directed, first, last,
                                                  use_pool);
        }));
    });
}

PyObject* betweenness_moments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kBetweennessMoments, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::vector<std::uint64_t> sources = a.id_vector(2);
        const std::uint64_t first = a.count(3);
        const std::uint64_t last = a.count(4);
        const std::optional<std::vector<double>> weights = a.optional_weight_vector(5);
        const bool directed = a.flag(6);
        const bool use_pool = a.flag(7);
        OwnedRows rows = py::to_rows(std::move(edges_array));
        return py::f64_vector(py::compute(tables::kBetweennessMoments, [&] {
            return centrality::betweenness_moments(std::move(rows), weight_span(weights), directed, sources, first,
                                                   last, use_pool);
        }));
    });
}

PyObject* distance_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kDistanceSums, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::uint64_t first = a.count(2);
        const std::uint64_t last = a.count(3);
        const bool directed = a.flag(4);
        const bool use_pool = a.flag(5);
        OwnedRows rows = py::to_rows(std::move(edges_array));
        paths::SourceSums sums = py::compute(tables::kDistanceSums, [&] {
            return paths::source_distance_sums(std::move(rows), first, last, directed, use_pool);
        });
        py::Ref total = py::u64_vector(std::move(sums.total));
        py::Ref reached = py::u64_vector(std::move(sums.reached));
        py::Ref harmonic = py::f64_vector(std::move(sums.harmonic));
        return py::tuple({&total, &reached, &harmonic});
    });
}

PyObject* mean_path_batches(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kMeanPathBatches, args, nargs, kwnames);
        return py::to_int(paths::mean_path_batches(a.count(0)));
    });
}

PyObject* mean_path_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kMeanPathSums, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        py::EdgeArray edges_array = a.edge_array(1, n);
        const std::uint64_t first = a.count(2);
        const std::uint64_t last = a.count(3);
        const bool use_pool = a.flag(4);
        OwnedRows rows = py::to_rows(std::move(edges_array));
        const paths::PairSums sums = py::compute(
            tables::kMeanPathSums, [&] { return paths::mean_path_sums(std::move(rows), first, last, use_pool); });
        // The total is 128-bit; a Python int holds it whole.
        py::Ref total = py::check(PyLong_FromUnsignedNativeBytes(
            &sums.total, sizeof sums.total, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
        py::Ref count = py::to_int(sums.count);
        return py::tuple({&total, &count});
    });
}

PyObject* sample_sources(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::Args a(tables::kSampleSources, args, nargs, kwnames);
        const std::uint64_t n = a.count(0);
        const std::uint64_t samples = a.count(1);
        const std::uint64_t seed = a.count(2);
        return py::u64_vector(py::compute(tables::kSampleSources, [&]() -> Result<std::vector<std::uint64_t>> {
            if (samples > n) return InputError::bad_parameter("samples", "must not exceed n");
            require_node_arrays(n, 8);
            return sample_ids(n, samples, seed);
        }));
    });
}

}  // namespace knotwell::sweeps
