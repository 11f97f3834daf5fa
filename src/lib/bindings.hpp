// The module's function table, gathered from its wrapper files. Each
// bind_*.cpp holds the binding functions of its group and lists them
// (py::method, lib/slots.hpp); module.cpp lays the lists out in the order of
// sig::kAll, which is the order of __all__.
#pragma once

#include <span>

#include "lib/slots.hpp"

namespace knotwell::bind {

std::span<const PyMethodDef> metrics_methods();
std::span<const PyMethodDef> paths_methods();
std::span<const PyMethodDef> centrality_methods();
std::span<const PyMethodDef> nulls_methods();
std::span<const PyMethodDef> community_methods();

}  // namespace knotwell::bind
