// Header setters: each validates one value and stores it in the block while no data record is
// complete. They never touch the file; the header writer turns the block into the header.
#include "recording/core/recording.h"
#include "recording/core/text_format.h"

#include <cstdio>
#include <cstring>

namespace {

// The block of a writer handle that is still being configured, or null. The window closes
// when the first record is complete, and is shut too while a record is partly written: the
// header is in the file by then, and a change would no longer match it or the samples
// already written (a new sample count would even misplace every later byte).
edf_writer_state *configurable(int handle) {
    edf_writer_state *recording = edf_writer_for(handle);
    if (recording == nullptr || recording->datarecord_count != 0 ||
        recording->next_write_signal != 0) {
        return nullptr;
    }
    return recording;
}

// The ordinary signal `signal` of a configurable writer handle, or null.
edf_signal_param *configurable_signal(int handle, int signal) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || signal < 0 || signal >= recording->signal_count) {
        return nullptr;
    }
    return &recording->signals[signal];
}

// Stores a user text in a header field of `width` characters: cut to the width, stripped of
// leading and trailing spaces. A text that is well-formed UTF-8 and not plain ASCII is
// transliterated to ASCII here, one character at a time ("µV" gives "uV", "Jörg" "Jorg"), and
// the width counts characters; any other text is kept as bytes, which the header writer
// transliterates one by one as Latin-1 (a Latin-1 text is rarely well-formed UTF-8).
void store_text(char *field, const char *text, int width) {
    const int n = static_cast<int>(strnlen(text, INT32_MAX));
    if (!edf_text_is_utf8(text, n)) {
        edf_copy_stripped(field, text, width);
        return;
    }
    edf_text_to_ascii(field, width, text, n);
    edf_strip_spaces(field);
}

template <size_t N>
int set_recording_text(int handle, char (edf_recording::*field)[N], const char *text) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || text == nullptr) {
        return -1;
    }
    store_text(recording->*field, text, static_cast<int>(N - 1));
    return 0;
}

template <size_t N>
int set_signal_text(int handle, int signal, char (edf_signal_param::*field)[N], const char *text) {
    edf_signal_param *param = configurable_signal(handle, signal);
    if (param == nullptr || text == nullptr) {
        return -1;
    }
    store_text(param->*field, text, static_cast<int>(N - 1));
    return 0;
}

bool starts_with_reserved_label(const char *text) {
    return std::strncmp(text, "EDF Annotations", 15) == 0 ||
           std::strncmp(text, "BDF Annotations", 15) == 0;
}

// Days in the month of the Gregorian calendar (leap years: divisible by 4, centuries only
// when divisible by 400). A date beyond them does not exist, and readers that meet one in a
// header drop the start date.
int days_in_month(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

int set_duration_ticks(int handle, int64_t ticks) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr) {
        return -1;
    }
    recording->datarecord_duration_ticks = ticks;
    recording->datarecord_duration_s =
        static_cast<double>(ticks) / static_cast<double>(EDF_TIME_DIMENSION);
    return 0;
}

} // namespace

extern "C" {

int edf_set_samplefrequency(int handle, int edfsignal, int samples_per_record) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr || samples_per_record < 1) {
        return -1;
    }
    param->samples_per_record = samples_per_record;
    return 0;
}

int edf_set_physical_maximum(int handle, int edfsignal, double phys_max) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr) {
        return -1;
    }
    param->physical_max = phys_max;
    return 0;
}

int edf_set_physical_minimum(int handle, int edfsignal, double phys_min) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr) {
        return -1;
    }
    param->physical_min = phys_min;
    return 0;
}

int edf_set_digital_maximum(int handle, int edfsignal, int dig_max) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr) {
        return -1;
    }
    const int limit = edf_writer_for(handle)->is_bdf() ? 8388607 : 32767;
    if (dig_max > limit) {
        return -1;
    }
    param->digital_max = dig_max;
    return 0;
}

int edf_set_digital_minimum(int handle, int edfsignal, int dig_min) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr) {
        return -1;
    }
    const int limit = edf_writer_for(handle)->is_bdf() ? -8388608 : -32768;
    if (dig_min < limit) {
        return -1;
    }
    param->digital_min = dig_min;
    return 0;
}

int edf_set_label(int handle, int edfsignal, const char *label) {
    edf_signal_param *param = configurable_signal(handle, edfsignal);
    if (param == nullptr || label == nullptr || starts_with_reserved_label(label)) {
        return -1;
    }
    // The label is cut to 16 bytes and stripped before it is stored, and transliterated to
    // ASCII when the header is written, so a text such as " EDF Annotations" or
    // "EDF Annotation\xDF" (0xDF becomes 's') would become the reserved label only then: test
    // the form that reaches the file too, or the header would declare an ordinary signal with
    // an annotation signal's label.
    char stored[sizeof param->label];
    store_text(stored, label, static_cast<int>(sizeof stored - 1));
    char written[sizeof stored];
    std::memcpy(written, stored, sizeof stored);
    edf_latin1_to_ascii(written, static_cast<int>(std::strlen(written)));
    if (starts_with_reserved_label(written)) {
        return -1;
    }
    std::memcpy(param->label, stored, sizeof stored);
    return 0;
}

