// The annotation-list codec held to itself, to de-identification's rewrite and to the writer.
// The input is one annotation signal's bytes: its tokens must cover it in order, and its whole
// TALs, formatted again, must tokenize to the same onsets, durations and texts; the rewrite
// that changes nothing must give the same bytes exactly when the tokenizer finds nothing
// broken, and a shifted one the same TALs with shifted onsets. The input's first bytes also
// choose an annotation as the writer takes it (onset, duration, text, sub-second start, record
// time): the writer's TALs must read back strictly as queued.
#include "recording/core/tal_codec.h"
#include "recording/operations/annotation_rewrite.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace edf::tal;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct tal_value {
    int64_t onset;
    bool has_duration;
    int64_t duration;
    std::vector<std::string> texts;
    bool operator==(const tal_value &) const = default;
};

// The whole TALs of a signal, checking what every token promises; *clean tells whether every
// token was a whole TAL, the empty list at the start or padding.
std::vector<tal_value> whole_tals(const unsigned char *s, int64_t length, bool *clean) {
    std::vector<tal_value> tals;
    *clean = true;
    token t;
    for (int64_t at = 0; next_token(s, length, at, &t); at = t.next) {
        check(t.start == at && t.next > at && t.next <= length && t.end >= at && t.end <= length);
        switch (t.kind) {
        case token_kind::tal: {
            check(s[t.end] == 0 && s[t.end - 1] == text_end && t.next == t.end + 1);
            check(t.onset_end > t.start &&
                  t.texts_begin ==
                      t.onset_end + 1 + (t.has_duration ? t.duration_end - t.onset_end : 0));
            tal_value v{t.onset, t.has_duration, t.has_duration ? t.duration : 0, {}};
            for (texts x(s, t); x.next();) {
                check(s[x.close] == text_end && x.close < t.end);
                v.texts.emplace_back(reinterpret_cast<const char *>(s + x.begin),
                                     static_cast<size_t>(x.close - x.begin));
            }
            tals.push_back(v);
            break;
        }
        case token_kind::empty:
            check(at == 0 && s[0] == 0);
            break;
        case token_kind::padding:
            for (int64_t i = at; i < length; i++) {
                check(s[i] == 0);
            }
            break;
        case token_kind::broken:
            check(t.broken_rule != nullptr && t.end < length);
            *clean = false;
            break;
        case token_kind::bad_padding:
        case token_kind::cut:
            *clean = false;
            break;
        }
    }
    return tals;
}

// The TALs formatted again (onsets and durations in their shortest form), then one zero byte.
std::vector<unsigned char> format_tals(const std::vector<tal_value> &tals, int64_t capacity) {
    std::vector<unsigned char> out(static_cast<size_t>(capacity) + 1);
    builder b(out.data(), capacity);
    for (const tal_value &v : tals) {
        b.onset(v.onset, time_form::shortest);
        if (v.has_duration) {
            b.duration(static_cast<uint64_t>(v.duration), time_form::shortest);
        }
        b.put(text_end);
        for (const std::string &text : v.texts) {
            b.text(text.data(), static_cast<int64_t>(text.size()));
        }
        b.put(static_cast<unsigned char>(0));
    }
    check(!b.overflow());
    out.resize(static_cast<size_t>(b.size()) + 1);
    out.back() = 0;
    return out;
}

