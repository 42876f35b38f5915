#include "recording/core/annotation_block.h"

#include "recording/core/segment_list.h"
#include "recording/core/tal_codec.h"

#include <cstring>

int edf_annotation_insert_index(const edf_writer_state *recording) {
    switch (recording->annotation_position) {
    case EDF_ANNOTATIONS_IN_MIDDLE:
        return recording->signal_count / 2;
    case EDF_ANNOTATIONS_AT_START:
        return 0;
    default:
        return recording->signal_count;
    }
}

int64_t edf_annotation_block_offset(const edf_writer_state *recording) {
    const int insert_at = edf_annotation_insert_index(recording);
    const int64_t bytes_per_sample = recording->bytes_per_sample();
    int64_t offset = 0;
    for (int i = 0; i < insert_at; i++) {
        offset += recording->signals[i].samples_per_record * bytes_per_sample;
    }
    return offset;
}

int edf_format_timekeeping_tal(const edf_writer_state *recording, int64_t record, char *out) {
    // Record times are non-negative; unsigned arithmetic keeps even absurd record counts
    // free of signed overflow. A discontinuous file takes each record's start from its list
    // of breaks. Seven decimals in every record when the file's settings give any record a
    // fraction, else only in a record that starts within a second.
    const uint64_t ticks = static_cast<uint64_t>(edf_record_start_ticks(recording, record)) +
                           static_cast<uint64_t>(recording->subsecond_start_ticks);
    const bool decimals = recording->datarecord_duration_ticks % EDF_TIME_DIMENSION != 0 ||
                          recording->subsecond_start_ticks != 0;
    return edf::tal::timekeeping_tal(static_cast<int64_t>(ticks),
                                     decimals ? edf::tal::time_form::seven_digits
                                              : edf::tal::time_form::seven_when_fraction,
                                     reinterpret_cast<unsigned char *>(out));
}

int64_t edf_annotation_onset_ticks(const edf_writer_state *recording,
                                   const edf_queued_annotation *annotation) {
    // The queue refuses onsets that would not fit 64 bits here.
    return annotation->onset * 10 + recording->subsecond_start_ticks;
}

int edf_format_annotation_tal(const edf_writer_state *recording,
                              const edf_queued_annotation *annotation, char *out) {
    return edf::tal::writer_tal(edf_annotation_onset_ticks(recording, annotation),
                                annotation->duration, annotation->text,
                                reinterpret_cast<unsigned char *>(out));
}

int edf_format_annotation_signal(const edf_writer_state *recording, int64_t record, int k,
                                 const edf_queued_annotation *annotation, char *out) {
    std::memset(out, 0, 120);
    int n = k == 0 ? edf_format_timekeeping_tal(recording, record, out) : 0;
    if (annotation != nullptr) {
        n += edf_format_annotation_tal(recording, annotation, out + n);
    }
    return n;
}

int edf_write_tal(const edf_writer_state *recording, FILE *stream,
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
