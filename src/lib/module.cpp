// The module object, its function table and single-phase initialisation.
#include <atomic>

#include "lib/bindings.hpp"
#include "lib/docs.hpp"

namespace knotwell {
namespace {

#define KNOTWELL_FN(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind::name)), METH_FASTCALL | METH_KEYWORDS, doc}

// Registration order is the order of __all__.
PyMethodDef kFunctions[] = {
    KNOTWELL_FN(degree_rust, docs::kDegree),
    KNOTWELL_FN(in_degree_rust, docs::kInDegree),
    KNOTWELL_FN(out_degree_rust, docs::kOutDegree),
    KNOTWELL_FN(strength_rust, docs::kStrength),
    KNOTWELL_FN(triangles_per_node_rust, docs::kTriangles),
    KNOTWELL_FN(clustering_avg_rust, docs::kClusteringAvg),
    KNOTWELL_FN(clustering_local_rust, docs::kClusteringLocal),
    KNOTWELL_FN(mean_shortest_path_rust, docs::kMeanShortestPath),
    KNOTWELL_FN(shortest_paths_rust, docs::kShortestPaths),
    KNOTWELL_FN(shortest_paths_multi_rust, docs::kShortestPathsMulti),
    KNOTWELL_FN(connected_components_rust, docs::kConnectedComponents),
    KNOTWELL_FN(betweenness_rust, docs::kBetweenness),
    KNOTWELL_FN(core_numbers_rust, docs::kCoreNumbers),
    KNOTWELL_FN(rewire_degree_preserving_rust, docs::kRewire),
    KNOTWELL_FN(configuration_model_rust, docs::kConfigurationModel),
    KNOTWELL_FN(erdos_renyi_rust, docs::kErdosRenyi),
    KNOTWELL_FN(louvain_rust, docs::kLouvain),
    KNOTWELL_FN(label_propagation_rust, docs::kLabelPropagation),
    KNOTWELL_FN(modularity_rust, docs::kModularity),
    {nullptr, nullptr, 0, nullptr},
};

#undef KNOTWELL_FN

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "knotwell_rs", "Python module for knotwell_rs", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

PyObject* create_module() {
    using py::Ref;
    Ref module(PyModule_Create2(&kModule, 1013));
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
    return module.release();
}

}  // namespace
}  // namespace knotwell

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_knotwell_rs() { return knotwell::create_module(); }
