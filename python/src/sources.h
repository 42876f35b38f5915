// Recordings read from something other than a path: the bytes of a Python buffer, read in
// place, and a Python binary file object, read through the library's source callbacks.
#pragma once

#include "binding.h"

#include "recording/edf.h"

#include <cstdint>
#include <memory>

// What a File was opened from when it was not a path. Made, raised from and destroyed with the
// GIL held; open() and check() run with the GIL released, and the reads of a file object take
// it back for each call into Python.
class python_source {
  public:
    // The bytes of `buffer` (bytes, bytearray, memoryview, mmap or any other C-contiguous
    // buffer), exported for as long as this object lives: no copy is made, a bytearray cannot
    // be resized meanwhile, and changes of its bytes are read as they stand.
    static std::unique_ptr<python_source> from_buffer(const py::object &buffer);
    // A binary file object: its readinto (when it has one, else read) and seek, called as
    // seek(offset) then readinto(view) until the bytes asked for are read or it returns 0.
    // `size` in bytes, or -1 when unknown.
    static std::unique_ptr<python_source> from_file(const py::object &file, int64_t size);
    python_source(const python_source &) = delete;
    python_source &operator=(const python_source &) = delete;
    ~python_source();

    // edfopen_memory_readonly or edfopen_source_readonly over the source. GIL released.
    int open(const char *name, edf_header_info *header, int annotation_mode, int flags);
    // edf_check_source over the source. GIL released.
    int check(edf_problem *problems, int capacity);

    // Raises the exception that a call of the file object raised, if one is kept (and forgets
    // it): what a read of the library that failed with EDF_ERR_READ raises. GIL held.
    void raise_pending();
    // Forgets a kept exception. GIL held.
    void clear_pending();

    // The library's callbacks (public for the functions that the library calls).
    static int64_t read_memory(void *user, void *buffer, int64_t bytes, int64_t offset);
    static int64_t read_file(void *user, void *buffer, int64_t bytes, int64_t offset);
    static int64_t size_of(void *user);

  private:
    python_source() = default;
    int64_t read_file_now(void *buffer, int64_t bytes, int64_t offset);
    edf_source callbacks();

    // A buffer's bytes (buffer_.obj set), or a file object's methods.
    Py_buffer buffer_{};
    py::object readinto_;
    py::object read_;
    py::object seek_;
    int64_t size_ = -1;
    // The exception of the last failed call into Python, until raised.
    std::unique_ptr<py::error_already_set> pending_;
};
