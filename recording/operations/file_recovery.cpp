// Recovery of a file whose writer died before close. Such a file holds a complete header with
// "-1" as its record count, the data records completed before the end (each was flushed as it
// completed, with the annotations whose places lie in it), and perhaps part of the record that
// was being assembled. Recovery writes the count of complete records into the header and cuts
// the partial record off: two small changes in place, nothing copied.
//
// Whether the file is such a file is the reader's check to say: recovery runs the check pass
// and goes ahead only when the count and a trailing partial record are all that the check
// finds. It lives beside the repaired copy for that reason, though the files it mends come
// from the writer.
#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"
#include "recording/core/in_use_mark.h"
#include "recording/core/platform_file.h"
#include "recording/reader/check_pass.h"

#include <cerrno>
#include <cstring>

namespace edf {

namespace {

using edf_layout::datarecord_count;

// The problems that a writer leaves when it dies: a record count that was never set (or no
// longer matches) and a partial last record. An EDF+D/BDF+D file is listed as discontinuous
// because the strict open does not read that kind, not because it is broken, and what the
// strict open accepts as it stands (code 0: annotation texts that are not UTF-8) stays too.
bool left_by_an_unfinished_recording(const edf_problem &problem) {
    return std::strcmp(problem.field, "number of data records") == 0 ||
           std::strcmp(problem.field, "incomplete data record") == 0 ||
           problem.code == EDF_ERR_DISCONTINUOUS || problem.code == 0;
}

// Checks the file open as `fd` (by `path`) and works out what recovery does.
int plan(const char *path, int fd, edf_recovery_plan *out) {
    edf_problem_sink sink;
    sink.policy = edf_policy::check;
    edf_recording *r = nullptr;
    int code = edf_check_pass(path, &sink, &r);
    // Recovery does not guess at a broken file: any other problem refuses it, with the code
    // that the strict open gives for it.
    for (int i = 0; code == 0 && i < sink.count; i++) {
        if (!left_by_an_unfinished_recording(sink.problems[i])) {
            code = sink.problems[i].code;
        }
    }
    edf_release_sink(&sink);
    if (code != 0 || r == nullptr) {
        if (r != nullptr) {
            edf_discard_recording(r);
        }
        return code != 0 ? code : EDF_ERR_FORMAT;
    }
    unsigned char stored[datarecord_count.width];
    const bool read =
        static_cast<const edf_reader_state *>(r)->source.read_at(
            stored, datarecord_count.width, datarecord_count.offset) == datarecord_count.width;
    // The file checked must be the one to change, still of the size the check saw.
    edf_file_identity checked;
    edf_file_identity file;
    const bool same = edf_identify(edf_descriptor_of(r->file), &checked) &&
                      edf_identify(fd, &file) && checked.same_file(file) &&
                      checked.size == file.size;
    out->file_size = file.size;
    out->header_size = r->header_size;
    out->record_size = r->record_size;
    int count = -1;
    out->stored_count =
        read && edf::codec::read_integer(stored, datarecord_count.width, &count) ? count : -1;
    out->complete_records = r->datarecord_count;
    out->partial_bytes = out->file_size - out->header_size - out->complete_records * r->record_size;
    edf_discard_recording(r);
    if (!read) {
        return EDF_ERR_READ;
    }
    if (!same || out->complete_records > 99999999) {
        return EDF_ERR_FORMAT; // changed under the check, or more than the count field holds
    }
    return 0;
}

// Writes the count and cuts the partial record, each only when needed.
int apply(int fd, const edf_recovery_plan &p) {
    if (p.stored_count != p.complete_records) {
        char field[9];
        edf::codec::format_record_count(p.complete_records, field);
        if (!edf_write_at(fd, field, datarecord_count.width, datarecord_count.offset)) {
            return EDF_ERR_WRITE;
        }
    }
    if (p.partial_bytes != 0 &&
        !edf_truncate_file(fd, p.header_size + p.complete_records * p.record_size)) {
        return EDF_ERR_WRITE;
    }
    return static_cast<int>(p.complete_records);
}

// Opens the file to recover: for writing with the in-use mark taken, so that no writer starts
// on it meanwhile, or for a look that only tests the mark. A file whose mark another open
// holds is being written (a live writer, in this or another process) and is refused: cutting
// its current record would leave the writer going on behind a hole.
int open_for_recovery(const char *path, bool for_writing) {
    if (path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if (edf_path_in_use(path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    const int fd = edf_open_file(path, for_writing ? edf_open_how::read_write : edf_open_how::read);
    if (fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if (for_writing ? edf_take_mark(fd) == edf_mark::held_elsewhere : edf_mark_held_elsewhere(fd)) {
        edf_close_file(fd);
        return EDF_ERR_BEING_WRITTEN;
    }
    return fd;
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" {

int edf_plan_recovery(const char *path, edf_recovery_plan *result) {
    if (result == nullptr) {
        return -1;
    }
    const int fd = open_for_recovery(path, false);
    if (fd < 0) {
        return fd;
    }
    edf_recovery_plan p{};
    const int code = plan(path, fd, &p);
    edf_close_file(fd);
    if (code == 0) {
        *result = p;
    }
    return code;
}

int edf_recover_file(const char *path) {
    const int fd = open_for_recovery(path, true);
    if (fd < 0) {
        return fd;
    }
    edf_recovery_plan p{};
    int result = plan(path, fd, &p);
    if (result == 0) {
        result = apply(fd, p);
    }
    const bool closed = edf_close_file(fd);
    return !closed && result >= 0 ? EDF_ERR_WRITE : result;
}

} // extern "C"
