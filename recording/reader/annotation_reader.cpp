// Annotation extraction for EDF+ and BDF+ files opened for reading.
//
// Every data record carries the file's annotation signals, each a list of TALs that the
// codec of recording/core/tal_codec.h tokenizes. The first annotation signal of every record
// opens with the record's time-keeping TAL, whose onset is the record's start time and whose
// first annotation is empty (and not stored). This file turns the tokens into the handle's
// annotation list, reports what breaks a rule to the problem sink, and collects for a repaired
// copy the annotation signals it writes anew.
//
// Only the annotation signals' bytes of each record are looked at. Files whose records are
// small are read in large runs of whole records into one buffer; files whose records are
// large are read record by record, reading only the annotation signals' bytes (one read per
// cluster of nearby annotation signals). Both give the same checks and results as
// reading every record whole.
#include "recording/reader/annotation_reader.h"

#include "recording/core/checked_arithmetic.h"
#include "recording/core/platform_file.h"
#include "recording/core/tal_codec.h"
#include "recording/core/text_format.h"
#include "recording/reader/segment_map.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace edf {

namespace {

using namespace edf::tal;

constexpr int result_ok = 0;
constexpr int result_no_memory = 1;
constexpr int result_read_failed = 2;
constexpr int result_bad_format = 9;
constexpr int result_list_full = -1;
// Internal: mode 0 has what it needs after the first record's time-keeping TAL.
constexpr int result_done = 100;
// Internal: nothing more of this record is examined.
constexpr int result_record_done = 101;
// Internal: "Recording ends" was stored; the rest of the signal is not examined.
constexpr int result_signal_done = 102;

// Records whose bytes outside the annotation signals total less than this are read whole, in
// runs of many records; larger records are read annotation signal cluster by cluster.
constexpr int64_t whole_record_limit = 16384;
// Target size of one run of whole records.
constexpr int64_t run_bytes_target = 262144;
// Annotation signals closer than this share one read (the bytes between are read too).
constexpr int64_t cluster_gap_limit = 4096;

constexpr int stored_text_max = 512;

struct annotation_signal {
    int64_t offset;          // byte offset inside a data record
    int64_t length;          // bytes in one data record
    int64_t buffer_position; // where its bytes lie in the buffer of a cluster read
    unsigned char *bytes;    // where the signal's bytes of the current record are
    // While collecting a repaired copy: TALs waiting for room in this annotation signal of a
    // later record copied (from records left out, or without room in their own record).
    unsigned char *pending;
    int64_t pending_length;
    int64_t pending_capacity;
};

struct cluster {
    int64_t offset; // byte offset inside a data record
    int64_t length;
    int64_t buffer_position;
};

// A TAL that a repaired copy keeps: where it starts, whether its texts are not all UTF-8 (read
// as Latin-1), whether its first text is left out (a time-keeping TAL written anew keeps its
// other texts), and whether it found room in its own record.
struct kept_tal {
    int64_t start;
    bool latin1;
    bool skip_first;
    bool placed;
};

struct extraction {
    edf_reader_state *r;
    int mode;
    int signal_count; // annotation signals
    annotation_signal *signals;
    int64_t previous_record_time; // of the last record whose time is known
    bool after_unplaced;          // records of unknown time follow that record
    edf_problem_sink *sink;
    bool store;     // false while only checking: nothing is kept
    int64_t record; // the record being examined
    int k;          // the annotation signal being examined
    // While collecting the replacements of a repaired copy: the TALs of the current signal
    // that are kept, and whether the signal had a problem.
    kept_tal *kept;
    int64_t kept_count;
    bool signal_flawed;
    bool timekeeping_rewritten; // the file's time-keeping TAL is missing or wrong
    bool timekeeping_kept;      // the file's time-keeping TAL is among the kept ones
    int64_t latin1_record;      // the last record whose Latin-1 texts were reported, or -1
    unsigned char *converted;   // room for a text read as Latin-1, in UTF-8
    bool record_unplaced;       // the record being examined has no known time
};

constexpr const char *annotation_field = "annotation";
constexpr const char *timekeeping_field = "time-keeping annotation";

// Byte `at` of annotation signal x.k of record x.record, as a problem names it.
edf_problem_place place_of(const extraction &x, int64_t at, const char *field) {
    return {static_cast<int64_t>(x.r->header_size) + x.record * x.r->record_size +
                x.signals[x.k].offset + at,
            x.r->annotation_signal_indexes[x.k], x.record, field};
}

// Reports a problem of the n bytes at `at` of annotation signal x.k of record x.record (80 of
// them at most are shown). Returns true when the pass goes on; else *result holds the result
// to end with.
bool flaw(extraction &x, int64_t at, int64_t n, const char *field, int *result, const char *format,
          ...) EDF_PRINTF_LIKE(6, 7);
bool flaw(extraction &x, int64_t at, int64_t n, const char *field, int *result, const char *format,
          ...) {
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
    x.signal_flawed = true;
    if (edf_report(x.sink, place_of(x, at, field), EDF_ERR_FORMAT, EDF_PROBLEM_REPAIRED,
                   x.signals[x.k].bytes + at, n < 80 ? n : 80, "%s", message)) {
        return true;
    }
    *result = x.sink->out_of_memory ? result_no_memory : result_bad_format;
    return false;
}

// The bytes of a time-keeping TAL that a problem shows.
int64_t shown(const annotation_signal &a) {
    return a.length < 20 ? a.length : 20;
}

// A problem of the time-keeping TAL of record x.record, whose message is "Data record <n>"
// and `rest`.
bool timekeeping_flaw(extraction &x, const annotation_signal &a, int *result, const char *rest) {
    return flaw(x, 0, shown(a), timekeeping_field, result, "Data record %" PRId64 "%s", x.record,
                rest);
}

// Room for one more entry of the recording's list, which grows 1000 entries at a time.
edf_parsed_annotation *next_entry(extraction &x) {
    edf_reader_state *r = x.r;
    if (r->annotation_count >= r->annotation_capacity) {
        const int64_t capacity =
            static_cast<int64_t>(r->annotation_capacity) + EDF_ANNOTATION_LIST_STEP;
        if (capacity > INT32_MAX) {
            return nullptr;
        }
        void *grown = std::realloc(r->annotations,
                                   static_cast<size_t>(capacity) * sizeof(edf_parsed_annotation));
        if (grown == nullptr) {
            return nullptr;
        }
        r->annotations = static_cast<edf_parsed_annotation *>(grown);
        r->annotation_capacity = static_cast<int>(capacity);
    }
    return &r->annotations[r->annotation_count];
}

// Appends n bytes and a NUL to the recording's text arena, which doubles as it fills (so a
// file of many tiny annotations costs memory in proportion to its texts, not to the longest
// text allowed). The arena's first byte is the empty text. Returns the text's offset, or 0
// when the arena cannot grow (*ok is then false).
uint32_t store_text(edf_reader_state *r, const unsigned char *text, int64_t n, bool *ok) {
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

// What the annotations of one TAL share while they are stored.
struct tal_entry {
    int64_t onset; // from the sub-second start of the recording
    const unsigned char *duration_text;
    int64_t duration_length; // its first 15 characters at most
    // The duration text's place in the arena, stored with the TAL's first annotation; -1
    // before that.
    int64_t duration_stored;
    // The first of its texts that is not UTF-8 (read as Latin-1 by the check and the tolerant
    // open), or null.
    const unsigned char *latin1_text;
    int64_t latin1_length;
};

// Stores one annotation; sets *ends when its text begins with "Recording ends".
int store_annotation(extraction &x, tal_entry &t, const unsigned char *text, int64_t n,
                     bool *ends) {
    // Only the first 512 bytes are kept, and only those are checked.
    const int64_t kept = n < stored_text_max ? n : stored_text_max;
    for (int64_t i = 0; i < kept; i++) {
        if (!is_text_byte(text[i])) {
            return result_bad_format;
        }
    }
    *ends = kept >= 14 && std::memcmp(text, "Recording ends", 14) == 0;
    // The strict open hands every text out as stored; the others read one that is not UTF-8
    // as Latin-1 (the TAL's end reports it).
    const bool latin1 =
        x.sink->policy != edf_policy::strict && !is_utf8_text(text, n, stored_text_max);
    if (latin1 && t.latin1_text == nullptr) {
        t.latin1_text = text;
        t.latin1_length = n;
    }
    if (!x.store) {
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
        stored_length = latin1_to_utf8(text, kept, x.converted, stored_text_max);
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
    return result_ok;
}

// A whole TAL has been read: its texts that are not UTF-8 are read as Latin-1, and the first
// such TAL of a record is reported (the strict open accepts them as they stand, so the problem
// has no code of that open's); a repaired copy keeps it.
int take_whole_tal(extraction &x, const unsigned char *s, const token &t, const tal_entry &e,
                   bool timekeeping) {
    const bool latin1 = e.latin1_text != nullptr;
    if (latin1 && x.latin1_record != x.record) {
        x.latin1_record = x.record;
        if (!edf_report(x.sink, place_of(x, e.latin1_text - s, "annotation text"), 0,
                        EDF_PROBLEM_REPAIRED, e.latin1_text,
                        e.latin1_length < 80 ? e.latin1_length : 80,
                        "An annotation text of data record %" PRId64
                        " is not UTF-8; it is read as Latin-1, as is every other such text of "
                        "the record.",
                        x.record)) {
            return result_no_memory;
        }
    }
    x.signal_flawed = x.signal_flawed || latin1;
    if (x.kept != nullptr) {
        const bool file_timekeeping = timekeeping && t.start == 0;
        // A time-keeping TAL that is written anew keeps its annotations (texts after the
        // first), with the onset they were read with.
        const bool skip_first = file_timekeeping && x.timekeeping_rewritten;
        if (!skip_first || t.texts_end > t.texts_begin + 1) {
            x.timekeeping_kept = x.timekeeping_kept || (file_timekeeping && !skip_first);
            x.kept[x.kept_count++] = kept_tal{t.start, latin1, skip_first, true};
        }
    }
    return result_ok;
}

// Stores the annotations of TAL `t` of a signal of record x.record. In the first annotation
// signal the signal's first annotation is the time-keeping TAL's empty one and is not stored
// (`timekeeping`); `annotations` counts the texts met in the signal. A TAL that breaks a rule
// ends the walk under the strict policy; under the others it is reported and skipped whole
// (the annotations stored from it are taken back).
int take_tal(extraction &x, const unsigned char *s, const token &t, bool timekeeping,
             int64_t *annotations) {
    edf_reader_state *r = x.r;
    const int count_at_tal = r->annotation_count;
    const int64_t text_size_at_tal = r->annotation_text_size;
    tal_entry e{0, s + t.duration_begin, 0, -1, nullptr, 0};
    e.duration_length = t.duration_end - t.duration_begin;
    e.duration_length =
        e.duration_length < duration_text_max ? e.duration_length : duration_text_max;
    const char *broken = nullptr;
    int64_t at = t.end;
    if (t.onset_end >= 0 && edf_sub_overflow(t.onset, r->subsecond_start_ticks, &e.onset)) {
        broken = s[t.onset_end] == duration_mark ? bad_onset_before_duration : bad_onset;
        at = t.onset_end;
    }
    const bool stop_at_end = x.mode == EDF_READ_ANNOTATIONS && x.signal_count == 1;
    for (texts text(s, t); broken == nullptr && text.next(); ++*annotations) {
        if (timekeeping && *annotations == 0) {
            continue;
        }
        bool ends = false;
        const int stored = store_annotation(x, e, s + text.begin, text.close - text.begin, &ends);
        if (stored == result_bad_format) {
            broken = "a control byte in an annotation text";
            at = text.close;
        } else if (stored != result_ok) {
            return stored;
        } else if (ends && stop_at_end) {
            return result_signal_done;
        }
    }
    if (broken == nullptr && t.kind == token_kind::broken) {
        broken = t.broken_rule;
    }
    int result = result_ok;
    if (broken != nullptr &&
        !flaw(x, t.start, at + 1 - t.start, annotation_field, &result,
              "A TAL of data record %" PRId64 " breaks a rule (%s); it is skipped.", x.record,
              broken)) {
        return result;
    }
    if (broken != nullptr || t.kind == token_kind::cut) {
        // Skipped, or cut off by the end of the signal (reported by the caller): not kept.
        r->annotation_count = count_at_tal;
        r->annotation_text_size = text_size_at_tal;
        return result_ok;
    }
    return take_whole_tal(x, s, t, e, timekeeping);
}

// Walks the TALs of one annotation signal of one record and stores their annotations.
int parse_signal(extraction &x, const unsigned char *s, int64_t length, bool timekeeping) {
    int64_t annotations = 0;
    token t;
    for (int64_t at = 0; next_token(s, length, at, &t); at = t.next) {
        if (t.kind == token_kind::empty) {
            continue;
        }
        if (t.kind == token_kind::padding) {
            return result_ok;
        }
        int result = result_ok;
        if (t.kind == token_kind::bad_padding) {
            const bool go_on = flaw(x, t.start, length - t.start, annotation_field, &result,
                                    "The padding of an annotation signal in data record %" PRId64
                                    " holds bytes other than zero; they are ignored.",
                                    x.record);
            return go_on ? result_ok : result;
        }
        result = take_tal(x, s, t, timekeeping, &annotations);
        if (result != result_ok) {
            return result == result_signal_done ? result_ok : result;
        }
    }
    return result_ok;
}

// Kept TAL k of the signal at `s` as a repaired copy holds it: the texts that are not UTF-8
// converted from Latin-1 to UTF-8, or, with `ascii`, transliterated to ASCII by the writer's
// rule (which keeps their length); its first text left out when asked. Returns its bytes (in
// x.converted when they change) and their count in *n.
const unsigned char *kept_bytes(extraction &x, const unsigned char *s, int64_t length,
                                const kept_tal &k, bool ascii, int64_t *n) {
    token t;
    next_token(s, length, k.start, &t);
    if (!k.latin1 && !k.skip_first) {
        *n = t.next - t.start;
        return s + t.start;
    }
    builder b(x.converted, 2 * length);
    put_tal(b, s, t, nullptr, [&](builder &out, int index, const unsigned char *text, int64_t m) {
        if (index == 0 && k.skip_first) {
            return;
        }
        const bool convert = k.latin1 && !is_utf8_text(text, m, stored_text_max);
        for (int64_t i = 0; i < m; i++) {
            char c = static_cast<char>(text[i]);
            if (!convert || text[i] < 0x80) {
                out.put(text[i]);
            } else if (ascii) {
                edf_latin1_to_ascii(&c, 1);
                out.put(static_cast<unsigned char>(c));
            } else {
                out.put(static_cast<unsigned char>(0xC0 | (text[i] >> 6)));
                out.put(static_cast<unsigned char>(0x80 | (text[i] & 0x3F)));
            }
        }
        out.put(text_end);
    });
    *n = b.size();
    return x.converted;
}

// Appends TALs to the ones waiting for room in annotation signal `a` of a later record.
void add_pending(extraction &x, annotation_signal &a, const unsigned char *bytes, int64_t n) {
    if (a.pending_length + n > a.pending_capacity) {
        int64_t capacity = a.pending_capacity > 0 ? 2 * a.pending_capacity : 2 * a.length;
        while (capacity < a.pending_length + n) {
            capacity *= 2;
        }
        void *grown = std::realloc(a.pending, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            x.sink->out_of_memory = true;
            return;
        }
        a.pending = static_cast<unsigned char *>(grown);
        a.pending_capacity = capacity;
    }
    std::memcpy(a.pending + a.pending_length, bytes, static_cast<size_t>(n));
    a.pending_length += n;
}

// Kept TAL k of the signal at `s` waits for the same signal `a` of a later record: with its
// texts converted to UTF-8, or transliterated where the longer form would not fit a signal.
void pend(extraction &x, annotation_signal &a, const unsigned char *s, const kept_tal &k) {
    int64_t size;
    const unsigned char *tal = kept_bytes(x, s, a.length, k, false, &size);
    if (size > a.length) {
        tal = kept_bytes(x, s, a.length, k, true, &size);
    }
    add_pending(x, a, tal, size);
}

// Puts the TALs waiting for annotation signal `a` after the n bytes in use in `bytes`, in
// their order, as long as they fit.
void place_pending(annotation_signal &a, unsigned char *bytes, int64_t *n, int64_t length) {
    if (a.pending_length == 0) {
        return;
    }
    int64_t taken = 0;
    while (taken < a.pending_length) {
        const void *zero =
            std::memchr(a.pending + taken, 0, static_cast<size_t>(a.pending_length - taken));
        const int64_t size = static_cast<const unsigned char *>(zero) - (a.pending + taken) + 1;
        if (*n + size > length) {
            break;
        }
        std::memcpy(bytes + *n, a.pending + taken, static_cast<size_t>(size));
        *n += size;
        taken += size;
    }
    std::memmove(a.pending, a.pending + taken, static_cast<size_t>(a.pending_length - taken));
    a.pending_length -= taken;
}

// The signal as a repaired copy holds it: a new time-keeping TAL of `time` (`first`: in the
// first annotation signal, when the file's is not kept because it was missing, wrong or
// broken), then the TALs that were kept (texts that are not UTF-8 converted from Latin-1 where
// the signal has room, else transliterated to ASCII), then those waiting from records before,
// then zero bytes. Kept TALs that find no room wait for the same signal of the next record.
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
        unsigned char tal[32];
        const int size = timekeeping_tal(time, time_form::shortest, tal);
        if (size <= length) {
            std::memcpy(bytes, tal, static_cast<size_t>(size));
            n = size;
        }
    }
    // Converted texts are longer: they are converted when every kept TAL fits so.
    int64_t converted_size = n;
    int64_t size;
    for (int64_t k = 0; k < x.kept_count; k++) {
        kept_bytes(x, s, length, x.kept[k], false, &size);
        converted_size += size;
    }
    const bool ascii = converted_size >= length; // at least one zero byte stays at the end
    for (int64_t k = 0; k < x.kept_count; k++) {
        const unsigned char *tal = kept_bytes(x, s, length, x.kept[k], ascii, &size);
        x.kept[k].placed = n + size <= length; // the TAL's zero byte ends the signal
        if (x.kept[k].placed) {
            std::memcpy(bytes + n, tal, static_cast<size_t>(size));
            n += size;
        }
    }
    annotation_signal &a = x.signals[x.k];
    place_pending(a, bytes, &n, length);
    for (int64_t k = 0; k < x.kept_count; k++) {
        if (!x.kept[k].placed) {
            pend(x, a, s, x.kept[k]);
        }
    }
    edf_replace(x.sink,
                static_cast<int64_t>(x.r->header_size) + x.record * x.r->record_size + a.offset,
                bytes, length);
    std::free(bytes);
}

// A repaired copy leaves out a record of unknown time: the TALs kept from its annotation
// signal x.k (texts that are not UTF-8 converted) wait for the next record copied.
void carry_signal(extraction &x, const unsigned char *s) {
    for (int64_t k = 0; k < x.kept_count; k++) {
        pend(x, x.signals[x.k], s, x.kept[k]);
    }
}

// A record after the first of a discontinuous file whose time-keeping annotation cannot be
// read: nothing else tells where it lies, so it is left out of the time axis, not guessed.
int unplaced_record(extraction &x, const annotation_signal &a, bool *timekeeping) {
    int result = result_ok;
    if (!timekeeping_flaw(x, a, &result,
                          " has no readable time-keeping annotation, so its time is unknown; it "
                          "is left out of the time axis (of every segment).")) {
        return result;
    }
    if (edf_map_unplaced_record(x.r, x.record) != edf_record_time_result::ok) {
        return result_list_full;
    }
    x.after_unplaced = true;
    x.record_unplaced = true;
    *timekeeping = false;
    x.timekeeping_rewritten = true;
    return x.mode == EDF_READ_NO_ANNOTATIONS ? result_record_done : result_ok;
}

// Checks a readable time `*time` of record x.record > 0 against the one before it: in a
// continuous file records follow each other without gaps (a record that does not is given
// the header's time); an EDF+D/BDF+D file may leave gaps, which the segment map notes.
int check_record_time(extraction &x, const annotation_signal &a, int64_t expected, int64_t *time) {
    int result = result_ok;
    if (!x.r->is_discontinuous) {
        int64_t step;
        if (edf_sub_overflow(*time, x.previous_record_time, &step) ||
            step != x.r->datarecord_duration_ticks) {
            if (!timekeeping_flaw(x, a, &result,
                                  " does not start one record duration after the previous one; "
                                  "its time is taken from the header.")) {
                return result;
            }
            *time = expected;
            x.timekeeping_rewritten = true;
        }
        return result_ok;
    }
    switch (edf_map_record_time(x.r, x.record, *time, x.previous_record_time, x.after_unplaced)) {
    case edf_record_time_result::ok:
        x.after_unplaced = false;
        return result_ok;
    case edf_record_time_result::overlaps: {
        // Sample positions would be ambiguous: nothing can be read past this.
        edf_report(x.sink, place_of(x, 0, timekeeping_field), EDF_ERR_FORMAT, EDF_PROBLEM_FATAL,
                   a.bytes, shown(a),
                   "Data record %" PRId64
                   " starts before the previous one ends, so sample times would be ambiguous; "
                   "the file cannot be read.",
                   x.record);
        return x.sink->out_of_memory ? result_no_memory : result_bad_format;
    }
    case edf_record_time_result::no_memory:
        break;
    }
    return result_list_full;
}

// The time-keeping TAL of record x.record, in its first annotation signal `a`: the record's
// time in *time (read, or taken from the header: the first record's is the start, and in a
// continuous file every other one follows the record before it). *timekeeping tells whether
// the signal opens with the file's time-keeping TAL.
int record_time(extraction &x, const annotation_signal &a, int64_t *time, bool *timekeeping) {
    const int64_t record = x.record;
    const int64_t duration = x.r->datarecord_duration_ticks;
    const int64_t expected = record == 0 ? 0
                             : x.previous_record_time > INT64_MAX - duration
                                 ? x.previous_record_time
                                 : x.previous_record_time + duration;
    int result = result_ok;
    if (!read_timekeeping(a.bytes, a.length, time)) {
        if (x.r->is_discontinuous && record > 0) {
            return unplaced_record(x, a, timekeeping);
        }
        if (!timekeeping_flaw(x, a, &result,
                              " does not begin with a time-keeping annotation; its time is taken "
                              "from the header.")) {
            return result;
        }
        *time = expected;
        *timekeeping = false;
        x.timekeeping_rewritten = true;
    } else if (record == 0) {
        if (*time < 0 || *time >= EDF_TIME_DIMENSION) {
            if (!flaw(x, 0, shown(a), timekeeping_field, &result, "%s",
                      "The first data record's time is not within the first "
                      "second; it is taken as 0.")) {
                return result;
            }
            *time = expected;
            x.timekeeping_rewritten = true;
        }
    } else if ((result = check_record_time(x, a, expected, time)) != result_ok) {
        return result;
    }
    if (record == 0) {
        x.r->subsecond_start_ticks = *time;
        if (x.mode == EDF_READ_NO_ANNOTATIONS && !x.r->is_discontinuous) {
            return result_done;
        }
    }
    x.previous_record_time = *time;
    // A discontinuous file's walk in mode 0 wants the record times only.
    return x.mode == EDF_READ_NO_ANNOTATIONS ? result_record_done : result_ok;
}

// Checks and collects the annotation signals of record `record`, whose bytes the signals'
// `bytes` pointers show.
int examine_record(extraction &x, int64_t record) {
    x.record = record;
    x.record_unplaced = false;
    int64_t time = 0;
    for (int k = 0; k < x.signal_count; k++) {
        const annotation_signal &a = x.signals[k];
        x.k = k;
        x.kept_count = 0;
        x.signal_flawed = false;
        int result = result_ok;
        if (a.bytes[a.length - 1] != 0x00 &&
            !flaw(x, a.length - 1, 1, annotation_field, &result,
                  "An annotation signal of data record %" PRId64
                  " does not end with a zero byte; its last TAL is skipped.",
                  record)) {
            return result;
        }
        bool timekeeping = k == 0;
        x.timekeeping_rewritten = false;
        x.timekeeping_kept = false;
        if (k == 0 && (result = record_time(x, a, &time, &timekeeping)) != result_ok) {
            return result == result_record_done ? result_ok : result;
        }
        result = parse_signal(x, a.bytes, a.length, timekeeping);
        if (result != result_ok) {
            return result;
        }
        if (x.kept == nullptr) {
            continue;
        }
        if (x.record_unplaced) {
            carry_signal(x, a.bytes); // a repaired copy leaves the record out
        } else if (x.signal_flawed || a.pending_length > 0) {
            replace_signal(x, a.bytes, a.length, k == 0 && !x.timekeeping_kept, time);
        }
    }
    return result_ok;
}

// Reads the records in runs: small records whole, many to a run; large ones one to a run,
// one read per cluster of annotation signals. Records that the file does not hold whole count
// as unreadable, as they would if each record were read in full.
int walk_records(extraction &x, int64_t records, int64_t per_run, bool whole,
                 const cluster *clusters, int cluster_count, unsigned char *buffer) {
    const edf_reader_state *r = x.r;
    const int64_t header_size = static_cast<int64_t>(256) * (r->signal_count + 1);
    const int64_t size = r->source.size();
    // A source of callbacks that cannot tell its size holds the records that the header
    // counts, until a read falls short.
    if (size < 0 && !r->source.is_callbacks()) {
        return result_read_failed;
    }
    const int64_t complete = size < 0             ? records
                             : size > header_size ? (size - header_size) / r->record_size
                                                  : 0;
    for (int64_t first = 0; first < records; first += per_run) {
        const int64_t n = records - first < per_run ? records - first : per_run;
        const int64_t start = header_size + first * r->record_size;
        // The records of the run that the file holds whole (the others fail below).
        const int64_t held = (complete - first < n ? complete - first : n) * r->record_size;
        if (whole && held > 0 && r->source.read_at(buffer, held, start) != held) {
            return result_read_failed;
        }
        for (int64_t j = 0; j < n; j++) {
            if (first + j >= complete) {
                return result_read_failed;
            }
            for (int c = 0; !whole && c < cluster_count; c++) {
                const cluster &cl = clusters[c];
                if (r->source.read_at(buffer + cl.buffer_position, cl.length, start + cl.offset) !=
                    cl.length) {
                    return result_read_failed;
                }
            }
            for (int k = 0; k < x.signal_count; k++) {
                const annotation_signal &a = x.signals[k];
                x.signals[k].bytes =
                    buffer + (whole ? j * r->record_size + a.offset : a.buffer_position);
            }
            const int result = examine_record(x, first + j);
            if (result != result_ok) {
                return result;
            }
        }
    }
    return result_ok;
}

// Where the annotation signals lie in a record and in the buffer of a cluster read. Returns
// false when one lies outside the record (not a valid block).
struct signal_layout {
    int cluster_count = 0;
    int64_t cluster_bytes = 0;
    int64_t largest = 126;        // the longest annotation signal, at least 126 bytes
    int64_t annotation_bytes = 0; // all annotation signals of a record
};

bool lay_out_signals(extraction &x, cluster *clusters, signal_layout *out) {
    const edf_reader_state *r = x.r;
    const int64_t bytes_per_sample = r->bytes_per_sample();
    bool inside = r->record_size > 0;
    for (int k = 0; k < x.signal_count; k++) {
        const edf_signal_param &s = r->signals[r->annotation_signal_indexes[k]];
        annotation_signal &a = x.signals[k];
        a.offset = s.buffer_offset;
        a.length = s.samples_per_record * bytes_per_sample;
        out->largest = a.length > out->largest ? a.length : out->largest;
        out->annotation_bytes += a.length;
        // Signals in file order lie at rising offsets; a nearby one joins the cluster.
        cluster *last = out->cluster_count > 0 ? &clusters[out->cluster_count - 1] : nullptr;
        const int64_t last_end = last != nullptr ? last->offset + last->length : 0;
        if (last != nullptr && a.offset >= last_end && a.offset - last_end <= cluster_gap_limit) {
            a.buffer_position = last->buffer_position + (a.offset - last->offset);
            out->cluster_bytes += a.offset + a.length - last_end;
            last->length = a.offset + a.length - last->offset;
        } else {
            a.buffer_position = out->cluster_bytes;
            clusters[out->cluster_count++] = cluster{a.offset, a.length, out->cluster_bytes};
            out->cluster_bytes += a.length;
        }
        inside = inside && a.offset >= 0 && a.offset + a.length <= r->record_size;
    }
    return inside;
}

// The work areas of a repaired copy and of texts read as Latin-1; false when one cannot be
// allocated.
bool allocate_work(extraction &x, int64_t largest) {
    // Every kept TAL takes at least two bytes.
    if (x.sink->collect_replacements) {
        x.kept = static_cast<kept_tal *>(
            std::malloc(static_cast<size_t>(largest / 2 + 2) * sizeof(kept_tal)));
        if (x.kept == nullptr) {
            return false;
        }
    }
    // A text read as Latin-1 in UTF-8 (never by the strict open): at most 512 bytes handed
    // out, or a whole TAL of a signal at twice its length in a repaired copy.
    x.latin1_record = -1;
    if (x.sink->policy != edf_policy::strict) {
        x.converted = static_cast<unsigned char *>(
            std::malloc(static_cast<size_t>(2 * largest + stored_text_max)));
        if (x.converted == nullptr) {
            return false;
        }
    }
    return true;
}

// Walks the records with the work areas in place.
int walk(extraction &x, int64_t records) {
    edf_reader_state *r = x.r;
    cluster *clusters =
        static_cast<cluster *>(std::calloc(static_cast<size_t>(x.signal_count), sizeof(cluster)));
    if (clusters == nullptr) {
        return result_no_memory;
    }
    signal_layout layout;
    const bool inside = lay_out_signals(x, clusters, &layout);
    const bool whole = r->record_size - layout.annotation_bytes < whole_record_limit;
    int64_t per_run = run_bytes_target / (r->record_size > 0 ? r->record_size : 1);
    per_run = !whole || per_run < 1 ? 1 : (per_run > records ? records : per_run);
    const int64_t buffer_size =
        whole ? (per_run > 0 ? per_run : 1) * r->record_size : layout.cluster_bytes;
    unsigned char *buffer = static_cast<unsigned char *>(
        std::malloc(static_cast<size_t>(buffer_size > 0 ? buffer_size : 1)));
    int result;
    if (buffer == nullptr || !allocate_work(x, layout.largest)) {
        result = result_no_memory;
    } else if (!inside) {
        result = result_bad_format; // annotation signals outside the record: not a valid block
    } else {
        result = walk_records(x, records, per_run, whole, clusters, layout.cluster_count, buffer);
    }
    std::free(buffer);
    std::free(clusters);
    return result;
}

} // namespace

