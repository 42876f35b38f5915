// The writer's annotation queue: annotations are kept in memory, per handle, in call order.
// Each one is written into its place as soon as that place exists (see annotation_placement.h);
// close writes what is left.
#include "recording/core/recording.h"
#include "recording/core/utf8_text.h"
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

// Annotation texts are stored as UTF-8 of at most 40 bytes. A text whose UTF-8 form fits is
// stored whole; a longer one is cut before the first character that does not fit, never
// inside one, so that the stored text stays well-formed UTF-8 (readers that decode strictly
// refuse it otherwise). Control bytes 1-31 and DEL (0x7F) become '.': readers refuse
// annotation texts that hold DEL, so one such byte would make the whole recording unreadable.
struct utf8_builder {
    char *out;
    int length = 0;
    // Appends one character of `n` bytes; false when it does not fit.
    bool add(const unsigned char *bytes, int n) {
        if (length + n > EDF_ANNOTATION_TEXT_MAX) {
            return false;
        }
        for (int i = 0; i < n; i++) {
            out[length++] = static_cast<char>(bytes[i]);
        }
        return true;
    }
    // Appends byte b read as Latin-1: C0 controls, DEL and the C1 range 0x80-0x9F as '.',
    // from 0xA0 up the character's two-byte UTF-8 form.
    bool add_latin1(unsigned char b) {
        if (b < 0x20 || (b >= 0x7F && b <= 0x9F)) {
            const unsigned char dot = '.';
            return add(&dot, 1);
        }
        if (b < 0x7F) {
            return add(&b, 1);
        }
        const unsigned char pair[2] = {static_cast<unsigned char>(0xC0 | (b >> 6)),
                                       static_cast<unsigned char>(b & 0xBF)};
        return add(pair, 2);
    }
};

// UTF-8 text. Ill-formed input is repaired rather than refused: each byte that does not
// belong to a well-formed sequence is read as Latin-1 (the likeliest intent of such a byte)
// and stored as that character's UTF-8 form.
void copy_utf8(const char *text, char *out) {
    utf8_builder built{out};
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t left = std::strlen(text);
    while (left > 0) {
        char32_t code_point;
        const int n = edf_utf8_sequence(bytes, left, &code_point);
        const bool fits = n > 1 ? built.add(bytes, n) : built.add_latin1(bytes[0]);
        if (!fits) {
            break;
        }
        const size_t used = n > 1 ? static_cast<size_t>(n) : 1;
        bytes += used;
        left -= used;
    }
    out[built.length] = '\0';
}

// Latin-1 text, converted to UTF-8 character by character.
void copy_latin1(const char *text, char *out) {
    utf8_builder built{out};
    for (const char *p = text; *p != '\0' && built.add_latin1(static_cast<unsigned char>(*p));
         p++) {
    }
    out[built.length] = '\0';
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
