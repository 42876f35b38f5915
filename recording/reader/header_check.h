// Header validation for files opened for reading: every field of the fixed and the signal
// header is checked, and a complete recording block is built from them.
#pragma once

#include "recording/core/recording.h"
#include "recording/core/problem_sink.h"

#include <cstdio>

namespace edf {

// Reads and checks the whole header of `stream` and its size against the record count,
// reporting every problem to `sink` (null: the strict policy). On success returns a new reader's
// state (owned by the caller, together with its `signals` array) whose `file` is the stream, with
// the repairs applied. On failure (the first problem under the strict policy, a fatal one
// under the others) returns null, stores EDF_ERR_NO_MEMORY, EDF_ERR_READ or EDF_ERR_FORMAT in
// *error, and has freed everything it allocated; the stream is left open.
edf_reader_state *edf_check_file_header(FILE *stream, int *error, edf_problem_sink *sink = nullptr);

// Reports a discontinuous file to `sink` (as conforming, code EDF_ERR_DISCONTINUOUS) and
// returns EDF_ERR_DISCONTINUOUS under the strict policy (EDF_ERR_NO_MEMORY when the report
// cannot be stored); 0 for a continuous one, and for a discontinuous one under the others.
int edf_check_discontinuity(const edf_recording *recording, edf_problem_sink *sink);

} // namespace edf
