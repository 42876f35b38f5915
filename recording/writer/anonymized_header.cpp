// Replaces the identifying fields of the header's fixed part. In EDF+ and BDF+ every
// identification subfield becomes 'X' ("unknown"), which keeps the fields in the form that
// readers require; plain EDF and BDF hold free text there, which becomes "X" as a whole.
#include "recording/writer/anonymized_header.h"

#include "recording/core/calendar_days.h"
#include "recording/core/header_layout.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void put_field(unsigned char *fixed, edf_layout::field f, const std::string &text) {
    std::memset(fixed + f.offset, ' ', static_cast<size_t>(f.width));
    const size_t n = text.size() < static_cast<size_t>(f.width) ? text.size() : f.width;
    std::memcpy(fixed + f.offset, text.data(), n);
}

} // namespace

int64_t edf_anonymize_date_shift(const edf_header_info &info) {
    return edf_days_from_date(EDF_ANONYMOUS_YEAR, 1, 1) -
           edf_days_from_date(info.start_year, info.start_month, info.start_day);
}

int edf_make_anonymized_header(const edf_anonymize_source &source, int flags,
                               unsigned char fixed[256]) {
    const edf_header_info &info = *source.info;
    std::memcpy(fixed, source.header.data(), 256);
    const bool plus =
        info.filetype == EDF_FILETYPE_EDFPLUS || info.filetype == EDF_FILETYPE_BDFPLUS;
    if (plus) {
        std::string sex = "X";
        if ((flags & EDF_ANON_KEEP_SEX) != 0) {
            sex = std::strcmp(info.sex, "Male") == 0     ? "M"
                  : std::strcmp(info.sex, "Female") == 0 ? "F"
                                                         : "X";
        }
        std::string birth = "X";
        if ((flags & EDF_ANON_KEEP_AGE) != 0 && info.birth_year != 0) {
            int64_t year;
            int month;
            int day;
            edf_date_from_days(
                edf_days_from_date(info.birth_year, info.birth_month, info.birth_day) +
                    edf_anonymize_date_shift(info),
                &year, &month, &day);
            if (year < 1 || year > 9999) {
                return EDF_ERR_ANONYMIZED_VALUE;
            }
            char text[16];
            std::snprintf(text, sizeof text, "%02d-%s-%04d", day,
                          edf_layout::month_names[month - 1], static_cast<int>(year));
            birth = text;
        }
        put_field(fixed, edf_layout::patient, "X " + sex + " " + birth + " X");
        put_field(fixed, edf_layout::recording, "Startdate X X X X");
    } else {
        put_field(fixed, edf_layout::patient, "X");
        put_field(fixed, edf_layout::recording, "X");
    }
    put_field(fixed, edf_layout::start_date, "01.01.85");
    if ((flags & EDF_ANON_KEEP_START_TIME) == 0) {
        put_field(fixed, edf_layout::start_time, "00.00.00");
    }
    return 0;
}
