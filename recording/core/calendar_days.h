// Dates as day numbers in the proleptic Gregorian calendar, for moving header dates by whole
// days. Day 0 is 1970-01-01.
#pragma once

#include <cstdint>

namespace edf {

// The day number of year y, month m (1-12), day d. A day beyond the month's end counts on
// into the next month (31 February 1999 is 3 March 1999), as the header's day field allows.
int64_t edf_days_from_date(int64_t y, int m, int d);

// The date of day number `days`.
void edf_date_from_days(int64_t days, int64_t *y, int *m, int *d);

} // namespace edf
