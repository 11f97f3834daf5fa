// Entry points of the module's functions (fast call with keywords).
#pragma once

#include "lib/py.hpp"

namespace knotwell::bind {

#define KNOTWELL_ENTRY(name) PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

KNOTWELL_ENTRY(degree_rust);
KNOTWELL_ENTRY(in_degree_rust);
KNOTWELL_ENTRY(out_degree_rust);
KNOTWELL_ENTRY(strength_rust);
KNOTWELL_ENTRY(triangles_per_node_rust);
KNOTWELL_ENTRY(clustering_avg_rust);
KNOTWELL_ENTRY(clustering_local_rust);
KNOTWELL_ENTRY(mean_shortest_path_rust);
KNOTWELL_ENTRY(shortest_paths_rust);
KNOTWELL_ENTRY(shortest_paths_multi_rust);
KNOTWELL_ENTRY(connected_components_rust);
KNOTWELL_ENTRY(betweenness_rust);
KNOTWELL_ENTRY(core_numbers_rust);
KNOTWELL_ENTRY(rewire_degree_preserving_rust);
KNOTWELL_ENTRY(configuration_model_rust);
KNOTWELL_ENTRY(erdos_renyi_rust);
KNOTWELL_ENTRY(louvain_rust);
KNOTWELL_ENTRY(label_propagation_rust);
KNOTWELL_ENTRY(modularity_rust);

#undef KNOTWELL_ENTRY

}  // namespace knotwell::bind
