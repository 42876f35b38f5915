// The mark of a file that is being written: a lock of the platform layer on the writer's open
// file, held for the whole life of its handle. The system drops it when the file is closed and
// when the process ends in any way (a crash, kill -9, TerminateProcess), so the file of a
// writer that died can be recovered at once, while the file of a live writer is refused by
// every operation that would change it under the writer.
//
// The lock belongs to the open file, not to the process: a lock of the process would be
// dropped by any close of the same file anywhere in it, by a reader of the recording in the
// writing program say, and would leave the file unmarked.
//
// Operations that change an existing file in place (recovery, in-place de-identification) and
// those that replace an existing output take the same mark before they change a byte, so that
// no writer starts on the file while they run, and none of them changes a file whose mark is
// held. Readers take no mark.
#pragma once

namespace edf {

enum class edf_mark {
    taken,          // this open file holds the mark now
    held_elsewhere, // another open of the file holds it: a writer, in this or another process
    unavailable     // the file system keeps no such locks: the file is used unmarked
};

// Takes the mark on the open file `fd` without waiting.
edf_mark edf_take_mark(int fd);

// True when another open of the file holds the mark; takes none itself.
bool edf_mark_held_elsewhere(int fd);

// Opens `path` for writing, with the mark, without changing an existing file: a missing file
// is created (mode 0666 less the umask on POSIX). Returns the descriptor (not inherited),
// EDF_ERR_CANNOT_OPEN when the file cannot be opened, or EDF_ERR_BEING_WRITTEN when another
// open holds the mark (nothing was opened).
int edf_open_marked_output(const char *path);

// Empties the file open as `fd` for writing it from the start, once its mark is taken, so that
// a file that another program is writing is never cut: a regular file is truncated, a device
// or a pipe is left as it is. Returns false when that fails.
bool edf_empty_output(int fd);

} // namespace edf
