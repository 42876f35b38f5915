// The process-wide handle table: 64 slots, each null or pointing to one open file's block,
// and the two per-handle annotation list tables (the writer's queue and the reader's list).
#include "recording/core/recording.h"

#include <cstdlib>
#include <cstring>

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

bool edf_path_in_use(const char *path) {
    // Stored paths are cut to EDF_PATH_MAX bytes; comparing that much keeps a longer path
    // from being opened (and truncated) a second time while it is open.
    for (const edf_recording *recording : edf_handle_table) {
        if (recording != nullptr && std::strncmp(recording->path, path, EDF_PATH_MAX) == 0) {
            return true;
        }
    }
    return false;
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
    }
    int result = 0;
    if (recording->file != nullptr) {
        result = std::fclose(recording->file);
    }
    std::free(recording->stream_buffer);
    std::free(recording->signals);
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
