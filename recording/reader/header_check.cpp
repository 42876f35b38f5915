// The reader's gatekeeper. The header is read twice: the fixed 256 bytes first, to learn the
// number of signals, then the whole header in one piece. Every field is checked before it is
// parsed; numeric fields are copied into a small NUL-terminated scratch buffer so that the
// validators and parsers see exactly the field's bytes and nothing beyond them.
//
// Every broken rule is reported to the pass's problem sink (see problem_sink.h). Under the
// strict policy the first report ends the check with its code; under the others the branch
// that reports a problem also applies the repair that the tolerant open makes, and notes the
// bytes that a repaired copy would hold instead, then the check goes on.
#include "recording/reader/header_check.h"

#include "recording/core/header_layout.h"
#include "recording/core/text_format.h"
#include "recording/core/text_parse.h"
#include "recording/reader/field_repairs.h"
#include "recording/reader/identification.h"

#include <sys/types.h>

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

using namespace edf_layout;

// The sum of samples per record over all signals; keeps a data record within 10 MiB (EDF) or
// 15 MiB (BDF).
constexpr int64_t max_samples_per_record = 5242880;

// The smallest record duration of a file with ordinary signals: one tick.
constexpr double min_record_duration = 0.0000001;
// Durations down to this are taken as a rounded zero; below it they are refused.
constexpr double negative_duration_tolerance = -0.000001;

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

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A numeric field (at most 8 bytes) as a NUL-terminated text.
struct scratch {
    char text[16];
    scratch(const unsigned char *bytes, int width) {
        std::memcpy(text, bytes, static_cast<size_t>(width));
        text[width] = '\0';
    }
};

// A printable field that the integer validator accepts; its value in *value.
bool read_integer(const unsigned char *bytes, int width, int *value) {
    if (!is_printable(bytes, width)) {
        return false;
    }
    const scratch field(bytes, width);
    if (edf_text_is_integer(field.text) != 0) {
        return false;
    }
    *value = edf_atoi(field.text);
    return true;
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

// A printable field that the number validator accepts; its value in *value.
bool read_number(const unsigned char *bytes, int width, double *value) {
    if (!is_printable(bytes, width)) {
        return false;
    }
    const scratch field(bytes, width);
    if (edf_text_is_number(field.text) != 0) {
        return false;
    }
    *value = nearest_double(field.text);
    return true;
}

// The text field of width bytes, stored with a terminating NUL.
void store_text(char *out, const unsigned char *bytes, int width) {
    std::memcpy(out, bytes, static_cast<size_t>(width));
    out[width] = '\0';
}

// dd.mm.yy or hh.mm.ss: printable, '.' at 2 and 5, digits elsewhere. The three two-digit
// numbers go to parts[0..2].
bool read_dotted_triple(const unsigned char *bytes, int parts[3]) {
    if (!is_printable(bytes, 8) || bytes[2] != '.' || bytes[5] != '.') {
        return false;
    }
    for (int k = 0; k < 3; k++) {
        const unsigned char *digits = bytes + 3 * k;
        if (!is_digit(digits[0]) || !is_digit(digits[1])) {
            return false;
        }
        parts[k] = (digits[0] - '0') * 10 + (digits[1] - '0');
    }
    return true;
}

bool same_bytes(const unsigned char *bytes, const char *text, int n) {
    return std::memcmp(bytes, text, static_cast<size_t>(n)) == 0;
}

// What the operation holds at a given moment, released together on failure.
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

// One pass over a header: the sink, the block being built and the header's bytes.
struct pass {
    edf_problem_sink *sink;
    edf_recording *r;
    const unsigned char *h;
    char start_date_text[9]; // dd.mm.yy of the start date as read (or repaired)
    int64_t file_size;       // -1 when it cannot be learned
    // The record count is 0 and the file holds the header alone: what a writer closed before
    // its first sample write leaves, read as an empty recording.
    bool header_only;
};

constexpr int repaired = EDF_PROBLEM_REPAIRED;
constexpr int fatal = EDF_PROBLEM_FATAL;

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

// A repaired copy holds `text`, padded with spaces to `width`, at the field's place.
void replace_field(pass &p, const unsigned char *field, int width, const char *text) {
    if (!p.sink->collect_replacements) {
        return;
    }
    char padded[81];
    std::memset(padded, ' ', sizeof padded);
    const size_t n = std::strlen(text);
    std::memcpy(padded, text, n < static_cast<size_t>(width) ? n : static_cast<size_t>(width));
    edf_replace(p.sink, field - p.h, padded, width);
}

// An annotation signal's digital limit must be the sample type's own (`required`); another
// value is reported and replaced by it. Returns the code that ends the pass, or 0.
int annotation_limit(pass &p, const unsigned char *field, int width, int signal, const char *name,
                     int required, int *value) {
    if (int code =
            flaw(p, field, width, signal, name, EDF_ERR_FORMAT, repaired,
                 "The %s of an annotation signal must be %d; it is ignored.", name, required)) {
        return code;
    }
    *value = required;
    char text[16];
    std::snprintf(text, sizeof text, "%d", required);
    replace_field(p, field, width, text);
    return 0;
}

// A text field outside printable ASCII: read as UTF-8 when its bytes are well-formed UTF-8,
// else as Latin-1, and handed out as UTF-8 in `out`, of `room` bytes (unless `out` is null
// because the caller converts later); a repaired copy holds its transliteration to ASCII by
// the writer's rule. *encoding receives the reading.
int text_field(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
               char *out, int room, edf_text_encoding *encoding) {
    *encoding = edf_header_text_encoding(bytes, width);
    const char *reading = *encoding == edf_text_encoding::utf8     ? "UTF-8"
                          : *encoding == edf_text_encoding::latin1 ? "Latin-1"
                                                                   : "spaces";
    if (int code = flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, repaired,
                        "The %s holds bytes outside printable ASCII; they are read as %s.", field,
                        reading)) {
        return code;
    }
    if (out != nullptr) {
        edf_header_text_to_utf8(out, width, room, *encoding);
    }
    char ascii[81];
    edf_text_to_ascii(ascii, width, reinterpret_cast<const char *>(bytes), width);
    replace_field(p, bytes, width, ascii);
    return 0;
}

