// Recordings read from a Python buffer in place, or from a Python file object through the
// library's source callbacks.
#include "sources.h"

#include <cstring>
#include <stdexcept>
#include <string>

std::unique_ptr<python_source> python_source::from_buffer(const py::object &buffer) {
    std::unique_ptr<python_source> source(new python_source());
    if (PyObject_GetBuffer(buffer.ptr(), &source->buffer_, PyBUF_SIMPLE) != 0) {
        // Not a buffer, or not a contiguous one.
        throw py::error_already_set();
    }
    source->size_ = static_cast<int64_t>(source->buffer_.len);
    return source;
}

std::unique_ptr<python_source> python_source::from_file(const py::object &file, int64_t size) {
    std::unique_ptr<python_source> source(new python_source());
    if (py::hasattr(file, "readinto")) {
        source->readinto_ = file.attr("readinto");
    } else {
        source->read_ = file.attr("read");
    }
    source->seek_ = file.attr("seek");
    source->size_ = size < 0 ? -1 : size;
    return source;
}

python_source::~python_source() {
    if (buffer_.obj != nullptr) {
        PyBuffer_Release(&buffer_);
    }
}

edf_source python_source::callbacks() {
    edf_source source{};
    source.read_at =
        buffer_.obj != nullptr ? &python_source::read_memory : &python_source::read_file;
    source.size = &python_source::size_of;
    source.release = nullptr; // the File owns this object
    source.user = this;
    return source;
}

int python_source::open(const char *name, edf_header_info *header, int annotation_mode, int flags) {
    if (buffer_.obj != nullptr) {
        return edfopen_memory_readonly(buffer_.buf, size_, header, annotation_mode, flags);
    }
    const edf_source source = callbacks();
    return edfopen_source_readonly(&source, name, header, annotation_mode, flags);
}

int python_source::check(edf_problem *problems, int capacity) {
    const edf_source source = callbacks();
    return edf_check_source(&source, problems, capacity);
}

void python_source::raise_pending() {
    if (pending_) {
        py::error_already_set error = std::move(*pending_);
        pending_.reset();
        throw error;
    }
}

void python_source::clear_pending() {
    pending_.reset();
}

int64_t python_source::read_memory(void *user, void *buffer, int64_t bytes, int64_t offset) {
    const auto *source = static_cast<const python_source *>(user);
    if (offset >= source->size_) {
        return 0;
    }
    const int64_t n = bytes < source->size_ - offset ? bytes : source->size_ - offset;
    std::memcpy(buffer, static_cast<const char *>(source->buffer_.buf) + offset,
                static_cast<size_t>(n));
    return n;
}

int64_t python_source::size_of(void *user) {
    return static_cast<const python_source *>(user)->size_;
}

// Called by the library from the thread that called it, which holds the File's lock and has
// released the GIL: the GIL is taken for the calls into Python, and nothing thrown leaves.
int64_t python_source::read_file(void *user, void *buffer, int64_t bytes, int64_t offset) {
    auto *source = static_cast<python_source *>(user);
    py::gil_scoped_acquire gil;
    if (source->pending_) {
        return -1;
    }
    try {
        return source->read_file_now(buffer, bytes, offset);
    } catch (py::error_already_set &error) {
        source->pending_ = std::make_unique<py::error_already_set>(std::move(error));
    } catch (const std::exception &error) {
        // A result of the wrong type, say.
        PyErr_SetString(PyExc_OSError,
                        (std::string("the file object's read failed: ") + error.what()).c_str());
        source->pending_ = std::make_unique<py::error_already_set>();
    }
    return -1;
}

namespace {

[[noreturn]] void fail(const char *what) {
    PyErr_SetString(PyExc_OSError, what);
    throw py::error_already_set();
}

} // namespace

int64_t python_source::read_file_now(void *buffer, int64_t bytes, int64_t offset) {
    seek_(offset);
    char *into = static_cast<char *>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const int64_t wanted = bytes - done;
        int64_t got;
        if (readinto_) {
            // A view of the library's buffer, released after the call so that nothing can
            // write through it later.
            py::object view = py::reinterpret_steal<py::object>(
                PyMemoryView_FromMemory(into + done, static_cast<Py_ssize_t>(wanted), PyBUF_WRITE));
            if (!view) {
                throw py::error_already_set();
            }
            py::object result = readinto_(view);
            view.attr("release")();
            if (result.is_none()) {
                fail("the file object has no bytes ready (a non-blocking file cannot be read)");
            }
            got = result.cast<int64_t>();
        } else {
            py::object result = read_(wanted);
            Py_buffer data{};
            if (PyObject_GetBuffer(result.ptr(), &data, PyBUF_SIMPLE) != 0) {
                throw py::error_already_set();
            }
            got = static_cast<int64_t>(data.len);
            if (got <= wanted) {
                std::memcpy(into + done, data.buf, static_cast<size_t>(got));
            }
            PyBuffer_Release(&data);
        }
        if (got < 0 || got > wanted) {
            fail("the file object's read returned more bytes than asked for, or a negative "
                 "count");
        }
        if (got == 0) {
            break; // the end of the file
        }
        done += got;
    }
    return done;
}
