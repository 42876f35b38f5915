// What the parts of the extension share: how calls into the library meet the GIL and the
// locks of the recording objects, the conversion of the library's texts, and the one place
// where result codes become Python exceptions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "recording/edf.h"

#include <mutex>
#include <string>
#include <utility>

namespace py = pybind11;

// Threads. The library may be called from many threads at once: opens, closes and calls on
// different handles run in parallel, and one handle takes one call at a time (see the
// overview of recording/edf.h). Hence:
// - Every call that reaches the library's I/O runs with the GIL released, so that other
//   Python threads run meanwhile: reads and writes of samples, opens (which read the whole
//   file's annotations), closes, and the operations on paths.
// - Each File and Writer object has a mutex of its own (`object_lock`), held by every call on
//   its handle, close included: two Python threads that use one object take turns, and the
//   handle is never used after a close by a call that had begun before it. Calls on
//   different objects never wait for each other.
// - The opens and the operations on paths (check, repair, anonymize, recover, continuous
//   copy) take no lock of the module. Against a Recording of the same file in another thread
//   they behave as against one in another process, except where the library refuses a path
//   that is open in this process at the moment it looks.
// - An object's mutex is waited for only with the GIL released, and no Python object is
//   touched while it is held (what a call gathers under it, it converts after). A thread that
//   holds the mutex may therefore take the GIL back: a source whose reads call back into
//   Python (a Python file object, say) takes it with py::gil_scoped_acquire around each call
//   back, and must not use the object that it serves.

// Runs `action` with the GIL released; returns its result, which must not be a Python object.
template <class Action> auto without_gil(Action &&action) {
    py::gil_scoped_release release;
    return std::forward<Action>(action)();
}

// The lock of one File or Writer object.
class object_lock {
  public:
    // Runs `action` with the GIL released and this lock held; returns its result, which must
    // not be a Python object. Called with the GIL held.
    template <class Action> auto run(Action &&action) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<Action>(action)();
    }

    // The mutex itself, for a call that has released the GIL already and takes the lock
    // more than once (std::lock_guard over it, with the GIL released).
    std::mutex &mutex() {
        return mutex_;
    }

  private:
    std::mutex mutex_;
};

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
