// Closing a handle. A reader's handle is only released. A writer's file is finished: the
// header is written if no record ever was, records are appended to carry queued annotations
// when there are none, the real record count replaces the "-1" placeholder, the queued
// annotations not yet in the file are stored (see annotation_placement.h), and a record that
// was left half-written is cut off, so that the header, the layout and the file size agree.
#include "recording/core/annotation_block.h"
#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"
#include "recording/core/platform_file.h"
#include "recording/core/recording.h"
#include "recording/writer/annotation_placement.h"
#include "recording/writer/header_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace edf {

namespace {

using namespace edf_layout;

int64_t header_size(const edf_writer_state *r) {
    return static_cast<int64_t>(signal_header_size) *
           (1 + r->signal_count + r->annotation_signal_count);
}

// Appends one record per queued annotation to a file that has none, so that the annotations
// have somewhere to go. Each record has the full layout that the header declares: ordinary
// signals hold the sample 0 (clipped into the signal's digital range), the annotation block
// holds the record's time-keeping TAL and the annotations whose places lie in the record.
bool append_annotation_records(edf_writer_state *r) {
    const int insert_at = edf_annotation_insert_index(r);
    const int bytes_per_sample = r->bytes_per_sample();
    auto *record = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(r->record_size)));
    if (record == nullptr) {
        return false;
    }
    bool ok = true;
    const int64_t records = std::min<int64_t>(r->annotation_count, EDF_MAX_DATARECORDS);
    for (int64_t count = records; count > 0 && ok; count--) {
        unsigned char *p = record;
        for (int i = 0; i <= r->signal_count; i++) {
            if (i == insert_at) {
                const edf_queued_annotation *queue = edf_annotation_queue(r);
                for (int k = 0; k < r->annotation_signal_count; k++) {
                    const int64_t index = r->datarecord_count * r->annotation_signal_count + k;
                    edf_format_annotation_signal(r, r->datarecord_count, k,
                                                 index < r->annotation_count ? &queue[index]
                                                                             : nullptr,
                                                 reinterpret_cast<char *>(p));
                    p += annotation_signal_bytes;
                }
            }
            if (i < r->signal_count) {
                const edf_signal_param &s = r->signals[i];
                const int d = std::clamp(0, s.digital_min, s.digital_max);
                for (int k = 0; k < s.samples_per_record; k++) {
                    for (int b = 0; b < bytes_per_sample; b++) {
                        *p++ = static_cast<unsigned char>(d >> (8 * b));
                    }
                }
            }
        }
        ok = std::fwrite(record, 1, static_cast<size_t>(r->record_size), r->file) ==
             static_cast<size_t>(r->record_size);
        if (ok) {
            edf_note_annotation_block(r);
            r->datarecord_count++;
        }
    }
    std::free(record);
    return ok;
}

// Writes the record count over the "-1" at byte 236 (a count of more than eight digits
// cannot be written and leaves the placeholder).
bool patch_record_count(edf_writer_state *r) {
    if (r->datarecord_count > EDF_MAX_DATARECORDS) {
        return true;
    }
    char field[9];
    edf::codec::format_record_count(r->datarecord_count, field);
    return fseeko(r->file, datarecord_count.offset, SEEK_SET) == 0 &&
           std::fwrite(field, 1, datarecord_count.width, r->file) == datarecord_count.width;
}

// Cuts off the bytes of a record left half-written at close, so that the file holds exactly
// the header and the counted records. A file that is shorter than that has lost data.
bool settle_file_size(edf_writer_state *r) {
    if (std::fflush(r->file) != 0) {
        return false;
    }
    const int64_t expected = header_size(r) + r->datarecord_count * r->record_size;
    const int fd = edf_descriptor_of(r->file);
    edf_file_identity file;
    if (!edf_identify(fd, &file)) {
        return false;
    }
    if (file.kind != edf_file_kind::regular) {
        return true; // a device or pipe: nothing to measure or cut
    }
    if (file.size > expected) {
        return edf_truncate_file(fd, expected);
    }
    return file.size == expected;
}

int close_writer(int handle, edf_writer_state *r) {
    bool ok = true;
    // Samples of a first record that was never completed are cut off below; when no queued
    // annotation brings records of its own, the file then holds no record at all, which no
    // reader opens: close reports that (-1) rather than success.
    const bool first_record_lost = r->datarecord_count == 0 && r->next_write_signal > 0;
    if (r->datarecord_count == 0) {
        const int result = edf_write_header(r);
        if (result != 0) {
            edf_release_slot(handle);
            return result;
        }
        if (r->annotation_count > 0 && !append_annotation_records(r)) {
            ok = false;
        }
    }
    if (first_record_lost && r->datarecord_count == 0) {
        ok = false;
    }
    ok = patch_record_count(r) && ok;
    const int64_t lost = r->annotation_count > 0 ? edf_place_remaining_annotations(r) : 0;
    ok = settle_file_size(r) && ok;
    ok = edf_release_slot(handle) == 0 && ok;
    if (!ok) {
        return -1;
    }
    return lost > 0 ? EDF_ERR_ANNOTATIONS_LOST : 0;
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" int edfclose_file(int handle) {
    edf_recording *r = edf_recording_for(handle, edf_side::either);
    if (r == nullptr) {
        return -1;
    }
    if (r->write_mode) {
        return close_writer(handle, static_cast<edf_writer_state *>(r));
    }
    edf_release_slot(handle);
    return 0;
}
