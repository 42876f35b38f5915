// Opening a file for reading: the header is checked and parsed, the recording takes the
// lowest free handle, the annotations of EDF+/BDF+ files are collected, and the caller's
// edf_header_info receives the file's description with one entry per ordinary signal
// (annotation signals are hidden: user signal numbers count the ordinary signals only).
#include "recording/core/checked_arithmetic.h"
#include "recording/core/platform_file.h"
#include "recording/core/recording.h"
#include "recording/core/text_format.h"
#include "recording/reader/annotation_reader.h"
#include "recording/reader/check_pass.h"
#include "recording/reader/header_check.h"
#include "recording/reader/segment_map.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace edf {

namespace {

int fail(edf_header_info *hdr, int code) {
    hdr->handle = -1;
    hdr->filetype = code;
    return -1;
}

// Frees a recording that never became visible through a handle, closes its stream (a path's)
// and releases its source.
void discard(edf_reader_state *r) {
    if (r->file != nullptr) {
        std::fclose(r->file);
        r->file = nullptr;
    }
    delete r;
}

void fill_identification(edf_header_info *hdr, const edf_reader_state *r) {
    if (!r->is_plus()) {
        edf_copy_cut(hdr->patient, r->patient_field, 80);
        edf_copy_cut(hdr->recording, r->recording_field, 80);
        return;
    }
    // Identification fields outside the subfield grammar are kept whole.
    if (r->patient_whole) {
        edf_copy_cut(hdr->patient, r->patient_field, 80);
    }
    if (r->recording_whole) {
        edf_copy_cut(hdr->recording, r->recording_field, 80);
    }
    edf_copy_cut(hdr->patient_code, r->patient_code, 80);
    edf_copy_cut(hdr->sex, r->sex_text, 15);
    edf_copy_cut(hdr->gender, r->sex_text, 15);
    edf_copy_cut(hdr->birthdate, r->birthdate_text, 15);
    hdr->birth_day = r->birth_day;
    hdr->birth_month = r->birth_month;
    hdr->birth_year = r->birth_year;
    edf_copy_cut(hdr->patient_name, r->patient_name, 80);
    edf_copy_cut(hdr->patient_additional, r->patient_additional, 80);
    edf_copy_cut(hdr->admin_code, r->admin_code, 80);
    edf_copy_cut(hdr->technician, r->technician, 80);
    edf_copy_cut(hdr->equipment, r->equipment, 80);
    edf_copy_cut(hdr->recording_additional, r->recording_additional, 80);
}

void fill_signal(edf_signal_info *info, const edf_signal_param &s, int64_t records) {
    edf_copy_cut(info->label, s.label, 16);
    info->samples_in_file = static_cast<int64_t>(s.samples_per_record) * records;
    info->physical_max = s.physical_max;
    info->physical_min = s.physical_min;
    info->digital_max = s.digital_max;
    info->digital_min = s.digital_min;
    info->samples_per_record = s.samples_per_record;
    edf_copy_cut(info->physical_dimension, s.physical_dimension, 8);
    edf_copy_cut(info->prefilter, s.prefilter, 80);
    edf_copy_cut(info->transducer, s.transducer, 80);
}

// The caller's description of the file as its header states it, one entry per ordinary
// signal; the annotations and what they tell come later.
void describe(edf_header_info *hdr, edf_reader_state *r) {
    hdr->filetype = static_cast<int>(r->file_type);
    hdr->ordinary_signal_count = r->signal_count - r->annotation_signal_count;
    // Record count and duration come from eight-character fields whose product can exceed
    // 64 bits; such a duration is reported as the largest value.
    if (edf_mul_overflow(r->datarecord_count, r->datarecord_duration_ticks, &hdr->file_duration)) {
        hdr->file_duration = INT64_MAX;
    }
    hdr->start_day = r->start_day;
    hdr->start_month = r->start_month;
    hdr->start_year = r->start_year;
    hdr->start_second = r->start_second;
    hdr->start_minute = r->start_minute;
    hdr->start_hour = r->start_hour;
    hdr->datarecord_duration = r->datarecord_duration_ticks;
    hdr->datarecord_count = r->datarecord_count;
    fill_identification(hdr, r);
    int n = 0;
    for (int i = 0; i < r->signal_count; i++) {
        if (!r->signals[i].is_annotation) {
            r->ordinary_signal_indexes[n++] = i;
        }
    }
    for (int k = 0; k < hdr->ordinary_signal_count; k++) {
        fill_signal(&hdr->signals[k], r->signals[r->ordinary_signal_indexes[k]],
                    r->datarecord_count);
    }
}

// Opens `path` as an unbuffered stream; null for a path that cannot be opened or names a
// directory.
FILE *open_stream(const char *path) {
    const int fd = edf_open_file(path, edf_open_how::read);
    if (fd < 0) {
        return nullptr;
    }
    // A directory opens on some systems, and only its first read fails: it is no file to
    // open, as for the writer.
    edf_file_identity file;
    if (!edf_identify(fd, &file) || file.kind == edf_file_kind::directory) {
        edf_close_file(fd);
        return nullptr;
    }
    FILE *stream = edf_stream_of(fd, "rb");
    if (stream == nullptr) {
        edf_close_file(fd);
        return nullptr;
    }
    // Every read of this library seeks first and then reads a block of its own size into its
    // own buffer, so the stream's buffer would only add a copy, and it could serve bytes that
    // the file no longer has (a file shortened while open must read as ending there).
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// The first checks of every open for reading: the record and the mode, and a free handle.
// Returns 0, or -1 with the code in *hdr (when there is one).
int check_arguments(edf_header_info *hdr, int read_annotations) {
    if (hdr == nullptr) {
        return -1;
    }
    std::memset(hdr, 0, sizeof *hdr);
    hdr->handle = -1;
    if (read_annotations < EDF_READ_NO_ANNOTATIONS || read_annotations > EDF_READ_ALL_ANNOTATIONS) {
        return fail(hdr, EDF_ERR_ANNOTATION_MODE);
    }
    if (edf_get_number_of_open_files() >= EDF_MAX_FILES) {
        return fail(hdr, EDF_ERR_TOO_MANY_FILES);
    }
    return 0;
}

// The open for reading of `source` under the sink's policy (strict or tolerant): `stream` is
// the stream of a path's source (closed on failure), null for memory and callbacks; `name` is
// the path, or the name of a source. The source is released on failure.
int open_reading(edf_byte_source &&source, FILE *stream, const char *name, edf_header_info *hdr,
                 int read_annotations, edf_problem_sink *sink) {
    int error = EDF_ERR_FORMAT;
    edf_reader_state *r = edf_check_header(std::move(source), &error, sink);
    if (r == nullptr) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        return fail(hdr, error);
    }
    r->file = stream;
    r->from_source = stream == nullptr ? 1 : 0;
    r->tolerant = sink->policy != edf_policy::strict ? 1 : 0;
    error = edf_check_discontinuity(r, sink);
    if (error != 0) {
        discard(r);
        return fail(hdr, error);
    }
    if (!edf_store_path(r, name != nullptr ? name : "")) {
        discard(r);
        return fail(hdr, EDF_ERR_NO_MEMORY);
    }
    if (stream != nullptr) {
        edf_store_identity(r);
    }
    const int handle = edf_take_slot(r);
    if (handle < 0) {
        discard(r);
        return fail(hdr, handle);
    }
    hdr->handle = handle;
    describe(hdr, r);
    hdr->annotation_count = 0;

    if (r->is_plus()) {
        r->annotation_problem_start = sink->count;
        const int result = edf_extract_annotations(r, true, read_annotations, sink);
        if (result != 0) {
            // Leave no trace: the slot, the list and the block go, and the caller's record
            // holds nothing but the failure.
            edf_give_back_slot(handle);
            discard(r);
            std::memset(hdr, 0, sizeof *hdr);
            // The tolerant open tells memory (a buffer, or a list that cannot grow) from the
            // file; the strict open of a path reports every failure of the pass as the
            // file's. A source that fails is the source's failure.
            const bool memory = result == 1 || result == -1;
            const int code = stream == nullptr && result == 2               ? EDF_ERR_READ
                             : sink->policy != edf_policy::strict && memory ? EDF_ERR_NO_MEMORY
                                                                            : EDF_ERR_FORMAT;
            return fail(hdr, code);
        }
        hdr->start_subsecond = r->subsecond_start_ticks;
        hdr->annotation_count = r->annotation_count;
        if (r->is_discontinuous) {
            hdr->file_duration = edf_recording_end_ticks(r);
        }
    }
    // The problems stay with the handle; the sink's list becomes the block's.
    r->problems = sink->problems;
    r->problem_count = sink->count;
    sink->problems = nullptr;
    sink->count = sink->capacity = 0;
    return 0;
}

// The open of a path under the sink's policy.
int open_path(const char *path, edf_header_info *hdr, int read_annotations,
              edf_problem_sink *sink) {
    if (check_arguments(hdr, read_annotations) != 0) {
        return -1;
    }
    if (path == nullptr) {
        return fail(hdr, EDF_ERR_CANNOT_OPEN);
    }
    if (edf_path_in_use(path)) {
        return fail(hdr, EDF_ERR_ALREADY_OPEN);
    }
    FILE *stream = open_stream(path);
    if (stream == nullptr) {
        return fail(hdr, EDF_ERR_CANNOT_OPEN);
    }
    return open_reading(edf_byte_source::over_file(edf_descriptor_of(stream)), stream, path, hdr,
                        read_annotations, sink);
}

// The open of memory or of callbacks: strict, or tolerant by the flag.
int open_source(edf_byte_source &&given, const char *name, edf_header_info *hdr,
                int read_annotations, int flags) {
    edf_byte_source source = std::move(given); // released on every early return
    if (check_arguments(hdr, read_annotations) != 0) {
        return -1;
    }
    if ((flags & ~(EDF_OPEN_TOLERANT | EDF_OPEN_EXACT_READS)) != 0 || !source.usable()) {
        return fail(hdr, EDF_ERR_CANNOT_OPEN);
    }
    edf_problem_sink sink;
    if ((flags & EDF_OPEN_TOLERANT) != 0) {
        sink.policy = edf_policy::tolerant;
    }
    const int result = open_reading(std::move(source), nullptr, name, hdr, read_annotations, &sink);
    edf_release_sink(&sink);
    return result;
}

// The pass over `source` (with `stream`, a path's, or null; closed on failure).
int check_pass(edf_byte_source &&source, FILE *stream, edf_problem_sink *sink,
               edf_recording **recording) {
    int error = 0;
    edf_reader_state *r = edf_check_header(std::move(source), &error, sink);
    if (r == nullptr) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        // A fatal problem was listed; any other failure is the environment's.
        const bool fatal_listed =
            sink->count > 0 && sink->problems[sink->count - 1].action == EDF_PROBLEM_FATAL;
        return sink->out_of_memory ? EDF_ERR_NO_MEMORY : fatal_listed ? 0 : error;
    }
    r->file = stream;
    r->from_source = stream == nullptr ? 1 : 0;
    error = edf_check_discontinuity(r, sink);
    if (error == 0 && r->is_plus()) {
        switch (edf_extract_annotations(r, false, EDF_READ_ALL_ANNOTATIONS, sink)) {
        case 0:
            break;
        case 1:
        case -1:
            error = EDF_ERR_NO_MEMORY;
            break;
        case 2:
            error = EDF_ERR_READ;
            break;
        default:
            error = sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_FORMAT;
            break;
        }
    }
    // A fatal problem of the records (records that overlap) is listed, and the pass has run.
    const bool fatal =
        sink->count > 0 && sink->problems[sink->count - 1].action == EDF_PROBLEM_FATAL;
    if (fatal && error == EDF_ERR_FORMAT) {
        error = 0;
    }
    if (error != 0 || fatal || recording == nullptr) {
        discard(r);
        return sink->out_of_memory ? EDF_ERR_NO_MEMORY : error;
    }
    *recording = r;
    return 0;
}

