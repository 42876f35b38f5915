// Result codes of the library as Python exceptions.
#include "binding.h"

#include "recording/edf.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PyObject *error_type = nullptr;        // recording.Error
PyObject *format_error_type = nullptr; // recording.FormatError(recording.Error)

// Why a path cannot be opened, as an errno value, judged from what it is now.
int open_failure_errno(const std::string &path, bool writing) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return EISDIR;
        }
        return ::access(path.c_str(), writing ? W_OK : R_OK) != 0 ? EACCES : EIO;
    }
    const int missing = errno;
    if (!writing || missing != ENOENT) {
        return missing;
    }
    // A file to be created: its directory decides.
    const std::string::size_type slash = path.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash + (slash == 0));
    if (::stat(directory.c_str(), &status) != 0) {
        return errno;
    }
    return ::access(directory.c_str(), W_OK) != 0 ? EACCES : EIO;
}

[[noreturn]] void raise_instance(PyObject *type, const py::object &instance) {
    PyErr_SetObject(type, instance.ptr());
    throw py::error_already_set();
}

} // namespace

py::str library_text(const char *text, bool strip) {
    Py_ssize_t length = static_cast<Py_ssize_t>(std::strlen(text));
    while (strip && length > 0 && text[length - 1] == ' ') {
        length--;
    }
    PyObject *decoded = PyUnicode_DecodeUTF8(text, length, "replace");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

void raise_code(int code, const std::string &path, bool writing, py::object problems) {
    const std::string text = edf_error_text(code);
    const std::string message = path.empty() ? text : text + ": " + path;
    switch (code) {
    case EDF_ERR_CANNOT_OPEN: {
        // OSError(errno, text, filename) becomes the matching subclass by itself.
        const int number = open_failure_errno(path, writing);
        py::object instance = py::handle(PyExc_OSError)(number, text, path);
        raise_instance(reinterpret_cast<PyObject *>(Py_TYPE(instance.ptr())), instance);
    }
    case EDF_ERR_OUTPUT_EXISTS: {
        py::object instance = py::handle(PyExc_OSError)(EEXIST, text, path);
        raise_instance(reinterpret_cast<PyObject *>(Py_TYPE(instance.ptr())), instance);
    }
    case EDF_ERR_WRITE:
        PyErr_SetString(PyExc_OSError, message.c_str());
        throw py::error_already_set();
    case EDF_ERR_NO_MEMORY:
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    case EDF_ERR_FORMAT:
    case EDF_ERR_READ:
    case EDF_ERR_DISCONTINUOUS: {
        py::object instance = py::handle(format_error_type)(message);
        instance.attr("code") = code;
        instance.attr("path") = path;
        instance.attr("problems") = problems;
        raise_instance(format_error_type, instance);
    }
    case EDF_ERR_FILETYPE:
    case EDF_ERR_SIGNAL_COUNT:
    case EDF_ERR_ANNOTATION_MODE:
        throw py::value_error(message);
    default:
        if (code <= EDF_ERR_NEGATIVE_SIGNAL_COUNT && code >= EDF_ERR_PHYSICAL_VALUE_TEXT) {
            throw py::value_error(text);
        }
        py::object instance = py::handle(error_type)(message);
        instance.attr("code") = code;
        instance.attr("path") = path;
        raise_instance(error_type, instance);
    }
}

void register_errors(py::module_ &module) {
    error_type = PyErr_NewExceptionWithDoc(
        "recording.Error",
        "A failure that the library reports and no built-in exception describes; .code holds "
        "the library's result code, .path the path of the file concerned.",
        nullptr, nullptr);
    format_error_type = PyErr_NewExceptionWithDoc(
        "recording.FormatError",
        "A file that is not a valid EDF, EDF+, BDF or BDF+ file. .problems lists what the "
        "checks found (recording.Problem objects; empty when the open reports no details), "
        ".code holds the library's code, .path the file's path.",
        error_type, nullptr);
    if (error_type == nullptr || format_error_type == nullptr) {
        throw py::error_already_set();
    }
    py::handle(error_type).attr("code") = py::none();
    py::handle(error_type).attr("path") = py::none();
    py::handle(format_error_type).attr("problems") = py::tuple();
    module.attr("Error") = py::handle(error_type);
    module.attr("FormatError") = py::handle(format_error_type);
}
