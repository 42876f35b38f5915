// The segment map of a discontinuous file (EDF+D/BDF+D) opened for reading, built record by
// record during the pass over the annotation signals.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

enum class edf_record_time_result { ok, overlaps, no_memory };

// Takes the time-keeping time of record `record` (1 or more; ticks as written in the TAL)
// after that of the last record before it whose time is known, `previous_time`
// (`after_unplaced`: records of unknown time lie between them, so this record begins a
// segment). A record that starts before that one ends is refused: sample positions would be
// ambiguous.
edf_record_time_result edf_map_record_time(edf_reader_state *recording, int64_t record,
                                           int64_t time, int64_t previous_time,
                                           bool after_unplaced);

// Notes that record `record` (1 or more) has no known time: it is left out of the time axis.
edf_record_time_result edf_map_unplaced_record(edf_reader_state *recording, int64_t record);

// The end of the last record whose time is known, in ticks from the start of the recording
// (0 without records), or INT64_MAX when it does not fit.
int64_t edf_recording_end_ticks(const edf_reader_state *recording);
