// JSON strings: any Unicode character may stand as itself except the quotation mark, the
// reverse solidus and the control characters below U+0020, which must be escaped. The output
// is UTF-8, so bytes that are not UTF-8 become U+FFFD rather than breaking the document.
#include "json_string.h"

#include "utf8_text.h"

#include <cstdio>

std::string json_quoted(const std::string &text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = next_code_point(text, i);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                append_utf8(out, c);
            }
        }
    }
    out += '"';
    return out;
}
