// What differs between POSIX systems and Windows, in one place: the rest of the library calls
// only these functions for files, locks and the local time.
//
// A file is a descriptor of the C runtime (an int) on both. Every file is opened binary (no
// line-feed translation) and not inherited by child processes. On Windows a path is UTF-8 and
// is opened through the wide-character calls; files are opened shared for reading, writing and
// deletion, so that, as on POSIX, a file open here may be read, renamed over or removed
// elsewhere. Offsets and sizes are 64-bit on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace edf {

enum class edf_open_how {
    read,         // an existing file, for reading
    read_write,   // an existing file, for reading and writing
    write_create, // for writing, created when missing, an existing file left as it is
    create_new    // for writing, created; fails (errno EEXIST) when the path exists
};

// Opens `path`. Returns the descriptor, or -1 with errno set. A directory opens for reading on
// some systems: callers that need a file check edf_identify.
int edf_open_file(const char *path, edf_open_how how);

// Closes a descriptor: false when the close reports a failure (of a write still under way).
bool edf_close_file(int fd);

// A stream over an open descriptor (`mode` as for fopen, with "b"), which owns it from then
// on; null when the stream cannot be made (the descriptor stays open then). And the descriptor
// of a stream.
FILE *edf_stream_of(int fd, const char *mode);
int edf_descriptor_of(FILE *stream);

// Reads up to `bytes` bytes at `position` of `fd` into `out`, straight from the file (no
// buffered copy that a shortened file would no longer have), without moving any file position.
// Returns the count read, which is less than asked for only at the end of the file or on a
// read error.
int64_t edf_read_at(int fd, void *out, int64_t bytes, int64_t position);
// The same for the file of a stream (the stream's own position and buffer are not used).
inline int64_t edf_read_at(FILE *stream, void *out, int64_t bytes, int64_t position) {
    return edf_read_at(edf_descriptor_of(stream), out, bytes, position);
}
// Writes `bytes` bytes at `position` of `fd`. Returns false when not all of them could be
// written.
bool edf_write_at(int fd, const void *data, int64_t bytes, int64_t position);
// Writes `bytes` bytes at the current position of `fd` (the end of a file written in order).
bool edf_write_all(int fd, const void *data, int64_t bytes);

// The size of the open file in bytes, or -1.
int64_t edf_file_size(int fd);

enum class edf_file_kind { regular, directory, other };

// What identifies a file whatever name reaches it (a link, another spelling of the path):
// the device or volume and the file's number on it.
struct edf_file_identity {
    uint64_t device = 0;
    uint64_t index = 0;
    int64_t size = 0;
    edf_file_kind kind = edf_file_kind::other;
    bool same_file(const edf_file_identity &other) const {
        return device == other.device && index == other.index;
    }
};

// The identity of an open file, or of the file at a path (false when it cannot be found out,
// a missing file among them).
bool edf_identify(int fd, edf_file_identity *out);
bool edf_identify_path(const char *path, edf_file_identity *out);

// Writes what the system holds of the file to the storage device: false when that fails.
bool edf_sync_file(int fd);
// Syncs the folder that holds `path`, so that a rename in it lasts, as far as the system
// allows (a rename lasts by itself where the system has no such sync). Never throws.
void edf_sync_folder_of(const std::string &path) noexcept;
// Sets the size of the file open for writing as `fd` (its file position unchanged).
bool edf_truncate_file(int fd, int64_t size);

// Removes the file at `path`: false when that fails.
bool edf_remove_file(const char *path);
// Renames `from` to `to`, replacing a file there in one step: false when that fails. `*held`
// is a descriptor of the file at `to` that the caller holds open (for its lock), or -1: POSIX
// systems replace it open; Windows replaces no file that is open, so there it is closed first
// (and *held set to -1).
bool edf_replace_file(const char *from, const char *to, int *held);
// The absolute path of an existing file with its links resolved, in *out: false when that
// fails.
bool edf_resolve_path(const char *path, std::string *out);
// Creates a new, empty file named `prefix` and six letters or digits (a name that no file had),
// with the permissions that the writer's own files get. Returns true with its name in *name.
bool edf_create_temporary(const std::string &prefix, std::string *name);
// A number that differs between processes running at once.
uint64_t edf_process_number();

// The local calendar time of `when`: false when the system cannot tell it.
bool edf_local_time(std::time_t when, std::tm *out);

enum class edf_lock_result {
    locked,         // this open file holds the lock now
    held_elsewhere, // another open of the file holds a lock that conflicts
    unavailable     // the file system keeps no such locks
};

// A lock on the open file `fd` as a whole, taken without waiting: exclusive, or shared (which
// only an exclusive lock of another open conflicts with). It belongs to this open of the file,
// not to the process, and the system drops it when the file is closed and when the process
// ends in any way. Locks do not keep anyone from reading or writing the file.
edf_lock_result edf_lock_file(int fd, bool exclusive);
void edf_unlock_file(int fd);

} // namespace edf
