// The header codec. Both parts of the header are described once, in the two tables below:
// each row names a field as problems name it, places it, gives its kind and the function that
// holds its strict rule and its tolerant repair, and the function that formats it. Parsing
// walks the tables in the order in which the rules are checked (the fixed part first, then the
// signal part field by field, every signal of a field before the next field); writing walks
// them in storage order.
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

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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
    for (int i = 0; i < n; i++) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

bool is_blank(const unsigned char *bytes, int n) {
    for (int i = 0; i < n; i++) {
        if (bytes[i] != ' ') {
            return false;
        }
    }
    return true;
}

bool same_bytes(const unsigned char *bytes, const char *text, int n) {
    return std::memcmp(bytes, text, static_cast<size_t>(n)) == 0;
}

// The field of width bytes, stored with a terminating NUL (a numeric field of at most 8 bytes
// in a scratch buffer of 9, a text field in its record).
void store_text(char *out, const unsigned char *bytes, int width) {
    std::memcpy(out, bytes, static_cast<size_t>(width));
    out[width] = '\0';
}

// The value of a text that the number validator accepts: the nearest double, which
// std::from_chars gives without consulting the locale. It takes no '+' and stops at the first
// trailing space. A value beyond the double range reads as infinity and one below the
// smallest subnormal as zero, as the digit-by-digit conversion gives them.
double nearest_double(const char *text) {
    const char *first = text;
    while (*first == ' ') {
        first++;
    }
    if (*first == '+') {
        first++;
    }
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, first + std::strlen(first), value);
    (void)end;
    return ec == std::errc() ? value : edf_atof(text);
}

// The kinds of field: they decide how a field is read and written.
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
    edf_recording *r;
    const unsigned char *h;
    int64_t file_size;       // -1 when it could not be learned
    char start_date_text[9]; // dd.mm.yy of the start date as read (or repaired)
    // The record count is 0 and the file holds the header alone: what a writer closed before
    // its first sample write leaves, read as an empty recording.
    bool header_only;
    int64_t samples; // samples per record over the signals read so far
};

// Reports a problem of the header bytes [bytes, bytes + n) of signal `signal` (-1 for the
// fixed part). Returns 0 when the pass repairs it and goes on, else the code to end with.
int flaw(pass &p, const unsigned char *bytes, int64_t n, int signal, const char *field, int code,
         int action, const char *format, ...) __attribute__((format(printf, 8, 9)));
int flaw(pass &p, const unsigned char *bytes, int64_t n, int signal, const char *field, int code,
         int action, const char *format, ...) {
    char message[241] = "";
    if (p.sink->policy != edf_policy::strict) {
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(message, sizeof message, format, arguments);
        va_end(arguments);
    }
    const edf_problem_place place{bytes - p.h, signal, -1, field};
    if (edf_report(p.sink, place, code, action, bytes, n, "%s", message)) {
        return 0;
    }
    return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : code;
}

// A problem of the file as a whole, not of header bytes.
int file_flaw(pass &p, const edf_problem_place &place, int code, int action, const void *found,
              int64_t n, const char *format, ...) __attribute__((format(printf, 7, 8)));
int file_flaw(pass &p, const edf_problem_place &place, int code, int action, const void *found,
              int64_t n, const char *format, ...) {
    char message[241];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (edf_report(p.sink, place, code, action, found, n, "%s", message)) {
        return 0;
    }
    return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : code;
}

// A repaired copy holds `text`, padded with spaces to `width`, at the field's place.
void note(pass &p, const unsigned char *field, int width, const char *text) {
    if (!p.sink->collect_replacements) {
        return;
    }
    char padded[81];
    std::memset(padded, ' ', sizeof padded);
    const size_t n = std::strlen(text);
    std::memcpy(padded, text, n < static_cast<size_t>(width) ? n : static_cast<size_t>(width));
    edf_replace(p.sink, field - p.h, padded, width);
}

// ---- Reading by kind -------------------------------------------------------------------

// A text field outside printable ASCII: read as UTF-8 when its bytes are well-formed UTF-8,
// else as Latin-1, and handed out as UTF-8 in `out`, of `room` bytes (unless `out` is null
// because the caller converts later); a repaired copy holds its transliteration to ASCII by
// the writer's rule. *encoding receives the reading.
int read_text(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
              char *out, int room, text_encoding *encoding) {
    *encoding = header_text_encoding(bytes, width);
    const char *reading = *encoding == text_encoding::utf8     ? "UTF-8"
                          : *encoding == text_encoding::latin1 ? "Latin-1"
                                                               : "spaces";
    if (int code = flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, repaired,
                        "The %s holds bytes outside printable ASCII; they are read as %s.", field,
                        reading)) {
        return code;
    }
    if (out != nullptr) {
        header_text_to_utf8(out, width, room, *encoding);
    }
    char ascii[81];
    edf_text_to_ascii(ascii, width, reinterpret_cast<const char *>(bytes), width);
    note(p, bytes, width, ascii);
    return 0;
}

