#include "recording/writer/header_writer.h"

#include "recording/core/annotation_block.h"
#include "recording/core/header_layout.h"
#include "recording/core/text_format.h"
#include "recording/core/text_parse.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

using namespace edf_layout;

void put_padded(FILE *stream, const char *text, int length, int width) {
    std::fwrite(text, 1, static_cast<size_t>(length), stream);
    for (int i = length; i < width; i++) {
        std::fputc(' ', stream);
    }
}

void put_text(FILE *stream, const char *text, int width) {
    put_padded(stream, text, static_cast<int>(std::strlen(text)), width);
}

void put_int(FILE *stream, int32_t value, int width) {
    const int written = edf_fprint_int(stream, value, 1);
    for (int i = written; i < width; i++) {
        std::fputc(' ', stream);
    }
}

void put_two_digits(FILE *stream, int value) {
    std::fputc('0' + value / 10 % 10, stream);
    std::fputc('0' + value % 10, stream);
}

// Appends to a field under construction, never past its capacity.
struct field_builder {
    char text[96];
    int length = 0;
    void add(const char *s, int n) {
        for (int i = 0; i < n && length < 80; i++) {
            text[length++] = s[i];
        }
    }
    void add(const char *s) {
        add(s, static_cast<int>(std::strlen(s)));
    }
};

void add_subfield(field_builder &field, const char *source, int room, bool underscores) {
    char work[EDF_TEXT_BUFFER_SIZE];
    const int length = edf_make_subfield(work, source, room, underscores);
    field.add(work, length);
}

int shrink(int room, const char *text) {
    const int left = room - static_cast<int>(std::strlen(text));
    return left > 0 ? left : 0;
}

void build_patient_field(const edf_recording *r, field_builder &field) {
    int room = r->birthdate_text[0] != '\0' ? 62 : 72;
    if (r->patient_code[0] == '\0') {
        field.add("X ");
    } else {
        add_subfield(field, r->patient_code, room, true);
        field.add(" ");
        room = shrink(room, r->patient_code);
    }
    field.add(r->sex_text[0] == 'M' ? "M " : r->sex_text[0] == 'F' ? "F " : "X ");
    if (r->birthdate_text[0] == '\0') {
        field.add("X ");
    } else {
        // Stored as dd.mm.yyyy by the setter; written as dd-MMM-yyyy.
        const int month = edf_atoi(r->birthdate_text + 3);
        field.add(r->birthdate_text, 2);
        field.add("-");
        field.add(month_names[(month >= 1 && month <= 12 ? month : 1) - 1]);
        field.add("-");
        field.add(r->birthdate_text + 6, 4);
        field.add(" ");
    }
    if (r->patient_name[0] != '\0' && room > 0) {
        add_subfield(field, r->patient_name, room, true);
        room = shrink(room, r->patient_name);
    } else {
        field.add("X");
    }
    if (room > 0) {
        field.add(" ");
        room--;
    }
    if (r->patient_additional[0] != '\0' && room > 0) {
        add_subfield(field, r->patient_additional, room, false);
    }
}

void build_recording_field(const edf_recording *r, field_builder &field) {
    char date[32];
    std::snprintf(date, sizeof date, "Startdate %02d-%s-%04d ", r->start_day % 100,
                  month_names[r->start_month - 1], r->start_year % 10000);
    field.add(date);
    int room = 52;
    if (r->admin_code[0] == '\0') {
        field.add("X ");
    } else {
        add_subfield(field, r->admin_code, room, true);
        field.add(" ");
        room = shrink(room, r->admin_code);
    }
    for (const char *text : {r->technician, r->equipment}) {
        if (text[0] != '\0' && room > 0) {
            add_subfield(field, text, room, true);
            field.add(" ");
            room = shrink(room, text);
        } else {
            field.add("X ");
        }
    }
    if (r->recording_additional[0] != '\0' && room > 0) {
        add_subfield(field, r->recording_additional, room, false);
    }
}

// Takes the local date and time as the start of a recording whose start was never set.
void take_local_time(edf_recording *r) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        local.tm_year = 85;
        local.tm_mon = 0;
        local.tm_mday = 1;
    }
    r->start_year = local.tm_year + 1900;
    r->start_month = local.tm_mon + 1;
    r->start_day = local.tm_mday;
    r->start_hour = local.tm_hour;
    r->start_minute = local.tm_min;
    r->start_second = local.tm_sec % 60;
}

