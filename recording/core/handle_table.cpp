// The process-wide handle table: 64 slots, each null or holding one open file's state. One
// lock guards the slots and the open-file count; it is held only while a slot is taken, found
// or emptied, never across I/O, so that operations on different handles run in parallel.
#include "recording/core/platform_file.h"
#include "recording/core/recording.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace edf {

namespace {

std::mutex table_lock;
edf_recording *slots[EDF_MAX_FILES];
int open_file_count;

const char *full_path(const edf_recording *recording) {
    return recording->long_path != nullptr ? recording->long_path : recording->path;
}

// The in-use test over the slots, with the lock held; `status` is the path's file, when it
// exists. `self` (which may be null) is not compared.
bool in_use_locked(const char *path, const edf_file_identity *file, const edf_recording *self) {
    for (const edf_recording *recording : slots) {
        if (recording == nullptr || recording == self || recording->from_source) {
            continue;
        }
        if (std::strcmp(full_path(recording), path) == 0) {
            return true;
        }
        // Another name for an open file: opening it for writing would truncate it under the
        // handle that has it open.
        if (file != nullptr && recording->has_identity && recording->file_device == file->device &&
            recording->file_inode == file->index) {
            return true;
        }
    }
    return false;
}

} // namespace

edf_recording::~edf_recording() {
    std::free(long_path);
    std::free(signals);
    std::free(breaks);
    std::free(unplaced_records);
}

edf_reader_state::~edf_reader_state() {
    for (int s = 0; signals != nullptr && s < signal_count; s++) {
        std::free(signals[s].read_ahead);
    }
    std::free(read_buffer);
    std::free(record_cache);
    std::free(annotations);
    std::free(annotation_texts);
    std::free(problems);
}

edf_writer_state::~edf_writer_state() {
    std::free(annotations);
    std::free(write_buffer);
    std::free(stream_buffer);
}

edf_recording *edf_recording_for(int handle, edf_side side) {
    if (static_cast<unsigned>(handle) >= EDF_MAX_FILES) {
        return nullptr;
    }
    edf_recording *recording;
    {
        const std::lock_guard<std::mutex> hold(table_lock);
        recording = slots[handle];
    }
    if (recording == nullptr) {
        return nullptr;
    }
    if ((side == edf_side::writer && recording->write_mode != 1) ||
        (side == edf_side::reader && recording->write_mode != 0)) {
        return nullptr;
    }
    return recording;
}

bool edf_path_in_use(const char *path) {
    edf_file_identity file;
    const bool exists = edf_identify_path(path, &file);
    const std::lock_guard<std::mutex> hold(table_lock);
    return in_use_locked(path, exists ? &file : nullptr, nullptr);
}

bool edf_store_path(edf_recording *recording, const char *path) {
    const size_t length = std::strlen(path);
    if (length > EDF_PATH_MAX) {
        recording->long_path = static_cast<char *>(std::malloc(length + 1));
        if (recording->long_path == nullptr) {
            return false;
        }
        std::memcpy(recording->long_path, path, length + 1);
    }
    const size_t kept = length > EDF_PATH_MAX ? EDF_PATH_MAX : length;
    std::memcpy(recording->path, path, kept);
    recording->path[kept] = '\0';
    return true;
}

void edf_store_identity(edf_recording *recording) {
    edf_file_identity file;
    const bool known =
        recording->file != nullptr && edf_identify(edf_descriptor_of(recording->file), &file);
    const std::lock_guard<std::mutex> hold(table_lock);
    recording->has_identity = known ? 1 : 0;
    if (known) {
        recording->file_device = file.device;
        recording->file_inode = file.index;
    }
}

int edf_take_slot(edf_recording *recording) {
    const char *path = full_path(recording);
    edf_file_identity file;
    const bool exists = !recording->from_source && edf_identify_path(path, &file);
    const std::lock_guard<std::mutex> hold(table_lock);
    if (!recording->from_source && in_use_locked(path, exists ? &file : nullptr, recording)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (slots[i] == nullptr) {
            slots[i] = recording;
            open_file_count++;
            return i;
        }
    }
    return EDF_ERR_TOO_MANY_FILES;
}

void edf_give_back_slot(int handle) {
    const std::lock_guard<std::mutex> hold(table_lock);
    slots[handle] = nullptr;
    open_file_count--;
}

void edf_delete_recording(edf_recording *recording) {
    if (recording->write_mode) {
        delete static_cast<edf_writer_state *>(recording);
    } else {
        delete static_cast<edf_reader_state *>(recording);
    }
}

int edf_release_slot(int handle) {
    edf_recording *recording;
    {
        const std::lock_guard<std::mutex> hold(table_lock);
        recording = slots[handle];
        slots[handle] = nullptr;
        open_file_count--;
    }
    int result = 0;
    if (recording->file != nullptr) {
        result = std::fclose(recording->file);
    }
    edf_delete_recording(recording);
    return result;
}

void edf_strip_spaces(char *text) {
    size_t start = 0;
    while (text[start] == ' ') {
        start++;
    }
    size_t length = std::strlen(text + start);
    std::memmove(text, text + start, length + 1);
    while (length > 0 && text[length - 1] == ' ') {
        text[--length] = '\0';
    }
}

void edf_copy_stripped(char *field, const char *text, int width) {
    size_t n = std::strlen(text);
    if (n > static_cast<size_t>(width)) {
        n = static_cast<size_t>(width);
    }
    std::memcpy(field, text, n);
    field[n] = '\0';
    edf_strip_spaces(field);
}

} // namespace edf

using namespace edf;

extern "C" {

int edf_is_file_used(const char *path) {
    return path != nullptr && edf_path_in_use(path) ? 1 : 0;
}

int edf_get_number_of_open_files(void) {
    const std::lock_guard<std::mutex> hold(table_lock);
    return open_file_count;
}

int edf_get_handle(int n) {
    if (n < 0) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(table_lock);
    int seen = 0;
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (slots[i] != nullptr) {
            if (seen == n) {
                return i;
            }
            seen++;
        }
    }
    return -1;
}

int edf_version(void) {
    return EDF_VERSION;
}

} // extern "C"
