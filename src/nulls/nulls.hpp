// Random simple graphs: degree-preserving rewiring, the configuration model
// with erasure, and the uniform G(n, m) model.
//
// Every generator draws from its own SplitMix64 stream in a fixed order, so
// results depend only on the inputs and the seed, never on the edge sets'
// hashing or on the number of worker threads. Edge pairs are stored and
// returned normalised as (low, high), low < high, flattened two ids per pair.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/rows.hpp"

namespace knotwell {

// Which edge set a generator keeps: by default (Auto) the one whose slots
// refer to the rows it already holds (nulls/row_ref_set.hpp) whenever there
// are enough rows for its memory to matter and few enough for its
// references, else the table of keys (nulls/pair_set.hpp). Tests force
// either, and give the references more index bits than the rows need
// (leaving fewer tag and displacement bits), to reach every path and slot
// layout on small inputs. Results never depend on it.
enum class RowRefs { Auto, Always, Never };
struct EdgeSetOptions {
    RowRefs row_refs = RowRefs::Auto;
    unsigned min_index_bits = 0;
};

// Rewired samples: `edges` holds n_samples * m pairs, sample-major, slot k of
// sample s at pair index s * m + k.
struct RewireResult {
    std::vector<std::uint64_t> edges;
    std::vector<std::uint64_t> swaps;
    std::vector<std::uint64_t> attempts;
};

// n_samples independent double-edge-swap randomisations of the simple graph
// `edges`, run in parallel, one stream per sample seeded from `seed`.
// Fails on an out-of-range id, max_attempts < target_swaps, a self-loop or a
// repeated pair, checked in that order once, before the samples' memory is
// allocated (and not at all when n_samples = 0). Takes the rows: the call
// normalises them in place, and one sample swaps in them.
Result<RewireResult> rewire_degree_preserving(OwnedRows edges, std::uint64_t n_samples, std::uint64_t target_swaps,
                                              std::uint64_t max_attempts, std::uint64_t seed,
                                              const EdgeSetOptions& sets = {});

struct ConfigurationResult {
    std::vector<std::uint64_t> edges;  // accepted pairs in acceptance order
    std::uint64_t discarded = 0;       // pairings dropped as self-loop or repeat
};

// Configuration model with erasure of self-loops and repeated pairs. Fails
// when the degrees sum past 2^64 - 1 or to an odd number.
Result<ConfigurationResult> configuration_model(std::span<const std::uint64_t> degrees, std::uint64_t seed,
                                                const EdgeSetOptions& sets = {});

// G(n, m) by rejection of self-pairs and repeats; rows in acceptance order.
// Fails when m exceeds the number of node pairs.
Result<std::vector<std::uint64_t>> erdos_renyi(std::uint64_t n, std::uint64_t m, std::uint64_t seed,
                                               const EdgeSetOptions& sets = {});

}  // namespace knotwell
