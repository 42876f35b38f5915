// The writer driven by a fuzzed sequence of setter, sample-writer and annotation calls. The
// input decides the file type, the signals and their ranges, the recording's settings, and
// then a sequence of sample writes and annotations. The target keeps its own model of what
// each successful call stored; when close reports success and at least one record was
// completed, the file must open in the reader and give back exactly the digital samples and
// the annotations of that model. Annotations beyond one per annotation signal per record are
// packed by the model as well (each into the earliest annotation signal with room); when one
// finds no room, close must report EDF_ERR_ANNOTATIONS_LOST.
#include "recording/edf.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool empty() const {
        return at >= size;
    }
    uint8_t byte() {
        return at < size ? data[at++] : 0;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) {
            v = v << 8 | byte();
        }
        return v;
    }
    int64_t i64() {
        return static_cast<int64_t>(static_cast<uint64_t>(u32()) << 32 | u32());
    }
    // Doubles from a small table of awkward values, or built from the input's bits.
    double real() {
        static const double table[] = {0.0,        -0.0,        1.0,    -1.0,   400.0,
                                       -400.0,     0.5,         1e-7,   1e-8,   99999999.0,
                                       -9999999.0, 123456789.0, 1e300,  -1e300, INFINITY,
                                       -INFINITY,  NAN,         3276.7, 2.675,  -0.25};
        const uint8_t selector = byte();
        if (selector < 200) {
            return table[selector % (sizeof table / sizeof table[0])];
        }
        uint64_t bits = static_cast<uint64_t>(u32()) << 32 | u32();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string text(size_t max) {
        const size_t n = byte() % (max + 1);
        std::string s;
        for (size_t i = 0; i < n && !empty(); i++) {
            const char c = static_cast<char>(byte());
            if (c != '\0') {
                s.push_back(c);
            }
        }
        return s;
    }
};

// A sample as written: a digital value, or a physical one, whose digital value depends on the
// limits that the header states (known once the file is read back).
struct sample_model {
    bool physical;
    double x;
    int d;
};

struct signal_model {
    int samples = 1;
    int dmin = -32768;
    int dmax = 32767;
    double pmin = -1.0;
    double pmax = 1.0;
    std::vector<sample_model> stored;  // samples of the completed records
    std::vector<sample_model> pending; // samples of the record being assembled
};

struct annotation_model {
    int64_t onset_us;
    int64_t duration_us;
    std::string text;
};

int clip(int64_t d, int dmin, int dmax) {
    return static_cast<int>(d > dmax ? dmax : d < dmin ? dmin : d);
}

// The writer's conversion of a physical value, computed independently, with the limits that
// the header states (as the reader reports them).
int to_digital(const edf_signal_info &header, double x) {
    const double bit_value = (header.physical_max - header.physical_min) /
                             (static_cast<double>(header.digital_max) - header.digital_min);
    const double offset = header.physical_max / bit_value - header.digital_max;
    double v = x / bit_value - offset;
    if (std::isnan(v) || v <= header.digital_min) {
        return header.digital_min;
    }
    if (v >= header.digital_max) {
        return header.digital_max;
    }
    return static_cast<int>(v);
}

