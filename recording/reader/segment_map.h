// The segment map of a discontinuous file (EDF+D/BDF+D) opened for reading, built record by
// record during the pass over the annotation signals.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

enum class edf_record_time_result { ok, overlaps, no_memory };

// Takes the time-keeping time of record `record` (1 or more; ticks as written in the TAL)
// after that of the record before it, `previous_time`. A record that starts before the
// previous one ends is refused: sample positions would be ambiguous.
edf_record_time_result edf_map_record_time(edf_recording *recording, int64_t record, int64_t time,
                                           int64_t previous_time);

// The end of the last record in ticks from the start of the recording (0 without records),
// or INT64_MAX when it does not fit.
int64_t edf_recording_end_ticks(const edf_recording *recording);
