// edfinfo --continuous: a continuous EDF+C/BDF+C copy of a recording, for programs that cannot
// read EDF+D/BDF+D. Every gap is filled with samples of physical value 0 (clipped into each
// signal's digital range) and marked by one annotation "gap" whose duration is the gap's.
#pragma once

#include "recording/edf.h"

#include <string>

// Writes the copy of the open recording `header` to `out_path`. Returns "" on success, or
// why the copy could not be made.
std::string write_continuous_copy(const std::string &out_path, const edf_header_info &header);
