// The source is opened through the public reading operations, so that de-identification
// accepts exactly the files that the reader accepts (and discontinuous ones that conform); the
// header bytes are then read as stored, since the copy keeps every byte that is not replaced.
#include "recording/operations/anonymize_source.h"

#include "recording/core/exception_boundary.h"
#include "recording/core/header_codec.h"
#include "recording/core/byte_source.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace edf {

namespace {

// The header of the file, for the codec; each read also keeps the bytes.
struct header_source {
    const edf_byte_source *bytes;
    std::vector<unsigned char> *header;
};

bool read_header(void *source, unsigned char *buffer, int64_t bytes) {
    const header_source &s = *static_cast<header_source *>(source);
    if (s.bytes->read_at(buffer, bytes, 0) != bytes) {
        return false;
    }
    s.header->assign(buffer, buffer + bytes);
    return true;
}

// Reads the header bytes, parses them strictly and locates the annotation signals, checking
// the header against what the open reported (the file may have changed in between).
int read_header_bytes(const char *path, edf_anonymize_source *out) {
    const int fd = edf_open_file(path, edf_open_how::read);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // Closed however the reading ends, a failed allocation included.
    const struct closing {
        int fd;
        ~closing() {
            edf_close_file(fd);
        }
    } file{fd};
    const edf_byte_source bytes = edf_byte_source::over_file(fd);
    header_source source{&bytes, &out->header};
    const int64_t size = bytes.size();
    edf_problem_sink strict;
    int result = 0;
    const std::unique_ptr<edf_recording, void (*)(edf_recording *)> r(
        edf::codec::parse_header(read_header, &source, size, &strict, &result),
        edf::codec::release_header);
    if (r == nullptr) {
        return result;
    }
    for (int i = 0; i < r->signal_count; i++) {
        const edf_signal_param &s = r->signals[i];
        if (s.is_annotation) {
            out->annotation_signals.push_back(
                {s.buffer_offset, int64_t{s.samples_per_record} * r->bytes_per_sample()});
        }
    }
    out->record_size = r->record_size;
    return r->signal_count - r->annotation_signal_count == out->info->ordinary_signal_count
               ? 0
               : EDF_ERR_FORMAT;
}

// The strict open refuses a discontinuous file (EDF+D, BDF+D) for its gaps alone, and reports
// an allocation that fails while it reads the annotation signals as the file's fault
// (EDF_ERR_FORMAT). The tolerant open tells both from a broken file: one that it reads with the
// discontinuity as its only problem (besides what the strict open accepts as it stands, code
// 0: annotation texts that are not UTF-8), or none, needs no repair, and its header and
// records can be de-identified as they stand. Returns 0 with the file open, EDF_ERR_NO_MEMORY
// when the tolerant open runs out of memory too, or `refused`, the strict open's code.
int open_conforming(const char *path, int annotation_mode, edf_header_info *info, int refused) {
    if (edfopen_file_readonly_tolerant(path, info, annotation_mode) != 0) {
        return info->filetype == EDF_ERR_NO_MEMORY ? EDF_ERR_NO_MEMORY : refused;
    }
    const int count = edf_get_problem_count(info->handle);
    bool conforming = true;
    for (int n = 0; n < count && conforming; n++) {
        edf_problem problem;
        conforming = edf_get_problem(info->handle, n, &problem) == 0 &&
                     (problem.action == EDF_PROBLEM_CONFORMS || problem.code == 0);
    }
    if (conforming) {
        return 0;
    }
    edfclose_file(info->handle);
    return refused;
}

} // namespace

int edf_read_anonymize_source(const char *path, int annotation_mode, edf_anonymize_source *out) {
    out->info = std::make_unique<edf_header_info>();
    edf_header_info &info = *out->info;
    if (edfopen_file_readonly(path, &info, annotation_mode) != 0) {
        const int refused = info.filetype;
        if (refused != EDF_ERR_DISCONTINUOUS && refused != EDF_ERR_FORMAT) {
            return refused;
        }
        const int reopened = open_conforming(path, annotation_mode, &info, refused);
        if (reopened != 0) {
            return reopened;
        }
    }
    for (int64_t n = 0; n < info.annotation_count && !out->texts_to_drop; n++) {
        edf_annotation annotation;
        if (edf_get_annotation(info.handle, static_cast<int>(n), &annotation) != 0 ||
            std::strcmp(annotation.annotation, "X") != 0) {
            out->texts_to_drop = true;
        }
    }
    // The handle is closed however the reading ends, a failed allocation included.
    const int result =
        edf_without_exceptions(EDF_ERR_NO_MEMORY, -1, [&] { return read_header_bytes(path, out); });
    edfclose_file(info.handle);
    info.handle = -1;
    return result;
}

} // namespace edf
