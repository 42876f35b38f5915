// The tolerant open, for now only the strict open that also accepts discontinuous files.
#include "recording/reader/open_reader.h"

extern "C" int edfopen_file_readonly_tolerant(const char *path, edf_header_info *hdr,
                                              int read_annotations) {
    return edf_open_for_reading(path, hdr, read_annotations, true);
}
