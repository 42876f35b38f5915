// UTF-8 decoding that follows the usual replacement practice: a sequence that breaks off is
// replaced by a single U+FFFD for the bytes that were valid so far, and decoding resumes at the
// byte that broke it. Overlong forms, surrogates and values above U+10FFFF are ill-formed.
#include "utf8_text.h"

#include <cstdio>

namespace {

constexpr char32_t replacement_character = 0xFFFD;

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

} // namespace

char32_t next_code_point(const std::string &text, std::size_t &position) {
    const auto byte_at = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte_at(position);
    position++;
    if (lead < 0x80) {
        return lead;
    }

    int continuation_count = 0;
    char32_t value = 0;
    // The allowed range of the second byte depends on the lead byte; later bytes are always
    // 0x80 to 0xBF.
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (in_range(lead, 0xC2, 0xDF)) {
        continuation_count = 1;
        value = lead & 0x1Fu;
    } else if (in_range(lead, 0xE0, 0xEF)) {
        continuation_count = 2;
        value = lead & 0x0Fu;
        if (lead == 0xE0) {
            second_low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            second_high = 0x9F; // no surrogates
        }
    } else if (in_range(lead, 0xF0, 0xF4)) {
        continuation_count = 3;
        value = lead & 0x07u;
        if (lead == 0xF0) {
            second_low = 0x90; // no overlong forms
        } else if (lead == 0xF4) {
            second_high = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return replacement_character;
    }

    for (int i = 0; i < continuation_count; i++) {
        if (position >= text.size()) {
            return replacement_character;
        }
        const unsigned char byte = byte_at(position);
        const bool valid =
            i == 0 ? in_range(byte, second_low, second_high) : in_range(byte, 0x80, 0xBF);
        if (!valid) {
            return replacement_character;
        }
        value = (value << 6) | (byte & 0x3Fu);
        position++;
    }
    return value;
}

void append_utf8(std::string &out, char32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

std::string repaired_utf8(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        append_utf8(out, next_code_point(text, i));
    }
    return out;
}

std::string display_text(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = next_code_point(text, i);
        char escape[8];
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
            out += escape;
        } else if (c >= 0x80 && c <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

std::string xml_text(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = next_code_point(text, i);
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // XML 1.0 characters: tab, line feed, carriage return, and from U+0020 up, apart
            // from U+FFFE and U+FFFF (surrogates never come out of the decoder).
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) {
                append_utf8(out, replacement_character);
            } else {
                append_utf8(out, c);
            }
        }
    }
    return out;
}

std::string shortened_text(const std::string &text, std::size_t max_code_points) {
    std::string out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size() && count < max_code_points; count++) {
        const char32_t c = next_code_point(text, i);
        if (count + 1 == max_code_points && i < text.size()) {
            // One place left but more text to come: the ellipsis takes it.
            append_utf8(out, 0x2026);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

std::string without_trailing_spaces(const char *text) {
    std::string out = text;
    const std::size_t end = out.find_last_not_of(' ');
    out.erase(end == std::string::npos ? 0 : end + 1);
    return out;
}
