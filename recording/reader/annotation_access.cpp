// Annotation access: hands out the annotations collected when the file was opened, one by
// one, as self-contained copies that the caller owns.
#include "recording/core/recording.h"
#include "recording/core/text_parse.h"

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
    const edf_reader_state *r = edf_reader_for(handle);
    if (r == nullptr || n < 0 || n >= r->annotation_count) {
        return -1;
    }
    const edf_parsed_annotation &entry = r->annotations[n];
    annot->onset = entry.onset;
    // The duration text was converted when the file was opened, so it converts again.
    // Until a text is stored the arena does not exist, and every offset is the empty text's.
    const char *texts = r->annotation_texts != nullptr ? r->annotation_texts : "";
    const char *duration = texts + entry.duration_text;
    annot->duration = -EDF_TIME_DIMENSION;
    if (duration[0] != '\0') {
        edf_text_to_ticks_checked(duration, &annot->duration);
    }
    copy_cut(annot->duration_text, duration, sizeof annot->duration_text - 1);
    copy_cut(annot->annotation, texts + entry.text, sizeof annot->annotation - 1);
    return 0;
}
