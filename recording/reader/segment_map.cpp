#include "recording/reader/segment_map.h"

#include "recording/core/checked_arithmetic.h"
#include "recording/core/segment_list.h"

namespace edf {

edf_record_time_result edf_map_record_time(edf_reader_state *r, int64_t record, int64_t time,
                                           int64_t previous_time, bool after_unplaced) {
    int64_t step;
    if (edf_sub_overflow(time, previous_time, &step) || step < r->datarecord_duration_ticks) {
        return edf_record_time_result::overlaps;
    }
    if (step == r->datarecord_duration_ticks && !after_unplaced) {
        return edf_record_time_result::ok;
    }
    // The first record's time is the sub-second start, at most one second: no overflow.
    return edf_note_record_start(r, record, time - r->subsecond_start_ticks, after_unplaced)
               ? edf_record_time_result::ok
               : edf_record_time_result::no_memory;
}

edf_record_time_result edf_map_unplaced_record(edf_reader_state *r, int64_t record) {
    return edf_note_unplaced_record(r, record) ? edf_record_time_result::ok
                                               : edf_record_time_result::no_memory;
}

int64_t edf_recording_end_ticks(const edf_reader_state *r) {
    int64_t last = r->datarecord_count - 1;
    // Records of unknown time at the end add nothing to the time axis; record 0 is never one.
    for (int64_t k = r->unplaced_count - 1; k >= 0 && r->unplaced_records[k] == last; k--) {
        last--;
    }
    if (last < 0) {
        return 0;
    }
    int64_t end;
    if (edf_add_overflow(edf_record_start_ticks(r, last), r->datarecord_duration_ticks, &end)) {
        return INT64_MAX;
    }
    return end;
}

} // namespace edf
