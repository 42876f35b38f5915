// One signal's physical samples as CSV.
#pragma once

#include "open_recording.h"

#include <cstdio>

// Writes "time,value" and one line per sample of the window: the sample's time in seconds
// from the start of the recording and its physical value. Reads the signal in fixed-size
// chunks, so the memory used does not grow with the file. False when a read fails.
bool write_samples_csv(std::FILE *out, const edf_header_info &header, int signal,
                       const sample_window &window);
