// edfinfo --continuous: a continuous EDF+C/BDF+C copy of a recording, for programs that cannot
// read EDF+D/BDF+D. Every gap is filled with samples of physical value 0 (clipped into each
// signal's digital range) and marked by one annotation "gap" whose duration is the gap's.
#pragma once

#include "recording/edf.h"

#include <string>

// Writes the copy of the open recording `header` to `out_path`, replacing an existing file
// (through the writer: not one that another program is writing). Returns "" on success, or
// why the copy could not be made; failures that the library's file operations share are
// given in their words (edf_error_text of EDF_ERR_CANNOT_OPEN, EDF_ERR_ALREADY_OPEN for the
// source itself, EDF_ERR_BEING_WRITTEN, EDF_ERR_WRITE). A copy begun but not finished is
// removed, unless the output is a device.
std::string write_continuous_copy(const std::string &out_path, const edf_header_info &header);
