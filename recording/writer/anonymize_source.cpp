// The source is opened through the public reading operations, so that de-identification
// accepts exactly the files that the reader accepts (and discontinuous ones that conform); the
// header bytes are then read as stored, since the copy keeps every byte that is not replaced.
#include "recording/writer/anonymize_source.h"

#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"
#include "recording/core/positioned_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Reads the header bytes and locates the annotation signals, checking the bytes against
// what the open reported (the file may have changed in between).
int read_header_bytes(const char *path, edf_anonymize_source *out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
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
        if (!edf::codec::read_integer(header.data() + edf_layout::signal_count.offset,
                                      edf_layout::signal_count.width, &ns) ||
            ns < 1 || ns > EDF_MAX_SIGNALS) {
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
    close(fd);
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
        int spr = 0;
        if (!edf::codec::read_integer(signal_part + ns * edf_layout::samples_start +
                                          i * edf_layout::samples_width,
                                      edf_layout::samples_width, &spr) ||
            spr < 1) {
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

// The strict open refuses a discontinuous file (EDF+D, BDF+D) for its gaps alone. One that
// breaks no other rule is read by the tolerant open with the discontinuity as its only
// problem (besides what the strict open accepts as it stands, code 0: annotation texts that
// are not UTF-8), and needs no repair: its header and records can be de-identified as they
// stand.
bool open_conforming_discontinuous(const char *path, int annotation_mode, edf_header_info *info) {
    if (edfopen_file_readonly_tolerant(path, info, annotation_mode) != 0) {
        return false;
    }
    const int count = edf_get_problem_count(info->handle);
    bool conforming = true;
    for (int n = 0; n < count && conforming; n++) {
        edf_problem problem;
        conforming = edf_get_problem(info->handle, n, &problem) == 0 &&
                     (problem.action == EDF_PROBLEM_CONFORMS || problem.code == 0);
    }
    if (conforming) {
        return true;
    }
    edfclose_file(info->handle);
    return false;
}

} // namespace

int edf_read_anonymize_source(const char *path, int annotation_mode, edf_anonymize_source *out) {
    out->info = std::make_unique<edf_header_info>();
    edf_header_info &info = *out->info;
    if (edfopen_file_readonly(path, &info, annotation_mode) != 0) {
        const int refused = info.filetype;
        if (refused != EDF_ERR_DISCONTINUOUS ||
            !open_conforming_discontinuous(path, annotation_mode, &info)) {
            return refused;
        }
    }
    for (int64_t n = 0; n < info.annotation_count && !out->texts_to_drop; n++) {
        edf_annotation annotation;
        if (edf_get_annotation(info.handle, static_cast<int>(n), &annotation) != 0 ||
            std::strcmp(annotation.annotation, "X") != 0) {
            out->texts_to_drop = true;
        }
    }
    const int result = read_header_bytes(path, out);
    edfclose_file(info.handle);
    info.handle = -1;
    return result;
}
