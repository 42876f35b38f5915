#include "recording/core/text_format.h"

#include "recording/core/utf8_text.h"

#include <array>
#include <cmath>
#include <cstring>

namespace edf {

namespace {

// Bytes 0x7F to 0xFF read as Latin-1, with 0x80-0x9F in their Windows-1252 meaning, each
// mapped to the printable ASCII character closest to it.
constexpr std::array<char, 129> latin1_to_ascii_table = {
    '.', 'E', '.',  ',', 'F',  '"', '.', '+', '+', '^', '.', 'S', '<', 'E', '.', 'Z',
    '.',                                                                              // 0x7F-0x8F
    '.', '`', '\'', '"', '"',  '.', '-', '-', '~', '.', 's', '>', 'e', '.', 'z', 'Y', // 0x90-0x9F
    '.', 'i', '.',  '.', '.',  '.', '|', '.', '.', '.', '.', '<', '.', '.', '.', '-', // 0xA0-0xAF
    '.', '.', '.',  '.', '\'', 'u', '.', '.', '.', '.', '.', '>', '.', '.', '.', '?', // 0xB0-0xBF
    'A', 'A', 'A',  'A', 'A',  'A', 'E', 'C', 'E', 'E', 'E', 'E', 'I', 'I', 'I', 'I', // 0xC0-0xCF
    'D', 'N', 'O',  'O', 'O',  'O', 'O', 'x', 'O', 'U', 'U', 'U', 'U', 'Y', 't', 's', // 0xD0-0xDF
    'a', 'a', 'a',  'a', 'a',  'a', 'e', 'c', 'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i', // 0xE0-0xEF
    'd', 'n', 'o',  'o', 'o',  'o', 'o', ':', '0', 'u', 'u', 'u', 'u', 'y', 't', 'y', // 0xF0-0xFF
};
static_assert(latin1_to_ascii_table.size() == 0x100 - 0x7F);

// Base letters of Latin Extended-A (U+0100 to U+017F), the letters of most Central and
// Eastern European names; Œ and œ as the Windows-1252 table has them.
constexpr char latin_extended_a_to_ascii[] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIiIiJjKkkLlLlLlLlLlNnNnNnnNnOoOoOoEeRrRrRrSs"
    "SsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
static_assert(sizeof latin_extended_a_to_ascii == 0x80 + 1);

// The characters of Windows-1252's range 0x80-0x9F, by their byte there.
struct windows_1252_character {
    char32_t code_point;
    unsigned char byte;
};
constexpr windows_1252_character windows_1252_characters[] = {
    {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85}, {0x2020, 0x86},
    {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A}, {0x2039, 0x8B}, {0x0152, 0x8C},
    {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92}, {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95},
    {0x2013, 0x96}, {0x2014, 0x97}, {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B},
    {0x0153, 0x9C}, {0x017E, 0x9E}, {0x0178, 0x9F}};

// Truncation toward zero into the signed 32-bit range, defined for every double.
int32_t truncate_to_int32(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    if (x >= 2147483647.0) {
        return INT32_MAX;
    }
    if (x <= -2147483648.0) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(x);
}

} // namespace

int edf_double_to_text(char buffer[EDF_TEXT_BUFFER_SIZE], double x) {
    const int32_t integer = truncate_to_int32(x);
    int length = 0;
    if (x < 0) {
        buffer[length++] = '-';
    }
    // Digits of the magnitude; 64 bits hold the magnitude of INT32_MIN.
    uint64_t magnitude = integer < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(integer))
                                     : static_cast<uint64_t>(integer);
    bool started = false;
    for (uint64_t place = 1000000000; place > 0; place /= 10) {
        const unsigned digit = static_cast<unsigned>(magnitude / place % 10);
        if (digit != 0 || started || place == 1) {
            buffer[length++] = static_cast<char>('0' + digit);
            started = true;
        }
    }
    // Outside the 32-bit range the integer part was saturated and no fraction is written.
    const bool in_range = x > -2147483649.0 && x < 2147483648.0;
    const double fraction = in_range ? x - integer : 0.0;
    int32_t scaled = truncate_to_int32(fraction * 1000000000.0);
    if (scaled != 0) {
        if (scaled < 0) {
            scaled = -scaled; // |fraction| < 1, so |scaled| < 10^9: no overflow
        }
        buffer[length++] = '.';
        for (int32_t place = 100000000; place > 0; place /= 10) {
            buffer[length++] = static_cast<char>('0' + scaled / place % 10);
        }
        while (buffer[length - 1] == '0') {
            length--;
        }
    }
    buffer[length] = '\0';
    return length;
}

void edf_latin1_to_ascii(char *bytes, int n) {
    for (int i = 0; i < n; i++) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x20) {
            bytes[i] = '.';
        } else if (b >= 0x7F) {
            bytes[i] = latin1_to_ascii_table[b - 0x7F];
        }
    }
}

char edf_code_point_to_ascii(char32_t code_point) {
    if (code_point < 0x20) {
        return '.';
    }
    if (code_point < 0x7F) {
        return static_cast<char>(code_point);
    }
    for (const windows_1252_character &c : windows_1252_characters) {
        if (c.code_point == code_point) {
            return latin1_to_ascii_table[c.byte - 0x7F];
        }
    }
    if (code_point >= 0xA0 && code_point <= 0xFF) {
        return latin1_to_ascii_table[code_point - 0x7F];
    }
    if (code_point >= 0x100 && code_point <= 0x17F) {
        return latin_extended_a_to_ascii[code_point - 0x100];
    }
    return '.'; // DEL, the C1 controls and everything beyond
}

bool edf_text_is_utf8(const char *bytes, int n) {
    const auto *b = reinterpret_cast<const unsigned char *>(bytes);
    const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; i++) {
        ascii = b[i] < 0x80;
    }
    return !ascii && edf_utf8_is_valid(b, length);
}

int edf_text_to_ascii(char *out, int width, const char *text, int n) {
    int count = 0;
    if (!edf_text_is_utf8(text, n)) {
        count = n < width ? (n > 0 ? n : 0) : width;
        std::memcpy(out, text, static_cast<size_t>(count));
        edf_latin1_to_ascii(out, count);
        out[count] = '\0';
        return count;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t left = static_cast<std::size_t>(n);
    while (left > 0 && count < width) {
        char32_t code_point;
        const int length = edf_utf8_sequence(bytes, left, &code_point);
        out[count++] = edf_code_point_to_ascii(code_point);
        bytes += length;
        left -= static_cast<std::size_t>(length);
    }
    out[count] = '\0';
    return count;
}

void edf_copy_cut(char *field, const char *text, size_t limit) {
    const size_t n = strnlen(text, limit);
    std::memcpy(field, text, n);
    field[n] = '\0';
}

} // namespace edf
