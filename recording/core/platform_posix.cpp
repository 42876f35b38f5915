// The platform layer on POSIX systems: positioned reads and writes, fsync, flock.
#ifndef _WIN32

#include "recording/core/platform_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace edf {

namespace {

// The most that one system call is asked to move.
constexpr int64_t largest_call = int64_t{1} << 30;

size_t call_size(int64_t bytes) {
    return static_cast<size_t>(bytes < largest_call ? bytes : largest_call);
}

edf_file_kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) {
        return edf_file_kind::regular;
    }
    return S_ISDIR(mode) ? edf_file_kind::directory : edf_file_kind::other;
}

void fill(const struct stat &status, edf_file_identity *out) {
    out->device = static_cast<uint64_t>(status.st_dev);
    out->index = static_cast<uint64_t>(status.st_ino);
    out->size = static_cast<int64_t>(status.st_size);
    out->kind = kind_of(status.st_mode);
}

} // namespace

int edf_open_file(const char *path, edf_open_how how) {
    int flags = O_CLOEXEC;
    switch (how) {
    case edf_open_how::read:
        flags |= O_RDONLY;
        break;
    case edf_open_how::read_write:
        flags |= O_RDWR;
        break;
    case edf_open_how::write_create:
        flags |= O_WRONLY | O_CREAT;
        break;
    case edf_open_how::create_new:
        flags |= O_WRONLY | O_CREAT | O_EXCL;
        break;
    }
    int fd;
    do {
        fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool edf_close_file(int fd) {
    return close(fd) == 0;
}

FILE *edf_stream_of(int fd, const char *mode) {
    return fdopen(fd, mode);
}

int edf_descriptor_of(FILE *stream) {
    return fileno(stream);
}

int64_t edf_read_at(int fd, void *out, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t got = pread(fd, static_cast<char *>(out) + done, call_size(bytes - done),
                                  static_cast<off_t>(position + done));
        if (got > 0) {
            done += got;
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

bool edf_write_at(int fd, const void *data, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t put = pwrite(fd, static_cast<const char *>(data) + done,
                                   call_size(bytes - done), static_cast<off_t>(position + done));
        if (put > 0) {
            done += put;
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool edf_write_all(int fd, const void *data, int64_t bytes) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t put =
            write(fd, static_cast<const char *>(data) + done, call_size(bytes - done));
        if (put > 0) {
            done += put;
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

int64_t edf_file_size(int fd) {
    // A seek to the end costs half of an fstat; every read is positioned, so the descriptor's
    // offset is not used otherwise.
    const off_t end = lseek(fd, 0, SEEK_END);
    return end >= 0 ? static_cast<int64_t>(end) : -1;
}

bool edf_identify(int fd, edf_file_identity *out) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return false;
    }
    fill(status, out);
    return true;
}

bool edf_identify_path(const char *path, edf_file_identity *out) {
    struct stat status;
    if (stat(path, &status) != 0) {
        return false;
    }
    fill(status, out);
    return true;
}

bool edf_sync_file(int fd) {
    int result;
    do {
        result = fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void edf_sync_folder_of(const std::string &path) noexcept {
    try {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        const int fd = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    } catch (...) {
        // without the memory for the folder's name the rename is left to the system
    }
}

bool edf_truncate_file(int fd, int64_t size) {
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool edf_remove_file(const char *path) {
    return unlink(path) == 0;
}

bool edf_replace_file(const char *from, const char *to, int *) {
    return std::rename(from, to) == 0;
}

bool edf_resolve_path(const char *path, std::string *out) {
    char *resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        return false;
    }
    bool kept = true;
    try {
        *out = resolved;
    } catch (const std::bad_alloc &) {
        kept = false;
    }
    std::free(resolved);
    return kept;
}

uint64_t edf_process_number() {
    return static_cast<uint64_t>(getpid());
}

bool edf_local_time(std::time_t when, std::tm *out) {
    return localtime_r(&when, out) != nullptr;
}

// flock, which locks the open file description. (A record lock of fcntl would belong to the
// process and be dropped by any close of the same file anywhere in it, by a reader of the
// recording in the writing program, say.)
edf_lock_result edf_lock_file(int fd, bool exclusive) {
    int result;
    do {
        result = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return edf_lock_result::locked;
    }
    return errno == EWOULDBLOCK ? edf_lock_result::held_elsewhere : edf_lock_result::unavailable;
}

void edf_unlock_file(int fd) {
    flock(fd, LOCK_UN);
}

} // namespace edf

#endif