int edf_extract_annotations(edf_reader_state *r, bool keep, int mode, edf_problem_sink *sink) {
    edf_problem_sink strict_sink;
    extraction x{};
    x.r = r;
    x.mode = mode;
    x.sink = sink != nullptr ? sink : &strict_sink;
    // Nothing is stored while checking, nor when the list is not kept.
    x.store = x.sink->policy != edf_policy::check && keep;
    x.signal_count = r->annotation_signal_count;
    if (x.signal_count < 1) {
        return result_bad_format;
    }
    const int64_t records = mode == EDF_READ_NO_ANNOTATIONS && !r->is_discontinuous
                                ? (r->datarecord_count > 0 ? 1 : 0)
                                : r->datarecord_count;
    x.signals = static_cast<annotation_signal *>(
        std::calloc(static_cast<size_t>(x.signal_count), sizeof(annotation_signal)));
    int result = x.signals != nullptr ? walk(x, records) : result_no_memory;
    if (result == result_done) {
        result = result_ok;
    }
    if (result == result_ok && x.sink->out_of_memory) {
        result = result_no_memory;
    }
    for (int k = 0; x.signals != nullptr && k < x.signal_count; k++) {
        // TALs still waiting after the last record copied found no room in the copy.
        x.sink->tals_without_room = x.sink->tals_without_room || x.signals[k].pending_length > 0;
        std::free(x.signals[k].pending);
    }
    std::free(x.kept);
    std::free(x.converted);
    std::free(x.signals);
    return result;
}

} // namespace edf
