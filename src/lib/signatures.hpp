// One table per module function: its name, parameters (name, kind, default
// as the text signature shows it), docstring summary and whether it
// releases the interpreter lock. Argument binding, the converters' defaults,
// the docstrings with their text signature line and the function table all
// come from here; tests/test_stubs.py holds the .pyi stubs to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace knotwell::sig {

enum class Kind { Count, OptionalCount, Flag, Real, EdgeArray, IdVector, WeightVector, OptionalWeightVector };

struct Param {
    std::string_view name;
    Kind kind;
    std::string_view default_text = {};  // empty: required

    constexpr bool required() const { return default_text.empty(); }
};

// The argument slots of one call (py::Args).
inline constexpr std::size_t kMaxParams = 8;

struct Function {
    std::string_view name;
    std::span<const Param> params;
    std::string_view summary;
    bool releases_lock;

    constexpr std::size_t required() const {
        std::size_t k = 0;
        while (k < params.size() && params[k].required()) ++k;
        return k;
    }
};

// Every table is checked at compile time: it fits the argument slots, its
// required parameters come first, and each default is one its kind accepts.
constexpr bool well_formed(const Function& f) {
    if (f.params.size() > kMaxParams) return false;
    for (std::size_t i = f.required(); i < f.params.size(); ++i) {
        const Param& p = f.params[i];
        if (p.required()) return false;
        const bool none = p.default_text == "None";
        switch (p.kind) {
            case Kind::OptionalCount:
            case Kind::OptionalWeightVector:
                if (!none) return false;
                break;
            case Kind::Flag:
                if (p.default_text != "True" && p.default_text != "False") return false;
                break;
            case Kind::Count:
                for (char c : p.default_text)
                    if (c < '0' || c > '9') return false;
                break;
            case Kind::Real:
                if (!p.default_text.ends_with(".0")) return false;  // whole numbers only (see real_default)
                break;
            default:
                return false;  // arrays are always required
        }
    }
    return true;
}

// Native values of the defaults.
constexpr std::uint64_t count_default(const Param& p) {
    std::uint64_t v = 0;
    for (char c : p.default_text) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return v;
}
constexpr bool flag_default(const Param& p) { return p.default_text == "True"; }
constexpr double real_default(const Param& p) {
    std::uint64_t v = 0;
    for (char c : p.default_text.substr(0, p.default_text.size() - 2)) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return static_cast<double>(v);
}

// "{name}({p1}, {p2}={default}, ...)\n--\n\n{summary}", the layout from
// which the interpreter takes __text_signature__ and __doc__.
template <class Out>
constexpr void render_doc(const Function& f, Out&& out) {
    out(f.name);
    out("(");
    for (std::size_t i = 0; i < f.params.size(); ++i) {
        if (i > 0) out(", ");
        out(f.params[i].name);
        if (!f.params[i].required()) {
            out("=");
            out(f.params[i].default_text);
        }
    }
    out(")\n--\n\n");
    out(f.summary);
}

template <const Function& F>
struct Doc {
    static constexpr std::size_t length = [] {
        std::size_t n = 0;
        render_doc(F, [&](std::string_view s) { n += s.size(); });
        return n;
    }();
    static constexpr std::array<char, length + 1> text = [] {
        std::array<char, length + 1> buf{};
        std::size_t at = 0;
        render_doc(F, [&](std::string_view s) {
            for (char c : s) buf[at++] = c;
        });
        return buf;
    }();
};

inline constexpr Param kN{"n", Kind::Count};
inline constexpr Param kEdges{"edges", Kind::EdgeArray};
inline constexpr Param kDirected{"directed", Kind::Flag};
inline constexpr Param kNEdges[] = {kN, kEdges};
inline constexpr Param kNEdgesDirected[] = {kN, kEdges, kDirected};

inline constexpr Function kDegree{"degree_rust", kNEdgesDirected, "Compute degree sequence", false};
inline constexpr Function kInDegree{"in_degree_rust", kNEdges, "Compute in-degree sequence", false};
inline constexpr Function kOutDegree{"out_degree_rust", kNEdges, "Compute out-degree sequence", false};

inline constexpr Param kStrengthParams[] = {kN, kEdges, {"weights", Kind::WeightVector}, kDirected};
inline constexpr Function kStrength{"strength_rust", kStrengthParams, "Compute strength sequence (weighted degree)",
                                    false};

inline constexpr Function kTriangles{"triangles_per_node_rust", kNEdges, "Count triangles per node", false};
inline constexpr Function kClusteringAvg{"clustering_avg_rust", kNEdges, "Compute average clustering coefficient",
                                         false};
inline constexpr Function kClusteringLocal{"clustering_local_rust", kNEdges, "Compute local clustering coefficients",
                                           false};
inline constexpr Function kMeanShortestPath{"mean_shortest_path_rust", kNEdges, "Compute mean shortest path length",
                                            false};

