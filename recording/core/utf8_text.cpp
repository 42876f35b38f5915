#include "recording/core/utf8_text.h"

#include <cstring>

namespace edf {

int edf_utf8_sequence(const unsigned char *text, std::size_t available, char32_t *code_point) {
    if (available == 0) {
        return 0;
    }
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    }
    int length;
    char32_t value;
    // The second byte's range depends on the lead byte (it rules out overlong forms,
    // surrogates and values above U+10FFFF); later bytes are 0x80 to 0xBF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (available < static_cast<std::size_t>(length)) {
        return 0;
    }
    for (int i = 1; i < length; i++) {
        const unsigned char byte = text[i];
        if (byte < low || byte > high) {
            return 0;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (byte & 0x3Fu);
    }
    *code_point = value;
    return length;
}

bool edf_utf8_is_valid(const char *text) {
    return edf_utf8_is_valid(reinterpret_cast<const unsigned char *>(text), std::strlen(text));
}

bool edf_utf8_is_valid(const unsigned char *bytes, std::size_t n) {
    std::size_t left = n;
    while (left > 0) {
        char32_t code_point;
        const int length = edf_utf8_sequence(bytes, left, &code_point);
        if (length == 0) {
            return false;
        }
        bytes += length;
        left -= static_cast<std::size_t>(length);
    }
    return true;
}

} // namespace edf
