// The header codec. Both parts of the header are described once, in the two tables below:
// each row places a field, names it as problems name it, gives its kind (which says how the
// field is read, repaired and written) and the rule that the field adds to its kind, with the
// repair. Parsing walks the tables in the order in which the rules are checked (the fixed part
// first, then the signal part field by field, every signal of a field before the next field);
// writing walks them in storage order.
//
// Every broken rule is reported to the pass's problem sink. Under the strict policy the first
// report with a code ends the parse with it; under the others the branch that reports a problem
// also applies the repair of the tolerant open and notes the bytes that a repaired copy holds
// instead, and the parse goes on. Numeric fields are copied into a small NUL-terminated scratch
// buffer so that the validators and parsers see exactly the field's bytes.
#include "recording/core/header_codec.h"

#include "recording/core/header_readings.h"
#include "recording/core/identification.h"
#include "recording/core/text_format.h"
#include "recording/core/text_parse.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>

namespace edf::codec {
namespace {

using namespace edf_layout;

// The sum of samples per record over all signals; keeps a data record within 10 MiB (EDF) or
// 15 MiB (BDF).
constexpr int64_t max_samples_per_record = 5242880;
// The smallest record duration of a file with ordinary signals: one tick.
constexpr double min_record_duration = 0.0000001;
// Durations down to this are taken as a rounded zero; below it they are refused.
constexpr double negative_duration_tolerance = -0.000001;

constexpr int repaired = EDF_PROBLEM_REPAIRED;
constexpr int fatal = EDF_PROBLEM_FATAL;

bool is_printable(const unsigned char *bytes, int n) {
    return std::all_of(bytes, bytes + n, [](unsigned char c) { return c >= 0x20 && c <= 0x7E; });
}

bool is_blank(const unsigned char *bytes, int n) {
    return std::all_of(bytes, bytes + n, [](unsigned char c) { return c == ' '; });
}

bool same_bytes(const unsigned char *bytes, const char *text, int n) {
    return std::memcmp(bytes, text, static_cast<size_t>(n)) == 0;
}

// The field of width bytes, stored with a terminating NUL.
void store_text(char *out, const unsigned char *bytes, int width) {
    std::memcpy(out, bytes, static_cast<size_t>(width));
    out[width] = '\0';
}

// The value of a text that the number validator accepts: the nearest double, which
// std::from_chars gives without consulting the locale. It takes no '+' and stops at the first
// trailing space. A value beyond the double range reads as infinity and one below the
// smallest subnormal as zero, as the digit-by-digit conversion gives them.
// Where the C++ library has no std::from_chars for double (libc++ before release 17, which
// the WebAssembly build uses), strtod gives the same nearest double; it reads the locale's
// decimal point, so the text's '.' is first replaced by that point.
double nearest_double(const char *text) {
    const char *first = text + std::strspn(text, " ");
    first += *first == '+' ? 1 : 0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    double value = 0.0;
    const auto result = std::from_chars(first, first + std::strlen(first), value);
    return result.ec == std::errc() ? value : edf_atof(text);
#else
    char local[64];
    const char point = *std::localeconv()->decimal_point;
    size_t n = 0;
    for (; first[n] != '\0' && n + 1 < sizeof local; ++n) {
        local[n] = first[n] == '.' ? point : first[n];
    }
    local[n] = '\0';
    errno = 0;
    char *end = nullptr;
    const double value = std::strtod(local, &end);
    return end != local && errno != ERANGE ? value : edf_atof(text);
#endif
}

// Decimal text of an integer, NUL-terminated, in `room` bytes (enough for any 64-bit value
// unless said otherwise).
void format_integer(int64_t value, char *text, int room = 21) {
    *std::to_chars(text, text + room - 1, value).ptr = '\0';
}

// The kinds of field: they decide how a field is read, repaired and written.
enum class field_kind {
    tag,     // one of a few fixed texts (version, reserved)
    text,    // printable ASCII, kept as stored
    integer, // decimal integer
    number,  // decimal number, the exponent form included
    date,    // dd.mm.yy
    time,    // hh.mm.ss
};

// One pass over a header: the sink, the block being built and the header's bytes.
struct pass {
    edf_problem_sink *sink;
    edf_reader_state *r;
    const unsigned char *h;
    int64_t file_size;       // -1 when it could not be learned
    char start_date_text[9]; // dd.mm.yy of the start date as read (or repaired)
    // The record count is 0 and the file holds the header alone: what a writer closed before
    // its first sample write leaves, read as an empty recording.
    bool header_only;
    int64_t samples; // samples per record over the signals read so far
};

// A field being parsed: its bytes, and the signal (-1 in the fixed part) and name that its
// problems give; for a problem of the file rather than of header bytes, its offset (-1: the
// whole file), record and code.
struct at {
    pass &p;
    const unsigned char *bytes;
    int width;
    int signal;
    const char *name;
    int64_t offset = -2; // -2: that of `bytes`
    int64_t record = -1;
    int code = EDF_ERR_FORMAT;

    // Reports a problem with the sentence of its message. Returns 0 when the pass repairs it
    // and goes on, else the code to end with.
    [[gnu::format(printf, 3, 4)]] int report(int action, const char *format, ...) const {
        char message[241] = "";
        if (p.sink->policy != edf_policy::strict) {
            va_list arguments;
            va_start(arguments, format);
            std::vsnprintf(message, sizeof message, format, arguments);
            va_end(arguments);
        }
        const edf_problem_place place{offset == -2 ? bytes - p.h : offset, signal, record, name};
        if (edf_report(p.sink, place, code, action, bytes, width, "%s", message)) {
            return 0;
        }
        return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : code;
    }

