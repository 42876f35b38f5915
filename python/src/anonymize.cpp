// De-identification of a file (edf_anonymize_file), in place or into a copy.
#include "binding.h"

#include "recording/edf.h"

#include <pybind11/stl.h>

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void anonymize_file(const std::string &path, const std::optional<std::string> &out, int flags) {
    int result;
    {
        // A copy of a large file takes a while: other Python threads run meanwhile.
        py::gil_scoped_release release;
        result = edf_anonymize_file(path.c_str(), out ? out->c_str() : nullptr, flags);
    }
    if (result == 0) {
        return;
    }
    // The flags come from the package, so the copy's naming the source is the bad argument.
    struct stat source_status;
    struct stat copy_status;
    if (result == EDF_ERR_ALREADY_OPEN && out && ::stat(path.c_str(), &source_status) == 0 &&
        ::stat(out->c_str(), &copy_status) == 0 && source_status.st_dev == copy_status.st_dev &&
        source_status.st_ino == copy_status.st_ino) {
        throw py::value_error("the copy would replace the file itself: " + path);
    }
    if (result == EDF_ERR_WRITE) {
        const std::string message =
            std::string(edf_error_text(result)) + ": " + (out ? *out : path);
        PyErr_SetString(PyExc_OSError, message.c_str());
        throw py::error_already_set();
    }
    if (result == EDF_ERR_NEEDS_COPY) {
        throw py::value_error(std::string(edf_error_text(result)) + ": " + path +
                              " (give out= to write a de-identified copy)");
    }
    // A file that cannot be opened is the source when it cannot be read, else the copy (or,
    // in place, the source opened for writing).
    const bool source_readable = ::access(path.c_str(), R_OK) == 0;
    raise_code(result, source_readable && out ? *out : path, source_readable);
}

} // namespace

void register_anonymize(py::module_ &module) {
    module.def("anonymize_file", &anonymize_file, py::arg("path"), py::arg("out"),
               py::arg("flags"));
    module.attr("ANON_KEEP_SEX") = EDF_ANON_KEEP_SEX;
    module.attr("ANON_KEEP_AGE") = EDF_ANON_KEEP_AGE;
    module.attr("ANON_KEEP_START_TIME") = EDF_ANON_KEEP_START_TIME;
    module.attr("ANON_DROP_ANNOTATION_TEXTS") = EDF_ANON_DROP_ANNOTATION_TEXTS;
}