// A number field (`integer`: an integer one) in its text (`text`, the field's bytes): the
// strict validator's, or else read where the number is unambiguous, or else fatal. `text`
// then holds the number's text, padded to the field's width.
int read_numeric(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
                 bool integer, char text[9]) {
    store_text(text, bytes, width);
    if (is_printable(bytes, width) &&
        (integer ? edf_text_is_integer(text) : edf_text_is_number(text)) == 0) {
        return 0;
    }
    char clean[16];
    if (p.sink->policy == edf_policy::strict || !lenient_number(bytes, width, integer, clean)) {
        return flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, fatal, "The %s is not %s.",
                    field, integer ? "an integer" : "a number");
    }
    if (int code = flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, repaired,
                        "The %s is not a plain number; it is read as %s.", field, clean)) {
        return code;
    }
    note(p, bytes, width, clean);
    std::memset(text, ' ', static_cast<size_t>(width));
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
        if (k < 2) {
            out[3 * k + 2] = '.';
        }
    }
    out[8] = '\0';
}

// The start date or start time: in the header's form, else read another way, else the
// default (01.01.85, 00.00.00).
int read_date_or_time(pass &p, const unsigned char *bytes, const char *field, bool date,
                      int parts[3]) {
    bool exact = false;
    const bool readable = read_three_parts(bytes, date, parts, &exact);
    if (readable && exact) {
        return 0;
    }
    if (!readable) {
        parts[0] = parts[1] = date ? 1 : 0;
        parts[2] = date ? first_year : 0;
    }
    char text[9];
    two_digit_text(text, parts[0], parts[1], parts[2]);
    const char *form = date ? "dd.mm.yy" : "hh.mm.ss";
    const char *noun = date ? "date" : "time";
    if (int code = flaw(p, bytes, 8, -1, field, EDF_ERR_FORMAT, repaired,
                        readable ? "The %s is not %s; it is read as %s."
                                 : "The %s is not a %s; %s is used instead.",
                        field, readable ? form : noun, text)) {
        return code;
    }
    note(p, bytes, 8, text);
    return 0;
}

// ---- The fixed part --------------------------------------------------------------------

struct fixed_field {
    field place;
    const char *name;
    field_kind kind;
    int (*parse)(pass &, const fixed_field &);
    void (*format)(const header_view &, char *text); // NUL-terminated, at most 80 characters
};

const unsigned char *bytes_of(const pass &p, const fixed_field &f) {
    return p.h + f.place.offset;
}

// Version: without it nothing tells how to read the file.
int parse_version(pass &p, const fixed_field &f) {
    const unsigned char *h = bytes_of(p, f);
    if (h[0] == 0xFF) {
        if (!is_printable(h + 1, 7) || !same_bytes(h + 1, "BIOSEMI", 7)) {
            return flaw(p, h, f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                        "A BDF file must begin with 0xFF and \"BIOSEMI\"; the file cannot be "
                        "read.");
        }
        p.r->is_bdf = 1;
    } else if (same_bytes(h, "0       ", f.place.width)) {
        p.r->is_edf = 1;
    } else {
        return flaw(p, h, f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                    "The version is neither \"0\" (EDF) nor 0xFF \"BIOSEMI\" (BDF); the file "
                    "cannot be read.");
    }
    return 0;
}

// Identification fields: only printable here; their grammar is checked once the signal
// header has been accepted, and texts outside printable ASCII are handed out as UTF-8 then.
template <char (edf_recording::*text)[81], int edf_recording::*encoding>
int parse_identification(pass &p, const fixed_field &f) {
    const unsigned char *bytes = bytes_of(p, f);
    store_text(p.r->*text, bytes, f.place.width);
    if (is_printable(bytes, f.place.width)) {
        return 0;
    }
    text_encoding reading;
    const int code = read_text(p, bytes, f.place.width, -1, f.name, nullptr, 0, &reading);
    p.r->*encoding = static_cast<int>(reading);
    return code;
}

// Start date: no check of the day against the month; years 85-99 are 1985-1999 and 00-84
// are 2000-2084.
int parse_start_date(pass &p, const fixed_field &f) {
    int date[3];
    const int code = read_date_or_time(p, bytes_of(p, f), f.name, true, date);
    p.r->start_day = date[0];
    p.r->start_month = date[1];
    p.r->start_year = date[2];
    two_digit_text(p.start_date_text, date[0], date[1], date[2]);
    return code;
}

int parse_start_time(pass &p, const fixed_field &f) {
    int time[3];
    const int code = read_date_or_time(p, bytes_of(p, f), f.name, false, time);
    p.r->start_hour = time[0];
    p.r->start_minute = time[1];
    p.r->start_second = time[2];
    return code;
}

// The signal count and the header size locate every other field: no repair.
int parse_signal_count(pass &p, const fixed_field &f) {
    int signals;
    if (!read_integer(bytes_of(p, f), f.place.width, &signals) || signals < 1 ||
        signals > EDF_MAX_SIGNALS) {
        return flaw(p, bytes_of(p, f), f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                    "The number of signals is not an integer from 1 to 4096; the header cannot "
                    "be located.");
    }
    p.r->signal_count = signals;
    return 0;
}

