// Header validation for files opened for reading: every field of the fixed and the signal
// header is checked, and a complete recording block is built from them.
#pragma once

#include "recording/core/recording.h"
#include "recording/core/problem_sink.h"

#include <cstdio>

// Reads and checks the whole header of `source` and its size against the record count (a
// source of callbacks that cannot tell its size: the count is taken as it stands), reporting
// every problem to `sink` (null: the strict policy). On success returns a new reader's state
// (owned by the caller, together with its `signals` array) that holds the source, with the
// repairs applied; its `file` is null. On failure (the first problem under the strict policy,
// a fatal one under the others) returns null, stores EDF_ERR_NO_MEMORY, EDF_ERR_READ or
// EDF_ERR_FORMAT in *error, has released the source (a file's descriptor stays open) and
// freed everything it allocated.
edf_reader_state *edf_check_header(edf_byte_source &&source, int *error,
                                   edf_problem_sink *sink = nullptr);

// Reports a discontinuous file to `sink` (as conforming, code EDF_ERR_DISCONTINUOUS) and
// returns EDF_ERR_DISCONTINUOUS under the strict policy (EDF_ERR_NO_MEMORY when the report
// cannot be stored); 0 for a continuous one, and for a discontinuous one under the others.
int edf_check_discontinuity(const edf_recording *recording, edf_problem_sink *sink);
