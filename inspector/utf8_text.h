// Texts from a file are bytes: annotation texts are meant to be UTF-8 but may hold anything a
// writer put there. These routines walk them as UTF-8, with each ill-formed sequence taken as
// one U+FFFD, so that every output is valid UTF-8.
#pragma once

#include <cstddef>
#include <string>

// Decodes the code point that starts at text[position] and advances position past it. An
// ill-formed sequence (its longest valid beginning, or one stray byte) gives U+FFFD.
char32_t next_code_point(const std::string &text, std::size_t &position);

// Appends the UTF-8 form of a code point.
void append_utf8(std::string &out, char32_t code_point);

// The text with ill-formed sequences replaced by U+FFFD.
std::string repaired_utf8(const std::string &text);

// For a terminal: repaired, and control characters shown as \t, \n, \r or \xNN (C1 controls
// as \u0080 to \u009f), so that a text cannot move the cursor or change the colours.
std::string display_text(const std::string &text);

// For XML character data and attribute values: repaired, with & < > " ' escaped and the
// characters that XML 1.0 does not allow replaced by U+FFFD.
std::string xml_text(const std::string &text);

// At most max_code_points code points of the repaired text; a longer text is cut and ends in
// "…" (counted among the code points).
std::string shortened_text(const std::string &text, std::size_t max_code_points);

// The text without the spaces at its end (header fields are padded with spaces).
std::string without_trailing_spaces(const char *text);