int parse_header_bytes(pass &p, const fixed_field &f) {
    const int size = signal_header_size * (p.r->signal_count + 1);
    int value;
    if (!read_integer(bytes_of(p, f), f.place.width, &value) || value != size) {
        return flaw(p, bytes_of(p, f), f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                    "The header size must be 256 bytes per signal plus 256 (%d); the records "
                    "cannot be located.",
                    size);
    }
    return 0;
}

// Reserved: EDF files are plain (all spaces) or EDF+, continuous or not; a BDF file is BDF+
// only when it says so, and any other printable text (such as '24BIT') leaves it plain.
int parse_reserved(pass &p, const fixed_field &f) {
    edf_recording *r = p.r;
    const unsigned char *bytes = bytes_of(p, f);
    const bool printable = is_printable(bytes, f.place.width);
    const char *plus_c = r->is_edf ? "EDF+C" : "BDF+C";
    const char *plus_d = r->is_edf ? "EDF+D" : "BDF+D";
    const bool claims_c = same_bytes(bytes, plus_c, 5);
    const bool claims_d = same_bytes(bytes, plus_d, 5);
    const bool plus = claims_c || claims_d;
    const bool exact = printable && plus && is_blank(bytes + 5, f.place.width - 5);
    if (!exact && printable && !(r->is_edf && !is_blank(bytes, f.place.width))) {
        return 0; // plain EDF, or BDF with any printable text
    }
    if (!exact) {
        if (int code = flaw(p, bytes, f.place.width, -1, f.name, EDF_ERR_FORMAT, repaired,
                            plus ? "The reserved field holds more than \"%s\"; the rest is "
                                   "ignored."
                                 : "The reserved field of a plain %s file must be blank; it "
                                   "is ignored.",
                            plus ? (claims_c ? plus_c : plus_d) : (r->is_edf ? "EDF" : "BDF"))) {
            return code;
        }
        note(p, bytes, f.place.width, plus ? (claims_c ? plus_c : plus_d) : "");
    }
    if (plus) {
        (r->is_edf ? r->is_edfplus : r->is_bdfplus) = 1;
        r->is_discontinuous = claims_d ? 1 : 0;
    }
    return 0;
}

// Number of data records: "-1" marks a recording that was never finished. The tolerant open
// takes the count from the file size then.
int parse_record_count(pass &p, const fixed_field &f) {
    const unsigned char *bytes = bytes_of(p, f);
    int records = 0;
    const bool count_read = read_integer(bytes, f.place.width, &records);
    // Reported with the file size, as the one problem of such a file.
    p.header_only =
        count_read && records == 0 &&
        p.file_size == static_cast<int64_t>(signal_header_size) * (p.r->signal_count + 1);
    if (!p.header_only && (!count_read || records < 1)) {
        if (int code = flaw(p, bytes, f.place.width, -1, f.name, EDF_ERR_FORMAT, repaired,
                            "The number of data records is not a positive count; it is taken "
                            "from the file size.")) {
            return code;
        }
        records = -1;
    }
    p.r->datarecord_count = records;
    return 0;
}