// The record-duration field from the tick count, with integer arithmetic: whole seconds,
// then the seven-digit tick fraction without its trailing zeros. This is the decimal text of
// the duration in seconds, free of the rounding of a floating-point detour.
void put_duration(FILE *stream, int64_t ticks) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "%lld",
                          static_cast<long long>(ticks / EDF_TIME_DIMENSION));
    int64_t fraction = ticks % EDF_TIME_DIMENSION;
    if (fraction != 0) {
        text[n++] = '.';
        for (int64_t place = EDF_TIME_DIMENSION / 10; place > 0 && fraction != 0; place /= 10) {
            text[n++] = static_cast<char>('0' + fraction / place);
            fraction %= place;
        }
        text[n] = '\0';
    }
    put_padded(stream, text, n < 8 ? n : 8, 8);
}

// One signal-header field for every signal in file order: the ordinary signals with the
// annotation signals inserted where annotation_position puts them.
template <typename Ordinary, typename Annotation>
void put_signal_field(const edf_recording *r, Ordinary ordinary, Annotation annotation) {
    const int insert_at = edf_annotation_insert_index(r);
    for (int i = 0; i <= r->signal_count; i++) {
        if (i == insert_at) {
            for (int k = 0; k < r->annotation_signal_count; k++) {
                annotation();
            }
        }
        if (i < r->signal_count) {
            ordinary(r->signals[i]);
        }
    }
}

} // namespace

bool edf_physical_value_field(double value, char field[9]) {
    // Within these bounds the integer part, sign included, takes at most eight characters;
    // beyond them the cut would drop digits of the magnitude.
    if (!std::isfinite(value) || value >= 100000000.0 || value <= -10000000.0) {
        return false;
    }
    char text[EDF_TEXT_BUFFER_SIZE];
    int length = edf_double_to_text(text, value);
    if (length > 8) {
        length = 8;
    }
    std::memcpy(field, text, static_cast<size_t>(length));
    std::memset(field + length, ' ', static_cast<size_t>(8 - length));
    field[8] = '\0';
    return true;
}

