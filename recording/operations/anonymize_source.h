// What de-identification needs to know about its source file: the reader's view of it through
// the public operations, the header bytes as stored, and where the annotation signals lie in
// a data record.
#pragma once

#include "recording/edf.h"

#include <cstdint>
#include <memory>
#include <vector>

struct edf_anonymize_signal_place {
    int64_t offset; // byte position inside a data record
    int64_t length; // bytes per data record
};

struct edf_anonymize_source {
    std::unique_ptr<edf_header_info> info;                      // as the open filled it
    std::vector<unsigned char> header;                          // the whole header, as stored
    int64_t record_size = 0;                                    // bytes in one data record
    std::vector<edf_anonymize_signal_place> annotation_signals; // in file order
    bool texts_to_drop = false; // an annotation text is not "X" (when annotations were read)
};

// Reads the source: opens `path` with edfopen_file_readonly in `annotation_mode` (so the
// file is checked as the strict open checks it) or, for a file that the strict open refuses as
// discontinuous or as breaking the format, with edfopen_file_readonly_tolerant (accepted only
// when the discontinuity is its one problem, or when it finds none: the strict open then ran
// out of memory); takes what the open reports, reads the header bytes and closes the file
// again. Returns 0, or the strict open's code: EDF_ERR_NO_MEMORY when an allocation fails
// (also one that the strict open blamed on the file, when the tolerant open runs out too),
// EDF_ERR_READ when the header bytes cannot be read, EDF_ERR_FORMAT when they no longer agree
// with the open. It throws std::bad_alloc only before it opens anything, and closes what it
// opened in every case. This is the one place that decides which files de-identification
// reads as they stand; the copy turns others into such files first (see anonymize_file.cpp).
int edf_read_anonymize_source(const char *path, int annotation_mode, edf_anonymize_source *out);
