// A repaired copy of a file: the check pass collects, with every problem it repairs, the bytes
// that the copy holds instead of the file's (header fields, annotation signals); the copy is
// the header and the complete records with those bytes put in, so that the strict open
// accepts it (a discontinuous file: the tolerant open, which finds it conforming). The data
// bytes are copied as they are; records of a discontinuous file whose time is unknown are left
// out, as they are left out of its time axis.
#include "recording/core/exception_boundary.h"
#include "recording/core/header_codec.h"
#include "recording/core/header_layout.h"
#include "recording/core/in_use_mark.h"
#include "recording/core/segment_list.h"
#include "recording/core/platform_file.h"
#include "recording/reader/check_pass.h"

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

namespace edf {

namespace {

// Whole records per copied piece: at least one, about 1 MiB.
constexpr int64_t piece_bytes = 1 << 20;

// Puts the replacements that fall in [start, start + n) into `bytes`, walking the sorted
// order from *next.
void apply(const edf_problem_sink &sink, const std::vector<int> &order, size_t *next,
           unsigned char *bytes, int64_t start, int64_t n) {
    while (*next < order.size()) {
        const edf_replacement &r = sink.replacements[order[*next]];
        if (r.offset >= start + n) {
            break;
        }
        if (r.offset >= start && r.offset + r.length <= start + n) {
            std::memcpy(bytes + (r.offset - start), r.bytes, static_cast<size_t>(r.length));
        }
        (*next)++;
    }
}

// Writes the copy: 0, EDF_ERR_READ when a read fails or EDF_ERR_WRITE when a write fails.
int write_copy(const edf_recording *r, const edf_problem_sink &sink, FILE *out) {
    std::vector<int> order(static_cast<size_t>(sink.replacement_count));
    std::iota(order.begin(), order.end(), 0);
    // By offset; among replacements of the same bytes the later one wins, so keep their order.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return sink.replacements[a].offset < sink.replacements[b].offset;
    });
    size_t next = 0;
    const int64_t header = r->header_size;
    const int64_t records_per_piece =
        std::max<int64_t>(1, piece_bytes / std::max<int64_t>(1, r->record_size));
    std::vector<unsigned char> buffer(
        static_cast<size_t>(std::max<int64_t>(header, records_per_piece * r->record_size)));
    const edf_byte_source &source = static_cast<const edf_reader_state *>(r)->source;
    if (source.read_at(buffer.data(), header, 0) != header) {
        return EDF_ERR_READ;
    }
    apply(sink, order, &next, buffer.data(), 0, header);
    if (std::fwrite(buffer.data(), 1, static_cast<size_t>(header), out) !=
        static_cast<size_t>(header)) {
        return EDF_ERR_WRITE;
    }
    // Pieces of records that are all copied: they end before each record of unknown time.
    int64_t skipped = 0;
    for (int64_t first = 0; first < r->datarecord_count;) {
        while (skipped < r->unplaced_count && r->unplaced_records[skipped] == first) {
            skipped++;
            first++;
        }
        const int64_t piece_end =
            skipped < r->unplaced_count ? r->unplaced_records[skipped] : r->datarecord_count;
        if (first >= piece_end) {
            continue;
        }
        const int64_t records = std::min(records_per_piece, piece_end - first);
        const int64_t start = header + first * r->record_size;
        const int64_t n = records * r->record_size;
        if (source.read_at(buffer.data(), n, start) != n) {
            return EDF_ERR_READ;
        }
        apply(sink, order, &next, buffer.data(), start, n);
        if (std::fwrite(buffer.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            return EDF_ERR_WRITE;
        }
        first += records;
    }
    return 0;
}

// Opens the output for writing from the start: created, or an existing one emptied once its
// in-use mark is taken (one that another program is writing is left alone). Returns the
// stream, or null with the code in *code.
FILE *open_output(const char *out_path, bool *regular, int *code) {
    const int fd = edf_open_marked_output(out_path);
    if (fd < 0) {
        *code = fd;
        return nullptr;
    }
    edf_file_identity file;
    *regular = edf_identify(fd, &file) && file.kind == edf_file_kind::regular;
    FILE *out = edf_stream_of(fd, "wb");
    if (out == nullptr) {
        edf_close_file(fd);
        *code = EDF_ERR_NO_MEMORY;
        return nullptr;
    }
    if (!edf_empty_output(fd)) {
        std::fclose(out);
        *code = EDF_ERR_CANNOT_OPEN;
        return nullptr;
    }
    return out;
}

// The copy conforms: the check finds nothing in it, or only that it is discontinuous.
int check_copy(const char *path) {
    edf_problem_sink verify;
    verify.policy = edf_policy::check;
    int result = edf_check_pass(path, &verify, nullptr);
    for (int i = 0; result == 0 && i < verify.count; i++) {
        if (verify.problems[i].action != EDF_PROBLEM_CONFORMS) {
            result = EDF_ERR_FORMAT;
        }
    }
    edf_release_sink(&verify);
    return result;
}

int repair_file(const char *path, const char *out_path, int overwrite, edf_problem *problems,
                int capacity) {
    if (capacity < 0 || (problems == nullptr && capacity > 0)) {
        return -1;
    }
    if (path == nullptr || out_path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // The output must not be the input, by name or by identity (a link, another path).
    edf_file_identity in_file;
    edf_file_identity out_file;
    if (!edf_identify_path(path, &in_file)) {
        return EDF_ERR_CANNOT_OPEN;
    }
    const bool exists = edf_identify_path(out_path, &out_file);
    if (std::strcmp(path, out_path) == 0 || (exists && out_file.same_file(in_file))) {
        return EDF_ERR_ALREADY_OPEN;
    }
    if (exists && !overwrite) {
        return EDF_ERR_OUTPUT_EXISTS;
    }
    if (edf_path_in_use(out_path)) {
        return EDF_ERR_ALREADY_OPEN;
    }

    // The check policy makes the tolerant open's repairs without storing annotations.
    edf_problem_sink sink;
    sink.policy = edf_policy::check;
    sink.collect_replacements = true;
    edf_recording *r = nullptr;
    int result = edf_check_pass(path, &sink, &r);
    const int count = sink.count;
    for (int i = 0; i < count && i < capacity; i++) {
        problems[i] = sink.problems[i];
    }
    if (result == 0 && r == nullptr) {
        result = count > 0 ? sink.problems[count - 1].code : EDF_ERR_FORMAT; // fatal
    }
    if (result == 0 && (r->datarecord_count == 0 || sink.tals_without_room)) {
        // A file of the header alone: the strict open reads no file without records. TALs
        // without room: a copy would lose annotations.
        result = EDF_ERR_FORMAT;
    }
    if (result == 0 && r->unplaced_count > 0) {
        // The copy holds the records on the time axis only.
        char text[9];
        edf::codec::format_record_count(r->datarecord_count - r->unplaced_count, text);
        edf_replace(&sink, edf_layout::datarecord_count.offset, text,
                    edf_layout::datarecord_count.width);
        if (sink.out_of_memory) {
            result = EDF_ERR_NO_MEMORY;
        }
    }
    if (result == 0) {
        bool regular = false;
        FILE *out = open_output(out_path, &regular, &result);
        if (out != nullptr) {
            // The copy's buffers are vectors: a failed allocation is a failed copy, removed
            // below like any other.
            const int written = edf_without_exceptions(EDF_ERR_NO_MEMORY, -1,
                                                       [&] { return write_copy(r, sink, out); });
            if (std::fclose(out) != 0 || written != 0) {
                // A partial copy is removed; a device given as the output stays.
                if (regular) {
                    edf_remove_file(out_path);
                }
                result = written != 0 ? written : EDF_ERR_WRITE;
            } else {
                // A repair that cannot be written in place (an annotation signal too small
                // for a time-keeping annotation) leaves a copy that would not conform.
                const int verified = check_copy(out_path);
                if (verified != 0) {
                    if (regular) {
                        edf_remove_file(out_path);
                    }
                    result = verified;
                }
            }
        }
    }
    if (r != nullptr) {
        edf_discard_recording(r);
    }
    edf_release_sink(&sink);
    return result < 0 ? result : count;
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" int edf_repair_file(const char *path, const char *out_path, int overwrite,
                               edf_problem *problems, int capacity) {
    return edf_without_exceptions(EDF_ERR_NO_MEMORY, -1, [&] {
        return repair_file(path, out_path, overwrite, problems, capacity);
    });
}
