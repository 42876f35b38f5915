// The fixed part of a de-identified header.
#pragma once

#include "recording/operations/anonymize_source.h"

#include <cstdint>

// The date that every de-identified start date becomes: 1 January 1985, the first date that
// the header's two-digit year can hold.
inline constexpr int EDF_ANONYMOUS_YEAR = 1985;

// Days to add to the source's dates: the shift that takes its start date to 1985-01-01.
int64_t edf_anonymize_date_shift(const edf_header_info &info);

// Writes the 256 bytes of the de-identified fixed header part to `fixed`: the source's bytes
// with the patient and recording identification, start date and start time replaced as the
// flags say (see edf_anonymize_file). Returns 0, or EDF_ERR_ANONYMIZED_VALUE when the shifted
// birth date falls outside the years 0001 to 9999.
int edf_make_anonymized_header(const edf_anonymize_source &source, int flags,
                               unsigned char fixed[256]);
