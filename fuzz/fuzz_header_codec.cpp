// The header codec held to itself. The input, taken as a file, is parsed under the tolerant
// policy; the header that the codec writes from what it read is parsed again and must give the
// same values, write the same bytes once more, and list no problem that the first parse did
// not list (but for the subfields of an identification field read as UTF-8 or Latin-1, which
// were found in its bytes as stored). And a header that the writer makes from setter values
// taken from the input parses strictly to the values set, and the file opens strictly.
#include "recording/core/header_codec.h"
#include "recording/edf.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The first bytes of a file held in memory.
bool read_bytes(void *source, unsigned char *buffer, int64_t n) {
    const std::string &file = *static_cast<const std::string *>(source);
    if (n > static_cast<int64_t>(file.size())) {
        return false;
    }
    std::memcpy(buffer, file.data(), static_cast<size_t>(n));
    return true;
}

bool append_bytes(void *target, const void *bytes, size_t n) {
    static_cast<std::string *>(target)->append(static_cast<const char *>(bytes), n);
    return true;
}

// A header parsed under a policy, from `bytes` (at least the header) of a file of `size` bytes.
struct parsed {
    edf_problem_sink sink;
    edf_reader_state *r = nullptr;
    parsed(const std::string &bytes, int64_t size, edf_policy policy) {
        sink.policy = policy;
        int error = 0;
        r = edf::codec::parse_header(read_bytes, const_cast<std::string *>(&bytes), size, &sink,
                                     &error);
        check(r != nullptr || error == EDF_ERR_FORMAT || error == EDF_ERR_READ ||
              error == EDF_ERR_NO_MEMORY);
    }
    ~parsed() {
        if (r != nullptr) {
            edf::codec::release_header(r);
        }
        edf_release_sink(&sink);
    }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;
};

std::string formatted(const edf_reader_state &r) {
    std::string header;
    const edf::codec::header_view view{&r, r.signals, r.signal_count, 0, 0, r.datarecord_count};
    check(edf::codec::format_header(view, append_bytes, &header));
    check(header.size() == static_cast<size_t>(r.header_size));
    return header;
}

bool same_text(const char *a, const char *b) {
    return std::strcmp(a, b) == 0;
}

// The same field text, padded or not: a text read as UTF-8 or Latin-1 may be cut below the
// field's width, and is written padded with spaces.
bool same_field(const char *a, const char *b) {
    size_t n = std::strlen(a);
    size_t m = std::strlen(b);
    while (n > 0 && a[n - 1] == ' ') {
        n--;
    }
    while (m > 0 && b[m - 1] == ' ') {
        m--;
    }
    return n == m && std::memcmp(a, b, n) == 0;
}

void same_signals(const edf_reader_state &a, const edf_reader_state &b) {
    for (int i = 0; i < a.signal_count; i++) {
        const edf_signal_param &s = a.signals[i];
        const edf_signal_param &t = b.signals[i];
        check(same_field(s.label, t.label) && same_field(s.transducer, t.transducer) &&
              same_field(s.physical_dimension, t.physical_dimension) &&
              same_field(s.prefilter, t.prefilter));
        check(same_text(s.physical_min_text, t.physical_min_text) &&
              same_text(s.physical_max_text, t.physical_max_text));
        check(s.physical_min == t.physical_min && s.physical_max == t.physical_max &&
              s.digital_min == t.digital_min && s.digital_max == t.digital_max);
        check(s.samples_per_record == t.samples_per_record && s.is_annotation == t.is_annotation &&
              s.buffer_offset == t.buffer_offset);
        check(s.bit_value == t.bit_value && s.offset == t.offset);
    }
}

