// The second extension module, knotwell._sweeps: the source sweeps of
// betweenness, closeness, harmonic centrality and the mean shortest path cut
// into ranges, so that a sweep can run piece by piece on other processes or
// machines and be put together again with the bits of one call. Its tables
// follow the main module's (lib/signatures.hpp); every function copies its
// arguments, releases the interpreter lock for the work and hands its
// arrays over without a copy.
#pragma once

#include <span>

#include "lib/signatures.hpp"
#include "lib/slots.hpp"

namespace knotwell::sweeps {

namespace tables {
using sig::Function;
using sig::Kind;
using sig::Param;

inline constexpr Param kPool{"use_pool", Kind::Flag, "True"};
inline constexpr Param kDirectedFlag{"directed", Kind::Flag, "False"};
inline constexpr Param kWeights{"weights", Kind::OptionalWeightVector, "None"};

inline constexpr Param kPieceCountParams[] = {{"length", Kind::Count}};
inline constexpr Function kPieceCount{"piece_count", kPieceCountParams,
                                      "Number of pieces a sweep over `length` indices is cut into", false};

inline constexpr Param kBetweennessPiecesParams[] = {
    sig::kN, sig::kEdges, {"first", Kind::Count}, {"last", Kind::Count}, kWeights, kDirectedFlag, kPool};
inline constexpr Function kBetweennessPieces{
    "betweenness_pieces", kBetweennessPiecesParams,
    "Unscaled sums of the pieces [first, last) of the exact betweenness sweep\n\n"
    "Flat float64 array of (last - first) rows of n entries, row k the sum over the\n"
    "sources of piece first + k. Adding every row in piece order to zeros and\n"
    "scaling gives betweenness_rust's values bit for bit.",
    true};

inline constexpr Param kBetweennessMomentsParams[] = {
    sig::kN,       sig::kEdges, {"sources", Kind::IdVector}, {"first", Kind::Count}, {"last", Kind::Count}, kWeights,
    kDirectedFlag, kPool};
inline constexpr Function kBetweennessMoments{
    "betweenness_moments", kBetweennessMomentsParams,
    "Dependency sums and sums of squares of the blocks [first, last) of `sources`\n\n"
    "Flat float64 array of (last - first) blocks, each two rows of n entries.",
    true};

inline constexpr Param kDistanceSumsParams[] = {
    sig::kN, sig::kEdges, {"first", Kind::Count}, {"last", Kind::Count}, kDirectedFlag, kPool};
inline constexpr Function kDistanceSums{
    "distance_sums", kDistanceSumsParams,
    "Per-source distance sums, reach counts and harmonic sums of sources [first, last)\n\n"
    "Directed graphs count the distances to each source.",
    true};

inline constexpr Param kMeanPathBatchesParams[] = {sig::kN};
inline constexpr Function kMeanPathBatches{"mean_path_batches", kMeanPathBatchesParams,
                                           "Number of source batches of the mean shortest path's sweep", false};

inline constexpr Param kMeanPathSumsParams[] = {
    sig::kN, sig::kEdges, {"first", Kind::Count}, {"last", Kind::Count}, kPool};
inline constexpr Function kMeanPathSums{"mean_path_sums", kMeanPathSumsParams,
                                        "Distance total and pair count of the batches [first, last)", true};

inline constexpr Param kSampleSourcesParams[] = {sig::kN, {"samples", Kind::Count}, {"seed", Kind::Count}};
inline constexpr Function kSampleSources{"sample_sources", kSampleSourcesParams,
                                         "Sorted uniform sample of `samples` distinct ids below n", true};

inline constexpr const Function* kAll[] = {&kPieceCount,      &kBetweennessPieces, &kBetweennessMoments, &kDistanceSums,
                                           &kMeanPathBatches, &kMeanPathSums,      &kSampleSources};

static_assert([] {
    for (const Function* f : kAll)
        if (!sig::well_formed(*f)) return false;
    return true;
}());
}  // namespace tables

// The module's methods (py::method), in the order of tables::kAll.
std::span<const PyMethodDef> methods();

}  // namespace knotwell::sweeps
