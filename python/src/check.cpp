// The check of a file (edf_check_file): every problem, without opening the file for reading.
#include "binding.h"

#include "recording/edf.h"

#include <algorithm>
#include <vector>

namespace {

py::list check_file(const std::string &path) {
    std::vector<edf_problem> found;
    int count;
    {
        // The check reads every record's annotation signals: other Python threads run meanwhile.
        py::gil_scoped_release release;
        count = edf_check_file(path.c_str(), nullptr, 0);
        if (count > 0) {
            found.resize(static_cast<size_t>(count));
            const int again = edf_check_file(path.c_str(), found.data(), count);
            // The file may change between the two calls: the second count decides.
            count = again;
            found.resize(again > 0 ? std::min(static_cast<size_t>(again), found.size()) : 0);
        }
    }
    if (count < 0) {
        raise_code(count, path);
    }
    py::list list;
    for (const edf_problem &p : found) {
        list.append(problem_dict(p));
    }
    return list;
}

} // namespace

void register_check(py::module_ &module) {
    module.def("check_file", &check_file, py::arg("path"));
    module.attr("PROBLEM_REPAIRED") = EDF_PROBLEM_REPAIRED;
    module.attr("PROBLEM_FATAL") = EDF_PROBLEM_FATAL;
    module.attr("PROBLEM_CONFORMS") = EDF_PROBLEM_CONFORMS;
}
