// The extension module recording._recording: the library's reading and writing operations
// for the Python package `recording`, which wraps them in its public classes.
#include "binding.h"

#include "recording/edf.h"

#include <string>

PYBIND11_MODULE(_recording, module) {
    module.doc() = "The recording library's operations (use the package recording instead).";
    register_errors(module);
    register_reader(module);
    register_writer(module);
    register_anonymize(module);
    register_check(module);
    register_file_operations(module);
    module.attr("library_version") = edf_version();
    // The release of the library compiled in: the package gives it as __version__.
    module.def(
        "recording_version", [] { return std::string(recording_version()); },
        "The library's release, \"major.minor.patch\".");
    module.attr("ticks_per_second") = EDF_TIME_DIMENSION;
    // The opens' codes that a handle held by an unreachable object can cause.
    module.attr("ERR_TOO_MANY_FILES") = EDF_ERR_TOO_MANY_FILES;
    module.attr("ERR_ALREADY_OPEN") = EDF_ERR_ALREADY_OPEN;
}
