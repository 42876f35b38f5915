// Locale-independent parsers and validators for the numbers of EDF/BDF headers and of
// annotation times. '.' is the only decimal separator and only the space counts as blank.
#pragma once

#include <cstddef>
#include <cstdint>

namespace edf {

// Validators: 0 for a well-formed text, 1 otherwise (callers refuse any non-zero result).
int edf_text_is_integer(const char *text);
int edf_text_is_number(const char *text);

// Value parsers for header fields. Accumulation is in 32 bits and wraps around on digit runs
// longer than any header field (never undefined behaviour).
int edf_atoi(const char *text);
double edf_atof(const char *text);

// The 8-character record-duration field in ticks, with integer arithmetic only. A leading
// sign is removed from the field in place and ignored. The exponent form ('1E-3') gives the
// seconds times 10000000 exactly (truncated below one tick), or -1 when that does not fit
// 64 bits; plain decimal fields never give a negative count.
int64_t edf_field_to_ticks(char *field);

// An annotation time text ('+1234.5678', '-0.25') in ticks, truncated at 100 ns, stored in
// *ticks. Returns false (and stores nothing) when the value does not fit 64 bits.
bool edf_text_to_ticks_checked(const char *text, int64_t *ticks);
// The same for the n characters at `text`.
bool edf_text_to_ticks_checked(const char *text, size_t n, int64_t *ticks);

} // namespace edf
