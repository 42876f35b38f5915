// The in-use mark on POSIX systems: flock, which locks the open file description.
#include "recording/core/in_use_mark.h"

#include "recording/edf.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace edf {

namespace {

// flock without waiting, resumed when a signal interrupts it: 0, or the errno.
int lock(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

} // namespace

edf_mark edf_take_mark(int fd) {
    const int error = lock(fd, LOCK_EX);
    if (error == 0) {
        return edf_mark::taken;
    }
    return error == EWOULDBLOCK ? edf_mark::held_elsewhere : edf_mark::unavailable;
}

bool edf_mark_held_elsewhere(int fd) {
    // A shared lock is refused exactly while someone holds the exclusive one.
    const int error = lock(fd, LOCK_SH);
    if (error == 0) {
        flock(fd, LOCK_UN);
    }
    return error == EWOULDBLOCK;
}

int edf_open_marked_output(const char *path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if (edf_take_mark(fd) == edf_mark::held_elsewhere) {
        close(fd);
        return EDF_ERR_BEING_WRITTEN;
    }
    return fd;
}

bool edf_empty_output(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && (!S_ISREG(status.st_mode) || ftruncate(fd, 0) == 0);
}

} // namespace edf