void round_trip(const unsigned char *data, int64_t size) {
    bool clean;
    const std::vector<tal_value> tals = whole_tals(data, size, &clean);
    // Onsets and durations never grow in their shortest form.
    std::vector<unsigned char> again = format_tals(tals, size + 1);
    bool again_clean;
    check(whole_tals(again.data(), static_cast<int64_t>(again.size()), &again_clean) == tals);
    check(again_clean);

    // De-identification's rewrite takes what the tokenizer takes, and changes nothing unasked.
    if (size == 0) {
        return;
    }
    std::vector<unsigned char> bytes(data, data + size);
    std::vector<unsigned char> work(static_cast<size_t>(size) + 1);
    const bool first = size > 0 && data[0] != 0;
    const int kept =
        edf_rewrite_annotation_signal(bytes.data(), size, first, {0, false}, work.data());
    check((kept == 0) == (clean && (!first || !tals.empty())));
    check(kept != 0 || std::memcmp(bytes.data(), data, static_cast<size_t>(size)) == 0);
    if (kept == 0 && !tals.empty()) {
        // Shifted: the same TALs with shifted onsets, where they fit.
        const int64_t shift = tals[0].onset % 100000007;
        if (edf_rewrite_annotation_signal(bytes.data(), size, first, {shift, false}, work.data()) ==
            0) {
            std::vector<tal_value> shifted = tals;
            for (tal_value &v : shifted) {
                v.onset -= shift;
            }
            bool shifted_clean;
            check(whole_tals(bytes.data(), size, &shifted_clean) == shifted && shifted_clean);
        }
    }
}

// Reads the input's first bytes as numbers.
struct reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint64_t number(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++) {
            v = v << 8 | (at < size ? data[at++] : 0);
        }
        return v;
    }
};

// The duration as the reader counts it: its text's first 15 characters.
int64_t read_duration(int64_t us) {
    const int64_t ticks = us * 10;
    if (us % 1000000 == 0) {
        return ticks;
    }
    int whole_digits = 1;
    for (int64_t w = us / 1000000; w >= 10; w /= 10) {
        whole_digits++;
    }
    const int decimals = duration_text_max - whole_digits - 1; // of the six written
    int64_t unit = 1;
    for (int d = decimals; d < 7; d++) {
        unit *= 10;
    }
    return decimals >= 6 ? ticks : ticks - ticks % unit;
}

void writer_annotation(const uint8_t *data, size_t size) {
    reader in{data, size};
    const int64_t onset_us = static_cast<int64_t>(in.number(8) % (writer_onset_max_us + 1));
    const uint64_t d = in.number(8);
    const int64_t duration_us =
        d & 1 ? -1 : static_cast<int64_t>((d >> 1) % (writer_duration_max_us + 1));
    const int64_t subsecond = static_cast<int64_t>(in.number(4) % 10000000);
    const int64_t record_ticks = static_cast<int64_t>(in.number(8) >> 2);
    const uint64_t flags = in.number(1);
    std::string given(reinterpret_cast<const char *>(data + in.at),
                      size - (in.at < size ? in.at : size));
    given = given.substr(0, std::strlen(given.c_str()));
    char text[writer_text_max + 1];
    (flags & 1 ? writer_text_from_latin1 : writer_text_from_utf8)(given.c_str(), text);

    // Annotation signal 0 as the writer makes it: the time-keeping TAL, the annotation's TAL.
    unsigned char signal[120] = {};
    const time_form forms[] = {time_form::seven_when_fraction, time_form::seven_digits,
                               time_form::shortest, time_form::seven_when_fraction};
    const time_form form = forms[flags >> 1 & 3];
    const int used = timekeeping_tal(record_ticks, form, signal);
    const int n = writer_tal(onset_us * 10 + subsecond, duration_us, text, signal + used);
    check(used + n <= 108 && signal[119] == 0);

    int64_t time;
    check(read_timekeeping(signal, 120, &time) && time == record_ticks);
    bool clean;
    const std::vector<tal_value> tals = whole_tals(signal, 120, &clean);
    check(clean && tals.size() == 2 && tals[0].texts == std::vector<std::string>{""});
    const tal_value &a = tals[1];
    check(a.onset - subsecond == onset_us * 10);
    check(a.has_duration == (duration_us >= 0));
    check(duration_us < 0 || a.duration == read_duration(duration_us));
    check(a.texts.size() == 1 && a.texts[0] == text);
    const auto *stored = reinterpret_cast<const unsigned char *>(a.texts[0].data());
    const auto length = static_cast<int64_t>(a.texts[0].size());
    check(length <= writer_text_max && is_utf8_text(stored, length, length));
    for (int64_t i = 0; i < length; i++) {
        check(is_text_byte(stored[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) {
        return 0;
    }
    round_trip(data, static_cast<int64_t>(size));
    writer_annotation(data, size);
    return 0;
}
