// The module object, its function table and single-phase initialisation.
#include <algorithm>
#include <atomic>
#include <iterator>
#include <span>

#include "lib/bindings.hpp"
#include "lib/signatures.hpp"

namespace knotwell {
namespace {

// Every table entry's method, in the order of sig::kAll (the order of
// __all__), plus the sentinel. Filled once, at the module's first import;
// false with ImportError set when a table entry has no method or a method
// no table entry (a wrapper file's list and the table disagree).
PyMethodDef kFunctions[std::size(sig::kAll) + 1] = {};

bool lay_out_functions() {
    if (kFunctions[0].ml_name != nullptr) return true;
    const std::span<const PyMethodDef> groups[] = {bind::metrics_methods(), bind::paths_methods(),
                                                   bind::centrality_methods(), bind::nulls_methods(),
                                                   bind::community_methods()};
    std::size_t listed = 0;
    for (const auto& group : groups) listed += group.size();
    PyMethodDef laid[std::size(sig::kAll) + 1] = {};
    for (std::size_t k = 0; k < std::size(sig::kAll); ++k) {
        for (const auto& group : groups)
            for (const PyMethodDef& def : group)
                if (sig::kAll[k]->name == def.ml_name) laid[k] = def;
        if (laid[k].ml_name == nullptr) {
            PyErr_Format(PyExc_ImportError, "knotwell_rs: no binding for %s", sig::kAll[k]->name.data());
            return false;
        }
    }
    if (listed != std::size(sig::kAll)) {
        PyErr_SetString(PyExc_ImportError, "knotwell_rs: a binding has no signature table entry, or two bindings one");
        return false;
    }
    std::copy(std::begin(laid), std::end(laid), std::begin(kFunctions));
    return true;
}

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
    if (!lay_out_functions()) return nullptr;
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
