// UTF-8 as the writer meets it in user texts: well-formed sequences recognised one character
// at a time, so that texts are cut on character boundaries and transliterated per character.
#pragma once

#include <cstddef>

namespace edf {

// The well-formed UTF-8 sequence that starts at `text`, of at most `available` bytes: returns
// its length (1 to 4) and stores its code point; returns 0 when the bytes there do not start
// one (a stray continuation byte, an overlong form, a surrogate, a value above U+10FFFF, a
// sequence cut short).
int edf_utf8_sequence(const unsigned char *text, std::size_t available, char32_t *code_point);

// True when the NUL-terminated text is well-formed UTF-8 throughout.
bool edf_utf8_is_valid(const char *text);

// True when the n bytes at `bytes` are well-formed UTF-8 throughout (NUL bytes included, as
// the character U+0000).
bool edf_utf8_is_valid(const unsigned char *bytes, std::size_t n);

} // namespace edf
