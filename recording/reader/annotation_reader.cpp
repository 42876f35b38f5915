// Annotation extraction for EDF+ and BDF+ files opened for reading.
//
// Every data record carries the file's annotation signals. Each of them holds time-stamped
// annotation lists (TALs): an onset ('+' or '-' and decimal seconds), optionally 0x15 and a
// duration, 0x14, then any number of annotation texts each closed by 0x14, and one 0x00 that
// ends the TAL; the rest of the signal is 0x00 padding. The first annotation signal of every
// record opens with the record's time-keeping TAL, whose onset is the record's start time and
// whose single annotation is empty.
//
// Only the annotation signals' bytes of each record are looked at. Files whose records are
// small are read in large runs of whole records into one buffer; files whose records are
// large are read record by record, reading only the annotation signals' bytes (one read per
// cluster of nearby annotation signals). Both give the same checks and results as
// reading every record whole.
#include "recording/reader/annotation_reader.h"

#include "recording/core/positioned_io.h"
#include "recording/core/text_format.h"
#include "recording/core/text_parse.h"
#include "recording/core/utf8_text.h"
#include "recording/reader/segment_map.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int result_ok = 0;
constexpr int result_no_memory = 1;
constexpr int result_read_failed = 2;
constexpr int result_bad_format = 9;
constexpr int result_list_full = -1;
// Internal: mode 0 has what it needs after the first record's time-keeping TAL.
constexpr int result_done = 100;

constexpr unsigned char tal_end_of_onset = 0x14;
constexpr unsigned char tal_duration_follows = 0x15;

// Records whose bytes outside the annotation signals total less than this are read whole, in
// runs of many records; larger records are read annotation signal cluster by cluster.
constexpr int64_t whole_record_limit = 16384;
// Target size of one run of whole records.
constexpr int64_t run_bytes_target = 262144;
// Annotation signals closer than this share one read (the bytes between are read too).
constexpr int64_t cluster_gap_limit = 4096;

constexpr int stored_text_max = 512;
constexpr int stored_duration_max = 15;
constexpr int64_t no_duration = -EDF_TIME_DIMENSION;

// Digits with at most one '.', which is neither first nor last; no sign.
bool is_duration_text(const unsigned char *t, int64_t n) {
    if (n < 1 || t[0] == '.' || t[n - 1] == '.') {
        return false;
    }
    bool point = false;
    for (int64_t i = 0; i < n; i++) {
        if (t[i] == '.') {
            if (point) {
                return false;
            }
            point = true;
        } else if (t[i] < '0' || t[i] > '9') {
            return false;
        }
    }
    return true;
}

// '+' or '-', then a duration text: '+0', '+12.5', '-3'.
bool is_onset_text(const unsigned char *t, int64_t n) {
    return n >= 2 && (t[0] == '+' || t[0] == '-') && is_duration_text(t + 1, n - 1);
}

// Annotation texts are UTF-8: control bytes other than tab, line feed and carriage return,
// and DEL, are refused; bytes from 0x80 up pass.
bool is_text_byte(unsigned char b) {
    return (b >= 0x20 && b != 0x7F) || b == 0x09 || b == 0x0A || b == 0x0D;
}

