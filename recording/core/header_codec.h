// The header codec: one table describes every field of the fixed and of the signal header
// (where it lies, its kind, the strict rule and the tolerant repair), and both directions
// walk it. Parsing reports every broken rule to a problem sink, whose policy decides what
// follows (see problem_sink.h): strict stops at the first problem with a code, the check
// lists every problem, tolerant applies the repair and goes on unless the problem is fatal;
// under the last two the sink also collects the bytes that a repaired copy writes instead.
// Writing formats every field from the same table. Everything that puts header bytes
// together (the writer, close's record count, recovery, the repaired copy, de-identification)
// does it here.
#pragma once

#include "recording/core/header_layout.h"
#include "recording/core/problem_sink.h"
#include "recording/core/recording.h"

#include <cstddef>
#include <cstdint>

namespace edf::codec {

// Reads the first `bytes` bytes of the file into `buffer`; false when the file holds fewer
// (or the read fails).
using header_reader = bool (*)(void *source, unsigned char *buffer, int64_t bytes);

// A `file_size` for a source that cannot tell its size: the header's record count is then
// taken as it stands (a count that is not a positive number cannot be checked, and is fatal).
inline constexpr int64_t size_unknown = -2;

// Parses a whole header: the fixed part (read first, to learn the number of signals), the
// signal part, the identification subfields of EDF+/BDF+ files, and the record count against
// `file_size` (-1 when it could not be learned, size_unknown when the source cannot tell). On
// success returns a new reader's state (owned by the caller, with its `signals` array; `file` is
// left null) with the repairs applied. On failure (the first problem with a code under the strict
// policy, a fatal one under the others) returns null, stores EDF_ERR_NO_MEMORY, EDF_ERR_READ or
// EDF_ERR_FORMAT in *error, and has freed everything it allocated.
edf_reader_state *parse_header(header_reader read, void *source, int64_t file_size,
                               edf_problem_sink *sink, int *error);

// Frees a block of parse_header (a reader's state) and what it holds (its `file` is the
// caller's).
void release_header(edf_recording *recording);

// What a header is written from: the fixed fields of `fixed` (file type, patient_field,
// recording_field, start, datarecord_duration_text) and its signals in file order, which are
// `signals[0 .. signal_count - 1]` with `inserted` annotation signals (annotation_signal())
// standing before signals[insert_at].
struct header_view {
    const edf_recording *fixed;
    const edf_signal_param *signals;
    int signal_count;
    int inserted;
    int insert_at;
    int64_t record_count; // negative: "-1", a recording still being written
};

// Hands `n` bytes of the header to the target, in file order; false stops the writing.
using header_writer = bool (*)(void *target, const void *bytes, size_t n);

// Writes the header of 256 x (signal_count + inserted + 1) bytes, field by field. Returns
// false when the target refused a piece.
bool format_header(const header_view &header, header_writer write, void *target);

// The signal header of an annotation signal in EDF+ (bdf false) or BDF+.
const edf_signal_param &annotation_signal(bool bdf);

// `text` at a field of the fixed part in `header`, cut or padded with spaces to its width.
void put_field(unsigned char *header, edf_layout::field field, const char *text);

// The 8 bytes of the record-count field (and a NUL): `count` (negative: "-1"), padded with
// spaces. A count beyond 99999999 does not fit and is cut.
void format_record_count(int64_t count, char text[9]);

// "dd.mm.yy" of a start date (the year modulo 100), NUL-terminated.
void format_start_date(int day, int month, int year, char text[9]);

// The eight-character text of a physical minimum or maximum (padded with spaces,
// NUL-terminated), as the writer writes it: the first eight characters of its nine-decimal
// text. Returns false when the value
// cannot be written there without losing its magnitude (not finite, or an integer part longer
// than eight characters).
bool physical_value_text(double value, char text[9]);

// The record-duration text of a duration in ticks (at most eight characters, NUL-terminated):
// whole seconds, then the seven-digit tick fraction without its trailing zeros, computed in
// integers.
void duration_text(int64_t ticks, char text[9]);

// A printable field of at most 8 bytes that holds an integer (the strict rule); its value in
// *value.
bool read_integer(const unsigned char *bytes, int width, int *value);

} // namespace edf::codec
