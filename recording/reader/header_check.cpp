// The reader's gatekeeper. The header is read twice: the fixed 256 bytes first, to learn the
// number of signals, then the whole header in one piece. Every field is checked before it is
// parsed; numeric fields are copied into a small NUL-terminated scratch buffer so that the
// validators and parsers see exactly the field's bytes and nothing beyond them.
#include "recording/reader/header_check.h"

#include "recording/core/header_layout.h"
#include "recording/core/text_parse.h"
#include "recording/reader/identification.h"

#include <sys/types.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

// Stage 1: the fixed part of the header, bytes 0 to 255. Returns 0 or an error code.
int check_fixed_part(const unsigned char *h, edf_recording *r) {
    // Version.
    if (h[0] == 0xFF) {
        if (!is_printable(h + 1, 7) || !same_bytes(h + 1, "BIOSEMI", 7)) {
            return EDF_ERR_FORMAT;
        }
        r->is_bdf = 1;
    } else if (same_bytes(h, "0       ", version.width)) {
        r->is_edf = 1;
    } else {
        return EDF_ERR_FORMAT;
    }

    // Identification fields: only printable here; their grammar is checked once the signal
    // header has been accepted.
    if (!is_printable(h + patient.offset, patient.width) ||
        !is_printable(h + recording.offset, recording.width)) {
        return EDF_ERR_FORMAT;
    }
    store_text(r->patient_field, h + patient.offset, patient.width);
    store_text(r->recording_field, h + recording.offset, recording.width);

    // Start date: no check of the day against the month; years 85-99 are 1985-1999 and
    // 00-84 are 2000-2084.
    int date[3];
    if (!read_dotted_triple(h + start_date.offset, date) || date[0] < 1 || date[0] > 31 ||
        date[1] < 1 || date[1] > 12) {
        return EDF_ERR_FORMAT;
    }
    r->start_day = date[0];
    r->start_month = date[1];
    r->start_year = date[2] + (date[2] < first_year % 100 ? 2000 : 1900);

    int time[3];
    if (!read_dotted_triple(h + start_time.offset, time) || time[0] > 23 || time[1] > 59 ||
        time[2] > 59) {
        return EDF_ERR_FORMAT;
    }
    r->start_hour = time[0];
    r->start_minute = time[1];
    r->start_second = time[2];

    int signals;
    if (!read_integer(h + signal_count.offset, signal_count.width, &signals) || signals < 1 ||
        signals > EDF_MAX_SIGNALS) {
        return EDF_ERR_FORMAT;
    }
    r->signal_count = signals;

    int header_bytes_value;
    if (!read_integer(h + header_bytes.offset, header_bytes.width, &header_bytes_value) ||
        header_bytes_value != signal_header_size * (signals + 1)) {
        return EDF_ERR_FORMAT;
    }

    // Reserved: EDF files are plain (all spaces) or EDF+, continuous or not; a BDF file is
    // BDF+ only when it says so, and any other printable text (such as '24BIT') leaves it
    // plain.
    const unsigned char *reserved_bytes = h + reserved.offset;
    if (!is_printable(reserved_bytes, reserved.width)) {
        return EDF_ERR_FORMAT;
    }
    const bool plus_tail = is_blank(reserved_bytes + 5, reserved.width - 5);
    const char *plus_c = r->is_edf ? "EDF+C" : "BDF+C";
    const char *plus_d = r->is_edf ? "EDF+D" : "BDF+D";
    const bool is_plus_c = plus_tail && same_bytes(reserved_bytes, plus_c, 5);
    const bool is_plus_d = plus_tail && same_bytes(reserved_bytes, plus_d, 5);
    if (is_plus_c || is_plus_d) {
        (r->is_edf ? r->is_edfplus : r->is_bdfplus) = 1;
        r->is_discontinuous = is_plus_d ? 1 : 0;
    } else if (r->is_edf && !is_blank(reserved_bytes, reserved.width)) {
        return EDF_ERR_FORMAT;
    }

    // Number of data records: "-1" marks a recording that was never finished.
    int records;
    if (!read_integer(h + datarecord_count.offset, datarecord_count.width, &records) ||
        records < 1) {
        return EDF_ERR_FORMAT;
    }
    r->datarecord_count = records;

    double seconds;
    if (!read_number(h + datarecord_duration.offset, datarecord_duration.width, &seconds) ||
        seconds < negative_duration_tolerance) {
        return EDF_ERR_FORMAT;
    }
    r->datarecord_duration_s = seconds;
    scratch duration(h + datarecord_duration.offset, datarecord_duration.width);
    const int64_t ticks = edf_field_to_ticks(duration.text);
    // A duration beyond the 64-bit tick range (possible only in exponent form), or a
    // recording whose total length is, cannot be timed: every time the reader hands out is
    // a tick count.
    if (ticks < 0 || (ticks > 0 && r->datarecord_count > INT64_MAX / ticks)) {
        return EDF_ERR_FORMAT;
    }
    r->datarecord_duration_ticks = ticks;
    return 0;
}

