// The source is opened through the public reading operations, so that de-identification
// accepts exactly the files that the reader accepts (and discontinuous ones that conform); the
// header bytes are then read as stored, since the copy keeps every byte that is not replaced.
#include "recording/writer/anonymize_source.h"

#include "recording/core/exception_boundary.h"
#include "recording/core/header_layout.h"
#include "recording/core/positioned_io.h"
#include "recording/core/text_parse.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string field_text(const unsigned char *bytes, int width) {
    return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(width));
}

// Reads the header bytes and locates the annotation signals, checking the bytes against
// what the open reported (the file may have changed in between).
int read_header_bytes(const char *path, edf_anonymize_source *out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // Closed however the reading ends, a failed allocation included.
    const struct closing {
        int fd;
        ~closing() {
            close(fd);
        }
    } file{fd};
    const edf_header_info &info = *out->info;
    std::vector<unsigned char> &header = out->header;
    header.resize(edf_layout::fixed_header_size);
    int result = 0;
    if (edf_read_at(fd, header.data(), edf_layout::fixed_header_size, 0) !=
        edf_layout::fixed_header_size) {
        result = EDF_ERR_READ;
    }
    int ns = 0;
    if (result == 0) {
        const std::string count = field_text(header.data() + edf_layout::signal_count.offset,
                                             edf_layout::signal_count.width);
        ns = edf_text_is_integer(count.c_str()) == 0 ? edf_atoi(count.c_str()) : 0;
        if (ns < 1 || ns > EDF_MAX_SIGNALS) {
            result = EDF_ERR_FORMAT;
        }
    }
    if (result == 0) {
        const int64_t size = static_cast<int64_t>(edf_layout::signal_header_size) * (ns + 1);
        header.resize(static_cast<size_t>(size));
        if (edf_read_at(fd, header.data(), size, 0) != size) {
            result = EDF_ERR_READ;
        }
    }
    if (result != 0) {
        return result;
    }

    const bool plus =
        info.filetype == EDF_FILETYPE_EDFPLUS || info.filetype == EDF_FILETYPE_BDFPLUS;
    const bool bdf = info.filetype == EDF_FILETYPE_BDF || info.filetype == EDF_FILETYPE_BDFPLUS;
    const char *annotation_label = bdf ? "BDF Annotations " : "EDF Annotations ";
    const int64_t bytes_per_sample = bdf ? 3 : 2;
    const unsigned char *signal_part = header.data() + edf_layout::fixed_header_size;
    int64_t offset = 0;
    for (int i = 0; i < ns; i++) {
        const std::string samples =
            field_text(signal_part + ns * edf_layout::samples_start + i * edf_layout::samples_width,
                       edf_layout::samples_width);
        const int spr = edf_text_is_integer(samples.c_str()) == 0 ? edf_atoi(samples.c_str()) : 0;
        if (spr < 1) {
            return EDF_ERR_FORMAT;
        }
        const int64_t length = spr * bytes_per_sample;
        if (plus && std::memcmp(signal_part + i * edf_layout::label_width, annotation_label,
                                edf_layout::label_width) == 0) {
            out->annotation_signals.push_back({offset, length});
        }
        offset += length;
    }
    out->record_size = offset;
    if (ns - static_cast<int>(out->annotation_signals.size()) != info.ordinary_signal_count) {
        return EDF_ERR_FORMAT;
    }
    return 0;
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