int text_field(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
               char *out, int room) {
    edf_text_encoding encoding;
    return text_field(p, bytes, width, signal, field, out, room, &encoding);
}

// A number field (`integer`: an integer one) that the strict validator refuses: read where
// the number is unambiguous, else fatal. The clean text goes to `clean`.
int lenient_field(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
                  bool integer, char clean[16]) {
    if (p.sink->policy == edf_policy::strict || !edf_lenient_number(bytes, width, integer, clean)) {
        return flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, fatal, "The %s is not %s.",
                    field, integer ? "an integer" : "a number");
    }
    if (int code = flaw(p, bytes, width, signal, field, EDF_ERR_FORMAT, repaired,
                        "The %s is not a plain number; it is read as %s.", field, clean)) {
        return code;
    }
    replace_field(p, bytes, width, clean);
    return 0;
}

// An integer field, strictly or leniently read.
int integer_field(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
                  int *value) {
    if (read_integer(bytes, width, value)) {
        return 0;
    }
    char clean[16];
    if (int code = lenient_field(p, bytes, width, signal, field, true, clean)) {
        return code;
    }
    *value = edf_atoi(clean);
    return 0;
}

// A number field, strictly or leniently read; `clean` (when not null) receives the text that
// was read, padded to the field's width.
int number_field(pass &p, const unsigned char *bytes, int width, int signal, const char *field,
                 double *value, char *clean_field = nullptr) {
    if (clean_field != nullptr) {
        std::memcpy(clean_field, bytes, static_cast<size_t>(width));
        clean_field[width] = '\0';
    }
    if (read_number(bytes, width, value)) {
        return 0;
    }
    char clean[16];
    if (int code = lenient_field(p, bytes, width, signal, field, false, clean)) {
        return code;
    }
    *value = nearest_double(clean);
    if (clean_field != nullptr) {
        std::memset(clean_field, ' ', static_cast<size_t>(width));
        std::memcpy(clean_field, clean, std::strlen(clean));
    }
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

// Stage 1: the fixed part of the header, bytes 0 to 255. Returns 0 or an error code.
int check_fixed_part(pass &p) {
    const unsigned char *h = p.h;
    edf_recording *r = p.r;
    // Version: without it nothing tells how to read the file.
    if (h[0] == 0xFF) {
        if (!is_printable(h + 1, 7) || !same_bytes(h + 1, "BIOSEMI", 7)) {
            return flaw(p, h, version.width, -1, "version", EDF_ERR_FORMAT, fatal,
                        "A BDF file must begin with 0xFF and \"BIOSEMI\"; the file cannot be "
                        "read.");
        }
        r->is_bdf = 1;
    } else if (same_bytes(h, "0       ", version.width)) {
        r->is_edf = 1;
    } else {
        return flaw(p, h, version.width, -1, "version", EDF_ERR_FORMAT, fatal,
                    "The version is neither \"0\" (EDF) nor 0xFF \"BIOSEMI\" (BDF); the file "
                    "cannot be read.");
    }

    // Identification fields: only printable here; their grammar is checked once the signal
    // header has been accepted.
    store_text(r->patient_field, h + patient.offset, patient.width);
    store_text(r->recording_field, h + recording.offset, recording.width);
    if (!is_printable(h + patient.offset, patient.width)) {
        edf_text_encoding encoding;
        if (int code = text_field(p, h + patient.offset, patient.width, -1,
                                  "patient identification", nullptr, 0, &encoding)) {
            return code;
        }
        r->patient_encoding = static_cast<int>(encoding);
    }
    if (!is_printable(h + recording.offset, recording.width)) {
        edf_text_encoding encoding;
        if (int code = text_field(p, h + recording.offset, recording.width, -1,
                                  "recording identification", nullptr, 0, &encoding)) {
            return code;
        }
        r->recording_encoding = static_cast<int>(encoding);
    }

    // Start date: no check of the day against the month; years 85-99 are 1985-1999 and
    // 00-84 are 2000-2084.
    const unsigned char *date_bytes = h + start_date.offset;
    int date[3];
    if (read_dotted_triple(date_bytes, date) && date[0] >= 1 && date[0] <= 31 && date[1] >= 1 &&
        date[1] <= 12) {
        r->start_day = date[0];
        r->start_month = date[1];
        r->start_year = date[2] + (date[2] < first_year % 100 ? 2000 : 1900);
    } else {
        const bool readable =
            edf_lenient_date(date_bytes, &r->start_day, &r->start_month, &r->start_year);
        if (!readable) {
            r->start_day = 1;
            r->start_month = 1;
            r->start_year = first_year;
        }
        char text[9];
        two_digit_text(text, r->start_day, r->start_month, r->start_year);
        if (int code =
                flaw(p, date_bytes, start_date.width, -1, "start date", EDF_ERR_FORMAT, repaired,
                     readable ? "The start date is not dd.mm.yy; it is read as %s."
                              : "The start date is not a date; %s is used instead.",
                     text)) {
            return code;
        }
        replace_field(p, date_bytes, start_date.width, text);
    }
    two_digit_text(p.start_date_text, r->start_day, r->start_month, r->start_year);

    const unsigned char *time_bytes = h + start_time.offset;
    int time[3];
    if (read_dotted_triple(time_bytes, time) && time[0] <= 23 && time[1] <= 59 && time[2] <= 59) {
        r->start_hour = time[0];
        r->start_minute = time[1];
        r->start_second = time[2];
    } else {
        const bool readable =
            edf_lenient_time(time_bytes, &r->start_hour, &r->start_minute, &r->start_second);
        if (!readable) {
            r->start_hour = r->start_minute = r->start_second = 0;
        }
        char text[9];
        two_digit_text(text, r->start_hour, r->start_minute, r->start_second);
        if (int code =
                flaw(p, time_bytes, start_time.width, -1, "start time", EDF_ERR_FORMAT, repaired,
                     readable ? "The start time is not hh.mm.ss; it is read as %s."
                              : "The start time is not a time; %s is used instead.",
                     text)) {
            return code;
        }
        replace_field(p, time_bytes, start_time.width, text);
    }

    // The signal count and the header size locate every other field: no repair.
    int signals;
    if (!read_integer(h + signal_count.offset, signal_count.width, &signals) || signals < 1 ||
        signals > EDF_MAX_SIGNALS) {
        return flaw(p, h + signal_count.offset, signal_count.width, -1, "number of signals",
                    EDF_ERR_FORMAT, fatal,
                    "The number of signals is not an integer from 1 to 4096; the header cannot "
                    "be located.");
    }
    r->signal_count = signals;

    int header_bytes_value;
    if (!read_integer(h + header_bytes.offset, header_bytes.width, &header_bytes_value) ||
        header_bytes_value != signal_header_size * (signals + 1)) {
        return flaw(p, h + header_bytes.offset, header_bytes.width, -1, "number of bytes in header",
                    EDF_ERR_FORMAT, fatal,
                    "The header size must be 256 bytes per signal plus 256 (%d); the records "
                    "cannot be located.",
                    signal_header_size * (signals + 1));
    }

    // Reserved: EDF files are plain (all spaces) or EDF+, continuous or not; a BDF file is
    // BDF+ only when it says so, and any other printable text (such as '24BIT') leaves it
    // plain.
    const unsigned char *reserved_bytes = h + reserved.offset;
    const bool printable_reserved = is_printable(reserved_bytes, reserved.width);
    const bool plus_tail = is_blank(reserved_bytes + 5, reserved.width - 5);
    const char *plus_c = r->is_edf ? "EDF+C" : "BDF+C";
    const char *plus_d = r->is_edf ? "EDF+D" : "BDF+D";
    const bool claims_c = same_bytes(reserved_bytes, plus_c, 5);
    const bool claims_d = same_bytes(reserved_bytes, plus_d, 5);
    if (printable_reserved && plus_tail && (claims_c || claims_d)) {
        (r->is_edf ? r->is_edfplus : r->is_bdfplus) = 1;
        r->is_discontinuous = claims_d ? 1 : 0;
    } else if (!printable_reserved || (r->is_edf && !is_blank(reserved_bytes, reserved.width))) {
        const bool plus = claims_c || claims_d;
        if (int code =
                flaw(p, reserved_bytes, reserved.width, -1, "reserved", EDF_ERR_FORMAT, repaired,
                     plus ? "The reserved field holds more than \"%s\"; the rest is "
                            "ignored."
                          : "The reserved field of a plain %s file must be blank; it "
                            "is ignored.",
                     plus ? (claims_c ? plus_c : plus_d) : (r->is_edf ? "EDF" : "BDF"))) {
            return code;
        }
        if (plus) {
            (r->is_edf ? r->is_edfplus : r->is_bdfplus) = 1;
            r->is_discontinuous = claims_d ? 1 : 0;
        }
        replace_field(p, reserved_bytes, reserved.width, plus ? (claims_c ? plus_c : plus_d) : "");
    }

    // Number of data records: "-1" marks a recording that was never finished. The tolerant
    // open takes the count from the file size then.
    int records;
    const unsigned char *records_bytes = h + datarecord_count.offset;
    const bool count_read = read_integer(records_bytes, datarecord_count.width, &records);
    // Reported with the file size, as the one problem of such a file.
    p.header_only = count_read && records == 0 &&
                    p.file_size == static_cast<int64_t>(signal_header_size) * (signals + 1);
    if (p.header_only) {
        records = 0;
    } else if (!count_read || records < 1) {
        if (int code = flaw(p, records_bytes, datarecord_count.width, -1, "number of data records",
                            EDF_ERR_FORMAT, repaired,
                            "The number of data records is not a positive count; it is taken "
                            "from the file size.")) {
            return code;
        }
        records = -1;
    }
    r->datarecord_count = records;

    const unsigned char *duration_bytes = h + datarecord_duration.offset;
    double seconds;
    scratch duration(duration_bytes, datarecord_duration.width);
    if (int code = number_field(p, duration_bytes, datarecord_duration.width, -1,
                                "duration of a data record", &seconds, duration.text)) {
        return code;
    }
    if (seconds < negative_duration_tolerance) {
        return flaw(p, duration_bytes, datarecord_duration.width, -1, "duration of a data record",
                    EDF_ERR_FORMAT, fatal, "The duration of a data record is negative.");
    }
    r->datarecord_duration_s = seconds;
    const int64_t ticks = edf_field_to_ticks(duration.text);
    // A duration beyond the 64-bit tick range (possible only in exponent form), or a
    // recording whose total length is, cannot be timed: every time the reader hands out is
    // a tick count.
    if (ticks < 0 || (ticks > 0 && r->datarecord_count > INT64_MAX / ticks)) {
        return flaw(p, duration_bytes, datarecord_duration.width, -1, "duration of a data record",
                    EDF_ERR_FORMAT, fatal,
                    "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    r->datarecord_duration_ticks = ticks;
    return 0;
}

// Start of field `field_start` (in bytes per signal) of signal i, among ns signals.
const unsigned char *signal_field(const unsigned char *h, int ns, int field_start, int width,
                                  int i) {
    return h + fixed_header_size + static_cast<size_t>(ns) * static_cast<size_t>(field_start) +
           static_cast<size_t>(i) * static_cast<size_t>(width);
}

// A signal's digital-to-physical conversion, physical = (digital + offset) * bit_value;
// false when it is not finite.
bool derive_conversion(edf_signal_param *s) {
    s->bit_value =
        (s->physical_max - s->physical_min) / static_cast<double>(s->digital_max - s->digital_min);
    s->offset = s->physical_max / s->bit_value - s->digital_max;
    return std::isfinite(s->bit_value) && s->bit_value != 0.0 && std::isfinite(s->offset);
}

// A text field of an annotation signal that must be blank and is not: ignored.
int blank_annotation_field(pass &p, const unsigned char *field, int width, int i,
                           const char *name) {
    if (int code = flaw(p, field, width, i, name, EDF_ERR_FORMAT, repaired,
                        "The %s of an annotation signal must be blank; it is ignored.", name)) {
        return code;
    }
    replace_field(p, field, width, "");
    return 0;
}

// Stage 2: the signal part. Every check runs over all signals before the next field is
// looked at. Returns 0 or an error code.
int check_signal_part(pass &p) {
    const unsigned char *h = p.h;
    edf_recording *r = p.r;
    const int ns = r->signal_count;
    edf_signal_param *signals = r->signals;

    // Labels. "EDF Annotations " marks an annotation signal only in an EDF+ file, and
    // "BDF Annotations " only in a BDF+ file; elsewhere such a label is kept as an ordinary
    // signal's, with '_' for its first space so that it is not mistaken for one later.
    for (int i = 0; i < ns; i++) {
        const unsigned char *label = signal_field(h, ns, label_start, label_width, i);
        store_text(signals[i].label, label, label_width);
        const bool edf_label = same_bytes(label, "EDF Annotations ", label_width);
        const bool bdf_label = same_bytes(label, "BDF Annotations ", label_width);
        if ((edf_label && r->is_edfplus) || (bdf_label && r->is_bdfplus)) {
            signals[i].is_annotation = 1;
            r->annotation_signal_indexes[r->annotation_signal_count++] = i;
        } else if (edf_label || bdf_label) {
            signals[i].label[3] = '_';
        } else if (!is_printable(label, label_width)) {
            if (int code = text_field(p, label, label_width, i, "label", signals[i].label,
                                      sizeof signals[i].label)) {
                return code;
            }
        }
    }
    if ((r->is_edfplus || r->is_bdfplus) && r->annotation_signal_count == 0) {
        // Some programs mark plain files as EDF+C or BDF+C.
        const unsigned char *reserved_bytes = h + reserved.offset;
        const char *kind = r->is_edfplus ? "EDF" : "BDF";
        if (int code = flaw(p, reserved_bytes, 5, -1, "reserved", EDF_ERR_FORMAT, repaired,
                            "An %s+ file needs an annotation signal and this one has none; it is "
                            "read as plain %s.",
                            kind, kind)) {
            return code;
        }
        r->is_edfplus = r->is_bdfplus = 0;
        r->is_discontinuous = 0;
        replace_field(p, reserved_bytes, reserved.width, "");
    }
    const bool plus = r->is_edfplus || r->is_bdfplus;
    // A record duration of 0 is allowed only when the records hold nothing but annotations.
    const bool annotations_only = plus && r->annotation_signal_count == ns;
    if (!annotations_only && r->datarecord_duration_s < min_record_duration) {
        return flaw(p, h + datarecord_duration.offset, datarecord_duration.width, -1,
                    "duration of a data record", EDF_ERR_FORMAT, fatal,
                    "The duration of a data record holding samples must be at least 100 ns.");
    }

    // The rules for annotation signals apply in EDF+ and BDF+ files, the only ones that have
    // them.
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, transducer_start, transducer_width, i);
        store_text(signals[i].transducer, field, transducer_width);
        if (signals[i].is_annotation && !is_blank(field, transducer_width)) {
            if (int code = blank_annotation_field(p, field, transducer_width, i, "transducer")) {
                return code;
            }
            store_text(signals[i].transducer, reinterpret_cast<const unsigned char *>(""), 0);
        } else if (!is_printable(field, transducer_width)) {
            if (int code = text_field(p, field, transducer_width, i, "transducer",
                                      signals[i].transducer, sizeof signals[i].transducer)) {
                return code;
            }
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, dimension_start, dimension_width, i);
        store_text(signals[i].physical_dimension, field, dimension_width);
        if (!is_printable(field, dimension_width)) {
            if (int code = text_field(p, field, dimension_width, i, "physical dimension",
                                      signals[i].physical_dimension,
                                      sizeof signals[i].physical_dimension)) {
                return code;
            }
        }
    }
    // Physical limits must be finite numbers a finite distance apart (an exponent form can
    // reach infinity), or no sample would have a finite physical value.
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, physical_min_start, physical_min_width, i);
        if (int code = number_field(p, field, physical_min_width, i, "physical minimum",
                                    &signals[i].physical_min)) {
            return code;
        }
        if (!std::isfinite(signals[i].physical_min)) {
            return flaw(p, field, physical_min_width, i, "physical minimum", EDF_ERR_FORMAT, fatal,
                        "The physical minimum is not finite.");
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, physical_max_start, physical_max_width, i);
        edf_signal_param &s = signals[i];
        if (int code = number_field(p, field, physical_max_width, i, "physical maximum",
                                    &s.physical_max)) {
            return code;
        }
        if (!std::isfinite(s.physical_max) || !std::isfinite(s.physical_max - s.physical_min)) {
            return flaw(p, field, physical_max_width, i, "physical maximum", EDF_ERR_FORMAT, fatal,
                        "The physical maximum is not finite, or not a finite distance from "
                        "the minimum.");
        }
        if (s.physical_max == s.physical_min) {
            if (int code = flaw(p, field, physical_max_width, i, "physical maximum", EDF_ERR_FORMAT,
                                repaired,
                                "The physical maximum equals the minimum; the signal is read "
                                "with physical values equal to the digital ones.")) {
                return code;
            }
        }
    }
    const int digital_lowest = r->is_edf ? -32768 : -8388608;
    const int digital_highest = r->is_edf ? 32767 : 8388607;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, digital_min_start, digital_min_width, i);
        int &value = signals[i].digital_min;
        if (int code = integer_field(p, field, digital_min_width, i, "digital minimum", &value)) {
            return code;
        }
        if (value < digital_lowest || value > digital_highest) {
            return flaw(p, field, digital_min_width, i, "digital minimum", EDF_ERR_FORMAT, fatal,
                        "The digital minimum lies outside the range of a %d-bit sample.",
                        r->is_edf ? 16 : 24);
        }
        if (signals[i].is_annotation && value != digital_lowest) {
            if (int code = annotation_limit(p, field, digital_min_width, i, "digital minimum",
                                            digital_lowest, &value)) {
                return code;
            }
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, digital_max_start, digital_max_width, i);
        edf_signal_param &s = signals[i];
        int &value = s.digital_max;
        if (int code = integer_field(p, field, digital_max_width, i, "digital maximum", &value)) {
            return code;
        }
        if (value < digital_lowest || value > digital_highest || value < s.digital_min) {
            return flaw(p, field, digital_max_width, i, "digital maximum", EDF_ERR_FORMAT, fatal,
                        "The digital maximum lies outside the range of a %d-bit sample or below "
                        "the minimum.",
                        r->is_edf ? 16 : 24);
        }
        if (s.is_annotation && value != digital_highest) {
            if (int code = annotation_limit(p, field, digital_max_width, i, "digital maximum",
                                            digital_highest, &value)) {
                return code;
            }
        }
        const bool equal_digital = value == s.digital_min;
        if (equal_digital) {
            if (int code = flaw(p, field, digital_max_width, i, "digital maximum", EDF_ERR_FORMAT,
                                repaired,
                                "The digital maximum equals the minimum; the signal is read "
                                "with physical values equal to the digital ones.")) {
                return code;
            }
            s.digital_min = digital_lowest;
            s.digital_max = digital_highest;
        }
        // Unit scale: physical = digital, over the whole digital range when that was empty.
        if (equal_digital || s.physical_max == s.physical_min) {
            s.physical_min = s.digital_min;
            s.physical_max = s.digital_max;
            char low[16];
            char high[16];
            std::snprintf(low, sizeof low, "%d", s.digital_min);
            std::snprintf(high, sizeof high, "%d", s.digital_max);
            replace_field(p, signal_field(h, ns, physical_min_start, physical_min_width, i),
                          physical_min_width, low);
            replace_field(p, signal_field(h, ns, physical_max_start, physical_max_width, i),
                          physical_max_width, high);
            replace_field(p, signal_field(h, ns, digital_min_start, digital_min_width, i),
                          digital_min_width, low);
            replace_field(p, field, digital_max_width, high);
        }
    }
    // Limits that are finite and apart can still make a conversion that is not: a physical
    // range of 4.9E-324 over 65535 steps gives a bit value of 0 and an infinite offset, and
    // every sample would read as NaN.
    for (int i = 0; i < ns; i++) {
        if (!derive_conversion(&signals[i])) {
            return flaw(p, signal_field(h, ns, physical_max_start, physical_max_width, i),
                        physical_max_width, i, "physical maximum", EDF_ERR_FORMAT, fatal,
                        "The physical and digital limits give a conversion that is not "
                        "finite.");
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, prefilter_start, prefilter_width, i);
        store_text(signals[i].prefilter, field, prefilter_width);
        if (signals[i].is_annotation && !is_blank(field, prefilter_width)) {
            if (int code = blank_annotation_field(p, field, prefilter_width, i, "prefiltering")) {
                return code;
            }
            store_text(signals[i].prefilter, reinterpret_cast<const unsigned char *>(""), 0);
        } else if (!is_printable(field, prefilter_width)) {
            if (int code = text_field(p, field, prefilter_width, i, "prefiltering",
                                      signals[i].prefilter, sizeof signals[i].prefilter)) {
                return code;
            }
        }
    }
    int64_t samples = 0;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, samples_start, samples_width, i);
        if (int code = integer_field(p, field, samples_width, i, "number of samples",
                                     &signals[i].samples_per_record)) {
            return code;
        }
        if (signals[i].samples_per_record < 1) {
            return flaw(p, field, samples_width, i, "number of samples", EDF_ERR_FORMAT, fatal,
                        "The number of samples in each data record must be positive.");
        }
        samples += signals[i].samples_per_record;
        if (samples > max_samples_per_record) {
            return flaw(p, field, samples_width, i, "number of samples", EDF_ERR_FORMAT, fatal,
                        "A data record would hold more than %" PRId64 " samples.",
                        max_samples_per_record);
        }
    }
    // Plain BDF files are known to carry text in the signals' reserved fields.
    const bool free_reserved = r->is_bdf && !r->is_bdfplus;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field =
            signal_field(h, ns, signal_reserved_start, signal_reserved_width, i);
        if (free_reserved ? !is_printable(field, signal_reserved_width)
                          : !is_blank(field, signal_reserved_width)) {
            if (int code = flaw(p, field, signal_reserved_width, i, "signal reserved",
                                EDF_ERR_FORMAT, repaired,
                                "The reserved field of a signal must be blank; it is ignored.")) {
                return code;
            }
            replace_field(p, field, signal_reserved_width, "");
        }
    }
    const int bytes_per_sample = r->is_edf ? 2 : 3;
    r->record_size = static_cast<int>(samples) * bytes_per_sample;

    if (plus) {
        if (!edf_parse_patient_field(r->patient_field, r)) {
            const unsigned char *field = h + patient.offset;
            if (int code = flaw(p, field, patient.width, -1, "patient identification",
                                EDF_ERR_FORMAT, repaired,
                                "The patient identification does not follow the EDF+ subfields "
                                "(code, sex, birthdate, name); it is kept whole.")) {
                return code;
            }
            r->patient_whole = 1;
            char ascii[81];
            edf_text_to_ascii(ascii, patient.width, r->patient_field, patient.width);
            char text[EDF_TEXT_BUFFER_SIZE];
            std::snprintf(text, sizeof text, "X X X X %.72s", ascii);
            replace_field(p, field, patient.width, text);
        }
        if (!edf_parse_recording_field(r->recording_field, p.start_date_text, r)) {
            const unsigned char *field = h + recording.offset;
            if (int code = flaw(p, field, recording.width, -1, "recording identification",
                                EDF_ERR_FORMAT, repaired,
                                "The recording identification does not follow the EDF+ "
                                "subfields (Startdate, date, code, technician, equipment); it "
                                "is kept whole.")) {
                return code;
            }
            r->recording_whole = 1;
            char ascii[81];
            edf_text_to_ascii(ascii, recording.width, r->recording_field, recording.width);
            char text[EDF_TEXT_BUFFER_SIZE];
            std::snprintf(text, sizeof text, "Startdate X X X X %.62s", ascii);
            replace_field(p, field, recording.width, text);
        }
    }
    // Identification texts outside printable ASCII are handed out as UTF-8, read as the
    // whole field was: the field itself, or its subfields.
    if (r->patient_encoding != 0) {
        const auto encoding = static_cast<edf_text_encoding>(r->patient_encoding);
        edf_header_text_to_utf8(r->patient_field, patient.width, sizeof r->patient_field, encoding);
        for (char *text : {r->patient_code, r->patient_name, r->patient_additional}) {
            edf_header_text_to_utf8(text, static_cast<int>(std::strlen(text)), 81, encoding);
        }
    }
    if (r->recording_encoding != 0) {
        const auto encoding = static_cast<edf_text_encoding>(r->recording_encoding);
        edf_header_text_to_utf8(r->recording_field, recording.width, sizeof r->recording_field,
                                encoding);
        for (char *text : {r->admin_code, r->technician, r->equipment, r->recording_additional}) {
            edf_header_text_to_utf8(text, static_cast<int>(std::strlen(text)), 81, encoding);
        }
    }
    return 0;
}

