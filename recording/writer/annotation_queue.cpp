// The writer's annotation queue: annotations are kept in memory, per handle, in call order.
// Each one is written into its place as soon as that place exists (see annotation_placement.h);
// close writes what is left.
#include "recording/core/recording.h"
#include "recording/writer/annotation_placement.h"

#include <cstdlib>
#include <cstring>

namespace {

// Times that a reader could not count in 100 ns ticks within 64 bits are refused, so that
// every stored annotation reads back: a duration above INT64_MAX / 10 microseconds (about
// 29000 years), or an onset whose tick count would pass INT64_MAX once the sub-second start
// (below one second) is added.
constexpr int64_t max_duration_us = INT64_MAX / 10;
constexpr int64_t max_onset_us = (INT64_MAX - (EDF_TIME_DIMENSION - 1)) / 10;

// Room for one more entry; the list grows by 1000 entries at a time.
edf_queued_annotation *next_entry(int handle, edf_recording *r) {
    if (r->annotation_count >= r->annotation_capacity) {
        const size_t capacity =
            static_cast<size_t>(r->annotation_capacity) + EDF_ANNOTATION_LIST_STEP;
        if (capacity > INT32_MAX) {
            return nullptr;
        }
        void *grown = std::realloc(edf_queued_annotation_lists[handle],
                                   capacity * sizeof(edf_queued_annotation));
        if (grown == nullptr) {
            return nullptr;
        }
        edf_queued_annotation_lists[handle] = static_cast<edf_queued_annotation *>(grown);
        r->annotation_capacity = static_cast<int>(capacity);
    }
    return &edf_queued_annotation_lists[handle][r->annotation_count];
}

template <typename Convert>
int queue_annotation(int handle, int64_t onset, int64_t duration, const char *text,
                     Convert convert) {
    edf_recording *r = edf_recording_for(handle, edf_side::writer);
    if (r == nullptr || onset < 0 || onset > max_onset_us || duration > max_duration_us ||
        text == nullptr) {
        return -1;
    }
    edf_queued_annotation *entry = next_entry(handle, r);
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

// UTF-8 text: the first 40 bytes, with control bytes 1-31 and DEL (0x7F) replaced by '.';
// readers refuse a file whose annotation text holds DEL, so one such byte would make the
// whole recording unreadable. Multi-byte sequences pass through (one that the cut splits
// stays split).
void copy_utf8(const char *text, char *out) {
    int n = 0;
    for (; n < EDF_ANNOTATION_TEXT_MAX && text[n] != '\0'; n++) {
        const unsigned char b = static_cast<unsigned char>(text[n]);
        out[n] = b < 32 || b == 0x7F ? '.' : text[n];
    }
    out[n] = '\0';
}

// Latin-1 text converted to UTF-8 within the length of the cut input: an accented character
// takes two bytes, so when only one byte of room is left it becomes a space.
void copy_latin1(const char *text, char *out) {
    const size_t limit = strnlen(text, EDF_ANNOTATION_TEXT_MAX);
    size_t n = 0;
    for (size_t i = 0; i < limit && n < limit; i++) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 32 || (b >= 127 && b <= 159)) {
            out[n++] = '.';
        } else if (b < 127) {
            out[n++] = static_cast<char>(b);
        } else if (limit - n >= 2) {
            out[n++] = static_cast<char>(0xC0 | (b >> 6));
            out[n++] = static_cast<char>(b & 0xBF);
        } else {
            out[n++] = ' ';
        }
    }
    out[n] = '\0';
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
    return queue_annotation(handle, onset, duration, description, copy_utf8);
}

int edfwrite_annotation_latin1_us(int handle, int64_t onset, int64_t duration,
                                  const char *description) {
    return queue_annotation(handle, onset, duration, description, copy_latin1);
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
