// Replaces the identifying fields of the header's fixed part. In EDF+ and BDF+ every
// identification subfield becomes 'X' ("unknown"), which keeps the fields in the form that
// readers require; plain EDF and BDF hold free text there, which becomes "X" as a whole.
#include "recording/operations/anonymized_header.h"

#include "recording/core/calendar_days.h"
#include "recording/core/header_codec.h"
#include "recording/core/identification.h"

#include <cstring>

int64_t edf_anonymize_date_shift(const edf_header_info &info) {
    return edf_days_from_date(EDF_ANONYMOUS_YEAR, 1, 1) -
           edf_days_from_date(info.start_year, info.start_month, info.start_day);
}

int edf_make_anonymized_header(const edf_anonymize_source &source, int flags,
                               unsigned char fixed[256]) {
    const edf_header_info &info = *source.info;
    std::memcpy(fixed, source.header.data(), 256);
    char patient[81] = "X";
    char recording[81] = "X";
    if (info.filetype == EDF_FILETYPE_EDFPLUS || info.filetype == EDF_FILETYPE_BDFPLUS) {
        const bool keep_sex = (flags & EDF_ANON_KEEP_SEX) != 0;
        int64_t year = 0;
        int month = 0;
        int day = 0;
        if ((flags & EDF_ANON_KEEP_AGE) != 0 && info.birth_year != 0) {
            edf_date_from_days(
                edf_days_from_date(info.birth_year, info.birth_month, info.birth_day) +
                    edf_anonymize_date_shift(info),
                &year, &month, &day);
            if (year < 1 || year > 9999) {
                return EDF_ERR_ANONYMIZED_VALUE;
            }
        }
        edf::codec::format_patient_field(
            {"", keep_sex ? info.sex[0] : 'X', day, month, static_cast<int>(year), "", ""},
            patient);
        edf::codec::format_recording_field({0, 0, 0, "", "", "", ""}, recording);
    }
    edf::codec::put_field(fixed, edf_layout::patient, patient);
    edf::codec::put_field(fixed, edf_layout::recording, recording);
    char date[9];
    edf::codec::format_start_date(1, 1, EDF_ANONYMOUS_YEAR, date);
    edf::codec::put_field(fixed, edf_layout::start_date, date);
    if ((flags & EDF_ANON_KEEP_START_TIME) == 0) {
        edf::codec::put_field(fixed, edf_layout::start_time, "00.00.00");
    }
    return 0;
}