// A signal's digital-to-physical conversion, physical = (digital + offset) * bit_value;
// false when it is not finite.
bool derive_conversion(edf_signal_param *s) {
    s->bit_value =
        (s->physical_max - s->physical_min) / static_cast<double>(s->digital_max - s->digital_min);
    s->offset = s->physical_max / s->bit_value - s->digital_max;
    return std::isfinite(s->bit_value) && s->bit_value != 0.0 && std::isfinite(s->offset);
}

// Start of field `field_start` (in bytes per signal) of signal i, among ns signals.
const unsigned char *signal_field(const unsigned char *h, int ns, int field_start, int width,
                                  int i) {
    return h + fixed_header_size + static_cast<size_t>(ns) * static_cast<size_t>(field_start) +
           static_cast<size_t>(i) * static_cast<size_t>(width);
}

// Stage 2: the signal part. Every check runs over all signals before the next field is
// looked at. Returns 0 or an error code.
int check_signal_part(const unsigned char *h, edf_recording *r) {
    const int ns = r->signal_count;
    const bool plus = r->is_edfplus || r->is_bdfplus;
    edf_signal_param *signals = r->signals;

    // Labels. "EDF Annotations " marks an annotation signal only in an EDF+ file, and
    // "BDF Annotations " only in a BDF+ file; elsewhere such a label is kept as an ordinary
    // signal's, with '_' for its first space so that it is not mistaken for one later.
    for (int i = 0; i < ns; i++) {
        const unsigned char *label = signal_field(h, ns, label_start, label_width, i);
        if (!is_printable(label, label_width)) {
            return EDF_ERR_FORMAT;
        }
        store_text(signals[i].label, label, label_width);
        const bool edf_label = same_bytes(label, "EDF Annotations ", label_width);
        const bool bdf_label = same_bytes(label, "BDF Annotations ", label_width);
        if ((edf_label && r->is_edfplus) || (bdf_label && r->is_bdfplus)) {
            signals[i].is_annotation = 1;
            r->annotation_signal_indexes[r->annotation_signal_count++] = i;
        } else if (edf_label || bdf_label) {
            signals[i].label[3] = '_';
        }
    }
    if (plus && r->annotation_signal_count == 0) {
        return EDF_ERR_FORMAT;
    }
    // A record duration of 0 is allowed only when the records hold nothing but annotations.
    const bool annotations_only = plus && r->annotation_signal_count == ns;
    if (!annotations_only && r->datarecord_duration_s < min_record_duration) {
        return EDF_ERR_FORMAT;
    }

    // The rules for annotation signals apply in EDF+ and BDF+ files, the only ones that have
    // them.
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, transducer_start, transducer_width, i);
        if (!is_printable(field, transducer_width) ||
            (signals[i].is_annotation && !is_blank(field, transducer_width))) {
            return EDF_ERR_FORMAT;
        }
        store_text(signals[i].transducer, field, transducer_width);
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, dimension_start, dimension_width, i);
        if (!is_printable(field, dimension_width)) {
            return EDF_ERR_FORMAT;
        }
        store_text(signals[i].physical_dimension, field, dimension_width);
    }
    // Physical limits must be finite numbers a finite distance apart (an exponent form can
    // reach infinity), or no sample would have a finite physical value.
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, physical_min_start, physical_min_width, i);
        if (!read_number(field, physical_min_width, &signals[i].physical_min) ||
            !std::isfinite(signals[i].physical_min)) {
            return EDF_ERR_FORMAT;
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, physical_max_start, physical_max_width, i);
        edf_signal_param &s = signals[i];
        if (!read_number(field, physical_max_width, &s.physical_max) ||
            !std::isfinite(s.physical_max) || s.physical_max == s.physical_min ||
            !std::isfinite(s.physical_max - s.physical_min)) {
            return EDF_ERR_FORMAT;
        }
    }
    const int digital_lowest = r->is_edf ? -32768 : -8388608;
    const int digital_highest = r->is_edf ? 32767 : 8388607;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, digital_min_start, digital_min_width, i);
        int &value = signals[i].digital_min;
        if (!read_integer(field, digital_min_width, &value) || value < digital_lowest ||
            value > digital_highest || (signals[i].is_annotation && value != digital_lowest)) {
            return EDF_ERR_FORMAT;
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, digital_max_start, digital_max_width, i);
        int &value = signals[i].digital_max;
        if (!read_integer(field, digital_max_width, &value) || value < digital_lowest ||
            value > digital_highest || (signals[i].is_annotation && value != digital_highest) ||
            value <= signals[i].digital_min) {
            return EDF_ERR_FORMAT;
        }
    }
    // Limits that are finite and apart can still make a conversion that is not: a physical
    // range of 4.9E-324 over 65535 steps gives a bit value of 0 and an infinite offset, and
    // every sample would read as NaN.
    for (int i = 0; i < ns; i++) {
        if (!derive_conversion(&signals[i])) {
            return EDF_ERR_FORMAT;
        }
    }
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, prefilter_start, prefilter_width, i);
        if (!is_printable(field, prefilter_width) ||
            (signals[i].is_annotation && !is_blank(field, prefilter_width))) {
            return EDF_ERR_FORMAT;
        }
        store_text(signals[i].prefilter, field, prefilter_width);
    }
    int64_t samples = 0;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field = signal_field(h, ns, samples_start, samples_width, i);
        if (!read_integer(field, samples_width, &signals[i].samples_per_record) ||
            signals[i].samples_per_record < 1) {
            return EDF_ERR_FORMAT;
        }
        samples += signals[i].samples_per_record;
    }
    if (samples > max_samples_per_record) {
        return EDF_ERR_FORMAT;
    }
    // Plain BDF files are known to carry text in the signals' reserved fields.
    const bool free_reserved = r->is_bdf && !r->is_bdfplus;
    for (int i = 0; i < ns; i++) {
        const unsigned char *field =
            signal_field(h, ns, signal_reserved_start, signal_reserved_width, i);
        if (free_reserved ? !is_printable(field, signal_reserved_width)
                          : !is_blank(field, signal_reserved_width)) {
            return EDF_ERR_FORMAT;
        }
    }
    const int bytes_per_sample = r->is_edf ? 2 : 3;
    r->record_size = static_cast<int>(samples) * bytes_per_sample;

    if (plus) {
        if (!edf_parse_patient_field(r->patient_field, r) ||
            !edf_parse_recording_field(r->recording_field,
                                       reinterpret_cast<const char *>(h + start_date.offset), r)) {
            return EDF_ERR_FORMAT;
        }
    }
    return 0;
}

