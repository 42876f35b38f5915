// Annotation access: hands out the annotations collected when the file was opened, one by
// one, as self-contained copies that the caller owns.
#include "recording/core/recording.h"

#include <cstring>

namespace {

void copy_cut(char *field, const char *text, size_t limit) {
    const size_t n = strnlen(text, limit);
    std::memcpy(field, text, n);
    field[n] = '\0';
}

} // namespace

extern "C" int edf_get_annotation(int handle, int n, edf_annotation *annot) {
    if (annot == nullptr) {
        return -1;
    }
    std::memset(annot, 0, sizeof *annot);
    const edf_recording *r = edf_recording_for(handle, edf_side::reader);
    if (r == nullptr || n < 0 || n >= r->annotation_count) {
        return -1;
    }
    const edf_parsed_annotation &entry = edf_parsed_annotation_lists[handle][n];
    annot->onset = entry.onset;
    annot->duration = entry.duration;
    copy_cut(annot->duration_text, entry.duration_text, sizeof annot->duration_text - 1);
    copy_cut(annot->annotation, entry.annotation, sizeof annot->annotation - 1);
    return 0;
}
