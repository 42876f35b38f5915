// The annotation-list codec: the one tokenizer of the time-stamped annotation lists (TALs)
// in an annotation signal's bytes, and the one formatter of onsets and TALs.
//
// A TAL is an onset ('+' or '-' and decimal seconds), optionally 0x15 and a duration
// (decimal seconds, no sign), 0x14, then any number of texts each closed by 0x14, and one
// 0x00 that ends it. After exactly one zero byte the next TAL begins; two zero bytes start
// the padding, which fills the rest of the signal. The first annotation signal of every
// record opens with the record's time-keeping TAL: the record's start as its onset and an
// empty first text.
//
// The tokenizer says what is there and which rule breaks where; what a broken TAL means
// (refusal, a problem to list, a repair) is its callers' business. The formatter writes the
// forms this library stores: the writer's (onsets to the tick, durations to the
// microsecond) and the shortest form of a time that a repair or de-identification rewrites.
#pragma once

#include <cstdint>
#include <cstring>

namespace edf::tal {

inline constexpr unsigned char text_end = 0x14;      // closes an onset, a duration or a text
inline constexpr unsigned char duration_mark = 0x15; // a duration follows the onset
// A duration counts up to its 15th character (the rest of a longer one is not read).
inline constexpr int duration_text_max = 15;
// The writer's annotation texts: UTF-8 of at most 40 bytes.
inline constexpr int writer_text_max = 40;
// Times that a reader could not count in 100 ns ticks within 64 bits are not written: a
// duration above INT64_MAX / 10 microseconds (about 29000 years), or an onset whose tick
// count would pass INT64_MAX once a sub-second start (below one second) is added.
inline constexpr int64_t writer_duration_max_us = INT64_MAX / 10;
inline constexpr int64_t writer_onset_max_us = (INT64_MAX - (10000000 - 1)) / 10;

// ---- Texts --------------------------------------------------------------------------------

// Digits with at most one '.', which is neither first nor last; no sign.
bool is_duration_text(const unsigned char *text, int64_t n);
// '+' or '-', then a duration text: '+0', '+12.5', '-3'.
bool is_onset_text(const unsigned char *text, int64_t n);
// Annotation texts refuse control bytes other than tab, line feed and carriage return, and
// DEL; bytes from 0x80 up pass (UTF-8).
inline bool is_text_byte(unsigned char b) {
    return (b >= 0x20 && b != 0x7F) || b == 0x09 || b == 0x0A || b == 0x0D;
}
// Whether every character that starts among the first `checked` of the n bytes is well-formed
// UTF-8 (the last may reach beyond them).
bool is_utf8_text(const unsigned char *text, int64_t n, int64_t checked);
// A text read as Latin-1, in UTF-8: bytes from 0x80 up become the two-byte forms of the same
// code points. Converts the n bytes at `in` into `out` (room for 2 n or `limit`) and returns
// the length; stops before the first character that would pass `limit` bytes.
int64_t latin1_to_utf8(const unsigned char *in, int64_t n, unsigned char *out, int64_t limit);

// The writer's annotation texts (at most 40 bytes of UTF-8 and a NUL in `out`). A text whose
// UTF-8 form fits is stored whole; a longer one is cut before the first character that does
// not fit, never inside one. Control bytes 1-31 and DEL become '.', since readers refuse
// annotation texts that hold them. From UTF-8, each byte that is not part of a well-formed
// sequence is read as Latin-1 (0x80-0x9F as '.'); from Latin-1 every byte is.
void writer_text_from_utf8(const char *text, char *out);
void writer_text_from_latin1(const char *text, char *out);

// ---- Tokenizer ----------------------------------------------------------------------------

// The rules that a broken TAL breaks, in the words the reader's problems use.
inline constexpr const char *bad_onset_before_duration = "a bad onset before 0x15";
inline constexpr const char *bad_onset = "a bad onset";
inline constexpr const char *bad_duration = "a bad duration";
inline constexpr const char *no_end_mark = "it ends without 0x14"; // a zero byte not after 0x14

enum class token_kind {
    tal,         // a whole TAL: `end` is the zero byte that ends it
    empty,       // the signal's first byte is zero: an empty list (more TALs may follow)
    padding,     // only zero bytes from `start` to the end of the signal
    bad_padding, // the zero bytes from `start` on are followed by others
    broken,      // a TAL that breaks `broken_rule` at byte `end`
    cut,         // a TAL that the end of the signal cuts off
};

struct token {
    token_kind kind;
    const char *broken_rule; // see the rules above
    int64_t start;           // first byte of the token
    int64_t end;             // see token_kind
    int64_t next;            // where the next token starts (after the zero byte that ends this one)
    // The onset: its text is [start, onset_end), closed by the 0x14 or 0x15 at onset_end;
    // onset_end is -1 when the TAL broke before its onset was read.
    int64_t onset_end;
    int64_t onset; // ticks
    // The duration, when there is one: its text [duration_begin, duration_end), and the
    // ticks of its first 15 characters.
    bool has_duration;
    int64_t duration_begin;
    int64_t duration_end;
    int64_t duration;
    // The texts read before `end`, each closed by 0x14 (see texts).
    int64_t texts_begin;
    int64_t texts_end;
};

// Reads the token at byte `at` of an annotation signal of `length` bytes: at 0 and then at
// each token's `next`. Returns false when nothing is left (at >= length).
bool next_token(const unsigned char *signal, int64_t length, int64_t at, token *t);

// The texts of a token one by one: for (texts x(s, t); x.next();) uses [x.begin, x.close).
struct texts {
    const unsigned char *signal;
    int64_t at;
    int64_t end;
    int64_t begin = 0;
    int64_t close = 0; // the 0x14 after the text
    texts(const unsigned char *s, const token &t)
        : signal(s), at(t.texts_begin), end(t.texts_end) {}
    bool next() {
        if (at >= end) {
            return false;
        }
        begin = at;
        const void *found = std::memchr(signal + at, text_end, static_cast<size_t>(end - at));
        close = found != nullptr ? static_cast<const unsigned char *>(found) - signal : end;
        at = close + 1;
        return true;
    }
};

// The time-keeping TAL that opens `signal`: an onset, 0x14, 0x14 (the empty first text) with
// room for a byte after them. Stores the onset in *ticks; false when there is none.
bool read_timekeeping(const unsigned char *signal, int64_t length, int64_t *ticks);

// ---- Formatter ----------------------------------------------------------------------------

// How many decimals a time gets.
enum class time_form {
    shortest,            // those of its fraction, without trailing zeros ("+0.25")
    seven_digits,        // always seven ("+1.0000000")
    seven_when_fraction, // seven when it is not a whole second
    microseconds,        // six when a whole number of microseconds, else seven; none if whole
};

// Whole seconds and the decimals of `ticks` (at most 28 characters); returns the length.
int format_seconds(uint64_t ticks, time_form form, char *out);
// The sign ('+' from 0 up), then format_seconds of the magnitude; at most 29 characters.
int format_onset(int64_t ticks, time_form form, char *out);

// Puts bytes into an area of `capacity` bytes. What does not fit is not put, and overflow()
// tells.
class builder {
  public:
    builder(unsigned char *out, int64_t capacity) : out_(out), capacity_(capacity) {}
    int64_t size() const {
        return used_;
    }
    bool overflow() const {
        return overflow_;
    }
    void put(const void *bytes, int64_t n) {
        if (used_ + n > capacity_) {
            overflow_ = true;
            return;
        }
        std::memcpy(out_ + used_, bytes, static_cast<size_t>(n));
        used_ += n;
    }
    void put(unsigned char b) {
        put(&b, 1);
    }
    void onset(int64_t ticks, time_form form);
    void duration(uint64_t ticks, time_form form); // 0x15 and the seconds
    void text(const void *bytes, int64_t n) {      // a text and its 0x14
        put(bytes, n);
        put(text_end);
    }