// The file must hold the header and exactly datarecord_count records: a truncated recording
// or trailing bytes are refused.
int check_file_size(FILE *stream, const edf_recording *r) {
    if (fseeko(stream, 0, SEEK_END) != 0) {
        return EDF_ERR_FORMAT;
    }
    const off_t size = ftello(stream);
    const int64_t expected = static_cast<int64_t>(r->header_size) +
                             static_cast<int64_t>(r->record_size) * r->datarecord_count;
    return size >= 0 && static_cast<int64_t>(size) == expected ? 0 : EDF_ERR_FORMAT;
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

} // namespace

edf_recording *edf_check_file_header(FILE *stream, int *error) {
    allocations held;
    held.buffer = static_cast<unsigned char *>(std::malloc(fixed_header_size));
    held.recording = static_cast<edf_recording *>(std::calloc(1, sizeof(edf_recording)));
    if (held.buffer == nullptr || held.recording == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }
    edf_recording *r = held.recording;

    std::rewind(stream);
    if (std::fread(held.buffer, 1, fixed_header_size, stream) != fixed_header_size) {
        return held.fail(EDF_ERR_READ, error);
    }
    int code = check_fixed_part(held.buffer, r);
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
        return held.fail(EDF_ERR_READ, error);
    }
    r->signals = static_cast<edf_signal_param *>(
        std::calloc(static_cast<size_t>(r->signal_count), sizeof(edf_signal_param)));
    if (r->signals == nullptr) {
        return held.fail(EDF_ERR_NO_MEMORY, error);
    }

    code = check_signal_part(held.buffer, r);
    if (code == 0) {
        code = check_file_size(stream, r);
    }
    if (code != 0) {
        return held.fail(code, error);
    }
    derive_signal_values(r);

    r->file = stream;
    std::free(held.buffer);
    return r;
}
