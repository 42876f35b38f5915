#include "recording/core/segment_list.h"

#include <cstdlib>

namespace edf {

namespace {

// The number of breaks whose first record is at most `record`.
int64_t breaks_up_to(const edf_recording *r, int64_t record) {
    int64_t low = 0;
    int64_t high = r->break_count;
    while (low < high) {
        const int64_t middle = low + (high - low) / 2;
        if (r->breaks[middle].first_record <= record) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// The number of records of unknown time below `end`.
int64_t unplaced_below(const edf_recording *r, int64_t end) {
    int64_t low = 0;
    int64_t high = r->unplaced_count;
    while (low < high) {
        const int64_t middle = low + (high - low) / 2;
        if (r->unplaced_records[middle] < end) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// Doubles an array of `size`-byte entries (at least 16 of them); false when it cannot grow.
bool grow(void **array, int64_t *capacity, size_t size) {
    const int64_t grown_capacity = *capacity < 16 ? 16 : *capacity * 2;
    void *grown = std::realloc(*array, static_cast<size_t>(grown_capacity) * size);
    if (grown == nullptr) {
        return false;
    }
    *array = grown;
    *capacity = grown_capacity;
    return true;
}

} // namespace

int64_t edf_record_start_ticks(const edf_recording *r, int64_t record) {
    const int64_t n = breaks_up_to(r, record);
    const int64_t first = n == 0 ? 0 : r->breaks[n - 1].first_record;
    const int64_t start = n == 0 ? 0 : r->breaks[n - 1].start;
    // Unsigned arithmetic: absurd counts and durations wrap instead of overflowing.
    return static_cast<int64_t>(static_cast<uint64_t>(start) +
                                static_cast<uint64_t>(record - first) *
                                    static_cast<uint64_t>(r->datarecord_duration_ticks));
}

bool edf_note_record_start(edf_recording *r, int64_t record, int64_t start, bool always) {
    if (r->break_count > 0 && r->breaks[r->break_count - 1].first_record == record) {
        r->break_count--;
    }
    if (record == 0 || (!always && start == edf_record_start_ticks(r, record))) {
        return true;
    }
    if (r->break_count == r->break_capacity) {
        void *array = r->breaks;
        if (!grow(&array, &r->break_capacity, sizeof(edf_segment))) {
            return false;
        }
        r->breaks = static_cast<edf_segment *>(array);
    }
    r->breaks[r->break_count++] = edf_segment{start, record, 0};
    return true;
}

bool edf_note_unplaced_record(edf_recording *r, int64_t record) {
    if (r->unplaced_count == r->unplaced_capacity) {
        void *array = r->unplaced_records;
        if (!grow(&array, &r->unplaced_capacity, sizeof(int64_t))) {
            return false;
        }
        r->unplaced_records = static_cast<int64_t *>(array);
    }
    r->unplaced_records[r->unplaced_count++] = record;
    return true;
}

bool edf_record_is_unplaced(const edf_recording *r, int64_t record) {
    const int64_t below = unplaced_below(r, record);
    return below < r->unplaced_count && r->unplaced_records[below] == record;
}

int64_t edf_segment_count(const edf_recording *r, int64_t records) {
    return 1 + (records > 0 ? breaks_up_to(r, records - 1) : 0);
}

} // namespace edf

using namespace edf;

extern "C" {

int edf_get_segment_count(int handle) {
    const edf_recording *r = edf_recording_for(handle, edf_side::either);
    if (r == nullptr) {
        return -1;
    }
    return static_cast<int>(edf_segment_count(r, r->datarecord_count));
}

int edf_get_segment(int handle, int n, edf_segment *segment) {
    const edf_recording *r = edf_recording_for(handle, edf_side::either);
    if (r == nullptr || segment == nullptr || n < 0 ||
        n >= edf_segment_count(r, r->datarecord_count)) {
        return -1;
    }
    const int64_t first = n == 0 ? 0 : r->breaks[n - 1].first_record;
    const int64_t end = n + 1 < edf_segment_count(r, r->datarecord_count)
                            ? r->breaks[n].first_record
                            : r->datarecord_count;
    segment->start = n == 0 ? 0 : r->breaks[n - 1].start;
    segment->first_record = first;
    // Records of unknown time end a run of records: they are its last ones.
    segment->record_count = end - first - (unplaced_below(r, end) - unplaced_below(r, first));
    return 0;
}

int64_t edf_get_record_start(int handle, int64_t record) {
    const edf_recording *r = edf_recording_for(handle, edf_side::either);
    if (r == nullptr || record < 0 || record >= r->datarecord_count ||
        edf_record_is_unplaced(r, record)) {
        return -1;
    }
    return edf_record_start_ticks(r, record);
}

} // extern "C"
