// The header writer: validates the signal descriptions of a writer block, derives each
// signal's conversion pair and the record size, and writes the whole header from byte 0.
#pragma once

#include "recording/core/recording.h"

// Returns 0 once the header is written (the stream then stands where the first data record
// begins), a negative EDF_ERR_* header code when the descriptions cannot make a valid header
// (nothing is written then), or -1 when the stream reports an output error.
int edf_write_header(edf_writer_state *recording);
