// TEMPORARY: the library's handle table is not yet safe from several threads at once, so the
// per-file functions of edfinfo's pool hold this lock around their calls into the library
// (which makes them take turns for now). To be removed once the library's handles are
// thread-safe: the pool is written for that library.
#pragma once

#include <mutex>

inline std::mutex &library_lock() {
    static std::mutex mutex;
    return mutex;
}
