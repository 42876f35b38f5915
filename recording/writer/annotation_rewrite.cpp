// A TAL is: onset, optionally 0x15 and a duration, 0x14, any number of texts each closed by
// 0x14, then 0x00. Zero bytes after the last TAL fill the signal. The rewrite walks the TALs
// once, writes the changed list into scratch and copies it back, zero-filled.
#include "recording/writer/annotation_rewrite.h"

#include "recording/core/text_parse.h"
#include "recording/edf.h"

#include <cstring>

namespace {

constexpr unsigned char text_end = 0x14;
constexpr unsigned char duration_mark = 0x15;

// The onset rule of the reader: a sign, then digits with at most one '.', which is neither
// the first nor the last character after the sign.
bool is_onset(const unsigned char *text, int64_t n) {
    if (n < 2 || (text[0] != '+' && text[0] != '-') || text[1] == '.' || text[n - 1] == '.') {
        return false;
    }
    int points = 0;
    for (int64_t i = 1; i < n; i++) {
        if (text[i] == '.') {
            points++;
        } else if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return points <= 1;
}

// Shortest onset text of `ticks`: sign, whole seconds, and a fraction without trailing zeros
// when there is one. At most 29 characters.
int format_onset(int64_t ticks, char *out) {
    const uint64_t magnitude =
        ticks < 0 ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
    uint64_t seconds = magnitude / EDF_TIME_DIMENSION;
    uint64_t fraction = magnitude % EDF_TIME_DIMENSION;
    int n = 0;
    out[n++] = ticks < 0 ? '-' : '+';
    char digits[24];
    int d = 0;
    do {
        digits[d++] = static_cast<char>('0' + seconds % 10);
        seconds /= 10;
    } while (seconds != 0);
    while (d > 0) {
        out[n++] = digits[--d];
    }
    if (fraction != 0) {
        out[n++] = '.';
        int places = 7;
        while (fraction % 10 == 0) {
            fraction /= 10;
            places--;
        }
        for (int i = places - 1; i >= 0; i--) {
            uint64_t power = 1;
            for (int j = 0; j < i; j++) {
                power *= 10;
            }
            out[n++] = static_cast<char>('0' + (fraction / power) % 10);
        }
    }
    return n;
}

struct output {
    unsigned char *bytes;
    int64_t capacity;
    int64_t used;
    bool overflow;

    void put(const void *source, int64_t n) {
        if (used + n > capacity) {
            overflow = true;
            return;
        }
        std::memcpy(bytes + used, source, static_cast<size_t>(n));
        used += n;
    }
    void put(unsigned char b) {
        put(&b, 1);
    }
};

} // namespace

int edf_rewrite_annotation_signal(unsigned char *bytes, int64_t length, bool first_signal,
                                  const edf_tal_rewrite &how, unsigned char *work) {
    output out{work, length, 0, false};
    char *text = reinterpret_cast<char *>(work + length);
    int64_t p = 0;
    bool first_tal = true;
    while (p < length && bytes[p] != 0) {
        // Onset, up to 0x14 or 0x15.
        const int64_t onset_start = p;
        while (p < length && bytes[p] != text_end && bytes[p] != duration_mark && bytes[p] != 0) {
            p++;
        }
        if (p >= length || bytes[p] == 0 || !is_onset(bytes + onset_start, p - onset_start)) {
            return EDF_ERR_FORMAT;
        }
        if (how.shift_ticks != 0) {
            std::memcpy(text, bytes + onset_start, static_cast<size_t>(p - onset_start));
            text[p - onset_start] = '\0';
            int64_t ticks;
            int64_t moved;
            if (!edf_text_to_ticks_checked(text, &ticks) ||
                __builtin_sub_overflow(ticks, how.shift_ticks, &moved)) {
                return EDF_ERR_ANONYMIZED_VALUE;
            }
            char formatted[32];
            out.put(formatted, format_onset(moved, formatted));
        } else {
            out.put(bytes + onset_start, p - onset_start);
        }
        // Duration, kept as written.
        if (bytes[p] == duration_mark) {
            const int64_t duration_start = p;
            p++;
            while (p < length && bytes[p] != text_end && bytes[p] != 0 &&
                   bytes[p] != duration_mark) {
                p++;
            }
            if (p >= length || bytes[p] != text_end) {
                return EDF_ERR_FORMAT;
            }
            out.put(bytes + duration_start, p - duration_start);
        }
        out.put(text_end);
        p++;
        // Texts, each closed by 0x14, up to the zero byte that ends the TAL.
        int texts = 0;
        while (p < length && bytes[p] != 0) {
            const int64_t text_start = p;
            while (p < length && bytes[p] != text_end && bytes[p] != 0) {
                p++;
            }
            if (p >= length || bytes[p] != text_end) {
                return EDF_ERR_FORMAT;
            }
            if (!how.drop_texts) {
                out.put(bytes + text_start, p - text_start);
            } else if (!(first_signal && first_tal && texts == 0)) {
                out.put('X');
            }
            out.put(text_end);
            texts++;
            p++;
        }
        if (p >= length) {
            return EDF_ERR_FORMAT; // the TAL is not closed by a zero byte
        }
        out.put(static_cast<unsigned char>(0));
        p++;
        first_tal = false;
    }
    if (first_signal && first_tal) {
        return EDF_ERR_FORMAT; // no time-keeping TAL
    }
    for (; p < length; p++) {
        if (bytes[p] != 0) {
            return EDF_ERR_FORMAT; // only zero bytes may follow the padding
        }
    }
    if (out.overflow) {
        return EDF_ERR_ANONYMIZED_VALUE;
    }
    std::memcpy(bytes, work, static_cast<size_t>(out.used));
    std::memset(bytes + out.used, 0, static_cast<size_t>(length - out.used));
    return 0;
}