    // A repaired copy holds `text`, padded with spaces to the field's width, in its place.
    void note(const char *text) const {
        if (p.sink->collect_replacements) {
            unsigned char padded[81];
            put_field(padded, {0, width}, text);
            edf_replace(p.sink, bytes - p.h, padded, width);
        }
    }
};

// ---- Reading by kind -------------------------------------------------------------------

// A text field outside printable ASCII: read as UTF-8 when its bytes are well-formed UTF-8,
// else as Latin-1, and handed out as UTF-8 in `out` (of width + 1 bytes; null when the caller
// converts later); a repaired copy holds its transliteration to ASCII by the writer's rule.
int read_unprintable(const at &a, char *out, text_encoding *encoding) {
    *encoding = header_text_encoding(a.bytes, a.width);
    if (int code = a.report(
            repaired, "The %s holds bytes outside printable ASCII; they are read as %s.", a.name,
            *encoding == text_encoding::utf8     ? "UTF-8"
            : *encoding == text_encoding::latin1 ? "Latin-1"
                                                 : "spaces")) {
        return code;
    }
    if (out != nullptr) {
        header_text_to_utf8(out, a.width, a.width + 1, *encoding);
    }
    char ascii[81];
    edf_text_to_ascii(ascii, a.width, reinterpret_cast<const char *>(a.bytes), a.width);
    a.note(ascii);
    return 0;
}

// A text field: kept as stored in `out` (when not null); one that must be blank and is not is
// ignored; one outside printable ASCII is read as UTF-8 or Latin-1.
int read_text(const at &a, char *out, bool must_be_blank) {
    if (out != nullptr) {
        store_text(out, a.bytes, a.width);
    }
    if (must_be_blank && !is_blank(a.bytes, a.width)) {
        if (int code = a.report(
                repaired, "The %s of an annotation signal must be blank; it is ignored.", a.name)) {
            return code;
        }
        a.note("");
        out[0] = '\0';
        return 0;
    }
    text_encoding encoding;
    return out == nullptr || is_printable(a.bytes, a.width) ? 0
                                                            : read_unprintable(a, out, &encoding);
}

// A number field (`integer`: an integer one): the strict validator's, or else read where the
// number is unambiguous, or else fatal. `text` receives the number's text, padded to the
// field's width.
int read_number(const at &a, bool integer, char text[9]) {
    store_text(text, a.bytes, a.width);
    if (is_printable(a.bytes, a.width) &&
        (integer ? edf_text_is_integer(text) : edf_text_is_number(text)) == 0) {
        return 0;
    }
    char clean[16];
    if (a.p.sink->policy == edf_policy::strict ||
        !lenient_number(a.bytes, a.width, integer, clean)) {
        return a.report(fatal, "The %s is not %s.", a.name, integer ? "an integer" : "a number");
    }
    if (int code =
            a.report(repaired, "The %s is not a plain number; it is read as %s.", a.name, clean)) {
        return code;
    }
    a.note(clean);
    std::memset(text, ' ', static_cast<size_t>(a.width));
    std::memcpy(text, clean, std::strlen(clean));
    return 0;
}

// Three numbers of 0 to 99 (taken modulo 100) as "aa.bb.cc".
void two_digit_text(char out[9], int a, int b, int c) {
    const int parts[3] = {a, b, c};
    for (int k = 0; k < 3; k++) {
        const int v = ((parts[k] % 100) + 100) % 100;
        out[3 * k] = static_cast<char>('0' + v / 10);
        out[3 * k + 1] = static_cast<char>('0' + v % 10);
        out[3 * k + 2] = k < 2 ? '.' : '\0';
    }
}

// The start date or start time: in the header's form, else read another way, else the
// default (01.01.85, 00.00.00).
int read_date_or_time(const at &a, bool date, int parts[3]) {
    bool exact = false;
    const bool readable = read_three_parts(a.bytes, date, parts, &exact);
    if (readable && exact) {
        return 0;
    }
    if (!readable) {
        parts[0] = parts[1] = date ? 1 : 0;
        parts[2] = date ? first_year : 0;
    }
    char text[9];
    two_digit_text(text, parts[0], parts[1], parts[2]);
    const char *form = readable ? (date ? "dd.mm.yy" : "hh.mm.ss") : (date ? "date" : "time");
    if (int code = a.report(repaired,
                            readable ? "The %s is not %s; it is read as %s."
                                     : "The %s is not a %s; %s is used instead.",
                            a.name, form, text)) {
        return code;
    }
    a.note(text);
    return 0;
}

// ---- The fixed part --------------------------------------------------------------------

struct fixed_field {
    field place;
    const char *name;
    field_kind kind;
    int (*parse)(const at &);
    // The field's text (at most 80 characters): a constant, the block's, or made in `buffer`.
    const char *(*format)(const header_view &, char *buffer);
};

// Version: without it nothing tells how to read the file.
int parse_version(const at &a) {
    if (a.bytes[0] == 0xFF && is_printable(a.bytes + 1, 7) &&
        same_bytes(a.bytes + 1, "BIOSEMI", 7)) {
        a.p.r->file_type = edf_file_type::bdf;
    } else if (same_bytes(a.bytes, "0       ", a.width)) {
        a.p.r->file_type = edf_file_type::edf;
    } else {
        return a.report(fatal, a.bytes[0] == 0xFF
                                   ? "A BDF file must begin with 0xFF and \"BIOSEMI\"; the file "
                                     "cannot be read."
                                   : "The version is neither \"0\" (EDF) nor 0xFF \"BIOSEMI\" "
                                     "(BDF); the file cannot be read.");
    }
    return 0;
}

// Identification fields: only printable here; their grammar is checked once the signal
// header has been accepted, and texts outside printable ASCII are handed out as UTF-8 then.
template <char (edf_recording::*field)[81], int edf_reader_state::*encoding>
int parse_identification(const at &a) {
    store_text(a.p.r->*field, a.bytes, a.width);
    text_encoding reading = text_encoding::ascii;
    const int code = is_printable(a.bytes, a.width) ? 0 : read_unprintable(a, nullptr, &reading);
    a.p.r->*encoding = is_printable(a.bytes, a.width) ? 0 : static_cast<int>(reading);
    return code;
}

// Start date and time, three numbers of two digits: no check of the day against the month;
// years 85-99 are 1985-1999 and 00-84 are 2000-2084.
template <bool date, int edf_recording::*first, int edf_recording::*second,
          int edf_recording::*third>
struct start_field {
    static int parse(const at &a) {
        int parts[3];
        const int code = read_date_or_time(a, date, parts);
        a.p.r->*first = parts[0];
        a.p.r->*second = parts[1];
        a.p.r->*third = parts[2];
        if (date) {
            two_digit_text(a.p.start_date_text, parts[0], parts[1], parts[2]);
        }
        return code;
    }
    static const char *format(const header_view &v, char *buffer) {
        two_digit_text(buffer, v.fixed->*first, v.fixed->*second, v.fixed->*third);
        return buffer;
    }
};
using start_date_field = start_field<true, &edf_recording::start_day, &edf_recording::start_month,
                                     &edf_recording::start_year>;
using start_time_field = start_field<false, &edf_recording::start_hour,
                                     &edf_recording::start_minute, &edf_recording::start_second>;

// The signal count and the header size locate every other field: no repair.
int parse_signal_count(const at &a) {
    int &signals = a.p.r->signal_count;
    if (!read_integer(a.bytes, a.width, &signals) || signals < 1 || signals > EDF_MAX_SIGNALS) {
        return a.report(fatal, "The number of signals is not an integer from 1 to 4096; the "
                               "header cannot be located.");
    }
    return 0;
}

int parse_header_bytes(const at &a) {
    const int size = signal_header_size * (a.p.r->signal_count + 1);
    int value;
    if (!read_integer(a.bytes, a.width, &value) || value != size) {
        return a.report(fatal,
                        "The header size must be 256 bytes per signal plus 256 (%d); the records "
                        "cannot be located.",
                        size);
    }
    return 0;
}

// Reserved: EDF files are plain (all spaces) or EDF+, continuous or not; a BDF file is BDF+
// only when it says so, and any other printable text (such as '24BIT') leaves it plain.
int parse_reserved(const at &a) {
    edf_reader_state *r = a.p.r;
    const bool printable = is_printable(a.bytes, a.width);
    const char *claim = !r->is_bdf() ? (a.bytes[4] == 'D' ? "EDF+D" : "EDF+C")
                                     : (a.bytes[4] == 'D' ? "BDF+D" : "BDF+C");
    const bool plus = same_bytes(a.bytes, claim, 5);
    const bool exact = printable && plus && is_blank(a.bytes + 5, a.width - 5);
    const bool broken = !exact && (!printable || (!r->is_bdf() && !is_blank(a.bytes, a.width)));
    if (broken) {
        if (int code = a.report(repaired,
                                plus ? "The reserved field holds more than \"%s\"; the rest is "
                                       "ignored."
                                     : "The reserved field of a plain %s file must be blank; it "
                                       "is ignored.",
                                plus ? claim : (r->is_bdf() ? "BDF" : "EDF"))) {
            return code;
        }
        a.note(plus ? claim : "");
    }
    if (exact || (broken && plus)) {
        r->file_type = r->is_bdf() ? edf_file_type::bdfplus : edf_file_type::edfplus;
        r->is_discontinuous = claim[4] == 'D' ? 1 : 0;
    }
    return 0;
}

// Number of data records: "-1" marks a recording that was never finished. The tolerant open
// takes the count from the file size then.
int parse_record_count(const at &a) {
    int records = 0;
    const bool read = read_integer(a.bytes, a.width, &records);
    // Reported with the file size, as the one problem of such a file.
    a.p.header_only = read && records == 0 &&
                      a.p.file_size == int64_t{signal_header_size} * (a.p.r->signal_count + 1);
    if (!a.p.header_only && (!read || records < 1)) {
        if (int code = a.report(repaired, "The number of data records is not a positive count; "
                                          "it is taken from the file size.")) {
            return code;
        }
        records = -1;
    }
    a.p.r->datarecord_count = records;
    return 0;
}

int parse_duration(const at &a) {
    edf_reader_state *r = a.p.r;
    if (int code = read_number(a, false, r->datarecord_duration_text)) {
        return code;
    }
    r->datarecord_duration_s = nearest_double(r->datarecord_duration_text);
    if (r->datarecord_duration_s < negative_duration_tolerance) {
        return a.report(fatal, "The duration of a data record is negative.");
    }
    char field[9];
    std::memcpy(field, r->datarecord_duration_text, sizeof field);
    r->datarecord_duration_ticks = edf_field_to_ticks(field);
    // A duration beyond the 64-bit tick range (possible only in exponent form), or a recording
    // whose total length is, cannot be timed: every time the reader hands out is a tick count.
    const int64_t ticks = r->datarecord_duration_ticks;
    if (ticks < 0 || (ticks > 0 && r->datarecord_count > INT64_MAX / ticks)) {
        return a.report(fatal, "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    return 0;
}

const char *integer_text(int64_t value, char *buffer) {
    format_integer(value, buffer);
    return buffer;
}

// The fixed part's texts that the block keeps (identification fields, record duration).
template <auto member> const char *kept_text(const header_view &v, char *) {
    return v.fixed->*member;
}

const fixed_field fixed_fields[] = {
    {version, "version", field_kind::tag, parse_version,
     [](const header_view &v, char *) { return v.fixed->is_bdf() ? "\377BIOSEMI" : "0"; }},
    {patient, "patient identification", field_kind::text,
     parse_identification<&edf_recording::patient_field, &edf_reader_state::patient_encoding>,
     kept_text<&edf_recording::patient_field>},
    {recording, "recording identification", field_kind::text,
     parse_identification<&edf_recording::recording_field, &edf_reader_state::recording_encoding>,
     kept_text<&edf_recording::recording_field>},
    {start_date, "start date", field_kind::date, start_date_field::parse, start_date_field::format},
    {start_time, "start time", field_kind::time, start_time_field::parse, start_time_field::format},
    {header_bytes, "number of bytes in header", field_kind::integer, parse_header_bytes,
     [](const header_view &v, char *buffer) {
         return integer_text(signal_header_size * (v.signal_count + v.inserted + 1), buffer);
     }},
    {reserved, "reserved", field_kind::tag, parse_reserved,
     [](const header_view &v, char *) {
         const edf_recording &r = *v.fixed;
         return !r.is_plus()         ? ""
                : r.is_discontinuous ? (r.is_bdf() ? "BDF+D" : "EDF+D")
                                     : (r.is_bdf() ? "BDF+C" : "EDF+C");
     }},
    {datarecord_count, "number of data records", field_kind::integer, parse_record_count,
     [](const header_view &v, char *buffer) {
         return integer_text(v.record_count < 0 ? -1 : v.record_count, buffer);
     }},
    {datarecord_duration, "duration of a data record", field_kind::number, parse_duration,
     kept_text<&edf_recording::datarecord_duration_text>},
    {signal_count, "number of signals", field_kind::integer, parse_signal_count,
     [](const header_view &v, char *buffer) {
         return integer_text(v.signal_count + v.inserted, buffer);
     }},
};

// The order in which the rules are checked: the signal count comes before the header size,
// which depends on it.
constexpr int check_order[] = {0, 1, 2, 3, 4, 9, 5, 6, 7, 8};

// ---- The signal part -------------------------------------------------------------------

constexpr size_t not_kept = SIZE_MAX;

struct signal_field {
    int start; // bytes per signal before the field: it begins at 256 + ns x start
    int width;
    const char *name;
    field_kind kind;
    // Where the kind keeps the field in the signal's record (text and number: the text, integer:
    // the value), or not_kept.
    size_t value;
    bool blank_for_annotations; // an annotation signal's field must be blank
    // The rule that the field adds to its kind, with its repair; null when the kind says all.
    int (*rule)(const at &, edf_signal_param &);
    // Rules over all signals, checked once every signal's field is read; may be null.
    int (*after)(pass &);
};

template <typename T> T *member(edf_signal_param &s, size_t offset) {
    return reinterpret_cast<T *>(reinterpret_cast<unsigned char *>(&s) + offset);
}
template <typename T> const T *member(const edf_signal_param &s, size_t offset) {
    return reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(&s) + offset);
}

// The field of signal i that begins at `start` (bytes per signal before it).
at signal_at(pass &p, int start, int width, int i, const char *name) {
    const size_t ns = static_cast<size_t>(p.r->signal_count);
    return {p, p.h + fixed_header_size + ns * start + static_cast<size_t>(i) * width, width, i,
            name};
}

int lowest(const edf_recording *r) {
    return r->is_bdf() ? -8388608 : -32768;
}
int highest(const edf_recording *r) {
    return r->is_bdf() ? 8388607 : 32767;
}

// Labels. "EDF Annotations " marks an annotation signal only in an EDF+ file, and "BDF
// Annotations " only in a BDF+ file; elsewhere such a label, or one that reads so once read
// as UTF-8 or Latin-1 (control bytes as spaces, cut to the field), is kept as an ordinary
// signal's, with '_' for its first space so that it is not mistaken for one later.
int label_rule(const at &a, edf_signal_param &s) {
    edf_reader_state *r = a.p.r;
    if ((r->file_type == edf_file_type::edfplus &&
         same_bytes(a.bytes, "EDF Annotations ", label_width)) ||
        (r->file_type == edf_file_type::bdfplus &&
         same_bytes(a.bytes, "BDF Annotations ", label_width))) {
        s.is_annotation = 1;
        r->annotation_signal_indexes[r->annotation_signal_count++] = a.signal;
        return 0;
    }
    unsigned char label[label_width];
    put_field(label, {0, label_width}, s.label);
    if (same_bytes(label, "EDF Annotations ", label_width) ||
        same_bytes(label, "BDF Annotations ", label_width)) {
        s.label[3] = '_';
    }
    return 0;
}

int after_labels(pass &p) {
    edf_reader_state *r = p.r;
    if (r->is_plus() && r->annotation_signal_count == 0) {
        // Some programs mark plain files as EDF+C or BDF+C.
        const char *kind = r->is_bdf() ? "BDF" : "EDF";
        const at a{p, p.h + reserved.offset, 5, -1, "reserved"};
        if (int code = a.report(repaired,
                                "An %s+ file needs an annotation signal and this one has none; "
                                "it is read as plain %s.",
                                kind, kind)) {
            return code;
        }
        r->file_type = r->is_bdf() ? edf_file_type::bdf : edf_file_type::edf;
        r->is_discontinuous = 0;
        at{p, a.bytes, reserved.width, -1, a.name}.note("");
    }
    // A record duration of 0 is allowed only when the records hold nothing but annotations.
    const bool annotations_only = r->is_plus() && r->annotation_signal_count == r->signal_count;
    if (!annotations_only && r->datarecord_duration_s < min_record_duration) {
        const at a{p, p.h + datarecord_duration.offset, datarecord_duration.width, -1,
                   "duration of a data record"};
        return a.report(fatal, "The duration of a data record holding samples must be at least "
                               "100 ns.");
    }
    return 0;
}

// Physical limits must be finite numbers a finite distance apart (an exponent form can reach
// infinity), or no sample would have a finite physical value.
int physical_min_rule(const at &a, edf_signal_param &s) {
    s.physical_min = nearest_double(s.physical_min_text);
    return std::isfinite(s.physical_min) ? 0
                                         : a.report(fatal, "The physical minimum is not finite.");
}

int physical_max_rule(const at &a, edf_signal_param &s) {
    s.physical_max = nearest_double(s.physical_max_text);
    if (!std::isfinite(s.physical_max) || !std::isfinite(s.physical_max - s.physical_min)) {
        return a.report(fatal, "The physical maximum is not finite, or not a finite distance "
                               "from the minimum.");
    }
    return s.physical_max != s.physical_min
               ? 0
               : a.report(repaired, "The physical maximum equals the minimum; the signal is read "
                                    "with physical values equal to the digital ones.");
}

// An annotation signal's digital limit must be the sample type's own (`required`); another
// value is reported and replaced by it.
int annotation_limit(const at &a, int required, int *value) {
    if (*value == required) {
        return 0;
    }
    if (int code = a.report(repaired, "The %s of an annotation signal must be %d; it is ignored.",
                            a.name, required)) {
        return code;
    }
    *value = required;
    char text[24];
    a.note(integer_text(required, text));
    return 0;
}

int digital_min_rule(const at &a, edf_signal_param &s) {
    const edf_reader_state *r = a.p.r;
    if (s.digital_min < lowest(r) || s.digital_min > highest(r)) {
        return a.report(fatal, "The digital minimum lies outside the range of a %d-bit sample.",
                        r->is_bdf() ? 24 : 16);
    }
    return s.is_annotation ? annotation_limit(a, lowest(r), &s.digital_min) : 0;
}

// Equal digital limits are read as the whole digital range; with equal limits of either kind
// the signal is read on the unit scale, physical = digital.
int digital_max_rule(const at &a, edf_signal_param &s) {
    const edf_reader_state *r = a.p.r;
    if (s.digital_max < lowest(r) || s.digital_max > highest(r) || s.digital_max < s.digital_min) {
        return a.report(fatal,
                        "The digital maximum lies outside the range of a %d-bit sample or below "
                        "the minimum.",
                        r->is_bdf() ? 24 : 16);
    }
    if (int code = s.is_annotation ? annotation_limit(a, highest(r), &s.digital_max) : 0) {
        return code;
    }
    const bool equal_digital = s.digital_max == s.digital_min;
    if (!equal_digital && s.physical_max != s.physical_min) {
        return 0;
    }
    if (equal_digital) {
        if (int code = a.report(repaired, "The digital maximum equals the minimum; the signal is "
                                          "read with physical values equal to the digital ones.")) {
            return code;
        }
        s.digital_min = lowest(r);
        s.digital_max = highest(r);
    }
    s.physical_min = s.digital_min;
    s.physical_max = s.digital_max;
    // The texts as a field holds them, padded.
    std::snprintf(s.physical_min_text, sizeof s.physical_min_text, "%-8d", s.digital_min);
    std::snprintf(s.physical_max_text, sizeof s.physical_max_text, "%-8d", s.digital_max);
    signal_at(a.p, physical_min_start, physical_min_width, a.signal, "").note(s.physical_min_text);
    signal_at(a.p, physical_max_start, physical_max_width, a.signal, "").note(s.physical_max_text);
    signal_at(a.p, digital_min_start, digital_min_width, a.signal, "").note(s.physical_min_text);
    a.note(s.physical_max_text);
    return 0;
}

// Limits that are finite and apart can still make a conversion that is not: a physical range
// of 4.9E-324 over 65535 steps gives a bit value of 0 and an infinite offset, and every
// sample would read as NaN. Otherwise physical = (digital + offset) * bit_value.
int check_conversions(pass &p) {
    for (int i = 0; i < p.r->signal_count; i++) {
        edf_signal_param &s = p.r->signals[i];
        s.bit_value =
            (s.physical_max - s.physical_min) / static_cast<double>(s.digital_max - s.digital_min);
        s.offset = s.physical_max / s.bit_value - s.digital_max;
        if (!std::isfinite(s.bit_value) || s.bit_value == 0.0 || !std::isfinite(s.offset)) {
            return signal_at(p, physical_max_start, physical_max_width, i, "physical maximum")
                .report(fatal, "The physical and digital limits give a conversion that is not "
                               "finite.");
        }
    }
    return 0;
}

int samples_rule(const at &a, edf_signal_param &s) {
    if (s.samples_per_record < 1) {
        return a.report(fatal, "The number of samples in each data record must be positive.");
    }
    a.p.samples += s.samples_per_record;
    return a.p.samples <= max_samples_per_record
               ? 0
               : a.report(fatal, "A data record would hold more than %" PRId64 " samples.",
                          max_samples_per_record);
}

// Plain BDF files are known to carry text in the signals' reserved fields.
int reserved_rule(const at &a, edf_signal_param &) {
    const bool free_text = a.p.r->file_type == edf_file_type::bdf;
    if (free_text ? is_printable(a.bytes, a.width) : is_blank(a.bytes, a.width)) {
        return 0;
    }
    if (int code = a.report(repaired, "The reserved field of a signal must be blank; it is "
                                      "ignored.")) {
        return code;
    }
    a.note("");
    return 0;
}

const signal_field signal_fields[] = {
    {label_start, label_width, "label", field_kind::text, offsetof(edf_signal_param, label), false,
     label_rule, after_labels},
    {transducer_start, transducer_width, "transducer", field_kind::text,
     offsetof(edf_signal_param, transducer), true, nullptr, nullptr},
    {dimension_start, dimension_width, "physical dimension", field_kind::text,
     offsetof(edf_signal_param, physical_dimension), false, nullptr, nullptr},
    {physical_min_start, physical_min_width, "physical minimum", field_kind::number,
     offsetof(edf_signal_param, physical_min_text), false, physical_min_rule, nullptr},
    {physical_max_start, physical_max_width, "physical maximum", field_kind::number,
     offsetof(edf_signal_param, physical_max_text), false, physical_max_rule, nullptr},
    {digital_min_start, digital_min_width, "digital minimum", field_kind::integer,
     offsetof(edf_signal_param, digital_min), false, digital_min_rule, nullptr},
    {digital_max_start, digital_max_width, "digital maximum", field_kind::integer,
     offsetof(edf_signal_param, digital_max), false, digital_max_rule, check_conversions},
    {prefilter_start, prefilter_width, "prefiltering", field_kind::text,
     offsetof(edf_signal_param, prefilter), true, nullptr, nullptr},
    {samples_start, samples_width, "number of samples", field_kind::integer,
     offsetof(edf_signal_param, samples_per_record), false, samples_rule, nullptr},
    {signal_reserved_start, signal_reserved_width, "signal reserved", field_kind::text, not_kept,
     false, reserved_rule, nullptr},
};

// One field of one signal: read by its kind, then held to its own rule.
int read_signal_field(pass &p, const signal_field &f, int i) {
    edf_signal_param &s = p.r->signals[i];
    const at a = signal_at(p, f.start, f.width, i, f.name);
    char *text =
        f.value == not_kept || f.kind == field_kind::integer ? nullptr : member<char>(s, f.value);
    int code = 0;
    if (f.kind == field_kind::text) {
        code = read_text(a, text, f.blank_for_annotations && s.is_annotation);
    } else if (f.kind == field_kind::number) {
        code = read_number(a, false, text);
    } else {
        char digits[9];
        code = read_number(a, true, digits);
        *member<int>(s, f.value) = edf_atoi(digits);
    }
    return code != 0 || f.rule == nullptr ? code : f.rule(a, s);
}

// ---- After the signal part -------------------------------------------------------------

// An EDF+ or BDF+ identification field outside the subfield grammar is kept whole; a repaired
// copy holds the empty subfields (`empty`) before its text.
int keep_whole(pass &p, field place, const char *name, const char *message, const char *empty,
               int *whole) {
    const at a{p, p.h + place.offset, place.width, -1, name};
    if (int code = a.report(repaired, "%s", message)) {
        return code;
    }
    *whole = 1;
    char ascii[81];
    edf_text_to_ascii(ascii, place.width, reinterpret_cast<const char *>(a.bytes), place.width);
    char text[EDF_TEXT_BUFFER_SIZE];
    std::snprintf(text, sizeof text, "%s%.*s", empty,
                  place.width - static_cast<int>(std::strlen(empty)), ascii);
    a.note(text);
    return 0;
}

int check_subfields(pass &p) {
    edf_reader_state *r = p.r;
    if (!parse_patient_field(r->patient_field, r)) {
        if (int code = keep_whole(p, patient, "patient identification",
                                  "The patient identification does not follow the EDF+ "
                                  "subfields (code, sex, birthdate, name); it is kept whole.",
                                  "X X X X ", &r->patient_whole)) {
            return code;
        }
    }
    if (!parse_recording_field(r->recording_field, p.start_date_text, r)) {
        return keep_whole(p, recording, "recording identification",
                          "The recording identification does not follow the EDF+ subfields "
                          "(Startdate, date, code, technician, equipment); it is kept whole.",
                          "Startdate X X X X ", &r->recording_whole);
    }
    return 0;
}

// Identification texts outside printable ASCII are handed out as UTF-8, read as the whole
// field was: the field itself, or its subfields.
void identification_to_utf8(edf_reader_state *r) {
    const auto convert = [](int encoding, char *field, std::initializer_list<char *> subfields) {
        if (encoding != 0) {
            const auto reading = static_cast<text_encoding>(encoding);
            header_text_to_utf8(field, 80, 81, reading);
            for (char *text : subfields) {
                header_text_to_utf8(text, static_cast<int>(std::strlen(text)), 81, reading);
            }
        }
    };
    convert(r->patient_encoding, r->patient_field,
            {r->patient_code, r->patient_name, r->patient_additional});
    convert(r->recording_encoding, r->recording_field,
            {r->admin_code, r->technician, r->equipment, r->recording_additional});
}

// The complete records that `bytes` after the header hold become the count; the rest of an
// incomplete record is left out.
int count_records(pass &p, const at &count, int64_t bytes) {
    edf_reader_state *r = p.r;
    const int64_t header = r->header_size;
    const int64_t record = r->record_size;
    const int64_t complete = bytes / record;
    const int64_t partial = bytes % record;
    if (complete == 0) {
        if (int code = at{p, p.h, 0, -1, "data records", header, 0}.report(
                fatal,
                "The file holds no complete data record (%" PRId64 " bytes after the header, "
                "%" PRId64 " per record).",
                bytes, record)) {
            return code;
        }
    }
    if (r->datarecord_count >= 1 && r->datarecord_count != complete) {
        if (int code = count.report(repaired,
                                    "The header gives %" PRId64 " data records but the file "
                                    "holds %" PRId64 " complete ones; those are read.",
                                    r->datarecord_count, complete)) {
            return code;
        }
    }
    if (partial > 0) {
        const at end{p, p.h, 0, -1, "incomplete data record", header + complete * record, complete};
        if (int code = end.report(repaired,
                                  "The file ends %" PRId64 " bytes into data record %" PRId64
                                  ", which is incomplete; those bytes are ignored.",
                                  partial, complete)) {
            return code;
        }
    }
    const int64_t ticks = r->datarecord_duration_ticks;
    if (ticks > 0 && complete > INT64_MAX / ticks) {
        return at{p, p.h + datarecord_duration.offset, datarecord_duration.width, -1,
                  "duration of a data record"}
            .report(fatal, "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    r->datarecord_count = complete;
    char text[9];
    format_record_count(complete, text);
    count.note(text);
    return 0;
}

// The file must hold the header and exactly datarecord_count records. Under the tolerant
// policy the complete records are read: the count follows the file size, and an incomplete
// last record is left out.
int check_file_size(pass &p) {
    edf_reader_state *r = p.r;
    const at count{p, p.h + datarecord_count.offset, datarecord_count.width, -1,
                   "number of data records"};
    if (p.file_size == size_unknown && r->datarecord_count >= 1) {
        return 0;
    }
    if (p.file_size < 0) {
        return at{p, count.bytes, 0, -1, "file"}.report(fatal,
                                                        "The file's size cannot be learned.");
    }
    const int64_t size = p.file_size;
    const int64_t header = r->header_size;
    const int64_t record = r->record_size;
    if (r->datarecord_count >= 1 && size == header + record * r->datarecord_count) {
        return 0;
    }
    if (p.header_only && size == header) {
        // A recording of no records is not one that the format describes, and the strict open
        // refuses it; the tolerant open reads it as what it is.
        r->datarecord_count = 0;
        return at{p, count.bytes, count.width, -1, "data records", header}.report(
            repaired, "The file holds the header alone, with a record count of 0 (what a writer "
                      "closed before its first sample leaves); it is read as an empty recording.");
    }
    return count_records(p, count, size > header ? size - header : 0);
}

// The signal part, field by field, then what depends on all of it.
int parse_signal_part(pass &p) {
    edf_reader_state *r = p.r;
    for (const signal_field &f : signal_fields) {
        for (int i = 0; i < r->signal_count; i++) {
            if (int code = read_signal_field(p, f, i)) {
                return code;
            }
        }
        if (int code = f.after != nullptr ? f.after(p) : 0) {
            return code;
        }
    }
    r->record_size = static_cast<int>(p.samples) * r->bytes_per_sample();
    if (int code = r->is_plus() ? check_subfields(p) : 0) {
        return code;
    }
    identification_to_utf8(r);
    if (int code = check_file_size(p)) {
        return code;
    }
    // Each signal's place in a data record.
    for (int i = 0, position = 0; i < r->signal_count; i++) {
        r->signals[i].buffer_offset = position;
        position += r->signals[i].samples_per_record * r->bytes_per_sample();
    }
    return 0;
}

// Everything the parse holds, released together unless the parse succeeds (also when the
// reader throws).
struct parsed_block {
    edf_reader_state *r = nullptr;
    std::unique_ptr<unsigned char, decltype(&std::free)> header{nullptr, &std::free};

    ~parsed_block() {
        if (r != nullptr) {
            release_header(r);
        }
    }
    edf_reader_state *fail(int code, int *error) {
        *error = code;
        return nullptr;
    }
    edf_reader_state *done() {
        return std::exchange(r, nullptr);
    }
};

// A header that ends before its declared size: fatal, nothing can be located.
int short_header(pass &p, int64_t declared) {
    return at{p, p.h, 0, -1, "header", -1, -1, EDF_ERR_READ}.report(
        fatal, "The file ends inside its header of %" PRId64 " bytes.", declared);
}

} // namespace

edf_reader_state *parse_header(header_reader read, void *source, int64_t file_size,
                               edf_problem_sink *sink, int *error) {
    parsed_block held;
    unsigned char fixed[fixed_header_size];
    held.r = new (std::nothrow) edf_reader_state();
    if (held.r == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    edf_reader_state *r = held.r;
    pass p{sink, r, fixed, file_size, {}, false, 0};
    if (!read(source, fixed, fixed_header_size)) {
        return held.fail(short_header(p, fixed_header_size), error);
    }
    for (const int k : check_order) {
        const fixed_field &f = fixed_fields[k];
        if (int code = f.parse({p, fixed + f.place.offset, f.place.width, -1, f.name})) {
            return held.fail(code, error);
        }
    }
    r->header_size = signal_header_size * (r->signal_count + 1);
    held.header.reset(
        static_cast<unsigned char *>(std::malloc(static_cast<size_t>(r->header_size))));
    if (held.header == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    if (!read(source, held.header.get(), r->header_size)) {
        return held.fail(short_header(p, r->header_size), error);
    }
    r->signals = static_cast<edf_signal_param *>(
        std::calloc(static_cast<size_t>(r->signal_count), sizeof(edf_signal_param)));
    if (r->signals == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    p.h = held.header.get();
    if (int code = parse_signal_part(p)) {
        return held.fail(code, error);
    }
    return held.done();
}

void release_header(edf_recording *recording) {
    delete static_cast<edf_reader_state *>(recording);
}

const edf_signal_param &annotation_signal(bool bdf) {
    static const auto make = [](bool bdf_plus) {
        edf_signal_param s{};
        std::snprintf(s.label, sizeof s.label, "%cDF Annotations ", bdf_plus ? 'B' : 'E');
        std::snprintf(s.physical_min_text, sizeof s.physical_min_text, "-1");
        std::snprintf(s.physical_max_text, sizeof s.physical_max_text, "1");
        s.digital_min = bdf_plus ? -8388608 : -32768;
        s.digital_max = bdf_plus ? 8388607 : 32767;
        s.samples_per_record = bdf_plus ? bdf_annotation_samples : edf_annotation_samples;
        return s;
    };
    static const edf_signal_param edf_plus = make(false);
    static const edf_signal_param bdf_plus = make(true);
    return bdf ? bdf_plus : edf_plus;
}

bool format_header(const header_view &v, header_writer write, void *target) {
    unsigned char bytes[fixed_header_size];
    char buffer[24];
    for (const fixed_field &f : fixed_fields) {
        put_field(bytes, f.place, f.format(v, buffer));
    }
    if (!write(target, bytes, fixed_header_size)) {
        return false;
    }
    const edf_signal_param &annotation = annotation_signal(v.fixed->is_bdf());
    for (const signal_field &f : signal_fields) {
        for (int i = 0; i < v.signal_count + v.inserted; i++) {
            const edf_signal_param &s = i < v.insert_at                ? v.signals[i]
                                        : i < v.insert_at + v.inserted ? annotation
                                                                       : v.signals[i - v.inserted];
            const char *text = f.value == not_kept ? ""
                               : f.kind == field_kind::integer
                                   ? integer_text(*member<int>(s, f.value), buffer)
                                   : member<char>(s, f.value);
            put_field(bytes, {0, f.width}, text);
            if (!write(target, bytes, static_cast<size_t>(f.width))) {
                return false;
            }
        }
    }
    return true;
}

void put_field(unsigned char *header, field f, const char *text) {
    const size_t width = static_cast<size_t>(f.width);
    const size_t n = std::min(std::strlen(text), width);
    std::memcpy(header + f.offset, text, n);
    std::memset(header + f.offset + n, ' ', width - n);
}

void format_record_count(int64_t count, char text[9]) {
    char digits[24];
    std::snprintf(text, 9, "%-8.8s", integer_text(count < 0 ? -1 : count, digits));
}

void format_start_date(int day, int month, int year, char text[9]) {
    two_digit_text(text, day, month, year);
}

bool physical_value_text(double value, char text[9]) {
    // Within these bounds the integer part, sign included, takes at most eight characters;
    // beyond them the cut would drop digits of the magnitude.
    if (!std::isfinite(value) || value >= 100000000.0 || value <= -10000000.0) {
        return false;
    }
    char digits[EDF_TEXT_BUFFER_SIZE];
    edf_double_to_text(digits, value);
    std::snprintf(text, 9, "%-8.8s", digits);
    return true;
}

void duration_text(int64_t ticks, char text[9]) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld",
                          static_cast<long long>(ticks / EDF_TIME_DIMENSION));
    int64_t fraction = ticks % EDF_TIME_DIMENSION;
    digits[n] = '.';
    n += fraction != 0 ? 1 : 0;
    for (int64_t place = EDF_TIME_DIMENSION / 10; fraction != 0; place /= 10) {
        digits[n++] = static_cast<char>('0' + fraction / place);
        fraction %= place;
    }
    digits[n] = '\0';
    std::snprintf(text, 9, "%.8s", digits);
}

bool read_integer(const unsigned char *bytes, int width, int *value) {
    char text[16];
    store_text(text, bytes, width);
    if (!is_printable(bytes, width) || edf_text_is_integer(text) != 0) {
        return false;
    }
    *value = edf_atoi(text);
    return true;
}

} // namespace edf::codec
