// Collecting the annotations of an open handle after the open: a handle opened without them
// (which read the header and the first record only) gets them when they are wanted. The pass
// is the open's own, under the open's policy, into a fresh list; the handle's list, problems
// and time axis change only when it succeeds.
#include "recording/core/recording.h"
#include "recording/reader/annotation_reader.h"

#include <cstdlib>
#include <cstring>

namespace {

// What the pass replaces, kept until it has succeeded.
struct kept_list {
    edf_parsed_annotation *annotations;
    int count;
    int capacity;
    char *texts;
    int64_t text_size;
    int64_t text_capacity;
    int64_t break_count;
    int64_t unplaced_count;
    int64_t subsecond_start_ticks;
};

kept_list take_list(edf_reader_state *r) {
    const kept_list kept{r->annotations,      r->annotation_count,     r->annotation_capacity,
                         r->annotation_texts, r->annotation_text_size, r->annotation_text_capacity,
                         r->break_count,      r->unplaced_count,       r->subsecond_start_ticks};
    r->annotations = nullptr;
    r->annotation_count = r->annotation_capacity = 0;
    r->annotation_texts = nullptr;
    r->annotation_text_size = r->annotation_text_capacity = 0;
    // The pass notes the same breaks again, in the same order.
    r->break_count = 0;
    r->unplaced_count = 0;
    return kept;
}

void put_back(edf_reader_state *r, const kept_list &kept) {
    std::free(r->annotations);
    std::free(r->annotation_texts);
    r->annotations = kept.annotations;
    r->annotation_count = kept.count;
    r->annotation_capacity = kept.capacity;
    r->annotation_texts = kept.texts;
    r->annotation_text_size = kept.text_size;
    r->annotation_text_capacity = kept.text_capacity;
    r->break_count = kept.break_count;
    r->unplaced_count = kept.unplaced_count;
    r->subsecond_start_ticks = kept.subsecond_start_ticks;
}

// A tolerant handle's problems: those before the annotation signals', then the pass's.
bool replace_problems(edf_reader_state *r, edf_problem_sink &sink) {
    const int before = r->annotation_problem_start;
    const int total = before + sink.count;
    auto *problems = static_cast<edf_problem *>(
        std::malloc(static_cast<size_t>(total > 0 ? total : 1) * sizeof(edf_problem)));
    if (problems == nullptr) {
        return false;
    }
    if (before > 0) {
        std::memcpy(problems, r->problems, static_cast<size_t>(before) * sizeof(edf_problem));
    }
    if (sink.count > 0) {
        std::memcpy(problems + before, sink.problems,
                    static_cast<size_t>(sink.count) * sizeof(edf_problem));
    }
    std::free(r->problems);
    r->problems = problems;
    r->problem_count = total;
    return true;
}

int read_annotations(int handle, int mode) {
    edf_reader_state *r = edf_reader_for(handle);
    if (r == nullptr) {
        return -1;
    }
    if (mode < EDF_READ_NO_ANNOTATIONS || mode > EDF_READ_ALL_ANNOTATIONS) {
        return EDF_ERR_ANNOTATION_MODE;
    }
    if (!r->is_plus()) {
        return 0;
    }
    edf_problem_sink sink;
    sink.policy = r->tolerant ? edf_policy::tolerant : edf_policy::strict;
    const kept_list kept = take_list(r);
    const int result = edf_extract_annotations(r, true, mode, &sink);
    int code = 0;
    if (result == 1 || result == -1 || sink.out_of_memory) {
        code = EDF_ERR_NO_MEMORY;
    } else if (result == 2) {
        code = EDF_ERR_READ;
    } else if (result != 0) {
        code = EDF_ERR_FORMAT;
    } else if (r->tolerant && !replace_problems(r, sink)) {
        code = EDF_ERR_NO_MEMORY;
    }
    edf_release_sink(&sink);
    if (code != 0) {
        put_back(r, kept);
        return code;
    }
    std::free(kept.annotations);
    std::free(kept.texts);
    return r->annotation_count;
}

} // namespace

extern "C" int edf_read_annotations(int handle, int annotation_mode) {
    return read_annotations(handle, annotation_mode);
}