int parse_duration(pass &p, const fixed_field &f) {
    edf_recording *r = p.r;
    const unsigned char *bytes = bytes_of(p, f);
    char *text = r->datarecord_duration_text;
    if (int code = read_numeric(p, bytes, f.place.width, -1, f.name, false, text)) {
        return code;
    }
    const double seconds = nearest_double(text);
    if (seconds < negative_duration_tolerance) {
        return flaw(p, bytes, f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                    "The duration of a data record is negative.");
    }
    r->datarecord_duration_s = seconds;
    char field[9];
    std::memcpy(field, text, sizeof field);
    const int64_t ticks = edf_field_to_ticks(field);
    // A duration beyond the 64-bit tick range (possible only in exponent form), or a recording
    // whose total length is, cannot be timed: every time the reader hands out is a tick count.
    if (ticks < 0 || (ticks > 0 && r->datarecord_count > INT64_MAX / ticks)) {
        return flaw(p, bytes, f.place.width, -1, f.name, EDF_ERR_FORMAT, fatal,
                    "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    r->datarecord_duration_ticks = ticks;
    return 0;
}

void copy_text(char *text, const char *value) {
    std::snprintf(text, 81, "%s", value);
}

// Decimal text of an integer; `text` has room for any 64-bit value unless `room` says less.
void format_integer(int64_t value, char *text, int room = 21) {
    *std::to_chars(text, text + room - 1, value).ptr = '\0';
}

// Storage order, with the rules in the order in which they are checked: the signal count
// comes before the header size, which depends on it.
constexpr int check_order[] = {0, 1, 2, 3, 4, 9, 5, 6, 7, 8};

const fixed_field fixed_fields[] = {
    {version, "version", field_kind::tag, parse_version,
     [](const header_view &v, char *text) {
         copy_text(text, v.fixed->is_edf ? "0"
                                         : "\xFF"
                                           "BIOSEMI");
     }},
    {patient, "patient identification", field_kind::text,
     parse_identification<&edf_recording::patient_field, &edf_recording::patient_encoding>,
     [](const header_view &v, char *text) { copy_text(text, v.fixed->patient_field); }},
    {recording, "recording identification", field_kind::text,
     parse_identification<&edf_recording::recording_field, &edf_recording::recording_encoding>,
     [](const header_view &v, char *text) { copy_text(text, v.fixed->recording_field); }},
    {start_date, "start date", field_kind::date, parse_start_date,
     [](const header_view &v, char *text) {
         format_start_date(v.fixed->start_day, v.fixed->start_month, v.fixed->start_year, text);
     }},
    {start_time, "start time", field_kind::time, parse_start_time,
     [](const header_view &v, char *text) {
         two_digit_text(text, v.fixed->start_hour, v.fixed->start_minute, v.fixed->start_second);
     }},
    {header_bytes, "number of bytes in header", field_kind::integer, parse_header_bytes,
     [](const header_view &v, char *text) {
         format_integer(signal_header_size * (v.signal_count + v.inserted + 1), text);
     }},
    {reserved, "reserved", field_kind::tag, parse_reserved,
     [](const header_view &v, char *text) {
         const edf_recording &r = *v.fixed;
         copy_text(text, !(r.is_edfplus || r.is_bdfplus) ? ""
                         : r.is_discontinuous            ? (r.is_edf ? "EDF+D" : "BDF+D")
                                                         : (r.is_edf ? "EDF+C" : "BDF+C"));
     }},
    {datarecord_count, "number of data records", field_kind::integer, parse_record_count,
     [](const header_view &v, char *text) {
         format_integer(v.record_count < 0 ? -1 : v.record_count, text);
     }},
    {datarecord_duration, "duration of a data record", field_kind::number, parse_duration,
     [](const header_view &v, char *text) { copy_text(text, v.fixed->datarecord_duration_text); }},
    {signal_count, "number of signals", field_kind::integer, parse_signal_count,
     [](const header_view &v, char *text) { format_integer(v.signal_count + v.inserted, text); }},
};

// ---- The signal part -------------------------------------------------------------------

// What the kind of a field gave for one signal: an integer, or a number and its text.
struct field_value {
    int integer = 0;
    double number = 0.0;
    char text[9] = {};
};

struct signal_field {
    int start; // bytes per signal before the field, so it starts at 256 + ns x start
    int width;
    const char *name;
    field_kind kind;
    // Text fields: where the text is kept (null: not kept), and whether an annotation signal's
    // field must be blank.
    char *(*text)(edf_signal_param &);
    bool blank_for_annotations;
    // The field's own rule beyond its kind, with its repair; null when the kind says all.
    int (*rule)(pass &, const signal_field &, int i, const unsigned char *bytes,
                const field_value &value);
    // Rules over all signals, checked once every signal's field has been read; may be null.
    int (*after)(pass &);
    void (*format)(const edf_signal_param &, char *text); // NUL-terminated, at most 80
};

// Start of the field of signal i that begins at `start` (bytes per signal before it).
const unsigned char *signal_bytes(const pass &p, int start, int width, int i) {
    const size_t ns = static_cast<size_t>(p.r->signal_count);
    return p.h + fixed_header_size + ns * static_cast<size_t>(start) +
           static_cast<size_t>(i) * static_cast<size_t>(width);
}

// A field of an annotation signal that must hold the sample type's own limit (`required`);
// another value is reported and replaced by it. Returns the code that ends the pass, or 0.
int annotation_limit(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                     int required, int *value) {
    if (int code =
            flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, repaired,
                 "The %s of an annotation signal must be %d; it is ignored.", f.name, required)) {
        return code;
    }
    *value = required;
    char text[24];
    format_integer(required, text);
    note(p, bytes, f.width, text);
    return 0;
}

// Labels. "EDF Annotations " marks an annotation signal only in an EDF+ file, and "BDF
// Annotations " only in a BDF+ file; elsewhere such a label is kept as an ordinary signal's,
// with '_' for its first space so that it is not mistaken for one later.
int label_rule(pass &p, const signal_field &, int i, const unsigned char *bytes,
               const field_value &) {
    edf_recording *r = p.r;
    const bool edf_label = same_bytes(bytes, "EDF Annotations ", label_width);
    const bool bdf_label = same_bytes(bytes, "BDF Annotations ", label_width);
    if ((edf_label && r->is_edfplus) || (bdf_label && r->is_bdfplus)) {
        r->signals[i].is_annotation = 1;
        r->annotation_signal_indexes[r->annotation_signal_count++] = i;
    } else if (edf_label || bdf_label) {
        r->signals[i].label[3] = '_';
    }
    return 0;
}

int after_labels(pass &p) {
    edf_recording *r = p.r;
    if ((r->is_edfplus || r->is_bdfplus) && r->annotation_signal_count == 0) {
        // Some programs mark plain files as EDF+C or BDF+C.
        const unsigned char *bytes = p.h + reserved.offset;
        const char *kind = r->is_edfplus ? "EDF" : "BDF";
        if (int code = flaw(p, bytes, 5, -1, "reserved", EDF_ERR_FORMAT, repaired,
                            "An %s+ file needs an annotation signal and this one has none; it is "
                            "read as plain %s.",
                            kind, kind)) {
            return code;
        }
        r->is_edfplus = r->is_bdfplus = 0;
        r->is_discontinuous = 0;
        note(p, bytes, reserved.width, "");
    }
    // A record duration of 0 is allowed only when the records hold nothing but annotations.
    const bool annotations_only =
        (r->is_edfplus || r->is_bdfplus) && r->annotation_signal_count == r->signal_count;
    if (!annotations_only && r->datarecord_duration_s < min_record_duration) {
        return flaw(p, p.h + datarecord_duration.offset, datarecord_duration.width, -1,
                    "duration of a data record", EDF_ERR_FORMAT, fatal,
                    "The duration of a data record holding samples must be at least 100 ns.");
    }
    return 0;
}

// Physical limits must be finite numbers a finite distance apart (an exponent form can reach
// infinity), or no sample would have a finite physical value.
int physical_min_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                      const field_value &v) {
    edf_signal_param &s = p.r->signals[i];
    s.physical_min = v.number;
    std::memcpy(s.physical_min_text, v.text, sizeof v.text);
    if (!std::isfinite(s.physical_min)) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "The physical minimum is not finite.");
    }
    return 0;
}