// Whether the part of an annotation text of n bytes that is kept (its first 512 bytes) is
// UTF-8: every character that starts there is well-formed (the last may reach beyond).
bool is_utf8_text(const unsigned char *text, int64_t n) {
    const int64_t kept = n < stored_text_max ? n : stored_text_max;
    int64_t i = 0;
    while (i < kept) {
        char32_t code_point;
        const int length = edf_utf8_sequence(text + i, static_cast<size_t>(n - i), &code_point);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

// An annotation text that is not UTF-8 read as Latin-1: its bytes from 0x80 up become the
// two-byte UTF-8 forms of the same code points. Converts the n bytes at `in` into `out` (room
// for 2 n) and returns the length, or stops before the first character that would pass
// `limit` bytes.
int64_t latin1_text_to_utf8(const unsigned char *in, int64_t n, unsigned char *out, int64_t limit) {
    int64_t length = 0;
    for (int64_t i = 0; i < n; i++) {
        const unsigned char c = in[i];
        if (c < 0x80) {
            if (length + 1 > limit) {
                break;
            }
            out[length++] = c;
        } else {
            if (length + 2 > limit) {
                break;
            }
            out[length++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            out[length++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return length;
}

struct annotation_signal {
    int64_t offset;          // byte offset inside a data record
    int64_t length;          // bytes in one data record
    int64_t buffer_position; // where its bytes lie in the buffer of a cluster read
    unsigned char *bytes;    // where the signal's bytes of the current record are
    int64_t carry_position;  // where its carried TALs lie in `carried` (see extraction)
    int64_t carried_length;
};

struct cluster {
    int64_t offset; // byte offset inside a data record
    int64_t length;
    int64_t buffer_position;
};

struct extraction {
    edf_recording *r;
    int handle;
    int mode;
    int signal_count; // annotation signals
    annotation_signal *signals;
    char *text;                   // NUL-terminated copy of an onset or duration for conversion
    int64_t previous_record_time; // of the last record whose time is known
    bool after_unplaced;          // records of unknown time follow that record
    edf_problem_sink *sink;
    bool store;     // false while only checking: nothing is kept
    int64_t record; // the record being examined
    int k;          // the annotation signal being examined
    // While collecting the replacements of a repaired copy: the TALs of the current signal
    // that are kept, as (start, end, texts read as Latin-1) triples, and whether the signal
    // had a problem.
    int64_t *kept;
    int64_t kept_count;
    bool signal_flawed;
    bool timekeeping_rewritten; // the file's time-keeping TAL is missing or wrong
    bool timekeeping_kept;      // the file's time-keeping TAL is among the kept ones
    int64_t latin1_record;      // the last record whose Latin-1 texts were reported, or -1
    unsigned char *converted;   // room for a text read as Latin-1, in UTF-8
    // While collecting the replacements of a discontinuous file's repaired copy, which leaves
    // the records of unknown time out: their kept TALs (with their own onsets), per annotation
    // signal, waiting to be written into the same signal of the next record that is copied.
    unsigned char *carried;
    bool record_unplaced; // the record being examined has no known time
};

// Reports a problem of the bytes at `at` (n of them) of annotation signal x.k of record
// x.record. Returns true when the pass goes on; else *result holds the result to end with.
bool annotation_flaw(extraction &x, int64_t at, const unsigned char *found, int64_t n,
                     const char *field, int *result, const char *format, ...)
    __attribute__((format(printf, 7, 8)));
bool annotation_flaw(extraction &x, int64_t at, const unsigned char *found, int64_t n,
                     const char *field, int *result, const char *format, ...) {
    *result = result_bad_format;
    if (x.sink->policy == edf_policy::strict) {
        if (x.sink->first_code == 0) {
            x.sink->first_code = EDF_ERR_FORMAT;
        }
        return false;
    }
    char message[241];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    const annotation_signal &a = x.signals[x.k];
    const edf_problem_place place{static_cast<int64_t>(x.r->header_size) +
                                      x.record * x.r->record_size + a.offset + at,
                                  x.r->annotation_signal_indexes[x.k], x.record, field};
    x.signal_flawed = true;
    if (edf_report(x.sink, place, EDF_ERR_FORMAT, EDF_PROBLEM_REPAIRED, found, n < 80 ? n : 80,
                   "%s", message)) {
        return true;
    }
    *result = x.sink->out_of_memory ? result_no_memory : result_bad_format;
    return false;
}

// Converts an onset or duration text to ticks; false when the value does not fit 64 bits.
bool text_ticks(extraction &x, const unsigned char *t, int64_t n, int64_t *ticks) {
    std::memcpy(x.text, t, static_cast<size_t>(n));
    x.text[n] = '\0';
    return edf_text_to_ticks_checked(x.text, ticks);
}

// A TAL's onset, taken relative to the sub-second start of the recording.
bool tal_onset(extraction &x, const unsigned char *t, int64_t n, int64_t *onset) {
    int64_t ticks;
    return is_onset_text(t, n) && text_ticks(x, t, n, &ticks) &&
           !__builtin_sub_overflow(ticks, x.r->subsecond_start_ticks, onset);
}

// The time-keeping TAL at the start of a record's first annotation signal: an onset, 0x14,
// 0x14 (the empty annotation). Returns the record's time in *time.
bool timekeeping_time(extraction &x, const unsigned char *s, int64_t length, int64_t *time) {
    const void *found = std::memchr(s, tal_end_of_onset, static_cast<size_t>(length));
    if (found == nullptr) {
        return false;
    }
    const int64_t i = static_cast<const unsigned char *>(found) - s;
    if (i >= length - 2 || s[i + 1] != tal_end_of_onset) {
        return false;
    }
    return is_onset_text(s, i) && text_ticks(x, s, i, time);
}

// Room for one more entry of the handle's list, which grows 1000 entries at a time.
edf_parsed_annotation *next_entry(extraction &x) {
    edf_recording *r = x.r;
    if (r->annotation_count >= r->annotation_capacity) {
        const int64_t capacity =
            static_cast<int64_t>(r->annotation_capacity) + EDF_ANNOTATION_LIST_STEP;
        if (capacity > INT32_MAX) {
            return nullptr;
        }
        void *grown = std::realloc(edf_parsed_annotation_lists[x.handle],
                                   static_cast<size_t>(capacity) * sizeof(edf_parsed_annotation));
        if (grown == nullptr) {
            return nullptr;
        }
        edf_parsed_annotation_lists[x.handle] = static_cast<edf_parsed_annotation *>(grown);
        r->annotation_capacity = static_cast<int>(capacity);
    }
    return &edf_parsed_annotation_lists[x.handle][r->annotation_count];
}

// Appends n bytes and a NUL to the recording's text arena, which doubles as it fills (so a
// file of many tiny annotations costs memory in proportion to its texts, not to the longest
// text allowed). The arena's first byte is the empty text. Returns the text's offset, or 0
// when the arena cannot grow (*ok is then false).
uint32_t store_text(edf_recording *r, const unsigned char *text, int64_t n, bool *ok) {
    *ok = true;
    if (n == 0) {
        return 0;
    }
    const int64_t needed = (r->annotation_text_size > 0 ? r->annotation_text_size : 1) + n + 1;
    if (needed > UINT32_MAX) {
        *ok = false;
        return 0;
    }
    if (needed > r->annotation_text_capacity) {
        int64_t capacity = r->annotation_text_capacity > 0 ? r->annotation_text_capacity : 4096;
        while (capacity < needed) {
            capacity *= 2;
        }
        void *grown = std::realloc(r->annotation_texts, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            *ok = false;
            return 0;
        }
        r->annotation_texts = static_cast<char *>(grown);
        r->annotation_text_capacity = capacity;
        if (r->annotation_text_size == 0) {
            r->annotation_texts[0] = '\0';
            r->annotation_text_size = 1;
        }
    }
    const int64_t at = r->annotation_text_size;
    std::memcpy(r->annotation_texts + at, text, static_cast<size_t>(n));
    r->annotation_texts[at + n] = '\0';
    r->annotation_text_size = at + n + 1;
    return static_cast<uint32_t>(at);
}

struct tal {
    int64_t onset;
    int64_t duration;
    unsigned char duration_text[stored_duration_max];
    int64_t duration_length;
    // The duration text's place in the arena, stored with the TAL's first annotation; -1
    // before that.
    int64_t duration_stored;
    // The first of its texts that is not UTF-8 (read as Latin-1 by the check and the tolerant
    // open), or null.
    const unsigned char *latin1_text;
    int64_t latin1_length;
};

// Stores one annotation; sets *ends when its text begins with "Recording ends".
int store_annotation(extraction &x, tal &t, const unsigned char *text, int64_t n, bool *ends) {
    // Only the first 512 bytes are kept, and only those are checked.
    const int64_t kept = n < stored_text_max ? n : stored_text_max;
    for (int64_t i = 0; i < kept; i++) {
        if (!is_text_byte(text[i])) {
            return result_bad_format;
        }
    }
    // The strict open hands every text out as stored; the others read one that is not UTF-8
    // as Latin-1 (the TAL's end reports it).
    const bool latin1 = x.sink->policy != edf_policy::strict && !is_utf8_text(text, n);
    if (latin1 && t.latin1_text == nullptr) {
        t.latin1_text = text;
        t.latin1_length = n;
    }
    if (!x.store) {
        *ends = kept >= 14 && std::memcmp(text, "Recording ends", 14) == 0;
        return result_ok;
    }
    edf_parsed_annotation *entry = next_entry(x);
    if (entry == nullptr) {
        return result_list_full;
    }
    bool ok = true;
    if (t.duration_stored < 0) {
        t.duration_stored = store_text(x.r, t.duration_text, t.duration_length, &ok);
    }
    const unsigned char *stored = text;
    int64_t stored_length = kept;
    if (latin1) {
        stored_length = latin1_text_to_utf8(text, kept, x.converted, stored_text_max);
        stored = x.converted;
    }
    const uint32_t text_at = ok ? store_text(x.r, stored, stored_length, &ok) : 0;
    if (!ok) {
        return result_list_full;
    }
    entry->duration_text = static_cast<uint32_t>(t.duration_stored);
    entry->text = text_at;
    entry->onset = t.onset;
    x.r->annotation_count++;
    *ends = kept >= 14 && std::memcmp(text, "Recording ends", 14) == 0;
    return result_ok;
}

// Walks the TALs of one annotation signal of one record and stores their annotations. In the
// first annotation signal the first annotation is the time-keeping TAL's empty one and is not
// stored (`timekeeping`). A TAL that breaks a rule ends the walk under the strict policy;
// under the others it is reported and skipped whole (the annotations stored from it are
// taken back), and the walk goes on after the zero byte that ends it.
int parse_signal(extraction &x, const unsigned char *s, int64_t length, bool timekeeping) {
    enum class state { onset, duration, texts };
    state st = state::onset;
    bool after_tal_end = false; // the previous byte was the zero byte that ended a TAL
    int64_t text_start = 0;     // the text collected since the last separator starts here
    int64_t tal_start = 0;      // the current TAL starts here
    int64_t annotations = 0;
    tal t{0, no_duration, {}, 0, -1, nullptr, 0};
    const bool stop_at_end = x.mode == EDF_READ_ANNOTATIONS && x.signal_count == 1;
    edf_recording *r = x.r;
    int count_at_tal = r->annotation_count;
    int64_t text_size_at_tal = r->annotation_text_size;
    int result = result_ok;

    // Reports the current TAL as broken at byte i; on going on, takes back what it stored and
    // returns the position of the zero byte that ends it (or the signal's length).
    auto skip_tal = [&](int64_t i, const char *rule) -> int64_t {
        if (!annotation_flaw(x, tal_start, s + tal_start, i + 1 - tal_start, "annotation", &result,
                             "A TAL of data record %" PRId64 " breaks a rule (%s); it is "
                             "skipped.",
                             x.record, rule)) {
            return -1;
        }
        r->annotation_count = count_at_tal;
        r->annotation_text_size = text_size_at_tal;
        int64_t j = i;
        while (j < length && s[j] != 0x00) {
            j++;
        }
        return j;
    };
    // Starts a new TAL after the zero byte at i.
    auto next_tal = [&](int64_t i) {
        st = state::onset;
        t.duration = no_duration;
        t.duration_length = 0;
        t.duration_stored = -1;
        t.latin1_text = nullptr;
        text_start = i + 1;
        tal_start = i + 1;
        after_tal_end = true;
        count_at_tal = r->annotation_count;
        text_size_at_tal = r->annotation_text_size;
    };

    for (int64_t i = 0; i < length; i++) {
        const unsigned char b = s[i];
        if (b == 0x00) {
            if (after_tal_end) {
                // Two zero bytes in a row: padding, and only padding may follow.
                const int64_t rest = length - i;
                if (rest <= 1 ||
                    std::memcmp(s + i, s + i + 1, static_cast<size_t>(rest - 1)) == 0) {
                    return result_ok;
                }
                if (!annotation_flaw(x, i, s + i, rest, "annotation", &result,
                                     "The padding of an annotation signal in data record %" PRId64
                                     " holds bytes other than zero; they are ignored.",
                                     x.record)) {
                    return result;
                }
                return result_ok;
            }
            // The end of a TAL: only right after the 0x14 that closes its last text (or as
            // the signal's first byte, in a signal without TALs).
            if (i != 0 && s[i - 1] != tal_end_of_onset) {
                if (skip_tal(i, "it ends without 0x14") < 0) {
                    return result;
                }
                next_tal(i);
                continue;
            }
            // A whole TAL: its texts that are not UTF-8 are read as Latin-1, and the first
            // such TAL of a record is reported. The strict open accepts them as they stand,
            // so the problem has no code of that open's.
            const bool latin1 = t.latin1_text != nullptr;
            if (latin1 && x.latin1_record != x.record) {
                x.latin1_record = x.record;
                x.signal_flawed = true;
                const annotation_signal &a = x.signals[x.k];
                const edf_problem_place place{
                    static_cast<int64_t>(r->header_size) + x.record * r->record_size + a.offset +
                        (t.latin1_text - s),
                    r->annotation_signal_indexes[x.k], x.record, "annotation text"};
                if (!edf_report(x.sink, place, 0, EDF_PROBLEM_REPAIRED, t.latin1_text,
                                t.latin1_length < 80 ? t.latin1_length : 80,
                                "An annotation text of data record %" PRId64
                                " is not UTF-8; it is read as Latin-1, as is every other such "
                                "text of the record.",
                                x.record)) {
                    return result_no_memory;
                }
            } else if (latin1) {
                x.signal_flawed = true;
            }
            if (x.kept != nullptr && i > tal_start &&
                !(timekeeping && tal_start == 0 && x.timekeeping_rewritten)) {
                x.timekeeping_kept = x.timekeeping_kept || (timekeeping && tal_start == 0);
                x.kept[3 * x.kept_count] = tal_start;
                x.kept[3 * x.kept_count + 1] = i + 1;
                x.kept[3 * x.kept_count + 2] = latin1 ? 1 : 0;
                x.kept_count++;
            }
            next_tal(i);
            continue;
        }
        after_tal_end = false;
        const char *broken = nullptr;
        if (b == tal_duration_follows) {
            if (st != state::onset || !tal_onset(x, s + text_start, i - text_start, &t.onset)) {
                broken = "a bad onset before 0x15";
            } else {
                st = state::duration;
                text_start = i + 1;
            }
        } else if (b == tal_end_of_onset) {
            const unsigned char *text = s + text_start;
            const int64_t n = i - text_start;
            if (st == state::onset) {
                if (!tal_onset(x, text, n, &t.onset)) {
                    broken = "a bad onset";
                }
            } else if (st == state::duration) {
                // The duration counts up to its 15th character.
                const int64_t kept = n < stored_duration_max ? n : stored_duration_max;
                if (!is_duration_text(text, n) || !text_ticks(x, text, kept, &t.duration)) {
                    broken = "a bad duration";
                } else {
                    std::memcpy(t.duration_text, text, static_cast<size_t>(kept));
                    t.duration_length = kept;
                    t.duration_stored = -1;
                }
            } else {
                if (!(timekeeping && annotations == 0)) {
                    bool ends = false;
                    const int stored = store_annotation(x, t, text, n, &ends);
                    if (stored == result_bad_format) {
                        broken = "a control byte in an annotation text";
                    } else if (stored != result_ok) {
                        return stored;
                    } else if (ends && stop_at_end) {
                        return result_ok; // the rest of this signal is not examined
                    }
                }
                annotations++;
            }
            if (broken == nullptr) {
                st = state::texts;
                text_start = i + 1;
            }
        }
        // Any other byte belongs to the text being collected.
        if (broken != nullptr) {
            const int64_t end = skip_tal(i, broken);
            if (end < 0) {
                return result;
            }
            next_tal(end);
            i = end;
        }
    }
    // A last TAL cut off by the end of the signal (reported by the caller) is not kept.
    if (!after_tal_end && length > 0) {
        r->annotation_count = count_at_tal;
        r->annotation_text_size = text_size_at_tal;
    }
    return result_ok;
}

// Appends the time text of `ticks` ("+12.5", "-0.0000001") to `out`; returns its length.
int time_text(char *out, int64_t ticks) {
    const uint64_t magnitude =
        ticks < 0 ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
    int n = std::snprintf(out, 32, "%c%" PRIu64, ticks < 0 ? '-' : '+',
                          magnitude / static_cast<uint64_t>(EDF_TIME_DIMENSION));
    uint64_t fraction = magnitude % static_cast<uint64_t>(EDF_TIME_DIMENSION);
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%07" PRIu64, fraction);
        int d = 7;
        while (d > 0 && digits[d - 1] == '0') {
            d--;
        }
        out[n++] = '.';
        std::memcpy(out + n, digits, static_cast<size_t>(d));
        n += d;
    }
    out[n] = '\0';
    return n;
}

// A kept TAL of n bytes whose texts are not all UTF-8, as a repaired copy holds it in `out`
// (room for 2 n): the texts that are not UTF-8 converted from Latin-1 to UTF-8, or, with
// `ascii`, transliterated to ASCII by the writer's rule (which keeps their length). Returns its
// length.
int64_t rewrite_latin1_tal(const unsigned char *tal_bytes, int64_t n, unsigned char *out,
                           bool ascii) {
    const void *found = std::memchr(tal_bytes, tal_end_of_onset, static_cast<size_t>(n));
    int64_t i = found != nullptr ? static_cast<const unsigned char *>(found) - tal_bytes + 1 : n;
    std::memcpy(out, tal_bytes, static_cast<size_t>(i)); // the onset (and duration)
    int64_t length = i;
    while (i < n) {
        const void *end = std::memchr(tal_bytes + i, tal_end_of_onset, static_cast<size_t>(n - i));
        const int64_t piece_end =
            end != nullptr ? static_cast<const unsigned char *>(end) - tal_bytes : n;
        const unsigned char *piece = tal_bytes + i;
        const int64_t piece_length = piece_end - i;
        if (is_utf8_text(piece, piece_length)) {
            std::memcpy(out + length, piece, static_cast<size_t>(piece_length));
            length += piece_length;
        } else if (ascii) {
            for (int64_t k = 0; k < piece_length; k++) {
                char c = static_cast<char>(piece[k]);
                if (piece[k] >= 0x80) {
                    edf_latin1_to_ascii(&c, 1);
                }
                out[length++] = static_cast<unsigned char>(c);
            }
        } else {
            length += latin1_text_to_utf8(piece, piece_length, out + length, 2 * piece_length);
        }
        if (piece_end < n) {
            out[length++] = tal_bytes[piece_end]; // the 0x14 after the text
        }
        i = piece_end + 1;
    }
    return length;
}

// The signal as a repaired copy holds it: a new time-keeping TAL of `time` (`first`: in the
// first annotation signal, when the file's is not kept because it was missing, wrong or
// broken), then the TALs that were kept (texts that are not UTF-8 converted from Latin-1 where
// the signal has room, else transliterated to ASCII), then zero bytes. TALs that no longer fit
// are left out.
void replace_signal(extraction &x, const unsigned char *s, int64_t length, bool first,
                    int64_t time) {
    unsigned char *bytes =
        static_cast<unsigned char *>(std::calloc(static_cast<size_t>(length), 1));
    if (bytes == nullptr) {
        x.sink->out_of_memory = true;
        return;
    }
    int64_t n = 0;
    if (first) {
        char text[40];
        const int t = time_text(text, time);
        if (t + 3 <= length) {
            std::memcpy(bytes, text, static_cast<size_t>(t));
            bytes[t] = tal_end_of_onset;
            bytes[t + 1] = tal_end_of_onset;
            n = t + 3;
        }
    }
    // Converted texts are longer: they are converted when every kept TAL fits so.
    int64_t converted_size = n;
    for (int64_t k = 0; k < x.kept_count; k++) {
        const int64_t from = x.kept[3 * k];
        const int64_t size = x.kept[3 * k + 1] - from;
        converted_size +=
            x.kept[3 * k + 2] != 0 ? rewrite_latin1_tal(s + from, size, x.converted, false) : size;
    }
    const bool ascii = converted_size >= length; // at least one zero byte stays at the end
    for (int64_t k = 0; k < x.kept_count; k++) {
        const int64_t from = x.kept[3 * k];
        int64_t size = x.kept[3 * k + 1] - from;
        const unsigned char *tal = s + from;
        if (x.kept[3 * k + 2] != 0) {
            size = rewrite_latin1_tal(tal, size, x.converted, ascii);
            tal = x.converted;
        }
        if (n + size < length) { // at least one zero byte stays at the end
            std::memcpy(bytes + n, tal, static_cast<size_t>(size));
            n += size;
        }
    }
    // Then the TALs carried from records left out, where they fit.
    annotation_signal &carrier = x.signals[x.k];
    if (carrier.carried_length > 0 && n + carrier.carried_length < length) {
        std::memcpy(bytes + n, x.carried + carrier.carry_position,
                    static_cast<size_t>(carrier.carried_length));
        n += carrier.carried_length;
    }
    carrier.carried_length = 0;
    const annotation_signal &a = x.signals[x.k];
    edf_replace(x.sink,
                static_cast<int64_t>(x.r->header_size) + x.record * x.r->record_size + a.offset,
                bytes, length);
    std::free(bytes);
}

// A repaired copy leaves out a record of unknown time: the TALs kept from its annotation
// signal x.k (texts that are not UTF-8 converted) are carried to the next record copied, as
// many as the signal can hold.
void carry_signal(extraction &x, const unsigned char *s) {
    annotation_signal &a = x.signals[x.k];
    for (int64_t k = 0; k < x.kept_count; k++) {
        const int64_t from = x.kept[3 * k];
        int64_t size = x.kept[3 * k + 1] - from;
        const unsigned char *tal = s + from;
        if (x.kept[3 * k + 2] != 0) {
            size = rewrite_latin1_tal(tal, size, x.converted, false);
            tal = x.converted;
        }
        if (a.carried_length + size < a.length) {
            std::memcpy(x.carried + a.carry_position + a.carried_length, tal,
                        static_cast<size_t>(size));
            a.carried_length += size;
        }
    }
}

// Checks and collects the annotation signals of record `record`, whose bytes the signals'
// `bytes` pointers show.
int examine_record(extraction &x, int64_t record) {
    x.record = record;
    x.record_unplaced = false;
    int64_t record_time = 0;
    for (int k = 0; k < x.signal_count; k++) {
        const annotation_signal &a = x.signals[k];
        x.k = k;
        x.kept_count = 0;
        x.signal_flawed = false;
        int result = result_ok;
        if (a.bytes[a.length - 1] != 0x00 &&
            !annotation_flaw(x, a.length - 1, a.bytes + a.length - 1, 1, "annotation", &result,
                             "An annotation signal of data record %" PRId64
                             " does not end with a zero byte; its last TAL is skipped.",
                             record)) {
            return result;
        }
        bool timekeeping = k == 0;
        x.timekeeping_rewritten = false;
        x.timekeeping_kept = false;
        if (k == 0) {
            const int64_t expected =
                record == 0 ? 0
                : x.previous_record_time > INT64_MAX - x.r->datarecord_duration_ticks
                    ? x.previous_record_time
                    : x.previous_record_time + x.r->datarecord_duration_ticks;
            int64_t time;
            const int64_t shown = a.length < 20 ? a.length : 20;
            const bool readable = timekeeping_time(x, a.bytes, a.length, &time);
            if (!readable && x.r->is_discontinuous && record > 0) {
                // Records of a discontinuous file carry their own times, and nothing else
                // tells where this one lies: it is left out of the time axis, not guessed.
                if (!annotation_flaw(x, 0, a.bytes, shown, "time-keeping annotation", &result,
                                     "Data record %" PRId64
                                     " has no readable time-keeping annotation, so its time is "
                                     "unknown; it is left out of the time axis (of every "
                                     "segment).",
                                     record)) {
                    return result;
                }
                if (edf_map_unplaced_record(x.r, record) != edf_record_time_result::ok) {
                    return result_list_full;
                }
                x.after_unplaced = true;
                x.record_unplaced = true;
                timekeeping = false;
                x.timekeeping_rewritten = true;
                if (x.mode == EDF_READ_NO_ANNOTATIONS) {
                    return result_ok;
                }
                result = parse_signal(x, a.bytes, a.length, timekeeping);
                if (result != result_ok) {
                    return result;
                }
                if (x.carried != nullptr) {
                    carry_signal(x, a.bytes); // a repaired copy leaves the record out
                }
                continue;
            } else if (!readable) {
                // The header gives the time: the first record's is the start, and in a
                // continuous file every other one follows the record before it.
                if (!annotation_flaw(x, 0, a.bytes, shown, "time-keeping annotation", &result,
                                     "Data record %" PRId64
                                     " does not begin with a time-keeping annotation; its time "
                                     "is taken from the header.",
                                     record)) {
                    return result;
                }
                time = expected;
                timekeeping = false;
                x.timekeeping_rewritten = true;
            } else if (record == 0) {
                if (time < 0 || time >= EDF_TIME_DIMENSION) {
                    if (!annotation_flaw(x, 0, a.bytes, shown, "time-keeping annotation", &result,
                                         "The first data record's time is not within the first "
                                         "second; it is taken as 0.")) {
                        return result;
                    }
                    time = expected;
                    x.timekeeping_rewritten = true;
                }
            } else if (x.r->is_discontinuous) {
                // Records of an EDF+D/BDF+D file may leave gaps: the segment map notes them.
                switch (edf_map_record_time(x.r, record, time, x.previous_record_time,
                                            x.after_unplaced)) {
                case edf_record_time_result::ok:
                    x.after_unplaced = false;
                    break;
                case edf_record_time_result::overlaps: {
                    // Sample positions would be ambiguous: nothing can be read past this.
                    const edf_problem_place place{static_cast<int64_t>(x.r->header_size) +
                                                      record * x.r->record_size + a.offset,
                                                  x.r->annotation_signal_indexes[0], record,
                                                  "time-keeping annotation"};
                    edf_report(x.sink, place, EDF_ERR_FORMAT, EDF_PROBLEM_FATAL, a.bytes, shown,
                               "Data record %" PRId64
                               " starts before the previous one ends, so sample times would be "
                               "ambiguous; the file cannot be read.",
                               record);
                    return x.sink->out_of_memory ? result_no_memory : result_bad_format;
                }
                case edf_record_time_result::no_memory:
                    return result_list_full;
                }
            } else {
                int64_t step;
                if (__builtin_sub_overflow(time, x.previous_record_time, &step) ||
                    step != x.r->datarecord_duration_ticks) {
                    // Records must follow each other without gaps.
                    if (!annotation_flaw(x, 0, a.bytes, shown, "time-keeping annotation", &result,
                                         "Data record %" PRId64
                                         " does not start one record duration after the "
                                         "previous one; its time is taken from the header.",
                                         record)) {
                        return result;
                    }
                    time = expected;
                    x.timekeeping_rewritten = true;
                }
            }
            if (record == 0) {
                x.r->subsecond_start_ticks = time;
                if (x.mode == EDF_READ_NO_ANNOTATIONS && !x.r->is_discontinuous) {
                    return result_done;
                }
            }
            x.previous_record_time = time;
            record_time = time;
            if (x.mode == EDF_READ_NO_ANNOTATIONS) {
                return result_ok; // a discontinuous file's walk wants the record times only
            }
        }
        result = parse_signal(x, a.bytes, a.length, timekeeping);
        if (result != result_ok) {
            return result;
        }
        if (x.record_unplaced) {
            if (x.carried != nullptr) {
                carry_signal(x, a.bytes);
            }
        } else if ((x.signal_flawed || a.carried_length > 0) && x.kept != nullptr) {
            replace_signal(x, a.bytes, a.length, k == 0 && !x.timekeeping_kept, record_time);
        }
    }
    return result_ok;
}

// Small records: runs of whole records, read sequentially into one buffer.
int walk_whole_records(extraction &x, int64_t header_size, int64_t records, unsigned char *buffer,
                       int64_t records_per_run) {
    edf_recording *r = x.r;
    if (fseeko(r->file, header_size, SEEK_SET) != 0) {
        return result_read_failed;
    }
    for (int64_t first = 0; first < records; first += records_per_run) {
        const int64_t wanted =
            records - first < records_per_run ? records - first : records_per_run;
        const size_t bytes = static_cast<size_t>(wanted * r->record_size);
        const size_t got = std::fread(buffer, 1, bytes, r->file);
        const int64_t whole = static_cast<int64_t>(got) / r->record_size;
        for (int64_t j = 0; j < whole; j++) {
            unsigned char *record = buffer + j * r->record_size;
            for (int k = 0; k < x.signal_count; k++) {
                x.signals[k].bytes = record + x.signals[k].offset;
            }
            const int result = examine_record(x, first + j);
            if (result != result_ok) {
                return result;
            }
        }
        if (whole < wanted) {
            return result_read_failed;
        }
    }
    return result_ok;
}

// Large records: per record, one read per cluster of annotation signals.
int walk_clusters(extraction &x, int64_t header_size, int64_t records, unsigned char *buffer,
                  const cluster *clusters, int cluster_count) {
    edf_recording *r = x.r;
    // Records that the file does not hold whole count as unreadable, as they would if each
    // record were read in full.
    if (fseeko(r->file, 0, SEEK_END) != 0) {
        return result_read_failed;
    }
    const int64_t size = ftello(r->file);
    const int64_t complete = size > header_size ? (size - header_size) / r->record_size : 0;
    for (int64_t record = 0; record < records; record++) {
        if (record >= complete) {
            return result_read_failed;
        }
        const int64_t start = header_size + record * r->record_size;
        for (int c = 0; c < cluster_count; c++) {
            const cluster &cl = clusters[c];
            if (edf_read_at(r->file, buffer + cl.buffer_position, cl.length, start + cl.offset) !=
                cl.length) {
                return result_read_failed;
            }
        }
        const int result = examine_record(x, record);
        if (result != result_ok) {
            return result;
        }
    }
    return result_ok;
}

} // namespace

int edf_read_annotations(edf_recording *r, int handle, int mode, edf_problem_sink *sink) {
    edf_problem_sink strict_sink;
    extraction x{};
    x.r = r;
    x.handle = handle;
    x.mode = mode;
    x.sink = sink != nullptr ? sink : &strict_sink;
    // Nothing is stored while checking, nor without a handle to keep it.
    x.store = x.sink->policy != edf_policy::check && handle >= 0;
    x.signal_count = r->annotation_signal_count;
    if (x.signal_count < 1) {
        return result_bad_format;
    }
    const int64_t bytes_per_sample = r->is_bdfplus ? 3 : 2;
    const int64_t header_size = static_cast<int64_t>(256) * (r->signal_count + 1);
    const int64_t records = mode == EDF_READ_NO_ANNOTATIONS && !r->is_discontinuous
                                ? (r->datarecord_count > 0 ? 1 : 0)
                                : r->datarecord_count;

    x.signals = static_cast<annotation_signal *>(
        std::calloc(static_cast<size_t>(x.signal_count), sizeof(annotation_signal)));
    cluster *clusters =
        static_cast<cluster *>(std::calloc(static_cast<size_t>(x.signal_count), sizeof(cluster)));
    int64_t largest = 126;
    int64_t annotation_bytes = 0;
    int cluster_count = 0;
    int64_t cluster_bytes = 0;
    bool layout_ok = r->record_size > 0;
    if (x.signals != nullptr && clusters != nullptr) {
        for (int k = 0; k < x.signal_count; k++) {
            const edf_signal_param &s = r->signals[r->annotation_signal_indexes[k]];
            annotation_signal &a = x.signals[k];
            a.offset = s.buffer_offset;
            a.length = s.samples_per_record * bytes_per_sample;
            largest = a.length > largest ? a.length : largest;
            annotation_bytes += a.length;
            // Signals in file order lie at rising offsets; a nearby one joins the cluster.
            cluster *last = cluster_count > 0 ? &clusters[cluster_count - 1] : nullptr;
            const int64_t last_end = last != nullptr ? last->offset + last->length : 0;
            if (last != nullptr && a.offset >= last_end &&
                a.offset - last_end <= cluster_gap_limit) {
                a.buffer_position = last->buffer_position + (a.offset - last->offset);
                cluster_bytes += a.offset + a.length - last_end;
                last->length = a.offset + a.length - last->offset;
            } else {
                a.buffer_position = cluster_bytes;
                clusters[cluster_count++] = cluster{a.offset, a.length, cluster_bytes};
                cluster_bytes += a.length;
            }
            if (a.offset < 0 || a.offset + a.length > r->record_size) {
                layout_ok = false;
            }
        }
    }

    const bool whole_records = r->record_size - annotation_bytes < whole_record_limit;
    int64_t records_per_run = run_bytes_target / (r->record_size > 0 ? r->record_size : 1);
    records_per_run = records_per_run < 1 ? 1 : records_per_run;
    records_per_run = records_per_run > records ? records : records_per_run;
    const int64_t buffer_size = whole_records
                                    ? (records_per_run > 0 ? records_per_run : 1) * r->record_size
                                    : cluster_bytes;
    unsigned char *buffer = static_cast<unsigned char *>(
        std::malloc(static_cast<size_t>(buffer_size > 0 ? buffer_size : 1)));
    x.text = static_cast<char *>(std::malloc(static_cast<size_t>(largest + 5)));
    // Every kept TAL takes at least two bytes.
    bool kept_ok = true;
    if (x.sink->collect_replacements) {
        x.kept = static_cast<int64_t *>(
            std::malloc(static_cast<size_t>(largest / 2 + 2) * 3 * sizeof(int64_t)));
        kept_ok = x.kept != nullptr;
    }
    // The TALs of records of unknown time, carried to the next record in a repaired copy.
    if (x.sink->collect_replacements && r->is_discontinuous && x.signals != nullptr) {
        int64_t carry_bytes = 0;
        for (int k = 0; k < x.signal_count; k++) {
            x.signals[k].carry_position = carry_bytes;
            carry_bytes += x.signals[k].length;
        }
        x.carried = static_cast<unsigned char *>(
            std::malloc(static_cast<size_t>(carry_bytes > 0 ? carry_bytes : 1)));
        kept_ok = kept_ok && x.carried != nullptr;
    }
    // A text read as Latin-1 in UTF-8 (never by the strict open): at most 512 bytes handed
    // out, or a whole TAL of a signal at twice its length in a repaired copy.
    x.latin1_record = -1;
    if (x.sink->policy != edf_policy::strict) {
        x.converted = static_cast<unsigned char *>(
            std::malloc(static_cast<size_t>(2 * largest + stored_text_max)));
        kept_ok = kept_ok && x.converted != nullptr;
    }

    int result;
    if (x.signals == nullptr || clusters == nullptr || buffer == nullptr || x.text == nullptr ||
        !kept_ok) {
        result = result_no_memory;
    } else if (!layout_ok) {
        result = result_bad_format; // annotation signals outside the record: not a valid block
    } else if (whole_records) {
        result = walk_whole_records(x, header_size, records, buffer, records_per_run);
    } else {
        for (int k = 0; k < x.signal_count; k++) {
            x.signals[k].bytes = buffer + x.signals[k].buffer_position;
        }
        result = walk_clusters(x, header_size, records, buffer, clusters, cluster_count);
    }
    if (result == result_done) {
        result = result_ok;
    }
    if (result == result_ok && x.sink->out_of_memory) {
        result = result_no_memory;
    }
    std::free(x.kept);
    std::free(x.carried);
    std::free(x.converted);
    std::free(x.text);
    std::free(buffer);
    std::free(clusters);
    std::free(x.signals);
    return result;
}