int edf_write_header(edf_recording *r) {
    FILE *stream = r->file;
    const int n = r->signal_count;
    if (n < 0) {
        return EDF_ERR_NEGATIVE_SIGNAL_COUNT;
    }
    // Readers take at most 4096 signals, annotation signals included.
    if (n > EDF_MAX_SIGNALS || n + r->annotation_signal_count > EDF_MAX_SIGNALS) {
        return EDF_ERR_TOO_MANY_SIGNALS;
    }
    r->annotation_block_size = annotation_signal_bytes * r->annotation_signal_count;

    int64_t samples = 0;
    for (int i = 0; i < n; i++) {
        const edf_signal_param &s = r->signals[i];
        if (s.samples_per_record < 1) {
            return EDF_ERR_SAMPLES_PER_RECORD;
        }
        if (s.digital_min == s.digital_max) {
            return EDF_ERR_DIGMIN_IS_DIGMAX;
        }
        if (s.digital_max < s.digital_min) {
            return EDF_ERR_DIGMAX_BELOW_DIGMIN;
        }
        if (s.physical_max == s.physical_min) {
            return EDF_ERR_PHYSMIN_IS_PHYSMAX;
        }
        // The limits must survive their eight-character fields, and stay distinct when a
        // reader parses them back, or the file would be written wrong or refused.
        char min_field[9];
        char max_field[9];
        if (!edf_physical_value_field(s.physical_min, min_field) ||
            !edf_physical_value_field(s.physical_max, max_field) ||
            edf_atof(min_field) == edf_atof(max_field)) {
            return EDF_ERR_PHYSICAL_VALUE_TEXT;
        }
        samples += s.samples_per_record;
    }
    const int bytes_per_sample = r->is_edf ? 2 : 3;
    const int64_t record_size = r->annotation_block_size + samples * bytes_per_sample;
    if (record_size > (r->is_edf ? edf_max_record_size : bdf_max_record_size)) {
        return EDF_ERR_RECORD_TOO_LARGE;
    }
    r->record_size = static_cast<int>(record_size);
    for (int i = 0; i < n; i++) {
        edf_signal_param &s = r->signals[i];
        // The conversion uses the limits as the header states them (the values their
        // eight-character texts read back as), which is what every reader computes with: a
        // limit whose text is cut (123456.789 is written 123456.7) would otherwise shift every
        // sample by many digital steps. Limits written exactly keep their value.
        char min_field[9];
        char max_field[9];
        edf_physical_value_field(s.physical_min, min_field);
        edf_physical_value_field(s.physical_max, max_field);
        const double physical_min = edf_atof(min_field);
        const double physical_max = edf_atof(max_field);
        s.bit_value =
            (physical_max - physical_min) / static_cast<double>(s.digital_max - s.digital_min);
        s.offset = physical_max / s.bit_value - s.digital_max;
        edf_latin1_to_ascii(s.label, static_cast<int>(std::strlen(s.label)));
        edf_latin1_to_ascii(s.transducer, static_cast<int>(std::strlen(s.transducer)));
        edf_latin1_to_ascii(s.physical_dimension,
                            static_cast<int>(std::strlen(s.physical_dimension)));
        edf_latin1_to_ascii(s.prefilter, static_cast<int>(std::strlen(s.prefilter)));
    }

    // Fixed part. An error left on the stream by an earlier failed write must not be taken
    // for a failure of this one.
    std::rewind(stream);
    std::clearerr(stream);
    if (r->is_edf) {
        std::fputs("0       ", stream);
    } else {
        std::fputc(0xFF, stream);
        std::fputs("BIOSEMI", stream);
    }
    field_builder patient;
    build_patient_field(r, patient);
    put_padded(stream, patient.text, patient.length, 80);
    if (r->start_year == 0) {
        take_local_time(r);
    }
    field_builder recording_field;
    build_recording_field(r, recording_field);
    put_padded(stream, recording_field.text, recording_field.length, 80);
    put_two_digits(stream, r->start_day);
    std::fputc('.', stream);
    put_two_digits(stream, r->start_month);
    std::fputc('.', stream);
    put_two_digits(stream, r->start_year % 100);
    put_two_digits(stream, r->start_hour);
    std::fputc('.', stream);
    put_two_digits(stream, r->start_minute);
    std::fputc('.', stream);
    put_two_digits(stream, r->start_second);
    const int total_signals = n + r->annotation_signal_count;
    put_int(stream, signal_header_size * (total_signals + 1), header_bytes.width);
    put_text(stream,
             r->is_discontinuous ? (r->is_edf ? "EDF+D" : "BDF+D")
                                 : (r->is_edf ? "EDF+C" : "BDF+C"),
             reserved.width);
    put_text(stream, "-1", datarecord_count.width);
    if (r->datarecord_duration_ticks == EDF_TIME_DIMENSION) {
        put_text(stream, "1", datarecord_duration.width);
    } else {
        put_duration(stream, r->datarecord_duration_ticks);
    }
    put_int(stream, total_signals, signal_count.width);

    // Signal part, field by field.
    const char *annotation_label = r->is_edf ? "EDF Annotations " : "BDF Annotations ";
    const int annotation_digital_min = r->is_edf ? -32768 : -8388608;
    const int annotation_digital_max = r->is_edf ? 32767 : 8388607;
    const int annotation_samples = r->is_edf ? edf_annotation_samples : bdf_annotation_samples;
    auto blank = [stream](int width) { put_text(stream, "", width); };

    put_signal_field(
        r, [&](const edf_signal_param &s) { put_text(stream, s.label, label_width); },
        [&] { put_text(stream, annotation_label, label_width); });
    put_signal_field(
        r, [&](const edf_signal_param &s) { put_text(stream, s.transducer, transducer_width); },
        [&] { blank(transducer_width); });
    put_signal_field(
        r,
        [&](const edf_signal_param &s) { put_text(stream, s.physical_dimension, dimension_width); },
        [&] { blank(dimension_width); });
    char field[9];
    put_signal_field(
        r,
        [&](const edf_signal_param &s) {
            edf_physical_value_field(s.physical_min, field);
            put_text(stream, field, physical_min_width);
        },
        [&] { put_text(stream, "-1", physical_min_width); });
    put_signal_field(
        r,
        [&](const edf_signal_param &s) {
            edf_physical_value_field(s.physical_max, field);
            put_text(stream, field, physical_max_width);
        },
        [&] { put_text(stream, "1", physical_max_width); });
    put_signal_field(
        r, [&](const edf_signal_param &s) { put_int(stream, s.digital_min, digital_min_width); },
        [&] { put_int(stream, annotation_digital_min, digital_min_width); });
    put_signal_field(
        r, [&](const edf_signal_param &s) { put_int(stream, s.digital_max, digital_max_width); },
        [&] { put_int(stream, annotation_digital_max, digital_max_width); });
    put_signal_field(
        r, [&](const edf_signal_param &s) { put_text(stream, s.prefilter, prefilter_width); },
        [&] { blank(prefilter_width); });
    put_signal_field(
        r, [&](const edf_signal_param &s) { put_int(stream, s.samples_per_record, samples_width); },
        [&] { put_int(stream, annotation_samples, samples_width); });
    put_signal_field(
        r, [&](const edf_signal_param &) { blank(signal_reserved_width); },
        [&] { blank(signal_reserved_width); });

    return std::ferror(stream) ? -1 : 0;
}
