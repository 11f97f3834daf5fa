// The knotwell._sweeps module object and its function table.
#include "lib/sweeps/sweeps.hpp"

namespace knotwell::sweeps {
namespace {

PyMethodDef kFunctions[] = {
    py::entry<tables::kPieceCount>(piece_count),
    py::entry<tables::kBetweennessPieces>(betweenness_pieces),
    py::entry<tables::kBetweennessMoments>(betweenness_moments),
    py::entry<tables::kDistanceSums>(distance_sums),
    py::entry<tables::kMeanPathBatches>(mean_path_batches),
    py::entry<tables::kMeanPathSums>(mean_path_sums),
    py::entry<tables::kSampleSources>(sample_sources),
    {nullptr, nullptr, 0, nullptr},
};

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

}  // namespace
}  // namespace knotwell::sweeps

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sweeps() {
    PyObject* module = PyModule_Create(&knotwell::sweeps::kModule);
    // This module's copy of the core learns of signals as knotwell_rs's does.
    if (module != nullptr) knotwell::parallel::set_signal_probe(&knotwell::py::signal_arrived);
    return module;
}
