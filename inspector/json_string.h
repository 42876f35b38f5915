// JSON string literals for texts that come from a file.
#pragma once

#include <string>

// The text as a quoted JSON string: '"' and '\' escaped, control characters as \b, \f, \n, \r,
// \t or \u00XX, ill-formed UTF-8 replaced by U+FFFD. The result always parses.
std::string json_quoted(const std::string &text);