// The length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8_sequence_length(const std::string &text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = at(i);
    if (b < 0x80) {
        return 1;
    }
    size_t n;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07u;
    } else {
        return 0;
    }
    if (i + n > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; k++) {
        if ((at(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (at(i + k) & 0x3Fu);
    }
    const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

// One Latin-1 byte as the stored text has it.
std::string latin1_character(unsigned char b) {
    if (b < 32 || (b >= 127 && b <= 159)) {
        return ".";
    }
    if (b < 127) {
        return std::string(1, static_cast<char>(b));
    }
    return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

// Stored texts: whole characters while they fit 40 bytes; ill-formed UTF-8 read as Latin-1.
std::string utf8_text(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8_sequence_length(text, i);
        const std::string c =
            n > 1 ? text.substr(i, n) : latin1_character(static_cast<unsigned char>(text[i]));
        if (out.size() + c.size() > 40) {
            break;
        }
        out += c;
        i += n > 1 ? n : 1;
    }
    return out;
}

std::string latin1_text(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const std::string converted = latin1_character(static_cast<unsigned char>(c));
        if (out.size() + converted.size() > 40) {
            break;
        }
        out += converted;
    }
    return out;
}

// The duration as the file stores it (whole seconds, six decimals when not whole), cut to
// the 15 characters that the reader keeps, and that text's value in ticks.
void duration_expectation(int64_t us, std::string *text, int64_t *ticks) {
    char buffer[48];
    if (us % 1000000 == 0) {
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(us / 1000000));
    } else {
        std::snprintf(buffer, sizeof buffer, "%lld.%06lld", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
    }
    *text = std::string(buffer).substr(0, 15);
    int64_t value = 0;
    int64_t fraction_weight = 1000000;
    bool fraction = false;
    for (char c : *text) {
        if (c == '.') {
            fraction = true;
        } else if (!fraction) {
            value = value * 10 + (c - '0') * 10000000;
        } else {
            value += (c - '0') * fraction_weight;
            fraction_weight /= 10;
        }
    }
    *ticks = value;
}

// Seconds of a tick count: whole seconds, then `decimals` digits when asked.
std::string seconds_text(uint64_t ticks, bool decimals, int digits) {
    char buffer[48];
    const unsigned long long whole = ticks / 10000000;
    const unsigned long long fraction = ticks % 10000000;
    if (!decimals) {
        std::snprintf(buffer, sizeof buffer, "%llu", whole);
    } else if (digits == 6) {
        std::snprintf(buffer, sizeof buffer, "%llu.%06llu", whole, fraction / 10);
    } else {
        std::snprintf(buffer, sizeof buffer, "%llu.%07llu", whole, fraction);
    }
    return buffer;
}

// Bytes that annotation `a` takes in an annotation signal: its TAL and the zero byte after it.
int tal_length(const annotation_model &a, int64_t subsecond) {
    const uint64_t onset =
        static_cast<uint64_t>(a.onset_us) * 10 + static_cast<uint64_t>(subsecond);
    size_t length = 1; // '+'
    if (onset % 10 == 0) {
        length += seconds_text(onset, onset % 10000000 != 0, 6).size();
    } else {
        length += seconds_text(onset, true, 7).size();
    }
    if (a.duration_us >= 0) {
        const uint64_t d = static_cast<uint64_t>(a.duration_us) * 10;
        length += 1 + seconds_text(d, d % 10000000 != 0, 6).size();
    }
    return static_cast<int>(length + a.text.size() + 3);
}

// Where the file keeps each annotation: annotation i in annotation signal i of the file
// (record i / A, signal i % A) while there are places, the others packed after them. Returns
// the annotations in the order a reader meets them, and whether any found no room.
std::vector<size_t> expected_order(const std::vector<annotation_model> &annotations, int a,
                                   int64_t records, int64_t subsecond, int64_t record_ticks,
                                   bool *lost) {
    const size_t places = static_cast<size_t>(a * records);
    std::vector<std::vector<size_t>> in_place(places);
    std::vector<int> used(places, 0);
    *lost = false;
    for (size_t p = 0; p < places; p++) {
        if (p % static_cast<size_t>(a) == 0) {
            const uint64_t t = static_cast<uint64_t>(p / static_cast<size_t>(a)) *
                                   static_cast<uint64_t>(record_ticks) +
                               static_cast<uint64_t>(subsecond);
            used[p] += static_cast<int>(
                seconds_text(t, record_ticks % 10000000 != 0 || subsecond != 0, 7).size() + 4);
        }
        if (p < annotations.size()) {
            used[p] += tal_length(annotations[p], subsecond);
            in_place[p].push_back(p);
        }
    }
    for (size_t i = places; i < annotations.size(); i++) {
        const int length = tal_length(annotations[i], subsecond);
        size_t p = 0;
        while (p < places && used[p] + length > 120) {
            p++;
        }
        if (p == places) {
            *lost = true;
            continue;
        }
        used[p] += length;
        in_place[p].push_back(i);
    }
    std::vector<size_t> order;
    for (const auto &list : in_place) {
        order.insert(order.end(), list.begin(), list.end());
    }
    return order;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = "/tmp/fuzz_writer_" + std::to_string(getpid()) + ".edf";
    input in{data, size};
    const bool bdf = in.byte() & 1;
    const int n = in.byte() % 5;
    const int handle =
        edfopen_file_writeonly(path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, n);
    check(handle >= 0);

    const int annotation_signals = 1 + in.byte() % 3;
    check(edf_set_number_of_annotation_signals(handle, annotation_signals) == 0);
    check(edf_set_annotation_signal_position(handle, in.byte() % 3) == 0);
    int64_t subsecond = 0;
    const uint8_t settings = in.byte();
    if (settings & 1) {
        subsecond = in.u32() % 10000000;
        check(edf_set_subsecond_starttime(handle, static_cast<int>(subsecond)) == 0);
    }
    int64_t record_ticks = EDF_TIME_DIMENSION;
    if (settings & 2) {
        const int duration = 100 + static_cast<int>(in.u32() % 5999901);
        check(edf_set_datarecord_duration(handle, duration) == 0);
        record_ticks = int64_t{duration} * 100;
    } else if (settings & 4) {
        const int duration = 1 + static_cast<int>(in.u32() % 9999);
        check(edf_set_datarecord_duration_us(handle, duration) == 0);
        record_ticks = int64_t{duration} * 10;
    }
    // EDF+D/BDF+D: records may start later than the previous one ends.
    const bool discontinuous = (settings & 32) != 0;
    if (discontinuous) {
        check(edf_set_discontinuous(handle) == 0);
    }
    if (settings & 8) {
        edf_set_patientname(handle, in.text(90).c_str());
        edf_set_patientcode(handle, in.text(90).c_str());
        edf_set_birthdate(handle, 1800 + in.byte() * 5, 1 + in.byte() % 12, 1 + in.byte() % 31);
        edf_set_sex(handle, in.byte() % 2);
        edf_set_patient_additional(handle, in.text(90).c_str());
    }
    if (settings & 16) {
        edf_set_admincode(handle, in.text(90).c_str());
        edf_set_technician(handle, in.text(90).c_str());
        edf_set_equipment(handle, in.text(90).c_str());
        edf_set_recording_additional(handle, in.text(90).c_str());
        edf_set_startdatetime(handle, 1985 + in.byte() % 100, 1 + in.byte() % 12,
                              1 + in.byte() % 31, in.byte() % 24, in.byte() % 60, in.byte() % 60);
    }

    std::vector<signal_model> signals(static_cast<size_t>(n));
    const int limit = bdf ? 8388607 : 32767;
    for (int i = 0; i < n; i++) {
        signal_model &s = signals[static_cast<size_t>(i)];
        s.samples = 1 + in.byte() % 40;
        check(edf_set_samplefrequency(handle, i, s.samples) == 0);
        if (in.byte() & 1) {
            s.dmax = static_cast<int>(in.u32() % static_cast<uint32_t>(limit + 1));
            s.dmin = -static_cast<int>(in.u32() % static_cast<uint32_t>(limit + 2));
        } else {
            s.dmax = limit;
            s.dmin = -limit - 1;
        }
        check(edf_set_digital_maximum(handle, i, s.dmax) == 0);
        check(edf_set_digital_minimum(handle, i, s.dmin) == 0);
        s.pmax = in.real();
        s.pmin = in.real();
        check(edf_set_physical_maximum(handle, i, s.pmax) == 0);
        check(edf_set_physical_minimum(handle, i, s.pmin) == 0);
        edf_set_label(handle, i, in.text(20).c_str());
        edf_set_physical_dimension(handle, i, in.text(10).c_str());
        edf_set_transducer(handle, i, in.text(20).c_str());
        edf_set_prefilter(handle, i, in.text(20).c_str());
    }

    std::vector<annotation_model> annotations;
    std::vector<int64_t> record_starts; // ticks, of the completed records
    int64_t next_start = 0;             // ticks: where the record being assembled starts
    int64_t records = 0;
    int next_signal = 0;
    bool header_refused = false;
    for (int op = 0; op < 200 && !in.empty(); op++) {
        const uint8_t kind = in.byte() % 8;
        if (kind == 7 && discontinuous) {
            const int64_t end = records == 0 ? 0 : record_starts.back() + record_ticks;
            const uint8_t selector = in.byte();
            const int64_t start_us = selector < 64    ? end / 10
                                     : selector < 200 ? end / 10 + in.u32() % 100000000
                                                      : in.i64();
            const bool fits = next_signal == 0 && start_us >= 0 &&
                              start_us <= (int64_t{1} << 62) / 10 &&
                              (records == 0 ? start_us == 0 : start_us * 10 >= end);
            const int result = edf_set_record_start(handle, start_us);
            check(result == (fits ? 0 : -1));
            if (fits) {
                next_start = start_us * 10;
            }
            continue;
        }
        if (kind >= 5) {
            const int64_t onset = in.byte() < 240 ? in.u32() % 100000000 : in.i64();
            const int64_t duration = in.byte() < 128 ? -1 : in.byte() < 240 ? in.u32() : in.i64();
            const std::string text = in.text(50);
            const int variant = in.byte() % 4;
            int64_t onset_us = onset;
            int64_t duration_us = duration;
            int result;
            if (variant == 0) {
                result = edfwrite_annotation_utf8_us(handle, onset, duration, text.c_str());
            } else if (variant == 1) {
                result = edfwrite_annotation_latin1_us(handle, onset, duration, text.c_str());
            } else if (variant == 2) {
                result = edfwrite_annotation_utf8(handle, onset, duration, text.c_str());
            } else {
                result = edfwrite_annotation_latin1(handle, onset, duration, text.c_str());
            }
            if (result == 0) {
                if (variant >= 2) {
                    onset_us = onset * 100;
                    duration_us = duration > 0 ? duration * 100 : duration;
                }
                annotations.push_back({onset_us, duration_us,
                                       variant % 2 == 0 ? utf8_text(text) : latin1_text(text)});
            } else {
                check(onset < 0 || onset > INT64_MAX / 100000 || duration > INT64_MAX / 100000);
            }
            continue;
        }
        if (n == 0) {
            continue;
        }
        const bool block = kind >= 3;
        const bool physical = kind % 3 == 0;
        const int first = block ? 0 : next_signal;
        const int last = block ? n : next_signal + 1;
        std::vector<double> physical_values;
        std::vector<int> digital_values;
        std::vector<sample_model> expected;
        for (int i = first; i < last; i++) {
            const signal_model &s = signals[static_cast<size_t>(i)];
            for (int k = 0; k < s.samples; k++) {
                if (physical) {
                    const double x = in.real();
                    physical_values.push_back(x);
                    expected.push_back({true, x, 0});
                } else {
                    const int d = static_cast<int>(in.u32());
                    digital_values.push_back(d);
                    expected.push_back({false, 0.0, clip(d, s.dmin, s.dmax)});
                }
            }
        }
        int result;
        if (block) {
            result = physical ? edf_blockwrite_physical_samples(handle, physical_values.data())
                              : edf_blockwrite_digital_samples(handle, digital_values.data());
        } else {
            result = physical ? edfwrite_physical_samples(handle, physical_values.data())
                              : edfwrite_digital_samples(handle, digital_values.data());
        }
        if (block && next_signal != 0) {
            check(result == -1);
            continue;
        }
        if (result != 0) {
            // Only the header writer refuses a first write (the signal descriptions); the
            // file then stays without records.
            check(records == 0 && next_signal == 0 && result <= -20);
            header_refused = true;
            break;
        }
        size_t at = 0;
        for (int i = first; i < last; i++) {
            signal_model &s = signals[static_cast<size_t>(i)];
            s.pending.assign(expected.begin() + static_cast<std::ptrdiff_t>(at),
                             expected.begin() + static_cast<std::ptrdiff_t>(at) + s.samples);
            at += static_cast<size_t>(s.samples);
        }
        next_signal = block ? n : next_signal + 1;
        if (next_signal == n) {
            for (signal_model &s : signals) {
                s.stored.insert(s.stored.end(), s.pending.begin(), s.pending.end());
            }
            next_signal = 0;
            records++;
            record_starts.push_back(next_start);
            next_start += record_ticks;
        }
    }
    const int closed = edfclose_file(handle);
    check(edf_get_number_of_open_files() == 0);
    if (header_refused || records == 0) {
        return 0;
    }
    bool lost = false;
    const std::vector<size_t> order =
        expected_order(annotations, annotation_signals, records, subsecond, record_ticks, &lost);
    check(closed == (lost ? EDF_ERR_ANNOTATIONS_LOST : 0));

    static edf_header_info *hdr = new edf_header_info;
    if (discontinuous) {
        // The strict open refuses EDF+D; the open that accepts it gives every record's start.
        check(edfopen_file_readonly(path.c_str(), hdr, EDF_READ_ALL_ANNOTATIONS) == -1 &&
              hdr->filetype == EDF_ERR_DISCONTINUOUS);
        check(edfopen_file_readonly_tolerant(path.c_str(), hdr, EDF_READ_ALL_ANNOTATIONS) == 0);
        int segments = 0;
        for (int64_t k = 0; k < records; k++) {
            const int64_t start = record_starts[static_cast<size_t>(k)];
            check(edf_get_record_start(hdr->handle, k) == start);
            segments += k == 0 || start != record_starts[static_cast<size_t>(k - 1)] + record_ticks;
        }
        check(edf_get_segment_count(hdr->handle) == segments);
        check(hdr->file_duration == record_starts.back() + record_ticks);
    } else {
        check(edfopen_file_readonly(path.c_str(), hdr, EDF_READ_ALL_ANNOTATIONS) == 0);
        check(edf_get_segment_count(hdr->handle) == 1);
    }
    check(hdr->filetype == (bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS));
    check(hdr->ordinary_signal_count == n && hdr->datarecord_count == records);
    check(hdr->start_subsecond == subsecond);
    for (int i = 0; i < n; i++) {
        const signal_model &s = signals[static_cast<size_t>(i)];
        check(hdr->signals[i].samples_in_file == static_cast<int64_t>(s.stored.size()));
        std::vector<int> read(s.stored.size() + 1);
        check(edfread_digital_samples(hdr->handle, i, static_cast<int>(read.size()), read.data()) ==
              static_cast<int>(s.stored.size()));
        read.pop_back();
        for (size_t k = 0; k < s.stored.size(); k++) {
            const sample_model &m = s.stored[k];
            check(read[k] == (m.physical ? to_digital(hdr->signals[i], m.x) : m.d));
        }
    }
    check(hdr->annotation_count == static_cast<int64_t>(order.size()));
    for (size_t i = 0; i < order.size(); i++) {
        const annotation_model &a = annotations[order[i]];
        edf_annotation read;
        check(edf_get_annotation(hdr->handle, static_cast<int>(i), &read) == 0);
        check(read.onset == a.onset_us * 10); // exact to the tick, whatever the sub-second start
        if (a.duration_us < 0) {
            check(read.duration == -EDF_TIME_DIMENSION && read.duration_text[0] == '\0');
        } else {
            std::string text;
            int64_t ticks;
            duration_expectation(a.duration_us, &text, &ticks);
            check(read.duration == ticks && text == read.duration_text);
        }
        check(a.text == read.annotation);
    }
    check(edfclose_file(hdr->handle) == 0);
    return 0;
}
