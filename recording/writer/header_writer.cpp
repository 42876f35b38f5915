// The writer's side of the header: its own rules for the values it is given (the codes of
// the header writer), the texts it makes of them, and the header codec, which writes every
// field.
#include "recording/writer/header_writer.h"

#include "recording/core/annotation_block.h"
#include "recording/core/header_codec.h"
#include "recording/core/platform_file.h"
#include "recording/core/header_layout.h"
#include "recording/core/identification.h"
#include "recording/core/text_format.h"
#include "recording/core/text_parse.h"

#include <cstring>
#include <ctime>
#include <initializer_list>

namespace edf {

namespace {

// The first code that the signal descriptions give, in the order of the checks, or 0. The
// limits must survive their eight-character fields and stay distinct when a reader parses them
// back, or the file would be written wrong or refused.
int check_signals(const edf_writer_state *r) {
    const int n = r->signal_count;
    if (n < 0) {
        return EDF_ERR_NEGATIVE_SIGNAL_COUNT;
    }
    // Readers take at most 4096 signals, annotation signals included.
    if (n > EDF_MAX_SIGNALS || n + r->annotation_signal_count > EDF_MAX_SIGNALS) {
        return EDF_ERR_TOO_MANY_SIGNALS;
    }
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
        char min_text[9];
        char max_text[9];
        if (!edf::codec::physical_value_text(s.physical_min, min_text) ||
            !edf::codec::physical_value_text(s.physical_max, max_text) ||
            edf_atof(min_text) == edf_atof(max_text)) {
            return EDF_ERR_PHYSICAL_VALUE_TEXT;
        }
        samples += s.samples_per_record;
    }
    const int64_t record_size = edf_layout::annotation_signal_bytes * r->annotation_signal_count +
                                samples * r->bytes_per_sample();
    if (record_size >
        (r->is_bdf() ? edf_layout::bdf_max_record_size : edf_layout::edf_max_record_size)) {
        return EDF_ERR_RECORD_TOO_LARGE;
    }
    return 0;
}

// Takes the local date and time as the start of a recording whose start was never set.
void take_local_time(edf_writer_state *r) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!edf_local_time(now, &local)) {
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

// The values behind the header's texts: each signal's limits as written and the conversion
// computed from them, its texts transliterated, the identification fields from their
// subfields, the record size and duration.
void prepare_fields(edf_writer_state *r) {
    r->annotation_block_size = edf_layout::annotation_signal_bytes * r->annotation_signal_count;
    r->record_size = r->annotation_block_size;
    for (int i = 0; i < r->signal_count; i++) {
        edf_signal_param &s = r->signals[i];
        r->record_size += s.samples_per_record * r->bytes_per_sample();
        // The conversion uses the limits as the header states them (the values their
        // eight-character texts read back as), which is what every reader computes with: a
        // limit whose text is cut (123456.789 is written 123456.7) would otherwise shift every
        // sample by many digital steps. Limits written exactly keep their value.
        edf::codec::physical_value_text(s.physical_min, s.physical_min_text);
        edf::codec::physical_value_text(s.physical_max, s.physical_max_text);
        const double physical_min = edf_atof(s.physical_min_text);
        const double physical_max = edf_atof(s.physical_max_text);
        s.bit_value =
            (physical_max - physical_min) / static_cast<double>(s.digital_max - s.digital_min);
        s.offset = physical_max / s.bit_value - s.digital_max;
        for (char *text : {s.label, s.transducer, s.physical_dimension, s.prefilter}) {
            edf_latin1_to_ascii(text, static_cast<int>(std::strlen(text)));
        }
    }
    if (r->start_year == 0) {
        take_local_time(r);
    }
    // The birth date is kept as dd.mm.yyyy by its setter.
    const char *birth = r->birthdate_text;
    const bool born = birth[0] != '\0';
    edf::codec::format_patient_field({r->patient_code, r->sex_text[0], born ? edf_atoi(birth) : 0,
                                      born ? edf_atoi(birth + 3) : 0,
                                      born ? edf_atoi(birth + 6) : 0, r->patient_name,
                                      r->patient_additional},
                                     r->patient_field);
    edf::codec::format_recording_field({r->start_day, r->start_month, r->start_year, r->admin_code,
                                        r->technician, r->equipment, r->recording_additional},
                                       r->recording_field);
    edf::codec::duration_text(r->datarecord_duration_ticks, r->datarecord_duration_text);
}

bool write_stream(void *target, const void *bytes, size_t n) {
    return std::fwrite(bytes, 1, n, static_cast<FILE *>(target)) == n;
}

} // namespace

int edf_write_header(edf_writer_state *r) {
    if (const int code = check_signals(r)) {
        return code;
    }
    prepare_fields(r);
    // An error left on the stream by an earlier failed write must not be taken for a failure
    // of this one.
    std::rewind(r->file);
    std::clearerr(r->file);
    const edf::codec::header_view header{
        r, r->signals, r->signal_count, r->annotation_signal_count, edf_annotation_insert_index(r),
        -1};
    edf::codec::format_header(header, write_stream, r->file);
    return std::ferror(r->file) ? -1 : 0;
}

} // namespace edf