int physical_max_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                      const field_value &v) {
    edf_signal_param &s = p.r->signals[i];
    s.physical_max = v.number;
    std::memcpy(s.physical_max_text, v.text, sizeof v.text);
    if (!std::isfinite(s.physical_max) || !std::isfinite(s.physical_max - s.physical_min)) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "The physical maximum is not finite, or not a finite distance from the "
                    "minimum.");
    }
    if (s.physical_max == s.physical_min) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, repaired,
                    "The physical maximum equals the minimum; the signal is read with physical "
                    "values equal to the digital ones.");
    }
    return 0;
}

int digital_lowest(const edf_recording *r) {
    return r->is_edf ? -32768 : -8388608;
}
int digital_highest(const edf_recording *r) {
    return r->is_edf ? 32767 : 8388607;
}

int digital_min_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                     const field_value &v) {
    edf_signal_param &s = p.r->signals[i];
    s.digital_min = v.integer;
    if (s.digital_min < digital_lowest(p.r) || s.digital_min > digital_highest(p.r)) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "The digital minimum lies outside the range of a %d-bit sample.",
                    p.r->is_edf ? 16 : 24);
    }
    if (s.is_annotation && s.digital_min != digital_lowest(p.r)) {
        return annotation_limit(p, f, i, bytes, digital_lowest(p.r), &s.digital_min);
    }
    return 0;
}

// Equal digital limits are read as the whole digital range; with equal limits of either kind
// the signal is read on the unit scale: physical = digital.
int unit_scale(pass &p, const signal_field &f, int i, const unsigned char *bytes,
               bool equal_digital) {
    edf_signal_param &s = p.r->signals[i];
    if (equal_digital) {
        if (int code = flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, repaired,
                            "The digital maximum equals the minimum; the signal is read with "
                            "physical values equal to the digital ones.")) {
            return code;
        }
        s.digital_min = digital_lowest(p.r);
        s.digital_max = digital_highest(p.r);
    }
    s.physical_min = s.digital_min;
    s.physical_max = s.digital_max;
    format_integer(s.digital_min, s.physical_min_text, sizeof s.physical_min_text);
    format_integer(s.digital_max, s.physical_max_text, sizeof s.physical_max_text);
    note(p, signal_bytes(p, physical_min_start, physical_min_width, i), physical_min_width,
         s.physical_min_text);
    note(p, signal_bytes(p, physical_max_start, physical_max_width, i), physical_max_width,
         s.physical_max_text);
    note(p, signal_bytes(p, digital_min_start, digital_min_width, i), digital_min_width,
         s.physical_min_text);
    note(p, bytes, f.width, s.physical_max_text);
    return 0;
}

int digital_max_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                     const field_value &v) {
    edf_signal_param &s = p.r->signals[i];
    s.digital_max = v.integer;
    if (s.digital_max < digital_lowest(p.r) || s.digital_max > digital_highest(p.r) ||
        s.digital_max < s.digital_min) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "The digital maximum lies outside the range of a %d-bit sample or below the "
                    "minimum.",
                    p.r->is_edf ? 16 : 24);
    }
    if (s.is_annotation && s.digital_max != digital_highest(p.r)) {
        if (int code = annotation_limit(p, f, i, bytes, digital_highest(p.r), &s.digital_max)) {
            return code;
        }
    }
    const bool equal_digital = s.digital_max == s.digital_min;
    return equal_digital || s.physical_max == s.physical_min
               ? unit_scale(p, f, i, bytes, equal_digital)
               : 0;
}

// A signal's digital-to-physical conversion, physical = (digital + offset) * bit_value;
// false when it is not finite.
bool derive_conversion(edf_signal_param *s) {
    s->bit_value =
        (s->physical_max - s->physical_min) / static_cast<double>(s->digital_max - s->digital_min);
    s->offset = s->physical_max / s->bit_value - s->digital_max;
    return std::isfinite(s->bit_value) && s->bit_value != 0.0 && std::isfinite(s->offset);
}