inline constexpr Param kShortestPathsParams[] = {kN, kEdges, {"source", Kind::Count}, kDirected};
inline constexpr Function kShortestPaths{"shortest_paths_rust", kShortestPathsParams,
                                         "Compute shortest paths from source", false};

inline constexpr Param kShortestPathsMultiParams[] = {kN, kEdges, {"sources", Kind::IdVector}, kDirected};
inline constexpr Function kShortestPathsMulti{
    "shortest_paths_multi_rust", kShortestPathsMultiParams,
    "Compute shortest paths from several sources at once\n\n"
    "Builds the adjacency list once and sweeps the sources in parallel, so this\n"
    "costs far less than one `shortest_paths_rust` call per source. Row `i` holds\n"
    "the distances from `sources[i]`.",
    true};

inline constexpr Function kConnectedComponents{"connected_components_rust", kNEdges, "Compute connected components",
                                               false};

inline constexpr Param kBetweennessParams[] = {kN,
                                               kEdges,
                                               {"weights", Kind::OptionalWeightVector, "None"},
                                               {"directed", Kind::Flag, "False"},
                                               {"normalized", Kind::Flag, "True"}};
inline constexpr Function kBetweenness{"betweenness_rust", kBetweennessParams,
                                       "Compute betweenness centrality (Brandes)", true};

inline constexpr Function kCoreNumbers{"core_numbers_rust", kNEdges, "Compute k-core numbers", false};

inline constexpr Param kRewireParams[] = {kN,
                                          kEdges,
                                          {"n_samples", Kind::Count},
                                          {"target_swaps", Kind::Count},
                                          {"max_attempts", Kind::Count},
                                          {"seed", Kind::Count}};
inline constexpr Function kRewire{"rewire_degree_preserving_rust", kRewireParams,
                                  "Generate degree-preserving null models by double edge swap\n\n"
                                  "Returns (edges, swaps, attempts): an [n_samples, n_edges, 2] array of\n"
                                  "rewired edge lists, plus what each sample actually achieved. A sample whose\n"
                                  "swap count falls short of `target_swaps` is too constrained to randomize \u2014\n"
                                  "the caller decides whether that is usable, but it is never hidden.",
                                  true};

inline constexpr Param kConfigurationParams[] = {{"degrees", Kind::IdVector}, {"seed", Kind::Count}};
inline constexpr Function kConfigurationModel{
    "configuration_model_rust", kConfigurationParams,
    "Sample a simple graph with the given degree sequence\n\n"
    "Returns (edges, discarded_pairings). Pairings that would self-loop or\n"
    "repeat an edge are dropped, so the realized degrees can fall short of the\n"
    "requested ones by twice the discarded count.",
    true};

inline constexpr Param kErdosRenyiParams[] = {kN, {"m", Kind::Count}, {"seed", Kind::Count}};
inline constexpr Function kErdosRenyi{"erdos_renyi_rust", kErdosRenyiParams,
                                      "Sample a uniformly random simple graph with n nodes and m edges", true};

inline constexpr Param kLouvainParams[] = {kN,
                                           kEdges,
                                           {"weights", Kind::OptionalWeightVector, "None"},
                                           {"resolution", Kind::Real, "1.0"},
                                           {"seed", Kind::OptionalCount, "None"},
                                           {"max_levels", Kind::Count, "20"}};
inline constexpr Function kLouvain{"louvain_rust", kLouvainParams,
                                   "Detect communities with the Louvain method\n\n"
                                   "Returns (labels, modularity, n_communities, n_levels).",
                                   true};

inline constexpr Param kLabelPropagationParams[] = {kN,
                                                    kEdges,
                                                    {"weights", Kind::OptionalWeightVector, "None"},
                                                    {"seed", Kind::Count, "0"},
                                                    {"max_iter", Kind::Count, "100"}};
inline constexpr Function kLabelPropagation{"label_propagation_rust", kLabelPropagationParams,
                                            "Detect communities by asynchronous label propagation", true};

inline constexpr Param kModularityParams[] = {kN,
                                              kEdges,
                                              {"labels", Kind::IdVector},
                                              {"weights", Kind::OptionalWeightVector, "None"},
                                              {"resolution", Kind::Real, "1.0"}};
inline constexpr Function kModularity{"modularity_rust", kModularityParams, "Compute the modularity of a partition",
                                      false};

// Registration order, which is also the order of __all__.
inline constexpr const Function* kAll[] = {
    &kDegree,
    &kInDegree,
    &kOutDegree,
    &kStrength,
    &kTriangles,
    &kClusteringAvg,
    &kClusteringLocal,
    &kMeanShortestPath,
    &kShortestPaths,
    &kShortestPathsMulti,
    &kConnectedComponents,
    &kBetweenness,
    &kCoreNumbers,
    &kRewire,
    &kConfigurationModel,
    &kErdosRenyi,
    &kLouvain,
    &kLabelPropagation,
    &kModularity,
};

static_assert([] {
    for (const Function* f : kAll)
        if (!well_formed(*f)) return false;
    return true;
}());

}  // namespace knotwell::sig
