// The readings that the tolerant open gives to header fields that the strict check refuses:
// numbers with surrounding junk or a decimal comma, dates and times written another way, and
// texts outside printable ASCII. Each returns false where no reading is unambiguous.
#pragma once

#include <cstdint>

// The number in a field of `width` bytes (at most 8): the field stripped of spaces, a single
// ',' read as '.' when there is no '.', and junk before or after the number dropped when the
// junk holds no digit. `clean` receives the number's text (at most `width` characters); it
// passes the strict integer (when `integer`) or number validator.
bool edf_lenient_number(const unsigned char *bytes, int width, bool integer, char clean[16]);

// A start date of 8 bytes as three parts split by one of . : - / or a space: a day of one or
// two digits, a month of one or two digits or a three-letter English name in any case, a year
// of two digits (85-99: 1985-1999, 00-84: 2000-2084) or four (1985-2084).
bool edf_lenient_date(const unsigned char bytes[8], int *day, int *month, int *year);

// A start time of 8 bytes as three parts of one or two digits, split as a date is.
bool edf_lenient_time(const unsigned char bytes[8], int *hour, int *minute, int *second);

// Rewrites the first `length` bytes of `text` (in a buffer of `room` bytes) from Latin-1 to
// UTF-8 in place, NUL-terminated and cut on a character boundary to fit; control bytes
// (NUL included) become spaces.
void edf_latin1_to_utf8(char *text, int length, int room);

// How a header text outside printable ASCII is read: as the characters it holds when its
// bytes are well-formed UTF-8, else byte by byte as Latin-1 (`ascii`: control bytes only).
enum class edf_text_encoding { ascii = 1, utf8, latin1 };
edf_text_encoding edf_header_text_encoding(const unsigned char *bytes, int n);

// Hands out the first `length` bytes of `text` (in a buffer of `room` bytes, length below
// room) as UTF-8 in place, as they were read: Latin-1 converted (edf_latin1_to_utf8), UTF-8
// kept; control bytes (NUL included) become spaces either way.
void edf_header_text_to_utf8(char *text, int length, int room, edf_text_encoding encoding);