// Limits that are finite and apart can still make a conversion that is not: a physical range
// of 4.9E-324 over 65535 steps gives a bit value of 0 and an infinite offset, and every
// sample would read as NaN.
int check_conversions(pass &p) {
    for (int i = 0; i < p.r->signal_count; i++) {
        if (!derive_conversion(&p.r->signals[i])) {
            return flaw(p, signal_bytes(p, physical_max_start, physical_max_width, i),
                        physical_max_width, i, "physical maximum", EDF_ERR_FORMAT, fatal,
                        "The physical and digital limits give a conversion that is not finite.");
        }
    }
    return 0;
}

int samples_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                 const field_value &v) {
    p.r->signals[i].samples_per_record = v.integer;
    if (v.integer < 1) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "The number of samples in each data record must be positive.");
    }
    p.samples += v.integer;
    if (p.samples > max_samples_per_record) {
        return flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, fatal,
                    "A data record would hold more than %" PRId64 " samples.",
                    max_samples_per_record);
    }
    return 0;
}

// Plain BDF files are known to carry text in the signals' reserved fields.
int reserved_rule(pass &p, const signal_field &f, int i, const unsigned char *bytes,
                  const field_value &) {
    const bool free_text = p.r->is_bdf && !p.r->is_bdfplus;
    if (free_text ? is_printable(bytes, f.width) : is_blank(bytes, f.width)) {
        return 0;
    }
    if (int code = flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, repaired,
                        "The reserved field of a signal must be blank; it is ignored.")) {
        return code;
    }
    note(p, bytes, f.width, "");
    return 0;
}

template <auto member> char *text_of(edf_signal_param &s) {
    return s.*member;
}

template <auto member> void format_text(const edf_signal_param &s, char *text) {
    copy_text(text, s.*member);
}

template <auto member> void format_value(const edf_signal_param &s, char *text) {
    format_integer(s.*member, text);
}

const signal_field signal_fields[] = {
    {label_start, label_width, "label", field_kind::text, text_of<&edf_signal_param::label>, false,
     label_rule, after_labels, format_text<&edf_signal_param::label>},
    {transducer_start, transducer_width, "transducer", field_kind::text,
     text_of<&edf_signal_param::transducer>, true, nullptr, nullptr,
     format_text<&edf_signal_param::transducer>},
    {dimension_start, dimension_width, "physical dimension", field_kind::text,
     text_of<&edf_signal_param::physical_dimension>, false, nullptr, nullptr,
     format_text<&edf_signal_param::physical_dimension>},
    {physical_min_start, physical_min_width, "physical minimum", field_kind::number, nullptr, false,
     physical_min_rule, nullptr, format_text<&edf_signal_param::physical_min_text>},
    {physical_max_start, physical_max_width, "physical maximum", field_kind::number, nullptr, false,
     physical_max_rule, nullptr, format_text<&edf_signal_param::physical_max_text>},
    {digital_min_start, digital_min_width, "digital minimum", field_kind::integer, nullptr, false,
     digital_min_rule, nullptr, format_value<&edf_signal_param::digital_min>},
    {digital_max_start, digital_max_width, "digital maximum", field_kind::integer, nullptr, false,
     digital_max_rule, check_conversions, format_value<&edf_signal_param::digital_max>},
    {prefilter_start, prefilter_width, "prefiltering", field_kind::text,
     text_of<&edf_signal_param::prefilter>, true, nullptr, nullptr,
     format_text<&edf_signal_param::prefilter>},
    {samples_start, samples_width, "number of samples", field_kind::integer, nullptr, false,
     samples_rule, nullptr, format_value<&edf_signal_param::samples_per_record>},
    {signal_reserved_start, signal_reserved_width, "signal reserved", field_kind::text, nullptr,
     false, reserved_rule, nullptr, [](const edf_signal_param &, char *text) { text[0] = '\0'; }},
};

// A text field of one signal: kept as stored; an annotation signal's must be blank where the
// field says so (it is ignored otherwise), and every other must be printable.
int read_signal_text(pass &p, const signal_field &f, int i, const unsigned char *bytes) {
    edf_signal_param &s = p.r->signals[i];
    char *text = f.text != nullptr ? f.text(s) : nullptr;
    if (text != nullptr) {
        store_text(text, bytes, f.width);
    }
    if (f.blank_for_annotations && s.is_annotation && !is_blank(bytes, f.width)) {
        if (int code =
                flaw(p, bytes, f.width, i, f.name, EDF_ERR_FORMAT, repaired,
                     "The %s of an annotation signal must be blank; it is ignored.", f.name)) {
            return code;
        }
        note(p, bytes, f.width, "");
        text[0] = '\0';
        return 0;
    }
    if (text == nullptr || is_printable(bytes, f.width)) {
        return 0;
    }
    text_encoding reading;
    return read_text(p, bytes, f.width, i, f.name, text, f.width + 1, &reading);
}

// One field of one signal: read by its kind, then held to its own rule.
int read_signal_field(pass &p, const signal_field &f, int i) {
    const unsigned char *bytes = signal_bytes(p, f.start, f.width, i);
    field_value value;
    int code = 0;
    if (f.kind == field_kind::text) {
        code = read_signal_text(p, f, i, bytes);
    } else {
        code =
            read_numeric(p, bytes, f.width, i, f.name, f.kind == field_kind::integer, value.text);
        value.integer = edf_atoi(value.text);
        value.number = nearest_double(value.text);
    }
    return code != 0 || f.rule == nullptr ? code : f.rule(p, f, i, bytes, value);
}