void same_values(const edf_reader_state &a, const edf_reader_state &b) {
    check(a.file_type == b.file_type && a.is_discontinuous == b.is_discontinuous);
    check(a.signal_count == b.signal_count && a.header_size == b.header_size &&
          a.record_size == b.record_size && a.datarecord_count == b.datarecord_count);
    check(a.datarecord_duration_ticks == b.datarecord_duration_ticks &&
          a.datarecord_duration_s == b.datarecord_duration_s &&
          same_text(a.datarecord_duration_text, b.datarecord_duration_text));
    check(a.start_day == b.start_day && a.start_month == b.start_month &&
          a.start_year == b.start_year && a.start_hour == b.start_hour &&
          a.start_minute == b.start_minute && a.start_second == b.start_second);
    check(a.annotation_signal_count == b.annotation_signal_count &&
          std::memcmp(a.annotation_signal_indexes, b.annotation_signal_indexes,
                      sizeof(int) * static_cast<size_t>(a.annotation_signal_count)) == 0);
    check(same_field(a.patient_field, b.patient_field) &&
          same_field(a.recording_field, b.recording_field));
    if (a.patient_encoding == 0) {
        check(a.patient_whole == b.patient_whole && same_text(a.patient_code, b.patient_code) &&
              same_text(a.sex_text, b.sex_text) && same_text(a.birthdate_text, b.birthdate_text) &&
              same_text(a.patient_name, b.patient_name) &&
              same_text(a.patient_additional, b.patient_additional));
    }
    if (a.recording_encoding == 0) {
        check(a.recording_whole == b.recording_whole && same_text(a.admin_code, b.admin_code) &&
              same_text(a.technician, b.technician) && same_text(a.equipment, b.equipment) &&
              same_text(a.recording_additional, b.recording_additional));
    }
    same_signals(a, b);
}

// Every problem of the second parse was a problem of the same field in the first.
void no_new_problems(const parsed &first, const parsed &second) {
    for (int i = 0; i < second.sink.count; i++) {
        const edf_problem &p = second.sink.problems[i];
        const bool patient = same_text(p.field, "patient identification");
        const bool recording = same_text(p.field, "recording identification");
        if ((patient && first.r->patient_encoding != 0) ||
            (recording && first.r->recording_encoding != 0)) {
            continue;
        }
        bool listed = false;
        for (int k = 0; k < first.sink.count && !listed; k++) {
            const edf_problem &q = first.sink.problems[k];
            listed = same_text(p.field, q.field) && p.signal == q.signal;
        }
        check(listed);
    }
}

void round_trip(const uint8_t *data, size_t size) {
    const std::string file(reinterpret_cast<const char *>(data), size);
    const parsed first(file, static_cast<int64_t>(size), edf_policy::tolerant);
    if (first.r == nullptr) {
        return;
    }
    const edf_reader_state &r = *first.r;
    const std::string header = formatted(r);
    const parsed second(header, r.header_size + r.datarecord_count * r.record_size,
                        edf_policy::tolerant);
    check(second.r != nullptr);
    same_values(r, *second.r);
    check(formatted(*second.r) == header);
    no_new_problems(first, second);
}