int edf_set_transducer(int handle, int edfsignal, const char *transducer) {
    return set_signal_text(handle, edfsignal, &edf_signal_param::transducer, transducer);
}

int edf_set_physical_dimension(int handle, int edfsignal, const char *phys_dim) {
    return set_signal_text(handle, edfsignal, &edf_signal_param::physical_dimension, phys_dim);
}

int edf_set_prefilter(int handle, int edfsignal, const char *prefilter) {
    return set_signal_text(handle, edfsignal, &edf_signal_param::prefilter, prefilter);
}

int edf_set_patientname(int handle, const char *patientname) {
    return set_recording_text(handle, &edf_writer_state::patient_name, patientname);
}

int edf_set_patientcode(int handle, const char *patientcode) {
    return set_recording_text(handle, &edf_writer_state::patient_code, patientcode);
}

int edf_set_patient_additional(int handle, const char *patient_additional) {
    return set_recording_text(handle, &edf_writer_state::patient_additional, patient_additional);
}

int edf_set_admincode(int handle, const char *admincode) {
    return set_recording_text(handle, &edf_writer_state::admin_code, admincode);
}

int edf_set_technician(int handle, const char *technician) {
    return set_recording_text(handle, &edf_writer_state::technician, technician);
}

int edf_set_equipment(int handle, const char *equipment) {
    return set_recording_text(handle, &edf_writer_state::equipment, equipment);
}

int edf_set_recording_additional(int handle, const char *recording_additional) {
    return set_recording_text(handle, &edf_writer_state::recording_additional,
                              recording_additional);
}

int edf_set_sex(int handle, int sex) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || (sex != EDF_FEMALE && sex != EDF_MALE)) {
        return -1;
    }
    std::strcpy(recording->sex_text, sex == EDF_MALE ? "M" : "F");
    return 0;
}

int edf_set_gender(int handle, int gender) {
    return edf_set_sex(handle, gender);
}

int edf_set_birthdate(int handle, int birthdate_year, int birthdate_month, int birthdate_day) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || birthdate_year < 1800 || birthdate_year > 3000 ||
        birthdate_month < 1 || birthdate_month > 12 || birthdate_day < 1 || birthdate_day > 31 ||
        birthdate_day > days_in_month(birthdate_year, birthdate_month)) {
        return -1;
    }
    // The checks above keep every part within two digits: dd.mm.yyyy is 10 characters. (The
    // wider buffer lets the compiler see that nothing is cut.)
    char text[48];
    std::snprintf(text, sizeof text, "%02i.%02i.%02i%02i", birthdate_day, birthdate_month,
                  birthdate_year / 100, birthdate_year % 100);
    std::snprintf(recording->birthdate_text, sizeof recording->birthdate_text, "%.10s", text);
    return 0;
}

int edf_set_startdatetime(int handle, int startdate_year, int startdate_month, int startdate_day,
                          int starttime_hour, int starttime_minute, int starttime_second) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || startdate_year < 1985 || startdate_year > 2084 ||
        startdate_month < 1 || startdate_month > 12 || startdate_day < 1 ||
        startdate_day > days_in_month(startdate_year, startdate_month) || starttime_hour < 0 ||
        starttime_hour > 23 || starttime_minute < 0 || starttime_minute > 59 ||
        starttime_second < 0 || starttime_second > 59) {
        return -1;
    }
    recording->start_year = startdate_year;
    recording->start_month = startdate_month;
    recording->start_day = startdate_day;
    recording->start_hour = starttime_hour;
    recording->start_minute = starttime_minute;
    recording->start_second = starttime_second;
    return 0;
}

int edf_set_subsecond_starttime(int handle, int subsecond_ticks) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || subsecond_ticks < 0 || subsecond_ticks >= EDF_TIME_DIMENSION) {
        return -1;
    }
    recording->subsecond_start_ticks = subsecond_ticks;
    return 0;
}

int edf_set_datarecord_duration(int handle, int duration_10us) {
    if (duration_10us < 100 || duration_10us > 6000000) {
        return -1;
    }
    return set_duration_ticks(handle, static_cast<int64_t>(duration_10us) * 100);
}

int edf_set_datarecord_duration_us(int handle, int duration_us) {
    if (duration_us < 1 || duration_us > 9999) {
        return -1;
    }
    return set_duration_ticks(handle, static_cast<int64_t>(duration_us) * 10);
}

int edf_set_number_of_annotation_signals(int handle, int annot_signals) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || annot_signals < 1 || annot_signals > EDF_MAX_ANNOTATION_SIGNALS) {
        return -1;
    }
    recording->annotation_signal_count = annot_signals;
    return 0;
}

int edf_set_annotation_signal_position(int handle, int position) {
    edf_writer_state *recording = configurable(handle);
    if (recording == nullptr || position < EDF_ANNOTATIONS_AT_END ||
        position > EDF_ANNOTATIONS_AT_START) {
        return -1;
    }
    recording->annotation_position = position;
    return 0;
}

} // extern "C"