// ---- After the signal part -------------------------------------------------------------

// EDF+ and BDF+ identification fields outside the subfield grammar are kept whole; a repaired
// copy holds the empty subfields before the whole text.
int check_subfields(pass &p) {
    edf_recording *r = p.r;
    if (!parse_patient_field(r->patient_field, r)) {
        const unsigned char *bytes = p.h + patient.offset;
        if (int code = flaw(p, bytes, patient.width, -1, "patient identification", EDF_ERR_FORMAT,
                            repaired,
                            "The patient identification does not follow the EDF+ subfields "
                            "(code, sex, birthdate, name); it is kept whole.")) {
            return code;
        }
        r->patient_whole = 1;
        char ascii[81];
        edf_text_to_ascii(ascii, patient.width, r->patient_field, patient.width);
        char text[EDF_TEXT_BUFFER_SIZE];
        std::snprintf(text, sizeof text, "X X X X %.72s", ascii);
        note(p, bytes, patient.width, text);
    }
    if (!parse_recording_field(r->recording_field, p.start_date_text, r)) {
        const unsigned char *bytes = p.h + recording.offset;
        if (int code = flaw(p, bytes, recording.width, -1, "recording identification",
                            EDF_ERR_FORMAT, repaired,
                            "The recording identification does not follow the EDF+ subfields "
                            "(Startdate, date, code, technician, equipment); it is kept "
                            "whole.")) {
            return code;
        }
        r->recording_whole = 1;
        char ascii[81];
        edf_text_to_ascii(ascii, recording.width, r->recording_field, recording.width);
        char text[EDF_TEXT_BUFFER_SIZE];
        std::snprintf(text, sizeof text, "Startdate X X X X %.62s", ascii);
        note(p, bytes, recording.width, text);
    }
    return 0;
}

// Identification texts outside printable ASCII are handed out as UTF-8, read as the whole
// field was: the field itself, or its subfields.
void identification_to_utf8(edf_recording *r) {
    if (r->patient_encoding != 0) {
        const auto encoding = static_cast<text_encoding>(r->patient_encoding);
        header_text_to_utf8(r->patient_field, patient.width, sizeof r->patient_field, encoding);
        for (char *text : {r->patient_code, r->patient_name, r->patient_additional}) {
            header_text_to_utf8(text, static_cast<int>(std::strlen(text)), 81, encoding);
        }
    }
    if (r->recording_encoding != 0) {
        const auto encoding = static_cast<text_encoding>(r->recording_encoding);
        header_text_to_utf8(r->recording_field, recording.width, sizeof r->recording_field,
                            encoding);
        for (char *text : {r->admin_code, r->technician, r->equipment, r->recording_additional}) {
            header_text_to_utf8(text, static_cast<int>(std::strlen(text)), 81, encoding);
        }
    }
}

