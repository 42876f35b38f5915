// Numbers and user texts as header text: the decimal printer of real numbers, which never
// consults the locale, and the transliteration of Latin-1 (with the Windows-1252 range 0x80-0x9F)
// to printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>

namespace edf {

inline constexpr int EDF_TEXT_BUFFER_SIZE = 128;

// x as decimal text: the integer part truncated to 32 bits, then up to nine decimals with the
// trailing zeros removed. Values outside the 32-bit range (and NaN) are not representable;
// they are written as the nearest 32-bit limit (NaN as 0) so that nothing is undefined.
// Returns the length of the text.
int edf_double_to_text(char buffer[EDF_TEXT_BUFFER_SIZE], double x);

// Rewrites the first n bytes in place as printable ASCII.
void edf_latin1_to_ascii(char *bytes, int n);

// One character as printable ASCII: the letter that its Latin-1 or Windows-1252 byte gets from
// edf_latin1_to_ascii, the base letter of a Latin Extended-A letter (U+0100 to U+017F), '.'
// for anything else. So "µ" gives 'u' and "ü" 'u', whether it came as Latin-1 or UTF-8.
char edf_code_point_to_ascii(char32_t code_point);

// Whether the writer reads a text per character as UTF-8: it holds a byte beyond ASCII and
// its n bytes are well-formed UTF-8 throughout. Any other text is read byte by byte as
// Latin-1 (a Latin-1 text is rarely well-formed UTF-8).
bool edf_text_is_utf8(const char *bytes, int n);

// The writer's rule for a text bound for the header, which holds printable ASCII only: the n
// bytes of a text that edf_text_is_utf8 takes as UTF-8 are transliterated per character
// (edf_code_point_to_ascii: "µV" gives "uV", "Jörg Müller" "Jorg Muller"), those of any other
// text byte by byte as Latin-1 (edf_latin1_to_ascii). At most `width` characters go to `out`
// (room for width + 1), NUL-terminated. Returns the number of characters.
int edf_text_to_ascii(char *out, int width, const char *bytes, int n);

// Copies at most `limit` bytes of the NUL-terminated `text` into `field` (room for limit + 1)
// and terminates the copy.
void edf_copy_cut(char *field, const char *text, size_t limit);

} // namespace edf
