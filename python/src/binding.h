// What the parts of the extension share: the lock that serialises calls into the library,
// the conversion of the library's texts, and the one place where result codes become Python
// exceptions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "recording/edf.h"

#include <mutex>
#include <string>

namespace py = pybind11;

// The library keeps its handles in process-wide tables and takes no locks: every call into
// it holds this mutex. Long calls (sample reads and writes) release the GIL first and then
// take the mutex, so that other Python threads run meanwhile.
std::mutex &library_mutex();

// A text from the library as a Python str: invalid UTF-8 is replaced, never refused, and
// the trailing spaces that header fields carry are dropped when `strip` is set.
py::str library_text(const char *text, bool strip);

// Raises the Python exception for a negative result code of the library, with
// edf_error_text's words and the path:
//   cannot open        -> FileNotFoundError, PermissionError, IsADirectoryError or OSError,
//                         from what the path is now (`writing`: the path is to be created)
//   format, short read, discontinuous -> recording.FormatError (with .problems)
//   output exists      -> FileExistsError
//   failed write       -> OSError
//   no memory          -> MemoryError
//   argument codes and the header writer's limits -> ValueError
//   anything else      -> recording.Error
// Every exception carries .code where its type allows attributes.
[[noreturn]] void raise_code(int code, const std::string &path, bool writing = false,
                             py::object problems = py::list());

// A problem record as the dict from which recording.Problem is made.
py::dict problem_dict(const edf_problem &problem);

void register_errors(py::module_ &module);
void register_reader(py::module_ &module);
void register_writer(py::module_ &module);
void register_anonymize(py::module_ &module);
void register_check(py::module_ &module);
void register_file_operations(py::module_ &module);
