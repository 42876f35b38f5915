// Annotation extraction: reads the annotation signals of every data record of an EDF+/BDF+
// file, checks the time-keeping TAL of each record, and collects every annotation.
#pragma once

#include "recording/core/recording.h"
#include "recording/core/problem_sink.h"

// mode: EDF_READ_NO_ANNOTATIONS, EDF_READ_ANNOTATIONS or EDF_READ_ALL_ANNOTATIONS.
// Returns 0 on success; 1 when a work buffer cannot be allocated; 2 when seeking to the first
// record or reading a record fails; 9 when the annotation signals break the format; -1 when
// the list cannot grow. Sets subsecond_start_ticks and the recording's annotation list.
// Problems go to `sink` (null: the strict policy, which ends at the first); under the check
// policy, and unless `keep` is set, nothing is stored.
int edf_extract_annotations(edf_reader_state *recording, bool keep, int mode,
                            edf_problem_sink *sink = nullptr);
