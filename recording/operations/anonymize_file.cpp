// De-identification of a file, in place or into a copy. Every identifying byte of a header
// lies in its fixed part (the identification fields and the start date and time), so in
// place one 256-byte write at the start of the file suffices: it lies inside the first page
// and the first disk sector, so the file holds either the old or the new fixed part, whatever
// moment the process is stopped at. The copy writes the new header and then the data
// records, unchanged (copied by the kernel where it can) or with their annotation signals
// rewritten; a file that only the tolerant open reads is repaired into a temporary copy
// first, so that the rest works on conforming files alone.
#include "recording/operations/anonymize_file.h"
#include "recording/core/exception_boundary.h"
#include "recording/core/in_use_mark.h"
#include "recording/core/platform_file.h"

#include "recording/operations/annotation_rewrite.h"
#include "recording/operations/anonymize_source.h"
#include "recording/operations/anonymized_header.h"

#include "recording/edf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace edf {

void (*edf_anonymize_stage_hook)(edf_anonymize_stage stage) = nullptr;

namespace {

constexpr int known_flags = EDF_ANON_KEEP_SEX | EDF_ANON_KEEP_AGE | EDF_ANON_KEEP_START_TIME |
                            EDF_ANON_DROP_ANNOTATION_TEXTS;
constexpr int fixed_part = 256;
// Data records are rewritten in batches of about this many bytes.
constexpr int64_t batch_bytes = 8 << 20;
// Records of at least this size whose annotation signals take at most a sixteenth of them are
// copied whole and then patched.
constexpr int64_t patch_record_size = 16384;
// Unchanged data records are copied in steps of this size by the plain read-and-write loop.
constexpr int64_t copy_step = 1 << 20;

void reach(edf_anonymize_stage stage) {
    if (edf_anonymize_stage_hook != nullptr) {
        edf_anonymize_stage_hook(stage);
    }
}

bool write_all(int fd, const unsigned char *bytes, int64_t n) {
    return edf_write_all(fd, bytes, n);
}

// The data records change when a sub-second start is to be cleared or texts are to be dropped.
edf_tal_rewrite records_rewrite(const edf_anonymize_source &source, int flags) {
    edf_tal_rewrite how{};
    if ((flags & EDF_ANON_KEEP_START_TIME) == 0) {
        how.shift_ticks = source.info->start_subsecond;
    }
    how.drop_texts = (flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0 && source.texts_to_drop;
    return how;
}

// A descriptor closed when it goes out of scope.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor() {
        if (fd >= 0) {
            edf_close_file(fd);
        }
    }
    // Closes it now: false when the close reports a failure (of a write still under way).
    bool close_now() {
        const int closing = fd;
        fd = -1;
        return closing < 0 || edf_close_file(closing);
    }
};