// The file must hold the header and exactly datarecord_count records. Under the tolerant
// policy the complete records are read: the count follows the file size, and an incomplete
// last record is left out.
int check_file_size(pass &p) {
    edf_recording *r = p.r;
    const unsigned char *count_field = p.h + datarecord_count.offset;
    if (p.file_size < 0) {
        return flaw(p, count_field, 0, -1, "file", EDF_ERR_FORMAT, fatal,
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
        return file_flaw(p, {header, -1, -1, "data records"}, EDF_ERR_FORMAT, repaired, count_field,
                         datarecord_count.width,
                         "The file holds the header alone, with a record count of 0 (what a "
                         "writer closed before its first sample leaves); it is read as an empty "
                         "recording.");
    }
    const int64_t complete = size > header ? (size - header) / record : 0;
    const int64_t partial = size > header ? (size - header) % record : 0;
    if (complete == 0) {
        if (int code = file_flaw(p, {header, -1, 0, "data records"}, EDF_ERR_FORMAT, fatal, "", 0,
                                 "The file holds no complete data record (%" PRId64
                                 " bytes after the header, %" PRId64 " per record).",
                                 size > header ? size - header : 0, record)) {
            return code;
        }
    }
    if (r->datarecord_count >= 1 && r->datarecord_count != complete) {
        if (int code = flaw(p, count_field, datarecord_count.width, -1, "number of data records",
                            EDF_ERR_FORMAT, repaired,
                            "The header gives %" PRId64 " data records but the file holds %" PRId64
                            " complete ones; those are read.",
                            r->datarecord_count, complete)) {
            return code;
        }
    }
    if (partial > 0) {
        if (int code =
                file_flaw(p, {header + complete * record, -1, complete, "incomplete data record"},
                          EDF_ERR_FORMAT, repaired, "", 0,
                          "The file ends %" PRId64 " bytes into data record %" PRId64
                          ", which is incomplete; those bytes are ignored.",
                          partial, complete)) {
            return code;
        }
    }
    const int64_t ticks = r->datarecord_duration_ticks;
    if (ticks > 0 && complete > INT64_MAX / ticks) {
        return flaw(p, p.h + datarecord_duration.offset, datarecord_duration.width, -1,
                    "duration of a data record", EDF_ERR_FORMAT, fatal,
                    "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    r->datarecord_count = complete;
    char text[9];
    format_record_count(complete, text);
    note(p, count_field, datarecord_count.width, text);
    return 0;
}

// The signal part, field by field, then what depends on all of it.
int parse_signal_part(pass &p) {
    edf_recording *r = p.r;
    for (const signal_field &f : signal_fields) {
        for (int i = 0; i < r->signal_count; i++) {
            if (int code = read_signal_field(p, f, i)) {
                return code;
            }
        }
        if (f.after != nullptr) {
            if (int code = f.after(p)) {
                return code;
            }
        }
    }
    r->record_size = static_cast<int>(p.samples) * (r->is_edf ? 2 : 3);
    if (r->is_edfplus || r->is_bdfplus) {
        if (int code = check_subfields(p)) {
            return code;
        }
    }
    identification_to_utf8(r);
    if (int code = check_file_size(p)) {
        return code;
    }
    // Each signal's place in a data record.
    int position = 0;
    for (int i = 0; i < r->signal_count; i++) {
        r->signals[i].buffer_offset = position;
        position += r->signals[i].samples_per_record * (r->is_edf ? 2 : 3);
    }
    return 0;
}

// A header that ends before its declared size: fatal, nothing can be located.
int short_header(edf_problem_sink *sink, int64_t declared) {
    const edf_problem_place place{-1, -1, -1, "header"};
    edf_report(sink, place, EDF_ERR_READ, fatal, "", 0,
               "The file ends inside its header of %" PRId64 " bytes.", declared);
    return sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_READ;
}

// What the parse holds at a given moment, released together on failure.
struct allocations {
    unsigned char *buffer = nullptr; // the 256-byte buffer, later the whole header
    edf_recording *recording = nullptr;

    edf_recording *fail(int code, int *error) {
        std::free(buffer);
        if (recording != nullptr) {
            std::free(recording->signals);
        }
        std::free(recording);
        *error = code;
        return nullptr;
    }
};

} // namespace

edf_recording *parse_header(header_reader read, void *source, int64_t file_size,
                            edf_problem_sink *sink, int *error) {
    allocations held;
    held.buffer = static_cast<unsigned char *>(std::malloc(fixed_header_size));
    held.recording = static_cast<edf_recording *>(std::calloc(1, sizeof(edf_recording)));
    if (held.buffer == nullptr || held.recording == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    edf_recording *r = held.recording;
    if (!read(source, held.buffer, fixed_header_size)) {
        return held.fail(short_header(sink, fixed_header_size), error);
    }
    pass p{sink, r, held.buffer, file_size, {}, false, 0};
    for (const int k : check_order) {
        if (int code = fixed_fields[k].parse(p, fixed_fields[k])) {
            return held.fail(code, error);
        }
    }
    r->header_size = signal_header_size * (r->signal_count + 1);
    std::free(held.buffer);
    held.buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(r->header_size)));
    if (held.buffer == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    if (!read(source, held.buffer, r->header_size)) {
        return held.fail(short_header(sink, r->header_size), error);
    }
    r->signals = static_cast<edf_signal_param *>(
        std::calloc(static_cast<size_t>(r->signal_count), sizeof(edf_signal_param)));
    if (r->signals == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    p.h = held.buffer;
    if (int code = parse_signal_part(p)) {
        return held.fail(code, error);
    }
    std::free(held.buffer);
    return r;
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
    unsigned char fixed[fixed_header_size];
    char text[96];
    for (const fixed_field &f : fixed_fields) {
        f.format(v, text);
        put_field(fixed, f.place, text);
    }
    if (!write(target, fixed, sizeof fixed)) {
        return false;
    }
    const int ns = v.signal_count + v.inserted;
    const edf_signal_param &annotation = annotation_signal(!v.fixed->is_edf);
    for (const signal_field &f : signal_fields) {
        for (int i = 0; i < ns; i++) {
            const edf_signal_param &s = i < v.insert_at                ? v.signals[i]
                                        : i < v.insert_at + v.inserted ? annotation
                                                                       : v.signals[i - v.inserted];
            f.format(s, text);
            unsigned char field[81];
            put_field(field, {0, f.width}, text);
            if (!write(target, field, static_cast<size_t>(f.width))) {
                return false;
            }
        }
    }
    return true;
}

void put_field(unsigned char *header, field f, const char *text) {
    const size_t n = std::strlen(text);
    const size_t width = static_cast<size_t>(f.width);
    std::memset(header + f.offset, ' ', width);
    std::memcpy(header + f.offset, text, n < width ? n : width);
}

void format_record_count(int64_t count, char text[9]) {
    char digits[24];
    format_integer(count < 0 ? -1 : count, digits);
    std::snprintf(text, 9, "%-8.8s", digits);
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
    if (fraction != 0) {
        digits[n++] = '.';
        for (int64_t place = EDF_TIME_DIMENSION / 10; place > 0 && fraction != 0; place /= 10) {
            digits[n++] = static_cast<char>('0' + fraction / place);
            fraction %= place;
        }
        digits[n] = '\0';
    }
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