// The file must hold the header and exactly datarecord_count records. Under the tolerant
// policy the complete records are read: the count follows the file size, and an incomplete
// last record is left out.
int check_file_size(pass &p, FILE *stream) {
    edf_recording *r = p.r;
    const unsigned char *count_field = p.h + datarecord_count.offset;
    if (fseeko(stream, 0, SEEK_END) != 0) {
        return flaw(p, count_field, 0, -1, "file", EDF_ERR_FORMAT, fatal,
                    "The file's size cannot be learned.");
    }
    const off_t end = ftello(stream);
    const int64_t size = end >= 0 ? static_cast<int64_t>(end) : -1;
    const int64_t header = r->header_size;
    const int64_t record = r->record_size;
    if (r->datarecord_count >= 1 && size == header + record * r->datarecord_count) {
        return 0;
    }
    if (p.header_only && size == header) {
        // A recording of no records is not one that the format describes, and the strict open
        // refuses it; the tolerant open reads it as what it is.
        const edf_problem_place place{header, -1, -1, "data records"};
        if (!edf_report(p.sink, place, EDF_ERR_FORMAT, repaired, count_field,
                        datarecord_count.width,
                        "The file holds the header alone, with a record count of 0 (what a "
                        "writer closed before its first sample leaves); it is read as an empty "
                        "recording.")) {
            return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_FORMAT;
        }
        r->datarecord_count = 0;
        return 0;
    }
    const int64_t complete = size > header ? (size - header) / record : 0;
    const int64_t partial = size > header ? (size - header) % record : 0;
    if (complete == 0) {
        const edf_problem_place place{header, -1, 0, "data records"};
        if (!edf_report(p.sink, place, EDF_ERR_FORMAT, fatal, "", 0,
                        "The file holds no complete data record (%" PRId64 " bytes after the "
                        "header, %" PRId64 " per record).",
                        size > header ? size - header : 0, record)) {
            return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_FORMAT;
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
        const edf_problem_place place{header + complete * record, -1, complete,
                                      "incomplete data record"};
        if (!edf_report(p.sink, place, EDF_ERR_FORMAT, repaired, "", 0,
                        "The file ends %" PRId64 " bytes into data record %" PRId64
                        ", which is incomplete; those bytes are ignored.",
                        partial, complete)) {
            return p.sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_FORMAT;
        }
    }
    const int64_t ticks = r->datarecord_duration_ticks;
    if (ticks > 0 && complete > INT64_MAX / ticks) {
        return flaw(p, p.h + datarecord_duration.offset, datarecord_duration.width, -1,
                    "duration of a data record", EDF_ERR_FORMAT, fatal,
                    "The recording's length in 100 ns ticks does not fit 64 bits.");
    }
    r->datarecord_count = complete;
    char text[24];
    std::snprintf(text, sizeof text, "%" PRId64, complete);
    replace_field(p, count_field, datarecord_count.width, text);
    return 0;
}

// Each signal's place in a data record.
void derive_signal_values(edf_recording *r) {
    const int bytes_per_sample = r->is_edf ? 2 : 3;
    int position = 0;
    for (int i = 0; i < r->signal_count; i++) {
        edf_signal_param &s = r->signals[i];
        s.buffer_offset = position;
        position += s.samples_per_record * bytes_per_sample;
    }
}

// A header that ends before its declared size: fatal, nothing can be located.
int short_header(edf_problem_sink *sink, int64_t declared) {
    const edf_problem_place place{-1, -1, -1, "header"};
    edf_report(sink, place, EDF_ERR_READ, fatal, "", 0,
               "The file ends inside its header of %" PRId64 " bytes.", declared);
    return sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_READ;
}

} // namespace

