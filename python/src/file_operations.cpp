// The operations on whole files: the repaired copy (edf_repair_file), recovery in place
// (edf_plan_recovery, edf_recover_file) and the continuous copy (edf_continuous_copy).
#include "binding.h"

#include "recording/edf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// Problems that the repaired copy lists at once; a file with more is checked again for all.
constexpr int listed_at_once = 256;

// Raises the exception for a failed copy from `path` to `out`.
[[noreturn]] void raise_copy_failure(int result, const std::string &path, const std::string &out) {
    struct stat source_status;
    struct stat copy_status;
    if (result == EDF_ERR_ALREADY_OPEN && ::stat(path.c_str(), &source_status) == 0 &&
        (path == out ||
         (::stat(out.c_str(), &copy_status) == 0 && source_status.st_dev == copy_status.st_dev &&
          source_status.st_ino == copy_status.st_ino))) {
        throw py::value_error("the copy would replace the file itself: " + path);
    }
    // A file that cannot be opened is the source when it cannot be read, else the copy.
    const bool source_readable = ::access(path.c_str(), R_OK) == 0;
    const bool about_copy = result == EDF_ERR_OUTPUT_EXISTS || result == EDF_ERR_WRITE ||
                            result == EDF_ERR_BEING_WRITTEN ||
                            (result == EDF_ERR_CANNOT_OPEN && source_readable);
    raise_code(result, about_copy ? out : path, about_copy);
}

py::list repair_file(const std::string &path, const std::string &out, bool overwrite) {
    std::vector<edf_problem> found(listed_at_once);
    int count;
    {
        // The repair reads the whole file: other Python threads run meanwhile.
        py::gil_scoped_release release;
        count = edf_repair_file(path.c_str(), out.c_str(), overwrite ? 1 : 0, found.data(),
                                listed_at_once);
        if (count > listed_at_once) {
            // The copy is written; the check lists the same problems in the same order.
            found.resize(static_cast<size_t>(count));
            const int again = edf_check_file(path.c_str(), found.data(), count);
            count = std::min(again > 0 ? again : listed_at_once, count);
        }
    }
    if (count < 0) {
        raise_copy_failure(count, path, out);
    }
    py::list list;
    for (int n = 0; n < count; n++) {
        list.append(problem_dict(found[static_cast<size_t>(n)]));
    }
    return list;
}

py::dict recover_file(const std::string &path) {
    edf_recovery_plan plan{};
    int result;
    {
        py::gil_scoped_release release;
        result = edf_plan_recovery(path.c_str(), &plan);
        if (result == 0) {
            result = edf_recover_file(path.c_str());
        }
    }
    if (result < 0) {
        raise_code(result, path,
                   result == EDF_ERR_CANNOT_OPEN && ::access(path.c_str(), R_OK) == 0);
    }
    py::dict d;
    d["file_size"] = plan.file_size;
    d["header_size"] = plan.header_size;
    d["record_size"] = plan.record_size;
    d["stored_count"] = plan.stored_count;
    d["complete_records"] = static_cast<int64_t>(result);
    d["partial_bytes"] = plan.partial_bytes;
    return d;
}

void continuous_copy(const std::string &path, const std::string &out, bool overwrite) {
    int result;
    {
        py::gil_scoped_release release;
        result = edf_continuous_copy(path.c_str(), out.c_str(), overwrite ? 1 : 0);
    }
    if (result != 0) {
        raise_copy_failure(result, path, out);
    }
}

} // namespace

void register_file_operations(py::module_ &module) {
    module.def("repair_file", &repair_file, py::arg("path"), py::arg("out"), py::arg("overwrite"));
    module.def("recover_file", &recover_file, py::arg("path"));
    module.def("continuous_copy", &continuous_copy, py::arg("path"), py::arg("out"),
               py::arg("overwrite"));
    module.attr("ERR_NO_CONTINUOUS_FORM") = EDF_ERR_NO_CONTINUOUS_FORM;
    module.attr("ERR_BEING_WRITTEN") = EDF_ERR_BEING_WRITTEN;
}