int anonymize_in_place(const char *path, int flags) {
    if (edf_is_file_used(path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    // The writer's in-use mark first: a file that another program is writing is left alone,
    // and no writer starts on this one while it is checked and its header rewritten. A file
    // that cannot be opened for writing is still checked, so that a broken file gives the
    // check's code.
    descriptor file;
    file.fd = edf_open_file(path, edf_open_how::read_write);
    if (file.fd >= 0 && edf_take_mark(file.fd) == edf_mark::held_elsewhere) {
        return EDF_ERR_BEING_WRITTEN;
    }
    // The whole file is checked as the strict open checks it (every record's annotation
    // signals), so that the result is accepted exactly when the file was: the header is the
    // only part that changes.
    edf_anonymize_source source;
    int result = edf_read_anonymize_source(path, EDF_READ_ALL_ANNOTATIONS, &source);
    if (result != 0) {
        return result;
    }
    const edf_tal_rewrite how = records_rewrite(source, flags);
    if (how.shift_ticks != 0 || how.drop_texts) {
        return EDF_ERR_NEEDS_COPY;
    }
    unsigned char fixed[fixed_part];
    result = edf_make_anonymized_header(source, flags, fixed);
    if (result != 0) {
        return result;
    }
    if (edf_is_file_used(path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    if (file.fd < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    reach(edf_anonymize_stage::checked);

    // The fixed part must still be the one that was checked: a file changed in between is
    // left alone.
    unsigned char now[fixed_part];
    if (edf_read_at(file.fd, now, fixed_part, 0) != fixed_part) {
        result = EDF_ERR_READ;
    } else if (std::memcmp(now, source.header.data(), fixed_part) != 0) {
        result = EDF_ERR_FORMAT;
    } else {
        reach(edf_anonymize_stage::before_write);
        if (!edf_write_at(file.fd, fixed, fixed_part, 0) || !edf_sync_file(file.fd)) {
            // A write cut short (or one the system could not sync) must not leave a header
            // that is half new: the old bytes go back, as far as the system lets them.
            result = EDF_ERR_WRITE;
            edf_write_at(file.fd, now, fixed_part, 0);
            edf_sync_file(file.fd);
        }
    }
    if (!file.close_now() && result == 0) {
        result = EDF_ERR_WRITE;
    }
    return result;
}

// Copies `bytes` bytes from `position` of `in` to the current end of `out`.
int copy_unchanged(int in, int out, int64_t position, int64_t bytes) {
#if defined(__linux__) || defined(__FreeBSD__)
    // In the kernel, without passing the bytes through this process, as cp does.
    off_t from = static_cast<off_t>(position);
    while (bytes > 0) {
        const ssize_t moved = copy_file_range(
            in, &from, out, nullptr, static_cast<size_t>(bytes < (1 << 30) ? bytes : 1 << 30), 0);
        if (moved > 0) {
            bytes -= moved;
        } else if (moved == 0) {
            return EDF_ERR_READ; // the source is shorter than its header says
        } else if (errno != EINTR) {
            break; // not supported here (another file system, say): copy by hand
        }
    }
    position = from;
#endif
    if (bytes == 0) {
        return 0;
    }
    unsigned char *buffer =
        static_cast<unsigned char *>(std::malloc(static_cast<size_t>(copy_step)));
    if (buffer == nullptr) {
        return EDF_ERR_NO_MEMORY;
    }
    int result = 0;
    while (bytes > 0 && result == 0) {
        const int64_t n = bytes < copy_step ? bytes : copy_step;
        if (edf_read_at(in, buffer, n, position) != n) {
            result = EDF_ERR_READ;
        } else if (!write_all(out, buffer, n)) {
            result = EDF_ERR_WRITE;
        }
        position += n;
        bytes -= n;
    }
    std::free(buffer);
    return result;
}

// Copies the data records in batches, rewriting their annotation signals: for records in
// which the annotation signals take a fair share of the bytes.
int copy_rewritten(int in, int out, const edf_anonymize_source &source, const edf_tal_rewrite &how,
                   unsigned char *work) {
    const int64_t record_size = source.record_size;
    const int64_t records = source.info->datarecord_count;
    const int64_t header_size = static_cast<int64_t>(source.header.size());
    int64_t per_batch = batch_bytes / record_size;
    per_batch = per_batch < 1 ? 1 : (per_batch > records ? records : per_batch);
    unsigned char *buffer =
        static_cast<unsigned char *>(std::malloc(static_cast<size_t>(per_batch * record_size)));
    int result = buffer == nullptr ? EDF_ERR_NO_MEMORY : 0;
    for (int64_t first = 0; first < records && result == 0; first += per_batch) {
        const int64_t n = records - first < per_batch ? records - first : per_batch;
        if (edf_read_at(in, buffer, n * record_size, header_size + first * record_size) !=
            n * record_size) {
            result = EDF_ERR_READ;
            break;
        }
        for (int64_t j = 0; j < n && result == 0; j++) {
            unsigned char *record = buffer + j * record_size;
            for (size_t k = 0; k < source.annotation_signals.size() && result == 0; k++) {
                const edf_anonymize_signal_place &a = source.annotation_signals[k];
                result =
                    edf_rewrite_annotation_signal(record + a.offset, a.length, k == 0, how, work);
            }
        }
        if (result == 0 && !write_all(out, buffer, n * record_size)) {
            result = EDF_ERR_WRITE;
        }
    }
    std::free(buffer);
    return result;
}

// Copies the data records unchanged and then rewrites the span of annotation signals of each
// record in the copy: for large records, in which the annotation signals are a small part.
int copy_then_patch(int in, int out, const edf_anonymize_source &source, const edf_tal_rewrite &how,
                    unsigned char *work, int64_t span_start, int64_t span_end) {
    const int64_t record_size = source.record_size;
    const int64_t records = source.info->datarecord_count;
    const int64_t header_size = static_cast<int64_t>(source.header.size());
    int result = copy_unchanged(in, out, header_size, record_size * records);
    const int64_t span = span_end - span_start;
    unsigned char *buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(span)));
    if (result == 0 && buffer == nullptr) {
        result = EDF_ERR_NO_MEMORY;
    }
    for (int64_t r = 0; r < records && result == 0; r++) {
        const int64_t position = header_size + r * record_size + span_start;
        if (edf_read_at(in, buffer, span, position) != span) {
            result = EDF_ERR_READ;
            break;
        }
        for (size_t k = 0; k < source.annotation_signals.size() && result == 0; k++) {
            const edf_anonymize_signal_place &a = source.annotation_signals[k];
            result = edf_rewrite_annotation_signal(buffer + (a.offset - span_start), a.length,
                                                   k == 0, how, work);
        }
        if (result == 0 && !edf_write_at(out, buffer, span, position)) {
            result = EDF_ERR_WRITE;
        }
    }
    std::free(buffer);
    return result;
}

// Copies the data records with their annotation signals rewritten, choosing the way by the
// share of annotation bytes in a record.
int copy_with_new_annotations(int in, int out, const edf_anonymize_source &source,
                              const edf_tal_rewrite &how) {
    int64_t longest = 1;
    int64_t span_start = source.record_size;
    int64_t span_end = 0;
    for (const edf_anonymize_signal_place &a : source.annotation_signals) {
        longest = a.length > longest ? a.length : longest;
        span_start = a.offset < span_start ? a.offset : span_start;
        span_end = a.offset + a.length > span_end ? a.offset + a.length : span_end;
    }
    unsigned char *work =
        static_cast<unsigned char *>(std::malloc(static_cast<size_t>(2 * longest + 1)));
    if (work == nullptr) {
        return EDF_ERR_NO_MEMORY;
    }
    const int result = span_end > span_start && source.record_size >= patch_record_size &&
                               (span_end - span_start) * 16 <= source.record_size
                           ? copy_then_patch(in, out, source, how, work, span_start, span_end)
                           : copy_rewritten(in, out, source, how, work);
    std::free(work);
    return result;
}

int anonymize_copy(const char *path, const char *out_path, int flags, bool repair);

// A file that the strict open refuses for its bytes, but the tolerant open reads, is repaired
// first: edf_repair_file writes a repaired copy to a temporary file beside `out_path` (on the
// same file system, which must have room for the copy anyway), which is de-identified into
// `out_path` and removed. `refused` is the strict open's code, which stays the answer when
// the file cannot be repaired either (a fatal problem). A discontinuous file with other
// problems is repaired the same way and stays discontinuous.
int anonymize_repaired_copy(const char *path, const char *out_path, int flags, int refused) {
    edf_file_identity source_file;
    edf_file_identity copy_file;
    if (edf_identify_path(path, &source_file) && edf_identify_path(out_path, &copy_file) &&
        copy_file.same_file(source_file)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    std::string repaired;
    if (!edf_create_temporary(std::string(out_path) + ".repairing-", &repaired)) {
        return EDF_ERR_CANNOT_OPEN;
    }
    struct remove_at_exit {
        const std::string &path;
        ~remove_at_exit() {
            edf_remove_file(path.c_str());
        }
    } const temporary{repaired};
    const int result = edf_repair_file(path, repaired.c_str(), 1, nullptr, 0);
    if (result == EDF_ERR_FORMAT || result == EDF_ERR_READ) {
        return refused;
    }
    return result < 0 ? result : anonymize_copy(repaired.c_str(), out_path, flags, false);
}

int anonymize_copy(const char *path, const char *out_path, int flags, bool repair) {
    edf_anonymize_source source;
    int result = edf_read_anonymize_source(path, EDF_READ_ALL_ANNOTATIONS, &source);
    if (repair &&
        (result == EDF_ERR_FORMAT || result == EDF_ERR_READ || result == EDF_ERR_DISCONTINUOUS)) {
        return anonymize_repaired_copy(path, out_path, flags, result);
    }
    if (result != 0) {
        return result;
    }
    unsigned char fixed[fixed_part];
    result = edf_make_anonymized_header(source, flags, fixed);
    if (result != 0) {
        return result;
    }
    if (edf_is_file_used(out_path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    const int in = edf_open_file(path, edf_open_how::read);
    if (in < 0) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // The copy must not be the source under another name (a link, another spelling of the
    // path): truncating it would destroy the source.
    edf_file_identity source_file;
    edf_file_identity copy_file;
    if (!edf_identify(in, &source_file)) {
        edf_close_file(in);
        return EDF_ERR_CANNOT_OPEN;
    }
    if (edf_identify_path(out_path, &copy_file) && copy_file.same_file(source_file)) {
        edf_close_file(in);
        return EDF_ERR_ALREADY_OPEN;
    }
    // An existing copy is replaced, but not one that another program is writing.
    const int out = edf_open_marked_output(out_path);
    if (out < 0) {
        edf_close_file(in);
        return out;
    }
    // And the file opened must not be the source either (a name that changed in between).
    const bool regular = edf_identify(out, &copy_file) && copy_file.kind == edf_file_kind::regular;
    if (regular && copy_file.same_file(source_file)) {
        edf_close_file(in);
        edf_close_file(out);
        return EDF_ERR_ALREADY_OPEN;
    }
    if (!edf_empty_output(out)) {
        edf_close_file(in);
        edf_close_file(out);
        return EDF_ERR_CANNOT_OPEN;
    }

    const int64_t header_size = static_cast<int64_t>(source.header.size());
    if (!write_all(out, fixed, fixed_part) ||
        !write_all(out, source.header.data() + fixed_part, header_size - fixed_part)) {
        result = EDF_ERR_WRITE;
    }
    const edf_tal_rewrite how = records_rewrite(source, flags);
    if (result == 0) {
        result = how.shift_ticks != 0 || how.drop_texts
                     ? copy_with_new_annotations(in, out, source, how)
                     : copy_unchanged(in, out, header_size,
                                      source.record_size * source.info->datarecord_count);
    }
    edf_close_file(in);
    if (!edf_close_file(out) && result == 0) {
        result = EDF_ERR_WRITE;
    }
    // A partial copy is removed; a device given as the output (/dev/null, say) stays.
    if (result != 0 && regular) {
        edf_remove_file(out_path);
    }
    return result;
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" int edf_anonymize_file(const char *path, const char *out_path, int flags) {
    if (path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if ((flags & ~known_flags) != 0) {
        return -1;
    }
    // What the runs hold is released by destructors (the source, the descriptor of the file
    // changed in place, the temporary repaired copy), and they throw only before a copy is
    // begun: a failed allocation leaves nothing behind.
    return edf_without_exceptions(EDF_ERR_NO_MEMORY, -1, [&] {
        return out_path == nullptr ? anonymize_in_place(path, flags)
                                   : anonymize_copy(path, out_path, flags, true);
    });
}