edf_recording *edf_check_file_header(FILE *stream, int *error, edf_problem_sink *sink) {
    edf_problem_sink strict_sink;
    if (sink == nullptr) {
        sink = &strict_sink;
    }
    allocations held;
    held.buffer = static_cast<unsigned char *>(std::malloc(fixed_header_size));
    held.recording = static_cast<edf_recording *>(std::calloc(1, sizeof(edf_recording)));
    if (held.buffer == nullptr || held.recording == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    edf_recording *r = held.recording;

    std::rewind(stream);
    if (std::fread(held.buffer, 1, fixed_header_size, stream) != fixed_header_size) {
        return held.fail(short_header(sink, fixed_header_size), error);
    }
    pass p{sink, r, held.buffer, {}, -1, false};
    if (fseeko(stream, 0, SEEK_END) == 0) {
        const off_t end = ftello(stream);
        p.file_size = end >= 0 ? static_cast<int64_t>(end) : -1;
    }
    int code = check_fixed_part(p);
    if (code != 0) {
        return held.fail(code, error);
    }

    r->header_size = signal_header_size * (r->signal_count + 1);
    std::free(held.buffer);
    held.buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(r->header_size)));
    if (held.buffer == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    std::rewind(stream);
    if (std::fread(held.buffer, 1, static_cast<size_t>(r->header_size), stream) !=
        static_cast<size_t>(r->header_size)) {
        return held.fail(short_header(sink, r->header_size), error);
    }
    r->signals = static_cast<edf_signal_param *>(
        std::calloc(static_cast<size_t>(r->signal_count), sizeof(edf_signal_param)));
    if (r->signals == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }

    p.h = held.buffer;
    code = check_signal_part(p);
    if (code == 0) {
        code = check_file_size(p, stream);
    }
    if (code != 0) {
        return held.fail(code, error);
    }
    derive_signal_values(r);

    r->file = stream;
    std::free(held.buffer);
    return r;
}

// Discontinuous files (EDF+D, BDF+D) conform to the format, but the strict open refuses them:
// the check lists them as conforming, and the tolerant open reads them with their true time
// axis, each record's start taken from its time-keeping annotation by the annotation pass,
// which also builds the segment map.
int edf_check_discontinuity(const edf_recording *r, edf_problem_sink *sink) {
    if (!r->is_discontinuous) {
        return 0;
    }
    const edf_problem_place place{edf_layout::reserved.offset, -1, -1, "reserved"};
    if (edf_report(sink, place, EDF_ERR_DISCONTINUOUS, EDF_PROBLEM_CONFORMS,
                   r->is_edfplus ? "EDF+D" : "BDF+D", 5,
                   "The file is discontinuous (its records may leave gaps), as the format "
                   "allows; the tolerant open reads it with each record's own start time.")) {
        return 0;
    }
    return sink->out_of_memory ? EDF_ERR_NO_MEMORY : EDF_ERR_DISCONTINUOUS;
}
