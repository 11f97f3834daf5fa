// Entry points of the module's functions (fast call with keywords).
#pragma once

#include "lib/py.hpp"

namespace knotwell::bind {

#define KNOTWELL_ENTRY(name) PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

KNOTWELL_ENTRY(degree_rust);
KNOTWELL_ENTRY(in_degree_rust);
KNOTWELL_ENTRY(out_degree_rust);
KNOTWELL_ENTRY(strength_rust);
KNOTWELL_ENTRY(louvain_rust);
KNOTWELL_ENTRY(label_propagation_rust);
KNOTWELL_ENTRY(modularity_rust);

#undef KNOTWELL_ENTRY

}  // namespace knotwell::bind
