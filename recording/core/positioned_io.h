// Reads and writes at a given file position without moving any stream, straight from and to
// the file: always the bytes the file holds now (no buffered copy that a shortened file would
// no longer have), with interrupted system calls resumed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace edf {

// Reads up to `bytes` bytes at `position` of the file `fd` into `out`. Returns the count read,
// which is less than asked for only at the end of the file or on a read error.
inline int64_t edf_read_at(int fd, void *out, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t got =
            pread(fd, static_cast<char *>(out) + done, static_cast<size_t>(bytes - done),
                  static_cast<off_t>(position + done));
        if (got > 0) {
            done += got;
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

// The same for the file of a stream (the stream's own position and buffer are not used).
inline int64_t edf_read_at(FILE *stream, void *out, int64_t bytes, int64_t position) {
    return edf_read_at(fileno(stream), out, bytes, position);
}

// Writes `bytes` bytes at `position` of the file `fd`. Returns false when not all of them
// could be written.
inline bool edf_write_at(int fd, const void *data, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t put =
            pwrite(fd, static_cast<const char *>(data) + done, static_cast<size_t>(bytes - done),
                   static_cast<off_t>(position + done));
        if (put > 0) {
            done += put;
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace edf
