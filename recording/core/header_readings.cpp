// Readings of header fields that break the format, for the codec's tolerant repairs.
#include "recording/core/header_readings.h"

#include "recording/core/header_layout.h"
#include "recording/core/text_parse.h"
#include "recording/core/utf8_text.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace edf::codec {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_separator(unsigned char c) {
    return c == '.' || c == ':' || c == '-' || c == '/' || c == ' ';
}

// Splits 8 bytes, trailing spaces dropped, into three parts at single separators.
bool split_three(const unsigned char bytes[8], const unsigned char *part[3], int length[3]) {
    int end = 8;
    while (end > 0 && bytes[end - 1] == ' ') {
        end--;
    }
    int n = 0;
    int start = 0;
    for (int i = 0; i <= end; i++) {
        if (i == end || is_separator(bytes[i])) {
            if (n == 3 || i == start) {
                return false;
            }
            part[n] = bytes + start;
            length[n] = i - start;
            n++;
            start = i + 1;
        }
    }
    return n == 3;
}

// One or two digits (or, with up to 4, four) as a number; -1 otherwise.
int digits_value(const unsigned char *p, int n, int most) {
    if (n < 1 || n > most) {
        return -1;
    }
    int value = 0;
    for (int i = 0; i < n; i++) {
        if (!is_digit(static_cast<char>(p[i]))) {
            return -1;
        }
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

char upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
}

// A month of one or two digits or a three-letter English name; -1 otherwise.
int month_value(const unsigned char *p, int n) {
    const int month = digits_value(p, n, 2);
    if (month >= 0 || n != 3) {
        return month;
    }
    for (int m = 0; m < 12; m++) {
        const char *name = edf_layout::month_names[m];
        if (upper(p[0]) == name[0] && upper(p[1]) == name[1] && upper(p[2]) == name[2]) {
            return m + 1;
        }
    }
    return -1;
}

// A year of two digits (85-99: 1985-1999, 00-84: 2000-2084) or four (1985-2084); -1 otherwise.
int year_value(const unsigned char *p, int n) {
    const int y = digits_value(p, n, 4);
    if (n == 2 && y >= 0) {
        return y + (y < edf_layout::first_year % 100 ? 2000 : 1900);
    }
    return n == 4 && y >= edf_layout::first_year && y <= edf_layout::last_year ? y : -1;
}

// Rewrites the first `length` bytes of `text` (in a buffer of `room` bytes) from Latin-1 to
// UTF-8 in place, NUL-terminated and cut on a character boundary to fit; control bytes
// (NUL included) become spaces.
void latin1_to_utf8(char *text, int length, int room) {
    char converted[512];
    int n = 0;
    for (int i = 0; i < length && n < static_cast<int>(sizeof converted) - 2; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            converted[n++] = ' ';
        } else if (c < 0x80) {
            converted[n++] = static_cast<char>(c);
        } else {
            if (n + 2 > room - 1) {
                break;
            }
            converted[n++] = static_cast<char>(0xC0 | (c >> 6));
            converted[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        if (n > room - 1) {
            n = room - 1;
            break;
        }
    }
    converted[n] = '\0';
    std::memcpy(text, converted, static_cast<size_t>(n) + 1);
}

} // namespace

bool lenient_number(const unsigned char *bytes, int width, bool integer, char clean[16]) {
    std::string text(reinterpret_cast<const char *>(bytes),
                     static_cast<size_t>(std::min(width, 15)));
    if (std::count(text.begin(), text.end(), ',') == 1 && text.find('.') == std::string::npos) {
        std::replace(text.begin(), text.end(), ',', '.');
    }
    // The number: from the first character that can start one to the last that can end one
    // (so the junk around it holds no digit); it must pass the strict validator.
    const size_t first = text.find_first_of("0123456789.+-");
    const size_t last = text.find_last_of("0123456789.");
    if (first == std::string::npos || last == std::string::npos) {
        return false;
    }
    const std::string number = text.substr(first, last + 1 - first);
    if (number.find_first_not_of("0123456789.+-eE") != std::string::npos) {
        return false;
    }
    std::memcpy(clean, number.c_str(), number.size() + 1);
    return integer ? edf_text_is_integer(clean) == 0 : edf_text_is_number(clean) == 0;
}

bool read_three_parts(const unsigned char bytes[8], bool date, int parts[3], bool *exact) {
    *exact = bytes[2] == '.' && bytes[5] == '.';
    const unsigned char *part[3];
    int length[3];
    if (!split_three(bytes, part, length)) {
        return false;
    }
    for (int k = 0; k < 3; k++) {
        *exact = *exact && length[k] == 2 && digits_value(part[k], 2, 2) >= 0;
    }
    if (date) {
        parts[0] = digits_value(part[0], length[0], 2);
        parts[1] = month_value(part[1], length[1]);
        parts[2] = year_value(part[2], length[2]);
        return parts[2] >= 0 && parts[0] >= 1 && parts[0] <= 31 && parts[1] >= 1 && parts[1] <= 12;
    }
    for (int k = 0; k < 3; k++) {
        parts[k] = digits_value(part[k], length[k], 2);
    }
    return parts[0] >= 0 && parts[0] <= 23 && parts[1] >= 0 && parts[1] <= 59 && parts[2] >= 0 &&
           parts[2] <= 59;
}

text_encoding header_text_encoding(const unsigned char *bytes, int n) {
    if (std::all_of(bytes, bytes + n, [](unsigned char c) { return c < 0x80; })) {
        return text_encoding::ascii;
    }
    return edf_utf8_is_valid(bytes, static_cast<std::size_t>(n)) ? text_encoding::utf8
                                                                 : text_encoding::latin1;
}

void header_text_to_utf8(char *text, int length, int room, text_encoding encoding) {
    if (encoding == text_encoding::latin1) {
        latin1_to_utf8(text, length, room);
        return;
    }
    const int n = length < room ? length : room - 1;
    for (int i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            text[i] = ' ';
        }
    }
    text[n] = '\0';
}

} // namespace edf::codec
