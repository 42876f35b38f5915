// The process-wide handle table: 64 slots, each null or pointing to one open file's block,
// and the two per-handle annotation list tables (the writer's queue and the reader's list).
#include "recording/core/recording.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

edf_recording *edf_handle_table[EDF_MAX_FILES];
int edf_open_file_count;
edf_parsed_annotation *edf_parsed_annotation_lists[EDF_MAX_FILES];
edf_queued_annotation *edf_queued_annotation_lists[EDF_MAX_FILES];

edf_recording *edf_recording_for(int handle, edf_side side) {
    if (static_cast<unsigned>(handle) >= EDF_MAX_FILES) {
        return nullptr;
    }
    edf_recording *recording = edf_handle_table[handle];
    if (recording == nullptr) {
        return nullptr;
    }
    if ((side == edf_side::writer && recording->write_mode != 1) ||
        (side == edf_side::reader && recording->write_mode != 0)) {
        return nullptr;
    }
    return recording;
}

namespace {

const char *full_path(const edf_recording *recording) {
    return recording->long_path != nullptr ? recording->long_path : recording->path;
}

} // namespace

bool edf_path_in_use(const char *path) {
    struct stat status;
    const bool exists = stat(path, &status) == 0;
    for (const edf_recording *recording : edf_handle_table) {
        if (recording == nullptr) {
            continue;
        }
        if (std::strcmp(full_path(recording), path) == 0) {
            return true;
        }
        // Another name for an open file: opening it for writing would truncate it under the
        // handle that has it open.
        if (exists && recording->has_identity &&
            recording->file_device == static_cast<uint64_t>(status.st_dev) &&
            recording->file_inode == static_cast<uint64_t>(status.st_ino)) {
            return true;
        }
    }
    return false;
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
    struct stat status;
    recording->has_identity = 0;
    if (recording->file != nullptr && fstat(fileno(recording->file), &status) == 0) {
        recording->has_identity = 1;
        recording->file_device = static_cast<uint64_t>(status.st_dev);
        recording->file_inode = static_cast<uint64_t>(status.st_ino);
    }
}

int edf_take_slot(edf_recording *recording) {
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (edf_handle_table[i] == nullptr) {
            edf_handle_table[i] = recording;
            return i;
        }
    }
    return -1;
}

int edf_release_slot(int handle) {
    edf_recording *recording = edf_handle_table[handle];
    if (recording->write_mode) {
        std::free(edf_queued_annotation_lists[handle]);
        edf_queued_annotation_lists[handle] = nullptr;
    } else {
        std::free(edf_parsed_annotation_lists[handle]);
        edf_parsed_annotation_lists[handle] = nullptr;
        for (int s = 0; recording->signals != nullptr && s < recording->signal_count; s++) {
            std::free(recording->signals[s].read_ahead);
        }
        std::free(recording->read_buffer);
        std::free(recording->record_cache);
    }
    int result = 0;
    if (recording->file != nullptr) {
        result = std::fclose(recording->file);
    }
    std::free(recording->stream_buffer);
    std::free(recording->long_path);
    std::free(recording->signals);
    std::free(recording->breaks);
    std::free(recording->unplaced_records);
    std::free(recording->write_buffer);
    std::free(recording->annotation_texts);
    std::free(recording->problems);
    std::free(recording);
    edf_handle_table[handle] = nullptr;
    edf_open_file_count--;
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

extern "C" {

int edf_is_file_used(const char *path) {
    return path != nullptr && edf_path_in_use(path) ? 1 : 0;
}

int edf_get_number_of_open_files(void) {
    return edf_open_file_count;
}

int edf_get_handle(int n) {
    if (n < 0) {
        return -1;
    }
    int seen = 0;
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (edf_handle_table[i] != nullptr) {
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
