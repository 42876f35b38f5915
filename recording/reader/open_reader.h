// The open for reading behind the public opening operations.
#pragma once

#include "recording/edf.h"

// Opens `path` as edfopen_file_readonly does. With accept_discontinuous, EDF+D and BDF+D files
// are opened too (instead of being refused with EDF_ERR_DISCONTINUOUS): the pass over the
// annotation signals takes every record's start from its time-keeping TAL and builds the
// segment map, and a record that starts before the previous one ends makes the file
// EDF_ERR_FORMAT.
int edf_open_for_reading(const char *path, edf_header_info *hdr, int read_annotations,
                         bool accept_discontinuous);
