// The reader's gatekeeper: the header codec parses the header of the source, which is read
// twice (the fixed 256 bytes first, to learn the number of signals, then the whole header in
// one piece), against the source's size.
#include "recording/reader/header_check.h"

#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"

#include <utility>

namespace {

bool read_source(void *source, unsigned char *buffer, int64_t bytes) {
    return static_cast<const edf_byte_source *>(source)->read_at(buffer, bytes, 0) == bytes;
}

} // namespace

edf_reader_state *edf_check_header(edf_byte_source &&source, int *error, edf_problem_sink *sink) {
    edf_problem_sink strict_sink;
    if (sink == nullptr) {
        sink = &strict_sink;
    }
    // Released here, unless the new state takes it.
    edf_byte_source held = std::move(source);
    int64_t size = held.size();
    if (size < 0 && held.is_callbacks()) {
        size = edf::codec::size_unknown;
    }
    edf_reader_state *r = edf::codec::parse_header(read_source, &held, size, sink, error);
    if (r != nullptr) {
        r->source = std::move(held);
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
