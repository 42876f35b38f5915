// The reader's pass over a whole file without taking a handle: the header, the file size and
// the annotation signals of every record, as the open in mode EDF_READ_ALL_ANNOTATIONS
// examines them. edf_check_file lists its problems; edf_repair_file also uses the block and
// the replacements it leaves.
#pragma once

#include "recording/core/recording.h"
#include "recording/core/problem_sink.h"

// Runs the pass under the sink's policy. Returns 0 when it ran (every problem, a fatal one
// included, is in the sink), or a negative code when the file cannot be opened (null path,
// missing file, a directory) or checking fails for a reason that is not the file's (no
// memory, a failed read). When `recording` is not null and the pass ran without a fatal
// problem, *recording receives the block (a reader's state) with its stream open (free it with
// edf_discard_recording); it is null otherwise.
int edf_check_pass(const char *path, edf_problem_sink *sink, edf_recording **recording);

// Closes the block's stream and frees the block of edf_check_pass.
void edf_discard_recording(edf_recording *recording);
