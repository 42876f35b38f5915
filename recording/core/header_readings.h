// The readings of header fields by kind that the codec's rules need beyond the validators:
// numbers with surrounding junk or a decimal comma, dates and times written another way, and
// texts outside printable ASCII. Each returns false where no reading is unambiguous.
#pragma once

#include <cstdint>

namespace edf::codec {

// The number in a field of `width` bytes (at most 8): the field stripped of spaces, a single
// ',' read as '.' when there is no '.', and junk before or after the number dropped when the
// junk holds no digit. `clean` receives the number's text (at most `width` characters); it
// passes the strict integer (when `integer`) or number validator.
bool lenient_number(const unsigned char *bytes, int width, bool integer, char clean[16]);

// A start date (`date`) or start time of 8 bytes as three parts split by one of . : - / or a
// space, each of one or two digits in the valid range: a day of 1 to 31, a month of 1 to 12 or
// a three-letter English name in any case, a year of two digits (85-99: 1985-1999, 00-84:
// 2000-2084) or four (1985-2084); an hour of 0 to 23, minutes and seconds of 0 to 59. *exact
// tells whether the bytes are in the header's own form: two digits each, split by '.'.
bool read_three_parts(const unsigned char bytes[8], bool date, int parts[3], bool *exact);

// How a header text outside printable ASCII is read: as the characters it holds when its
// bytes are well-formed UTF-8, else byte by byte as Latin-1 (`ascii`: control bytes only).
enum class text_encoding { ascii = 1, utf8, latin1 };
text_encoding header_text_encoding(const unsigned char *bytes, int n);

// Hands out the first `length` bytes of `text` (in a buffer of `room` bytes, length below
// room) as UTF-8 in place, as they were read: Latin-1 converted (cut on a character boundary
// to fit), UTF-8 kept; control bytes (NUL included) become spaces either way.
void header_text_to_utf8(char *text, int length, int room, text_encoding encoding);

} // namespace edf::codec