// edf_check_file and edf_check_source: the pass under the check policy, its list copied out.
int check_listing(edf_byte_source &&source, FILE *stream, edf_problem *problems, int capacity) {
    edf_problem_sink sink;
    sink.policy = edf_policy::check;
    const int code = check_pass(std::move(source), stream, &sink, nullptr);
    const int count = sink.count;
    for (int i = 0; i < count && i < capacity; i++) {
        problems[i] = sink.problems[i];
    }
    edf_release_sink(&sink);
    return code < 0 ? code : count;
}

} // namespace

int edf_check_pass(const char *path, edf_problem_sink *sink, edf_recording **recording) {
    if (recording != nullptr) {
        *recording = nullptr;
    }
    if (path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    FILE *stream = open_stream(path);
    if (stream == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    return check_pass(edf_byte_source::over_file(edf_descriptor_of(stream)), stream, sink,
                      recording);
}

void edf_discard_recording(edf_recording *recording) {
    discard(static_cast<edf_reader_state *>(recording));
}

} // namespace edf

using namespace edf;

extern "C" {

int edfopen_file_readonly(const char *path, edf_header_info *hdr, int read_annotations) {
    edf_problem_sink strict;
    return open_path(path, hdr, read_annotations, &strict);
}

int edfopen_file_readonly_tolerant(const char *path, edf_header_info *hdr, int read_annotations) {
    edf_problem_sink sink;
    sink.policy = edf_policy::tolerant;
    const int result = open_path(path, hdr, read_annotations, &sink);
    edf_release_sink(&sink);
    return result;
}

int edfopen_source_readonly(const edf_source *source, const char *name, edf_header_info *hdr,
                            int annotation_mode, int flags) {
    if (source == nullptr) {
        if (hdr != nullptr) {
            std::memset(hdr, 0, sizeof *hdr);
            return fail(hdr, EDF_ERR_CANNOT_OPEN);
        }
        return -1;
    }
    const bool cached = (flags & EDF_OPEN_EXACT_READS) == 0;
    return open_source(edf_byte_source::over_callbacks(*source, cached), name, hdr, annotation_mode,
                       flags);
}

int edfopen_memory_readonly(const void *data, int64_t size, edf_header_info *hdr,
                            int annotation_mode, int flags) {
    edf_byte_source memory;
    if (size >= 0 && data != nullptr) {
        memory = edf_byte_source::over_memory(data, size);
    }
    return open_source(std::move(memory), nullptr, hdr, annotation_mode, flags);
}

int edf_check_file(const char *path, edf_problem *problems, int capacity) {
    if (capacity < 0 || (problems == nullptr && capacity > 0)) {
        return -1;
    }
    if (path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    FILE *stream = open_stream(path);
    if (stream == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    return check_listing(edf_byte_source::over_file(edf_descriptor_of(stream)), stream, problems,
                         capacity);
}

int edf_check_source(const edf_source *source, edf_problem *problems, int capacity) {
    if (source == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    edf_byte_source bytes = edf_byte_source::over_callbacks(*source);
    if (capacity < 0 || (problems == nullptr && capacity > 0)) {
        return -1; // released with `bytes`
    }
    if (!bytes.usable()) {
        return EDF_ERR_CANNOT_OPEN;
    }
    return check_listing(std::move(bytes), nullptr, problems, capacity);
}

int edf_get_problem_count(int handle) {
    const edf_reader_state *r = edf_reader_for(handle);
    return r != nullptr ? r->problem_count : -1;
}

int edf_get_problem(int handle, int n, edf_problem *problem) {
    if (problem == nullptr) {
        return -1;
    }
    std::memset(problem, 0, sizeof *problem);
    const edf_reader_state *r = edf_reader_for(handle);
    if (r == nullptr || n < 0 || n >= r->problem_count) {
        return -1;
    }
    *problem = r->problems[n];
    return 0;
}

} // extern "C"