  private:
    unsigned char *out_;
    int64_t capacity_;
    int64_t used_ = 0;
    bool overflow_ = false;
};

// A time-keeping TAL ("+12.5", 0x14, 0x14, 0x00) of `ticks`; at most 32 bytes. Returns its
// length.
int timekeeping_tal(int64_t ticks, time_form form, unsigned char *out);

// The writer's annotation TAL with the zero byte that ends it: the onset in ticks, to the
// tick (time_form::microseconds), the duration in microseconds (none when negative) and at
// most 40 bytes of the NUL-terminated text. At most 84 bytes; returns the length.
int writer_tal(int64_t onset_ticks, int64_t duration_us, const char *text, unsigned char *out);

// Puts the TAL of token `t` (a whole one) of `signal` again, with the zero byte that ends it:
// the onset as stored, or `new_onset` in its shortest form when given; the duration as
// stored; each text i as text(b, i, bytes, n) puts it (a text and its 0x14, see
// builder::text).
template <typename Text>
void put_tal(builder &b, const unsigned char *signal, const token &t, const int64_t *new_onset,
             Text &&text) {
    if (new_onset != nullptr) {
        b.onset(*new_onset, time_form::shortest);
    } else {
        b.put(signal + t.start, t.onset_end - t.start);
    }
    if (t.has_duration) {
        b.put(signal + t.onset_end, t.duration_end - t.onset_end); // 0x15 and the text
    }
    b.put(text_end);
    int index = 0;
    for (texts x(signal, t); x.next(); index++) {
        text(b, index, signal + x.begin, x.close - x.begin);
    }
    b.put(static_cast<unsigned char>(0));
}

} // namespace edf::tal
