#include "recording/core/annotation_block.h"

#include "recording/core/segment_list.h"

#include <cstring>

namespace {

// Decimal digits of v without leading zeros ("0" for zero). Returns the count written.
int put_unsigned(uint64_t v, char *out) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; i++) {
        out[i] = digits[n - 1 - i];
    }
    return n;
}

// Exactly `count` digits of v, zero-padded on the left.
void put_fixed(uint64_t v, int count, char *out) {
    for (int i = count - 1; i >= 0; i--) {
        out[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
}

// A time in microseconds: whole seconds, then "." and six digits if there is a remainder.
int put_microseconds(uint64_t us, char *out) {
    int n = put_unsigned(us / 1000000, out);
    if (us % 1000000 != 0) {
        out[n++] = '.';
        put_fixed(us % 1000000, 6, out + n);
        n += 6;
    }
    return n;
}

} // namespace

int edf_annotation_insert_index(const edf_recording *recording) {
    switch (recording->annotation_position) {
    case EDF_ANNOTATIONS_IN_MIDDLE:
        return recording->signal_count / 2;
    case EDF_ANNOTATIONS_AT_START:
        return 0;
    default:
        return recording->signal_count;
    }
}

int64_t edf_annotation_block_offset(const edf_recording *recording) {
    const int insert_at = edf_annotation_insert_index(recording);
    const int64_t bytes_per_sample = recording->is_edf ? 2 : 3;
    int64_t offset = 0;
    for (int i = 0; i < insert_at; i++) {
        offset += recording->signals[i].samples_per_record * bytes_per_sample;
    }
    return offset;
}

int edf_format_timekeeping_tal(const edf_recording *recording, int64_t record, char *out) {
    // Record times are non-negative; unsigned arithmetic keeps even absurd record counts
    // free of signed overflow. A discontinuous file takes each record's start from its list
    // of breaks.
    const uint64_t ticks = static_cast<uint64_t>(edf_record_start_ticks(recording, record)) +
                           static_cast<uint64_t>(recording->subsecond_start_ticks);
    int n = 0;
    out[n++] = '+';
    n += put_unsigned(ticks / EDF_TIME_DIMENSION, out + n);
    if (recording->datarecord_duration_ticks % EDF_TIME_DIMENSION != 0 ||
        recording->subsecond_start_ticks != 0 || ticks % EDF_TIME_DIMENSION != 0) {
        out[n++] = '.';
        put_fixed(ticks % EDF_TIME_DIMENSION, 7, out + n);
        n += 7;
    }
    out[n++] = 0x14;
    out[n++] = 0x14;
    out[n++] = 0x00;
    return n;
}

int edf_format_annotation_tal(int64_t onset_ticks, int64_t duration_us, const char *text,
                              char *out) {
    int n = 0;
    out[n++] = '+';
    const uint64_t onset = static_cast<uint64_t>(onset_ticks);
    if (onset % 10 == 0) {
        n += put_microseconds(onset / 10, out + n);
    } else {
        n += put_unsigned(onset / EDF_TIME_DIMENSION, out + n);
        out[n++] = '.';
        put_fixed(onset % EDF_TIME_DIMENSION, 7, out + n);
        n += 7;
    }
    if (duration_us >= 0) {
        out[n++] = 0x15;
        n += put_microseconds(static_cast<uint64_t>(duration_us), out + n);
    }
    out[n++] = 0x14;
    for (int i = 0; i < EDF_ANNOTATION_TEXT_MAX && text[i] != '\0'; i++) {
        out[n++] = text[i];
    }
    out[n++] = 0x14;
    return n;
}

int64_t edf_annotation_onset_ticks(const edf_recording *recording,
                                   const edf_queued_annotation *annotation) {
    // The queue refuses onsets that would not fit 64 bits here.
    return annotation->onset * 10 + recording->subsecond_start_ticks;
}

int edf_format_annotation_signal(const edf_recording *recording, int64_t record, int k,
                                 const edf_queued_annotation *annotation, char *out) {
    std::memset(out, 0, 120);
    int n = k == 0 ? edf_format_timekeeping_tal(recording, record, out) : 0;
    if (annotation != nullptr) {
        n += edf_format_annotation_tal(edf_annotation_onset_ticks(recording, annotation),
                                       annotation->duration, annotation->text, out + n);
        n++; // the 0x00 that ends the TAL
    }
    return n;
}

int edf_write_tal(const edf_recording *recording, FILE *stream,
                  const edf_queued_annotation *queue) {
    char block[EDF_MAX_ANNOTATION_BLOCK + 120];
    const int size = recording->annotation_block_size;
    const int a = recording->annotation_signal_count;
    const int64_t record = recording->datarecord_count;
    const int64_t first = record * a;
    for (int k = 0; k < a; k++) {
        const int64_t i = first + k;
        const edf_queued_annotation *annotation =
            queue != nullptr && i < recording->annotation_count ? &queue[i] : nullptr;
        edf_format_annotation_signal(recording, record, k, annotation, block + 120 * k);
    }
    if (std::fwrite(block, 1, static_cast<size_t>(size), stream) != static_cast<size_t>(size)) {
        return -1;
    }
    return 0;
}
