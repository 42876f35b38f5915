// Reads at a given file position without moving the stream, straight from the file: one
// system call per read, and always the bytes the file holds now (no buffered copy that a
// shortened file would no longer have).
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

// Reads up to `bytes` bytes at `position` of the stream's file into `out`. Returns the count
// read, which is less than asked for only at the end of the file or on a read error.
inline int64_t edf_read_at(FILE *stream, void *out, int64_t bytes, int64_t position) {
    const int fd = fileno(stream);
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
