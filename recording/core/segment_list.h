// The time axis of a recording whose data records need not follow each other (EDF+D/BDF+D):
// a list of breaks, each a record that starts later than the end of the record before it.
// Records between breaks follow each other, one record duration apart. Writer and reader keep
// the same list: the writer to stamp each record's time-keeping TAL, the reader to answer
// where a record lies in time. The reader also keeps the records whose time is unknown
// (`unplaced_records`): each one ends the run of records it lies in and belongs to no
// segment, and the record after it begins a new one.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

namespace edf {

// The start of record `record` in ticks from the start of the recording (record 0 starts at
// 0). Exact for every record below the largest possible count of a file; meaningless for a
// record whose time is unknown.
int64_t edf_record_start_ticks(const edf_recording *recording, int64_t record);

// Records that record `record` starts at `start` ticks. A start that continues the previous
// record adds nothing, unless `always` asks for a break all the same (after a record whose
// time is unknown); an entry already kept for `record` (the last one) is replaced. Returns
// false when the list cannot grow.
bool edf_note_record_start(edf_recording *recording, int64_t record, int64_t start,
                           bool always = false);

// Records that record `record` (1 or more, after every record noted so far) has no known time.
// Returns false when the list cannot grow.
bool edf_note_unplaced_record(edf_recording *recording, int64_t record);

// True when record `record` has no known time.
bool edf_record_is_unplaced(const edf_recording *recording, int64_t record);

// Segments among the first `records` records: 1 plus the breaks below `records`.
int64_t edf_segment_count(const edf_recording *recording, int64_t records);

} // namespace edf
