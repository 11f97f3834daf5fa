// The module object, its function table and single-phase initialisation.
#include <atomic>

#include "lib/bindings.hpp"
#include "lib/signatures.hpp"

namespace knotwell {
namespace {

// Registration order is the order of __all__ (and of sig::kAll).
PyMethodDef kFunctions[] = {
    py::entry<sig::kDegree>(bind::degree_rust),
    py::entry<sig::kInDegree>(bind::in_degree_rust),
    py::entry<sig::kOutDegree>(bind::out_degree_rust),
    py::entry<sig::kStrength>(bind::strength_rust),
    py::entry<sig::kTriangles>(bind::triangles_per_node_rust),
    py::entry<sig::kClusteringAvg>(bind::clustering_avg_rust),
    py::entry<sig::kClusteringLocal>(bind::clustering_local_rust),
    py::entry<sig::kMeanShortestPath>(bind::mean_shortest_path_rust),
    py::entry<sig::kShortestPaths>(bind::shortest_paths_rust),
    py::entry<sig::kShortestPathsMulti>(bind::shortest_paths_multi_rust),
    py::entry<sig::kConnectedComponents>(bind::connected_components_rust),
    py::entry<sig::kBetweenness>(bind::betweenness_rust),
    py::entry<sig::kCoreNumbers>(bind::core_numbers_rust),
    py::entry<sig::kRewire>(bind::rewire_degree_preserving_rust),
    py::entry<sig::kConfigurationModel>(bind::configuration_model_rust),
    py::entry<sig::kErdosRenyi>(bind::erdos_renyi_rust),
    py::entry<sig::kLouvain>(bind::louvain_rust),
    py::entry<sig::kLabelPropagation>(bind::label_propagation_rust),
    py::entry<sig::kModularity>(bind::modularity_rust),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "knotwell_rs",
    "Python module for knotwell_rs",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter API version that single-phase initialisation declares.
constexpr int kModuleApiVersion = 1013;

std::atomic<bool> initialised{false};

PyObject* create_module() {
    using py::Ref;
    Ref module(PyModule_Create2(&kModule, kModuleApiVersion));
    if (!module) return nullptr;
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
        return nullptr;
    }
    // Each function becomes a built-in bound to the module (its __self__),
    // with the module's name as __module__.
    if (PyModule_AddFunctions(module.get(), kFunctions) < 0) return nullptr;
    Ref all(PyList_New(0));
    if (!all) return nullptr;
    for (const PyMethodDef* def = kFunctions; def->ml_name != nullptr; ++def) {
        Ref name(PyUnicode_FromString(def->ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    parallel::set_signal_probe(&py::signal_arrived);
    return module.release();
}

}  // namespace
}  // namespace knotwell

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_knotwell_rs() { return knotwell::create_module(); }