// Setter values taken from the input, byte by byte (zeros after its end).
struct values {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t byte() {
        return at < size ? data[at++] : 0;
    }
    int32_t integer() {
        uint32_t v = 0;
        for (int k = 0; k < 4; k++) {
            v = v << 8 | byte();
        }
        return static_cast<int32_t>(v);
    }
    double number() {
        // Small values and, now and then, any double.
        if (byte() % 4 != 0) {
            return static_cast<double>(integer()) / (1 + byte() % 100);
        }
        uint64_t bits = static_cast<uint64_t>(static_cast<uint32_t>(integer())) << 32;
        bits |= static_cast<uint32_t>(integer());
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    std::string text() {
        std::string t;
        for (int n = byte() % 90; n > 0; n--) {
            const char c = static_cast<char>(byte());
            t += c != '\0' ? c : ' ';
        }
        return t;
    }
};

struct signal_set {
    int samples = 1;
    int digital_min = 0;
    int digital_max = 0;
    double physical_min = 0.0;
    double physical_max = 0.0;
};

void writer_header(const uint8_t *data, size_t size) {
    static const std::string path = "/tmp/fuzz_header_codec_" + std::to_string(getpid()) + ".edf";
    values in{data, size};
    const bool bdf = in.byte() % 2 != 0;
    const int ns = in.byte() % 5;
    const int h =
        edfopen_file_writeonly(path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, ns);
    check(h >= 0);
    edf_set_number_of_annotation_signals(h, 1 + in.byte() % 4);
    edf_set_annotation_signal_position(h, in.byte() % 3);
    const int flags = in.byte();
    if (flags & 1) {
        edf_set_datarecord_duration(h, in.integer());
    }
    if (flags & 2) {
        edf_set_datarecord_duration_us(h, in.integer() % 20000);
    }
    if (flags & 4) {
        edf_set_startdatetime(h, 1980 + in.byte() % 110, in.byte() % 14, in.byte() % 33,
                              in.byte() % 25, in.byte() % 61, in.byte() % 61);
    }
    if (flags & 8) {
        edf_set_birthdate(h, 1790 + in.integer() % 1300, in.byte() % 14, in.byte() % 33);
    }
    if (flags & 16) {
        edf_set_sex(h, in.byte() % 3);
    }
    if (flags & 32) {
        edf_set_subsecond_starttime(h, in.integer());
    }
    const bool discontinuous = (flags & 64) != 0 && edf_set_discontinuous(h) == 0;
    for (int (*set)(int, const char *) :
         {edf_set_patientcode, edf_set_patientname, edf_set_patient_additional, edf_set_admincode,
          edf_set_technician, edf_set_equipment, edf_set_recording_additional}) {
        set(h, in.text().c_str());
    }
    std::vector<signal_set> signals(static_cast<size_t>(ns));
    for (int s = 0; s < ns; s++) {
        signal_set &v = signals[static_cast<size_t>(s)];
        v.samples = 1 + in.byte() % 50;
        check(edf_set_samplefrequency(h, s, v.samples) == 0);
        // Zero bytes (past the input's end) give a valid signal.
        v.physical_min = in.byte() % 2 == 0 ? -100.0 - in.byte() : in.number();
        v.physical_max = in.byte() % 2 == 0 ? 100.0 + in.byte() : in.number();
        edf_set_physical_minimum(h, s, v.physical_min);
        edf_set_physical_maximum(h, s, v.physical_max);
        const int range = bdf ? 8388608 : 32768;
        v.digital_min = in.byte() % 2 == 0 ? -range : in.integer() % range;
        v.digital_max = in.byte() % 2 == 0 ? range - 1 : in.integer() % range;
        check(edf_set_digital_minimum(h, s, v.digital_min) == 0);
        check(edf_set_digital_maximum(h, s, v.digital_max) == 0);
        for (int (*set)(int, int, const char *) :
             {edf_set_label, edf_set_physical_dimension, edf_set_transducer, edf_set_prefilter}) {
            set(h, s, in.text().c_str());
        }
    }
    int written = 0;
    const std::vector<int> zeros(50, 0);
    for (int s = 0; s < ns && written == 0; s++) {
        written = edfwrite_digital_samples(h, zeros.data());
    }
    if (ns == 0) {
        check(edfwrite_annotation_utf8_us(h, 0, -1, "x") == 0); // close writes a record for it
    }
    const int closed = edfclose_file(h);
    if (written != 0) {
        check(written >= EDF_ERR_PHYSICAL_VALUE_TEXT && written <= EDF_ERR_NEGATIVE_SIGNAL_COUNT);
        check(closed == written);
        return;
    }
    check(closed == 0);

    std::ifstream stream(path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(stream),
                           std::istreambuf_iterator<char>()};
    const parsed strict(file, static_cast<int64_t>(file.size()), edf_policy::strict);
    check(strict.r != nullptr && strict.sink.first_code == 0);
    int k = 0;
    for (int i = 0; i < strict.r->signal_count; i++) {
        const edf_signal_param &p = strict.r->signals[i];
        if (p.is_annotation) {
            continue;
        }
        const signal_set &v = signals[static_cast<size_t>(k++)];
        char min_text[9];
        char max_text[9];
        check(edf::codec::physical_value_text(v.physical_min, min_text) &&
              edf::codec::physical_value_text(v.physical_max, max_text));
        check(same_text(p.physical_min_text, min_text) && same_text(p.physical_max_text, max_text));
        check(p.samples_per_record == v.samples && p.digital_min == v.digital_min &&
              p.digital_max == v.digital_max);
    }
    check(k == ns);
    edf_header_info *hdr = new edf_header_info;
    const int opened = edfopen_file_readonly(path.c_str(), hdr, EDF_READ_ALL_ANNOTATIONS);
    check(discontinuous ? opened == -1 && hdr->filetype == EDF_ERR_DISCONTINUOUS : opened == 0);
    if (opened == 0) {
        edfclose_file(hdr->handle);
    }
    delete hdr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    round_trip(data, size);
    writer_header(data, size);
    return 0;
}
