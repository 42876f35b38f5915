// A small strict JSON reader for the tests: enough to parse a document back and look at its
// values. Throws std::runtime_error, with the byte position, on anything that is not JSON.
#pragma once

#include <charconv>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace json {

struct value {
    enum class kind { null, boolean, number, string, array, object };
    kind type = kind::null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<value> items;              // array elements, or object member values
    std::vector<std::string> member_names; // object member names, parallel to items

    bool is_null() const {
        return type == kind::null;
    }
    bool has(const std::string &name) const {
        for (const auto &n : member_names) {
            if (n == name) {
                return true;
            }
        }
        return false;
    }
    const value &operator[](const std::string &name) const {
        if (type != kind::object) {
            throw std::runtime_error("not an object, looking for " + name);
        }
        for (std::size_t i = 0; i < member_names.size(); i++) {
            if (member_names[i] == name) {
                return items[i];
            }
        }
        throw std::runtime_error("no member " + name);
    }
    const value &operator[](std::size_t i) const {
        if (type != kind::array || i >= items.size()) {
            throw std::runtime_error("no element " + std::to_string(i));
        }
        return items[i];
    }
};

class reader {
  public:
    explicit reader(const std::string &text) : s_(text) {}

    value document() {
        value v = parse_value();
        skip_space();
        if (pos_ != s_.size()) {
            fail("text after the document");
        }
        return v;
    }

  private:
    [[noreturn]] void fail(const std::string &what) const {
        throw std::runtime_error("JSON: " + what + " at byte " + std::to_string(pos_));
    }
    void skip_space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            pos_++;
        }
    }
    bool take(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) {
            pos_++;
            return true;
        }
        return false;
    }
    void expect_word(const char *word) {
        for (const char *p = word; *p != '\0'; p++) {
            if (!take(*p)) {
                fail(std::string("expected ") + word);
            }
        }
    }

    value parse_value() {
        skip_space();
        if (pos_ >= s_.size()) {
            fail("unexpected end");
        }
        value v;
        const char c = s_[pos_];
        if (c == '{') {
            pos_++;
            v.type = value::kind::object;
            skip_space();
            if (take('}')) {
                return v;
            }
            do {
                skip_space();
                if (pos_ >= s_.size() || s_[pos_] != '"') {
                    fail("expected a member name");
                }
                v.member_names.push_back(parse_string());
                skip_space();
                if (!take(':')) {
                    fail("expected ':'");
                }
                v.items.push_back(parse_value());
                skip_space();
            } while (take(','));
            if (!take('}')) {
                fail("expected '}'");
            }
        } else if (c == '[') {
            pos_++;
            v.type = value::kind::array;
            skip_space();
            if (take(']')) {
                return v;
            }
            do {
                v.items.push_back(parse_value());
                skip_space();
            } while (take(','));
            if (!take(']')) {
                fail("expected ']'");
            }
        } else if (c == '"') {
            v.type = value::kind::string;
            v.text = parse_string();
        } else if (c == 't' || c == 'f') {
            v.type = value::kind::boolean;
            v.boolean = c == 't';
            expect_word(v.boolean ? "true" : "false");
        } else if (c == 'n') {
            expect_word("null");
        } else {
            v.type = value::kind::number;
            v.number = parse_number();
        }
        return v;
    }

    static bool is_digit(char c) {
        return c >= '0' && c <= '9';
    }

    double parse_number() {
        const std::size_t start = pos_;
        take('-');
        if (take('0')) {
        } else if (pos_ < s_.size() && is_digit(s_[pos_])) {
            while (pos_ < s_.size() && is_digit(s_[pos_])) {
                pos_++;
            }
        } else {
            fail("bad number");
        }
        if (take('.')) {
            if (pos_ >= s_.size() || !is_digit(s_[pos_])) {
                fail("bad fraction");
            }
            while (pos_ < s_.size() && is_digit(s_[pos_])) {
                pos_++;
            }
        }
        if (take('e') || take('E')) {
            if (!take('+')) {
                take('-');
            }
            if (pos_ >= s_.size() || !is_digit(s_[pos_])) {
                fail("bad exponent");
            }
            while (pos_ < s_.size() && is_digit(s_[pos_])) {
                pos_++;
            }
        }
        double number = 0.0;
        const auto result = std::from_chars(s_.data() + start, s_.data() + pos_, number);
        if (result.ec != std::errc() || result.ptr != s_.data() + pos_) {
            fail("number out of range");
        }
        return number;
    }

    unsigned hex4() {
        if (pos_ + 4 > s_.size()) {
            fail("short \\u escape");
        }
        unsigned v = 0;
        for (int i = 0; i < 4; i++) {
            const char c = s_[pos_++];
            v <<= 4;
            if (is_digit(c)) {
                v |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                fail("bad \\u escape");
            }
        }
        return v;
    }

    static void append_utf8(std::string &out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string parse_string() {
        pos_++; // the opening quotation mark
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) {
                fail("unterminated string");
            }
            const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') {
                return out;
            }
            if (c < 0x20) {
                fail("raw control byte in a string");
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) {
                fail("unterminated escape");
            }
            const char e = s_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = hex4();
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (!take('\\') || !take('u')) {
                        fail("lone high surrogate");
                    }
                    const unsigned low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) {
                        fail("bad low surrogate");
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    fail("lone low surrogate");
                }
                append_utf8(out, cp);
                break;
            }
            default:
                fail("bad escape");
            }
        }
    }

    const std::string &s_;
    std::size_t pos_ = 0;
};

inline value parse(const std::string &text) {
    return reader(text).document();
}

} // namespace json
