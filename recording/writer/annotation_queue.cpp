// The writer's annotation queue: annotations are kept in memory, per handle, in call order.
// Each one is written into its place as soon as that place exists (see annotation_placement.h);
// close writes what is left.
#include "recording/core/recording.h"
#include "recording/core/tal_codec.h"
#include "recording/writer/annotation_placement.h"

#include <cstdlib>

namespace {

// Room for one more entry; the list grows by 1000 entries at a time.
edf_queued_annotation *next_entry(edf_writer_state *r) {
    if (r->annotation_count >= r->annotation_capacity) {
        const size_t capacity =
            static_cast<size_t>(r->annotation_capacity) + EDF_ANNOTATION_LIST_STEP;
        if (capacity > INT32_MAX) {
            return nullptr;
        }
        void *grown = std::realloc(r->annotations, capacity * sizeof(edf_queued_annotation));
        if (grown == nullptr) {
            return nullptr;
        }
        r->annotations = static_cast<edf_queued_annotation *>(grown);
        r->annotation_capacity = static_cast<int>(capacity);
    }
    return &r->annotations[r->annotation_count];
}

template <typename Convert>
int queue_annotation(int handle, int64_t onset, int64_t duration, const char *text,
                     Convert convert) {
    edf_writer_state *r = edf_writer_for(handle);
    if (r == nullptr || onset < 0 || onset > edf::tal::writer_onset_max_us ||
        duration > edf::tal::writer_duration_max_us || text == nullptr) {
        return -1;
    }
    edf_queued_annotation *entry = next_entry(r);
    if (entry == nullptr) {
        return -1;
    }
    entry->onset = onset;
    entry->duration = duration;
    convert(text, entry->text);
    r->annotation_count++;
    // Its place may already be on disk: write it now. A failure leaves it queued for the next
    // record and for close, which reports what never reached the file.
    const int64_t index = r->annotation_count - 1;
    if (index < r->datarecord_count * r->annotation_signal_count) {
        edf_place_pending_annotations(r);
    }
    return 0;
}

// Units of 100 microseconds to microseconds; false when the result would not fit.
bool to_microseconds(int64_t *value) {
    if (*value > INT64_MAX / 100) {
        return false;
    }
    *value *= 100;
    return true;
}

} // namespace

extern "C" {

int edfwrite_annotation_utf8_us(int handle, int64_t onset, int64_t duration,
                                const char *description) {
    return queue_annotation(handle, onset, duration, description, edf::tal::writer_text_from_utf8);
}

int edfwrite_annotation_latin1_us(int handle, int64_t onset, int64_t duration,
                                  const char *description) {
    return queue_annotation(handle, onset, duration, description,
                            edf::tal::writer_text_from_latin1);
}

int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration, const char *description) {
    if (onset >= 0 && !to_microseconds(&onset)) {
        return -1;
    }
    if (duration > 0 && !to_microseconds(&duration)) {
        return -1;
    }
    return edfwrite_annotation_utf8_us(handle, onset, duration, description);
}

int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration,
                               const char *description) {
    if (onset >= 0 && !to_microseconds(&onset)) {
        return -1;
    }
    if (duration > 0 && !to_microseconds(&duration)) {
        return -1;
    }
    return edfwrite_annotation_latin1_us(handle, onset, duration, description);
}

} // extern "C"
