// Header validation for files opened for reading: every field of the fixed and the signal
// header is checked, and a complete recording block is built from them.
#pragma once

#include "recording/core/recording.h"

#include <cstdio>

// Reads and checks the whole header of `stream`. On success returns a new block (owned by
// the caller, together with its `signals` array) whose `file` is the stream. On failure
// returns null, stores EDF_ERR_NO_MEMORY, EDF_ERR_READ or EDF_ERR_FORMAT in *error, and has
// freed everything it allocated; the stream is left open.
edf_recording *edf_check_file_header(FILE *stream, int *error);
