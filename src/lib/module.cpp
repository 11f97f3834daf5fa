// The module object, its function table and single-phase initialisation.
#include <atomic>

#include "lib/bindings.hpp"
#include "lib/signatures.hpp"

namespace knotwell {
namespace {

// Name and docstring from the function's table; the name must match the
// entry point's.
template <const sig::Function& F>
constexpr PyMethodDef entry(PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return {F.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, sig::Doc<F>::text.data()};
}

// Registration order is the order of __all__ (and of sig::kAll).
PyMethodDef kFunctions[] = {
    entry<sig::kDegree>(bind::degree_rust),
    entry<sig::kInDegree>(bind::in_degree_rust),
    entry<sig::kOutDegree>(bind::out_degree_rust),
    entry<sig::kStrength>(bind::strength_rust),
    entry<sig::kTriangles>(bind::triangles_per_node_rust),
    entry<sig::kClusteringAvg>(bind::clustering_avg_rust),
    entry<sig::kClusteringLocal>(bind::clustering_local_rust),
    entry<sig::kMeanShortestPath>(bind::mean_shortest_path_rust),
    entry<sig::kShortestPaths>(bind::shortest_paths_rust),
    entry<sig::kShortestPathsMulti>(bind::shortest_paths_multi_rust),
    entry<sig::kConnectedComponents>(bind::connected_components_rust),
    entry<sig::kBetweenness>(bind::betweenness_rust),
    entry<sig::kCoreNumbers>(bind::core_numbers_rust),
    entry<sig::kRewire>(bind::rewire_degree_preserving_rust),
    entry<sig::kConfigurationModel>(bind::configuration_model_rust),
    entry<sig::kErdosRenyi>(bind::erdos_renyi_rust),
    entry<sig::kLouvain>(bind::louvain_rust),
    entry<sig::kLabelPropagation>(bind::label_propagation_rust),
    entry<sig::kModularity>(bind::modularity_rust),
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
