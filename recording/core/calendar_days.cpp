// Day numbers by the usual era arithmetic: 400-year eras of 146097 days, years counted from
// March so that the leap day falls at the end of a year.
#include "recording/core/calendar_days.h"

namespace edf {

int64_t edf_days_from_date(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t month_from_march = m > 2 ? m - 3 : m + 9;
    const int64_t day_of_year = (153 * month_from_march + 2) / 5 + d - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

void edf_date_from_days(int64_t days, int64_t *y, int *m, int *d) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    *d = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    *m = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    *y = year_of_era + era * 400 + (*m <= 2 ? 1 : 0);
}

} // namespace edf
