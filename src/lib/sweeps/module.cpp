// The knotwell._sweeps module object and its function table.
#include <algorithm>
#include <iterator>

#include "lib/sweeps/sweeps.hpp"

namespace knotwell::sweeps {
namespace {

PyMethodDef kFunctions[std::size(tables::kAll) + 1] = {};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "knotwell._sweeps",
    "Source sweeps cut into pieces, for sweeps spread over processes and machines",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The methods in the table's order, checked against it.
bool lay_out_functions() {
    const std::span<const PyMethodDef> list = methods();
    if (list.size() != std::size(tables::kAll)) {
        PyErr_SetString(PyExc_ImportError, "knotwell._sweeps: the bindings and the signature tables disagree");
        return false;
    }
    for (std::size_t k = 0; k < list.size(); ++k)
        if (tables::kAll[k]->name != list[k].ml_name) {
            PyErr_Format(PyExc_ImportError, "knotwell._sweeps: %s is bound out of the table's order",
                         tables::kAll[k]->name.data());
            return false;
        }
    std::copy(list.begin(), list.end(), std::begin(kFunctions));
    return true;
}

}  // namespace
}  // namespace knotwell::sweeps

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sweeps() {
    if (!knotwell::sweeps::lay_out_functions()) return nullptr;
    PyObject* module = PyModule_Create(&knotwell::sweeps::kModule);
    // This module's copy of the core learns of signals as knotwell_rs's does.
    if (module != nullptr) knotwell::parallel::set_signal_probe(&knotwell::py::signal_arrived);
    return module;
}
