// The reader's gatekeeper: the header codec parses the header of the stream, which is read
// twice (the fixed 256 bytes first, to learn the number of signals, then the whole header in
// one piece), against the stream's size.
#include "recording/reader/header_check.h"

#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"

#include <sys/types.h>

#include <cstdio>

namespace edf {

namespace {

bool read_stream(void *source, unsigned char *buffer, int64_t bytes) {
    FILE *stream = static_cast<FILE *>(source);
    std::rewind(stream);
    return std::fread(buffer, 1, static_cast<size_t>(bytes), stream) == static_cast<size_t>(bytes);
}

} // namespace

edf_reader_state *edf_check_file_header(FILE *stream, int *error, edf_problem_sink *sink) {
    edf_problem_sink strict_sink;
    if (sink == nullptr) {
        sink = &strict_sink;
    }
    int64_t size = -1;
    if (fseeko(stream, 0, SEEK_END) == 0) {
        const off_t end = ftello(stream);
        size = end >= 0 ? static_cast<int64_t>(end) : -1;
    }
    edf_reader_state *r = edf::codec::parse_header(read_stream, stream, size, sink, error);
    if (r != nullptr) {
        r->file = stream;
    }
    return r;
}

// Discontinuous files (EDF+D, BDF+D) conform to the format, but the strict open refuses them:
// the check lists them as conforming, and the tolerant open reads them with their true time
// axis, each record's start taken from its time-keeping annotation by the annotation pass,
// which also builds the segment map.
int edf_check_discontinuity(const edf_recording *r, edf_problem_sink *sink) {
    if (!r->is_discontinuous) {
        return 0;
    }
    const edf_problem_place place{edf_layout::reserved.offset, -1, -1, "reserved"};
    if (edf_report(sink, place, EDF_ERR_DISCONTINUOUS, EDF_PROBLEM_CONFORMS,
                   r->is_bdf() ? "BDF+D" : "EDF+D", 5,
                   "The file is discontinuous (its records may leave gaps), as the format "
                   "allows; the tolerant open reads it with each record's own start time.")) {
        return 0;
    }
    return sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_DISCONTINUOUS;
}

} // namespace edf
