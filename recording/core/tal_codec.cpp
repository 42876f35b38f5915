#include "recording/core/tal_codec.h"

#include "recording/core/text_parse.h"
#include "recording/core/utf8_text.h"
#include "recording/edf.h"

namespace edf::tal {

static_assert(writer_text_max == EDF_ANNOTATION_TEXT_MAX);

bool is_duration_text(const unsigned char *t, int64_t n) {
    int points = 0;
    for (int64_t i = 0; i < n; i++) {
        points += t[i] == '.';
        if (t[i] != '.' && (t[i] < '0' || t[i] > '9')) {
            return false;
        }
    }
    return n >= 1 && points <= 1 && t[0] != '.' && t[n - 1] != '.';
}

bool is_onset_text(const unsigned char *t, int64_t n) {
    return n >= 2 && (t[0] == '+' || t[0] == '-') && is_duration_text(t + 1, n - 1);
}

bool is_utf8_text(const unsigned char *text, int64_t n, int64_t checked) {
    const int64_t end = n < checked ? n : checked;
    int64_t i = 0;
    while (i < end) {
        char32_t code_point;
        const int length = edf_utf8_sequence(text + i, static_cast<size_t>(n - i), &code_point);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

int64_t latin1_to_utf8(const unsigned char *in, int64_t n, unsigned char *out, int64_t limit) {
    int64_t length = 0;
    for (int64_t i = 0; i < n; i++) {
        const unsigned char c = in[i];
        const int64_t size = c < 0x80 ? 1 : 2;
        if (length + size > limit) {
            break;
        }
        if (c < 0x80) {
            out[length++] = c;
        } else {
            out[length++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            out[length++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return length;
}

namespace {

// A writer's text as it grows, character by character.
struct text_builder {
    char *out;
    int length = 0;
    // Appends one character of `n` bytes; false when it does not fit.
    bool add(const unsigned char *bytes, int n) {
        if (length + n > writer_text_max) {
            return false;
        }
        std::memcpy(out + length, bytes, static_cast<size_t>(n));
        length += n;
        return true;
    }
    // Appends byte b read as Latin-1: C0 controls, DEL and the C1 range 0x80-0x9F as '.',
    // from 0xA0 up the character's two-byte UTF-8 form.
    bool add_latin1(unsigned char b) {
        if (b < 0x20 || (b >= 0x7F && b <= 0x9F)) {
            const unsigned char dot = '.';
            return add(&dot, 1);
        }
        if (b < 0x7F) {
            return add(&b, 1);
        }
        const unsigned char pair[2] = {static_cast<unsigned char>(0xC0 | (b >> 6)),
                                       static_cast<unsigned char>(b & 0xBF)};
        return add(pair, 2);
    }
};

} // namespace

void writer_text_from_utf8(const char *text, char *out) {
    text_builder built{out};
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t left = std::strlen(text);
    while (left > 0) {
        char32_t code_point;
        const int n = edf_utf8_sequence(bytes, left, &code_point);
        const bool fits = n > 1 ? built.add(bytes, n) : built.add_latin1(bytes[0]);
        if (!fits) {
            break;
        }
        const size_t used = n > 1 ? static_cast<size_t>(n) : 1;
        bytes += used;
        left -= used;
    }
    out[built.length] = '\0';
}

void writer_text_from_latin1(const char *text, char *out) {
    text_builder built{out};
    for (const char *p = text; *p != '\0' && built.add_latin1(static_cast<unsigned char>(*p));
         p++) {
    }
    out[built.length] = '\0';
}

namespace {

bool read_onset(const unsigned char *text, int64_t n, int64_t *ticks) {
    return is_onset_text(text, n) && edf_text_to_ticks_checked(reinterpret_cast<const char *>(text),
                                                               static_cast<size_t>(n), ticks);
}

// A duration counts up to its 15th character.
bool read_duration(const unsigned char *text, int64_t n, int64_t *ticks) {
    const int64_t counted = n < duration_text_max ? n : duration_text_max;
    return is_duration_text(text, n) &&
           edf_text_to_ticks_checked(reinterpret_cast<const char *>(text),
                                     static_cast<size_t>(counted), ticks);
}

// The TAL breaks `broken` at byte i: the next token starts after the zero byte that ends it.
bool broken_at(const unsigned char *s, int64_t length, int64_t i, const char *broken, token *t) {
    t->kind = token_kind::broken;
    t->broken_rule = broken;
    t->end = i;
    const void *zero = std::memchr(s + i, 0, static_cast<size_t>(length - i));
    t->next = zero != nullptr ? static_cast<const unsigned char *>(zero) - s + 1 : length;
    return true;
}

// A TAL from `at`, whose first byte is not zero.
bool scan_tal(const unsigned char *s, int64_t length, int64_t at, token *t) {
    enum class part { onset, duration, texts };
    part reading = part::onset;
    int64_t text_start = at;
    for (int64_t i = at; i < length; i++) {
        const unsigned char b = s[i];
        if (b == 0) {
            if (s[i - 1] != text_end) {
                return broken_at(s, length, i, no_end_mark, t);
            }
            t->kind = token_kind::tal;
            t->end = i;
            t->next = i + 1;
            return true;
        }
        if (b == duration_mark) {
            if (reading != part::onset || !read_onset(s + at, i - at, &t->onset)) {
                return broken_at(s, length, i, bad_onset_before_duration, t);
            }
            t->onset_end = i;
            reading = part::duration;
            text_start = i + 1;
        } else if (b == text_end) {
            if (reading == part::onset) {
                if (!read_onset(s + at, i - at, &t->onset)) {
                    return broken_at(s, length, i, bad_onset, t);
                }
                t->onset_end = i;
            } else if (reading == part::duration) {
                if (!read_duration(s + text_start, i - text_start, &t->duration)) {
                    return broken_at(s, length, i, bad_duration, t);
                }
                t->has_duration = true;
                t->duration_begin = text_start;
                t->duration_end = i;
            }
            if (reading != part::texts) {
                reading = part::texts;
                t->texts_begin = i + 1;
            }
            t->texts_end = i + 1;
            text_start = i + 1;
        }
    }
    t->kind = token_kind::cut;
    t->end = length;
    t->next = length;
    return true;
}

} // namespace

bool next_token(const unsigned char *s, int64_t length, int64_t at, token *t) {
    if (at >= length) {
        return false;
    }
    *t = token{token_kind::tal, nullptr, at, at, at + 1, -1, 0, false, at, at, 0, at, at};
    if (s[at] != 0) {
        return scan_tal(s, length, at, t);
    }
    if (at == 0) {
        t->kind = token_kind::empty;
        return true;
    }
    // Two zero bytes in a row: padding, and only padding may follow.
    const int64_t rest = length - at;
    const bool zeros =
        rest <= 1 || std::memcmp(s + at, s + at + 1, static_cast<size_t>(rest - 1)) == 0;
    t->kind = zeros ? token_kind::padding : token_kind::bad_padding;
    t->end = length;
    t->next = length;
    return true;
}

bool read_timekeeping(const unsigned char *s, int64_t length, int64_t *ticks) {
    const void *found = std::memchr(s, text_end, static_cast<size_t>(length));
    if (found == nullptr) {
        return false;
    }
    const int64_t i = static_cast<const unsigned char *>(found) - s;
    return i < length - 2 && s[i + 1] == text_end && read_onset(s, i, ticks);
}

int format_seconds(uint64_t ticks, time_form form, char *out) {
    char digits[20];
    int d = 0;
    uint64_t whole = ticks / EDF_TIME_DIMENSION;
    do {
        digits[d++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    int n = 0;
    while (d > 0) {
        out[n++] = digits[--d];
    }
    uint64_t fraction = ticks % EDF_TIME_DIMENSION;
    int places = fraction != 0 ? 7 : 0;
    if (form == time_form::seven_digits) {
        places = 7;
    } else if (form == time_form::microseconds && fraction % 10 == 0) {
        places = fraction != 0 ? 6 : 0;
    } else if (form == time_form::shortest) {
        for (uint64_t f = fraction; places > 0 && f % 10 == 0; f /= 10) {
            places--;
        }
    }
    if (places > 0) {
        out[n++] = '.';
        char seven[7];
        for (int i = 6; i >= 0; i--) {
            seven[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        std::memcpy(out + n, seven, static_cast<size_t>(places));
        n += places;
    }
    return n;
}

int format_onset(int64_t ticks, time_form form, char *out) {
    const uint64_t magnitude =
        ticks < 0 ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
    out[0] = ticks < 0 ? '-' : '+';
    return 1 + format_seconds(magnitude, form, out + 1);
}

void builder::onset(int64_t ticks, time_form form) {
    char text[32];
    put(text, format_onset(ticks, form, text));
}

void builder::duration(uint64_t ticks, time_form form) {
    char text[32];
    text[0] = static_cast<char>(duration_mark);
    put(text, 1 + format_seconds(ticks, form, text + 1));
}

int timekeeping_tal(int64_t ticks, time_form form, unsigned char *out) {
    builder b(out, 32);
    b.onset(ticks, form);
    b.put(text_end);
    b.put(text_end); // the empty first text
    b.put(static_cast<unsigned char>(0));
    return static_cast<int>(b.size());
}

int writer_tal(int64_t onset_ticks, int64_t duration_us, const char *text, unsigned char *out) {
    builder b(out, 84);
    b.onset(onset_ticks, time_form::microseconds);
    if (duration_us >= 0) {
        b.duration(static_cast<uint64_t>(duration_us) * 10, time_form::microseconds);
    }
    b.put(text_end);
    int n = 0;
    while (n < writer_text_max && text[n] != '\0') {
        n++;
    }
    b.text(text, n);
    b.put(static_cast<unsigned char>(0));
    return static_cast<int>(b.size());
}

} // namespace edf::tal
