// The in-use mark: an exclusive lock of the platform layer on the writer's open file.
#include "recording/core/in_use_mark.h"

#include "recording/core/platform_file.h"
#include "recording/edf.h"

namespace edf {

edf_mark edf_take_mark(int fd) {
    switch (edf_lock_file(fd, true)) {
    case edf_lock_result::locked:
        return edf_mark::taken;
    case edf_lock_result::held_elsewhere:
        return edf_mark::held_elsewhere;
    case edf_lock_result::unavailable:
        break;
    }
    return edf_mark::unavailable;
}

bool edf_mark_held_elsewhere(int fd) {
    // A shared lock is refused exactly while someone holds the exclusive one.
    const edf_lock_result result = edf_lock_file(fd, false);
    if (result == edf_lock_result::locked) {
        edf_unlock_file(fd);
    }
    return result == edf_lock_result::held_elsewhere;
}

int edf_open_marked_output(const char *path) {
    const int fd = edf_open_file(path, edf_open_how::write_create);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if (edf_take_mark(fd) == edf_mark::held_elsewhere) {
        edf_close_file(fd);
        return EDF_ERR_BEING_WRITTEN;
    }
    return fd;
}

bool edf_empty_output(int fd) {
    edf_file_identity file;
    return edf_identify(fd, &file) &&
           (file.kind != edf_file_kind::regular || edf_truncate_file(fd, 0));
}

} // namespace edf
