// A minimal well-formedness check for the XML documents the tests read back: one root
// element, properly nested and closed tags, quoted attributes without '<' and without
// repeated names, only the predefined or numeric entities, no control bytes other than tab,
// line feed and carriage return, and valid UTF-8 throughout.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace xml_check {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
inline bool is_valid_utf8(const std::string &s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int more = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(more) >= s.size()) {
            return false;
        }
        for (int k = 1; k <= more; k++) {
            const unsigned char d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0u) != 0x80u) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

class checker {
  public:
    explicit checker(const std::string &doc) : s_(doc) {}

    // An empty text when the document is well-formed, else what is wrong and where.
    std::string problem() {
        if (!is_valid_utf8(s_)) {
            return "not UTF-8";
        }
        for (std::size_t i = 0; i < s_.size(); i++) {
            const unsigned char c = static_cast<unsigned char>(s_[i]);
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                return at(i, "control byte");
            }
        }
        int roots = 0;
        std::vector<std::string> open;
        while (pos_ < s_.size()) {
            if (s_[pos_] != '<') {
                if (s_[pos_] == '&') {
                    if (!entity()) {
                        return at(pos_, "bad entity");
                    }
                    continue;
                }
                if (s_[pos_] == '>' && open.empty()) {
                    return at(pos_, "stray '>'");
                }
                if (open.empty() && !is_space(s_[pos_])) {
                    return at(pos_, "text outside the root");
                }
                pos_++;
                continue;
            }
            if (starts("<?")) {
                if (!skip_past("?>")) {
                    return at(pos_, "unterminated processing instruction");
                }
            } else if (starts("<!--")) {
                if (!skip_past("-->")) {
                    return at(pos_, "unterminated comment");
                }
            } else if (starts("</")) {
                pos_ += 2;
                const std::string n = name();
                while (pos_ < s_.size() && is_space(s_[pos_])) {
                    pos_++;
                }
                if (n.empty() || pos_ >= s_.size() || s_[pos_] != '>') {
                    return at(pos_, "bad end tag");
                }
                pos_++;
                if (open.empty() || open.back() != n) {
                    return at(pos_, "end tag </" + n + "> does not match");
                }
                open.pop_back();
            } else {
                pos_++;
                const std::string n = name();
                if (n.empty()) {
                    return at(pos_, "bad start tag");
                }
                if (open.empty() && ++roots > 1) {
                    return at(pos_, "second root element");
                }
                std::set<std::string> attributes;
                for (;;) {
                    const std::size_t before = pos_;
                    while (pos_ < s_.size() && is_space(s_[pos_])) {
                        pos_++;
                    }
                    if (starts("/>")) {
                        pos_ += 2;
                        break;
                    }
                    if (starts(">")) {
                        pos_++;
                        open.push_back(n);
                        break;
                    }
                    if (pos_ == before) {
                        return at(pos_, "no space before an attribute");
                    }
                    const std::string a = name();
                    if (a.empty() || !attributes.insert(a).second) {
                        return at(pos_, "bad or repeated attribute");
                    }
                    if (!starts("=")) {
                        return at(pos_, "attribute without '='");
                    }
                    pos_++;
                    if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) {
                        return at(pos_, "unquoted attribute value");
                    }
                    const char quote = s_[pos_++];
                    while (pos_ < s_.size() && s_[pos_] != quote) {
                        if (s_[pos_] == '<') {
                            return at(pos_, "'<' in an attribute value");
                        }
                        if (s_[pos_] == '&') {
                            if (!entity()) {
                                return at(pos_, "bad entity in an attribute value");
                            }
                        } else {
                            pos_++;
                        }
                    }
                    if (pos_ >= s_.size()) {
                        return at(pos_, "unterminated attribute value");
                    }
                    pos_++;
                }
            }
        }
        if (!open.empty()) {
            return "unclosed element <" + open.back() + ">";
        }
        if (roots != 1) {
            return "no root element";
        }
        return "";
    }

  private:
    static bool is_space(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    }
    std::string at(std::size_t i, const std::string &what) const {
        return what + " at byte " + std::to_string(i);
    }
    bool starts(const char *text) const {
        return s_.compare(pos_, std::char_traits<char>::length(text), text) == 0;
    }
    bool skip_past(const char *end) {
        const std::size_t found = s_.find(end, pos_);
        if (found == std::string::npos) {
            return false;
        }
        pos_ = found + std::char_traits<char>::length(end);
        return true;
    }
    std::string name() {
        const std::size_t start = pos_;
        while (pos_ < s_.size()) {
            const char c = s_[pos_];
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                            c == ':' ||
                            (pos_ > start && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
            if (!ok) {
                break;
            }
            pos_++;
        }
        return s_.substr(start, pos_ - start);
    }
    // At '&': accepts &lt; &gt; &amp; &quot; &apos; &#digits; &#xhex; and moves past it.
    bool entity() {
        const std::size_t semicolon = s_.find(';', pos_);
        if (semicolon == std::string::npos || semicolon - pos_ > 10) {
            return false;
        }
        const std::string body = s_.substr(pos_ + 1, semicolon - pos_ - 1);
        bool ok = body == "lt" || body == "gt" || body == "amp" || body == "quot" || body == "apos";
        if (!ok && body.size() > 1 && body[0] == '#') {
            const bool hex = body[1] == 'x';
            const std::string digits = body.substr(hex ? 2 : 1);
            ok = !digits.empty() &&
                 digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") ==
                     std::string::npos;
        }
        pos_ = semicolon + 1;
        return ok;
    }

    const std::string &s_;
    std::size_t pos_ = 0;
};

inline std::string problem(const std::string &doc) {
    return checker(doc).problem();
}

} // namespace xml_check
