// The time axis of a recording whose data records need not follow each other (EDF+D/BDF+D):
// a list of breaks, each a record that starts later than the end of the record before it.
// Records between breaks follow each other, one record duration apart. Writer and reader keep
// the same list: the writer to stamp each record's time-keeping TAL, the reader to answer
// where a record lies in time.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

// The start of record `record` in ticks from the start of the recording (record 0 starts at
// 0). Exact for every record below the largest possible count of a file.
int64_t edf_record_start_ticks(const edf_recording *recording, int64_t record);

// Records that record `record` starts at `start` ticks. A start that continues the previous
// record adds nothing; an entry already kept for `record` (the last one) is replaced. Returns
// false when the list cannot grow.
bool edf_note_record_start(edf_recording *recording, int64_t record, int64_t start);

// Segments among the first `records` records: 1 plus the breaks below `records`.
int64_t edf_segment_count(const edf_recording *recording, int64_t records);
