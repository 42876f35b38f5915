// Discontinuous files (EDF+D/BDF+D) on the writer's side: the file type and the start of each
// data record. The starts go into the handle's break list, from which every time-keeping TAL
// of the file is stamped, both while records are written and when close rewrites the
// annotation signals.
#include "recording/core/recording.h"
#include "recording/core/segment_list.h"

namespace {

// Record starts are kept below 2^62 ticks, so that adding the records that may follow (at
// most 99999999 of at most 2^31 microseconds each) stays inside 64 bits.
constexpr int64_t largest_start_us = (int64_t{1} << 62) / 10;

} // namespace

extern "C" {

int edf_set_discontinuous(int handle) {
    edf_writer_state *r = edf_writer_for(handle);
    if (r == nullptr || r->datarecord_count != 0 || r->next_write_signal != 0) {
        return -1;
    }
    r->is_discontinuous = 1;
    return 0;
}

int edf_set_record_start(int handle, int64_t start_us) {
    edf_writer_state *r = edf_writer_for(handle);
    if (r == nullptr || !r->is_discontinuous || r->next_write_signal != 0 || start_us < 0 ||
        start_us > largest_start_us) {
        return -1;
    }
    const int64_t record = r->datarecord_count;
    const int64_t start = start_us * 10;
    if (record == 0) {
        return start == 0 ? 0 : -1;
    }
    if (start < edf_record_start_ticks(r, record - 1) + r->datarecord_duration_ticks) {
        return -1;
    }
    return edf_note_record_start(r, record, start) ? 0 : -1;
}

} // extern "C"
