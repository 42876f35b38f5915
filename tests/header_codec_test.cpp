// The header codec: every field of the fixed and of the signal header in an accepted and a
// refused form under the strict policy, the derived values, robustness against malformed bytes,
// and the header written from what was parsed. Input comes from the library's own writer or is
// assembled field by field.
#include "recording/core/header_codec.h"

#include "header_bytes.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using header_builder::annotation_signal;
using header_builder::header_fields;
using header_builder::patch;
using header_builder::signal_field_offset;
using header_builder::signal_fields;

constexpr int not_written = 12345;

// The file's first `n` bytes, as the codec reads them.
bool read_bytes(void *source, unsigned char *buffer, int64_t n) {
    const std::string &file = *static_cast<const std::string *>(source);
    if (n > static_cast<int64_t>(file.size())) {
        return false;
    }
    std::memcpy(buffer, file.data(), static_cast<size_t>(n));
    return true;
}

// Parses the header of the file `bytes` under a policy (strict by default); frees the block
// and the sink's lists at the end.
class checked {
  public:
    explicit checked(const std::string &bytes, edf_policy policy = edf_policy::strict)
        : bytes_(bytes) {
        sink_.policy = policy;
        block_ = edf::codec::parse_header(read_bytes, &bytes_, static_cast<int64_t>(bytes_.size()),
                                          &sink_, &error_);
    }
    ~checked() {
        if (block_ != nullptr) {
            edf::codec::release_header(block_);
        }
        edf_release_sink(&sink_);
    }
    checked(const checked &) = delete;
    checked &operator=(const checked &) = delete;

    // 0 when accepted, else the reported error code.
    int code() const {
        return block_ != nullptr ? 0 : error_;
    }
    const edf_reader_state *block() const {
        return block_;
    }
    int error() const {
        return error_;
    }
    const edf_problem_sink &sink() const {
        return sink_;
    }

  private:
    std::string bytes_;
    edf_problem_sink sink_;
    edf_reader_state *block_ = nullptr;
    int error_ = not_written;
};

bool append_bytes(void *target, const void *bytes, size_t n) {
    static_cast<std::string *>(target)->append(static_cast<const char *>(bytes), n);
    return true;
}

// The header that the codec writes from a parsed block, its signals in file order.
std::string formatted(const edf_reader_state &r) {
    std::string header;
    const edf::codec::header_view view{&r, r.signals, r.signal_count, 0, 0, r.datarecord_count};
    EXPECT_TRUE(edf::codec::format_header(view, append_bytes, &header));
    return header;
}

// An EDF+ or BDF+ file from the library's writer: signals 'EEG Fpz-Cz' (20 samples per
// record) and 'Resp' (40), the annotation signal last, 3 records of 1 s, full identification.
std::string writer_file(bool bdf) {
    temp_dir dir;
    const std::string path = dir.file(bdf ? "base.bdf" : "base.edf");
    const int h =
        edfopen_file_writeonly(path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, 2);
    if (h < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    const int samples[2] = {20, 40};
    for (int s = 0; s < 2; s++) {
        edf_set_samplefrequency(h, s, samples[s]);
        edf_set_digital_maximum(h, s, bdf ? 8388607 : 32767);
        edf_set_digital_minimum(h, s, bdf ? -8388608 : -32768);
        edf_set_physical_maximum(h, s, 200.0);
        edf_set_physical_minimum(h, s, -200.0);
        edf_set_physical_dimension(h, s, "uV");
    }
    edf_set_label(h, 0, "EEG Fpz-Cz");
    edf_set_label(h, 1, "Resp");
    edf_set_startdatetime(h, 2002, 3, 2, 10, 20, 30);
    edf_set_patientcode(h, "ABC-123");
    edf_set_sex(h, EDF_FEMALE);
    edf_set_birthdate(h, 1951, 5, 2);
    edf_set_patientname(h, "Subject One");
    edf_set_admincode(h, "ADM7");
    edf_set_technician(h, "TECH A");
    edf_set_equipment(h, "AMP-2");
    edf_set_recording_additional(h, "left arm test");
    std::vector<double> values(40, 1.5);
    for (int record = 0; record < 3; record++) {
        for (int s = 0; s < 2; s++) {
            if (edfwrite_physical_samples(h, values.data()) != 0) {
                throw std::runtime_error("write failed");
            }
        }
    }
    edfwrite_annotation_utf8(h, 0, -1, "start");
    if (edfclose_file(h) != 0) {
        throw std::runtime_error("close failed");
    }
    return file_bytes(path);
}

const std::string &edfplus_file() {
    static const std::string bytes = writer_file(false);
    return bytes;
}
const std::string &bdfplus_file() {
    static const std::string bytes = writer_file(true);
    return bytes;
}

// Plain EDF or BDF with two ordinary signals of 10 and 20 samples per record, 3 records.
header_fields plain_fields(bool bdf) {
    header_fields h;
    h.bdf = bdf;
    signal_fields first;
    signal_fields second;
    second.label = "ECG";
    second.samples = "20";
    if (bdf) {
        first.digital_min = second.digital_min = "-8388608";
        first.digital_max = second.digital_max = "8388607";
    }
    h.signals = {first, second};
    return h;
}
std::string plain_edf_file() {
    return plain_fields(false).file();
}
std::string plain_bdf_file() {
    return plain_fields(true).file();
}

int signal_count_of(const std::string &file) {
    return std::stoi(file.substr(edf_layout::signal_count.offset, edf_layout::signal_count.width));
}

// A change of one header field: a fixed-part field, or field `start`/`width` of signal i.
using mutation = std::function<void(std::string &)>;

mutation fixed(edf_layout::field f, const std::string &text) {
    return [f, text](std::string &file) {
        patch(file, static_cast<size_t>(f.offset), text, static_cast<size_t>(f.width));
    };
}
mutation in_signal(int start, int width, size_t i, const std::string &text) {
    return [=](std::string &file) {
        const size_t ns = static_cast<size_t>(signal_count_of(file));
        patch(file, signal_field_offset(ns, start, width, i), text, static_cast<size_t>(width));
    };
}

enum class base { edf, bdf, edfplus, bdfplus };

std::string base_file(base b) {
    switch (b) {
    case base::edf:
        return plain_edf_file();
    case base::bdf:
        return plain_bdf_file();
    case base::edfplus:
        return edfplus_file();
    case base::bdfplus:
        return bdfplus_file();
    }
    return {};
}

struct field_case {
    const char *name;
    base file;
    mutation change;
    int expected; // 0: accepted
};

void run_cases(const std::vector<field_case> &cases) {
    for (const field_case &c : cases) {
        std::string file = base_file(c.file);
        c.change(file);
        checked result(file);
        EXPECT_EQ(result.code(), c.expected) << c.name;
    }
}

using namespace edf_layout;

TEST(HeaderCodec, UnchangedBaseFilesAreAccepted) {
    for (base b : {base::edf, base::bdf, base::edfplus, base::bdfplus}) {
        checked result(base_file(b));
        EXPECT_EQ(result.code(), 0) << static_cast<int>(b);
        EXPECT_EQ(result.error(), not_written);
    }
}

// Short names for the tables: the four base files and the refusal code.
constexpr base E = base::edf;
constexpr base B = base::bdf;
constexpr base EP = base::edfplus;
constexpr base BP = base::bdfplus;
constexpr int bad = EDF_ERR_FORMAT;

TEST(HeaderCodec, FixedPartFields) {
    run_cases({
        {"version 1", E, fixed(version, "1"), bad},
        {"version 0 and NULs", E, fixed(version, std::string("0\0\0\0\0\0\0\0", 8)), bad},
        {"version BIOSEMX", B, fixed(version, "\377BIOSEMX"), bad},
        {"version FE BIOSEMI", B, fixed(version, "\376BIOSEMI"), bad},
        {"patient free text", E, fixed(patient, "anything: 1 2 3 ~!"), 0},
        {"patient Latin-1", E, fixed(patient, "J\xf6rg"), bad},
        {"patient DEL", E, fixed(patient, "a\x7f"), bad},
        {"patient NUL", E, fixed(patient, std::string("a\0b", 3)), bad},
        {"patient grammar", EP, fixed(patient, "X U X X"), bad},
        {"patient all X", EP, fixed(patient, "X X X X"), 0},
        {"recording free text", B, fixed(recording, "startdate whatever"), 0},
        {"recording UTF-8", B, fixed(recording, "caf\xc3\xa9"), bad},
        {"recording grammar", EP, fixed(recording, "startdate X A B C"), bad},
        {"recording all X", BP, fixed(recording, "Startdate X X X X"), 0},
        {"recording date disagrees", EP, fixed(recording, "Startdate 03-MAR-2002 A B C"), bad},
        {"date 29.02.85", E, fixed(start_date, "29.02.85"), 0},
        {"date 31.02.99", E, fixed(start_date, "31.02.99"), 0},
        {"date day 0", E, fixed(start_date, "00.01.99"), bad},
        {"date month 13", E, fixed(start_date, "01.13.99"), bad},
        {"date dashes", E, fixed(start_date, "01-01-99"), bad},
        {"date letter", E, fixed(start_date, "01.01.9a"), bad},
        {"date disagrees with recording field", EP, fixed(start_date, "03.03.02"), bad},
        {"time 23.59.59", E, fixed(start_time, "23.59.59"), 0},
        {"time hour 24", E, fixed(start_time, "24.00.00"), bad},
        {"time minute 60", E, fixed(start_time, "23.60.00"), bad},
        {"time second 60", E, fixed(start_time, "23.59.60"), bad},
        {"time colons", E, fixed(start_time, "12:00:00"), bad},
        {"signals +2", E, fixed(signal_count, "+2"), 0},
        {"signals leading space", E, fixed(signal_count, " 2"), bad},
        {"signals 0", E, fixed(signal_count, "0"), bad},
        {"signals 4097", E, fixed(signal_count, "4097"), bad},
        {"signals disagree with header bytes", E, fixed(signal_count, "1"), bad},
        {"header bytes +768", E, fixed(header_bytes, "+768"), 0},
        {"header bytes 767", E, fixed(header_bytes, "767"), bad},
        {"header bytes 769", E, fixed(header_bytes, "769"), bad},
        {"header bytes 768.0", E, fixed(header_bytes, "768.0"), bad},
        {"reserved EDF+D", EP, fixed(reserved, "EDF+D"), 0},
        {"reserved EDF+X", EP, fixed(reserved, "EDF+X"), bad},
        {"reserved BDF+C in EDF", EP, fixed(reserved, "BDF+C"), bad},
        {"reserved EDF+C with a tail", EP, fixed(reserved, "EDF+C  x"), bad},
        {"reserved 24BIT in EDF", E, fixed(reserved, "24BIT"), bad},
        {"reserved 24BIT in BDF", B, fixed(reserved, "24BIT"), 0},
        {"reserved BDF+D", BP, fixed(reserved, "BDF+D"), 0},
        {"reserved non-printable in BDF", B, fixed(reserved, "24BIT\x80"), bad},
        {"records +3", E, fixed(datarecord_count, "+3"), 0},
        {"records -1", EP, fixed(datarecord_count, "-1"), bad},
        {"records 0", E, fixed(datarecord_count, "0"), bad},
        {"records 3.0", E, fixed(datarecord_count, "3.0"), bad},
        {"records 2 (file too long)", E, fixed(datarecord_count, "2"), bad},
        {"records 4 (file too short)", E, fixed(datarecord_count, "4"), bad},
        {"duration 0.5", E, fixed(datarecord_duration, "0.5"), 0},
        {"duration 1E-3", E, fixed(datarecord_duration, "1E-3"), 0},
        {"duration one tick", E, fixed(datarecord_duration, ".0000001"), 0},
        {"duration 0", E, fixed(datarecord_duration, "0"), bad},
        {"duration 0 with ordinary signals", EP, fixed(datarecord_duration, "0"), bad},
        {"duration -0.00001", E, fixed(datarecord_duration, "-0.00001"), bad},
        {"duration below a tick", E, fixed(datarecord_duration, "1E-8"), bad},
        {"duration comma", E, fixed(datarecord_duration, "1,5"), bad},
        {"duration leading space", E, fixed(datarecord_duration, " 1"), bad},
        {"duration 1E11 over 3 records", E, fixed(datarecord_duration, "1E11"), 0},
        {"duration beyond 64-bit ticks", E, fixed(datarecord_duration, "1E12"), bad},
        {"total duration beyond 64-bit ticks", E, fixed(datarecord_duration, "4E11"), bad},
    });
}

TEST(HeaderCodec, SignalPartFields) {
    const size_t one = 1;
    const size_t annot = 2; // the writer puts the annotation signal last
    auto physical_range = [](const char *min, const char *max) -> mutation {
        return [=](std::string &file) {
            in_signal(physical_min_start, 8, 0, min)(file);
            in_signal(physical_max_start, 8, 0, max)(file);
        };
    };
    run_cases({
        {"label control byte", E, in_signal(label_start, 16, one, "EC\x01G"), bad},
        {"label high byte", EP, in_signal(label_start, 16, 0, "\xb5V"), bad},
        {"EDF+ without annotations", EP, in_signal(label_start, 16, annot, "EDF-Annot"), bad},
        {"EDF label in BDF+", BP, in_signal(label_start, 16, annot, "EDF Annotations "), bad},
        {"transducer free text", E, in_signal(transducer_start, 80, one, "x y"), 0},
        {"transducer control byte", E, in_signal(transducer_start, 80, 0, "\x1f"), bad},
        {"annotation transducer", EP, in_signal(transducer_start, 80, annot, "x"), bad},
        {"dimension free text", B, in_signal(dimension_start, 8, one, "mV/m^2"), 0},
        {"dimension DEL", B, in_signal(dimension_start, 8, one, "\x7f"), bad},
        {"physical min -1E3", E, in_signal(physical_min_start, 8, one, "-1E3"), 0},
        {"physical min letters", E, in_signal(physical_min_start, 8, one, "abc"), bad},
        {"physical min blank", E, in_signal(physical_min_start, 8, one, ""), bad},
        {"physical min comma", E, in_signal(physical_min_start, 8, one, "-1,5"), bad},
        {"physical min leading space", E, in_signal(physical_min_start, 8, one, " -5"), bad},
        {"physical min infinite", E, in_signal(physical_min_start, 8, one, "-1E99999"), bad},
        {"physical min equals max", E, in_signal(physical_min_start, 8, one, "500"), bad},
        {"physical max below min", E, physical_range("10", "-600"), 0},
        {"physical max equals min", E, physical_range("-5", "-5.0"), bad},
        {"physical range beyond doubles", E, physical_range("-1E308", "1E308"), bad},
        {"digital min -40000 in EDF", E, in_signal(digital_min_start, 8, 0, "-40000"), bad},
        {"digital min -40000 in BDF", B, in_signal(digital_min_start, 8, 0, "-40000"), 0},
        {"digital min -32769 in EDF", E, in_signal(digital_min_start, 8, 0, "-32769"), bad},
        {"digital min -8388609 in BDF", B, in_signal(digital_min_start, 8, 0, "-8388609"), bad},
        {"digital min +100", E, in_signal(digital_min_start, 8, 0, "+100"), 0},
        {"digital min decimal", E, in_signal(digital_min_start, 8, 0, "-3276.8"), bad},
        {"digital min equals max", E, in_signal(digital_min_start, 8, 0, "32767"), bad},
        {"annotation digital min", EP, in_signal(digital_min_start, 8, annot, "-32767"), bad},
        {"annotation digital min", BP, in_signal(digital_min_start, 8, annot, "-8388607"), bad},
        {"digital max 100 in BDF", B, in_signal(digital_max_start, 8, 0, "100"), 0},
        {"digital max 32768 in EDF", E, in_signal(digital_max_start, 8, 0, "32768"), bad},
        {"digital max 8388608 in BDF", B, in_signal(digital_max_start, 8, 0, "8388608"), bad},
        {"digital max below min", E, in_signal(digital_max_start, 8, 0, "-32768"), bad},
        {"annotation digital max", EP, in_signal(digital_max_start, 8, annot, "32766"), bad},
        {"prefilter free text", BP, in_signal(prefilter_start, 80, 0, "LP:70Hz"), 0},
        {"prefilter control byte", E, in_signal(prefilter_start, 80, 0, "\n"), bad},
        {"annotation prefilter", EP, in_signal(prefilter_start, 80, annot, "HP"), bad},
        {"samples +20", E, in_signal(samples_start, 8, one, "+20"), 0},
        {"samples 0", E, in_signal(samples_start, 8, one, "0"), bad},
        {"samples -1", E, in_signal(samples_start, 8, one, "-1"), bad},
        {"samples decimal", E, in_signal(samples_start, 8, one, "20.0"), bad},
        {"samples change the record size", E, in_signal(samples_start, 8, one, "21"), bad},
        {"reserved text in EDF", E, in_signal(signal_reserved_start, 32, 0, "x"), bad},
        {"reserved text in EDF+", EP, in_signal(signal_reserved_start, 32, annot, "x"), bad},
        {"reserved text in BDF+", BP, in_signal(signal_reserved_start, 32, 0, "x"), bad},
        {"reserved text in BDF", B, in_signal(signal_reserved_start, 32, 0, "24BIT x"), 0},
        {"reserved control byte in BDF", B, in_signal(signal_reserved_start, 32, 0, "\x02"), bad},
    });
}

TEST(HeaderCodec, FileSizeMustMatchExactly) {
    for (base b : {base::edf, base::edfplus, base::bdfplus}) {
        const std::string file = base_file(b);
        EXPECT_EQ(checked(file + '\0').code(), bad);
        EXPECT_EQ(checked(file.substr(0, file.size() - 1)).code(), bad);
    }
}

TEST(HeaderCodec, ShortReadsGiveReadError) {
    const std::string file = plain_edf_file();
    EXPECT_EQ(checked("").code(), EDF_ERR_READ);
    EXPECT_EQ(checked(file.substr(0, 255)).code(), EDF_ERR_READ);
    // The fixed part is complete, the signal part is not.
    EXPECT_EQ(checked(file.substr(0, 767)).code(), EDF_ERR_READ);
    // A bad fixed part is refused before the signal part is read.
    std::string broken = file.substr(0, 300);
    patch(broken, 0, "1", 8);
    EXPECT_EQ(checked(broken).code(), EDF_ERR_FORMAT);
}

TEST(HeaderCodec, WriterFileIsParsedCompletely) {
    checked result(edfplus_file());
    const edf_reader_state *r = result.block();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->file_type, edf_file_type::edfplus);
    EXPECT_EQ(r->is_discontinuous, 0);
    EXPECT_EQ(r->signal_count, 3);
    EXPECT_EQ(r->header_size, 1024);
    EXPECT_EQ(r->datarecord_count, 3);
    EXPECT_EQ(r->datarecord_duration_ticks, 10000000);
    EXPECT_EQ(r->datarecord_duration_s, 1.0);
    EXPECT_EQ(r->record_size, 2 * (20 + 40 + 60));
    EXPECT_EQ(r->annotation_signal_count, 1);
    EXPECT_EQ(r->annotation_signal_indexes[0], 2);
    EXPECT_EQ(r->start_day, 2);
    EXPECT_EQ(r->start_month, 3);
    EXPECT_EQ(r->start_year, 2002);
    EXPECT_EQ(r->start_hour, 10);
    EXPECT_EQ(r->start_minute, 20);
    EXPECT_EQ(r->start_second, 30);
    EXPECT_EQ(std::string(r->patient_field),
              header_builder::fit("ABC-123 F 02-MAY-1951 Subject_One", 80));
    EXPECT_STREQ(r->patient_code, "ABC-123");
    EXPECT_STREQ(r->sex_text, "Female");
    EXPECT_STREQ(r->birthdate_text, "02 may 1951");
    EXPECT_STREQ(r->patient_name, "Subject One");
    EXPECT_STREQ(r->admin_code, "ADM7");
    EXPECT_STREQ(r->technician, "TECH A");
    EXPECT_STREQ(r->equipment, "AMP-2");
    EXPECT_EQ(std::string(r->recording_additional), header_builder::fit("left arm test", 40));

    const edf_signal_param *s = r->signals;
    EXPECT_STREQ(s[0].label, "EEG Fpz-Cz      ");
    EXPECT_STREQ(s[1].label, "Resp            ");
    EXPECT_STREQ(s[2].label, "EDF Annotations ");
    EXPECT_STREQ(s[0].physical_dimension, "uV      ");
    EXPECT_EQ(std::string(s[2].transducer), std::string(80, ' '));
    EXPECT_EQ(s[0].is_annotation, 0);
    EXPECT_EQ(s[2].is_annotation, 1);
    EXPECT_EQ(s[1].samples_per_record, 40);
    EXPECT_EQ(s[0].buffer_offset, 0);
    EXPECT_EQ(s[1].buffer_offset, 40);
    EXPECT_EQ(s[2].buffer_offset, 120);
    EXPECT_EQ(s[0].physical_min, -200.0);
    EXPECT_EQ(s[0].digital_max, 32767);
    EXPECT_EQ(s[0].bit_value, 400.0 / 65535.0);
    EXPECT_EQ(s[0].offset, 200.0 / (400.0 / 65535.0) - 32767);
    EXPECT_EQ(s[2].bit_value, 2.0 / 65535.0);
    EXPECT_EQ(s[0].sample_position, 0);
}

TEST(HeaderCodec, DerivedValuesOfPlainFiles) {
    header_fields h;
    signal_fields a;
    signal_fields b;
    a.samples = "256";
    b.samples = "512";
    h.signals = {a, b};
    h.datarecord_count = "2";
    checked edf(h.file());
    ASSERT_NE(edf.block(), nullptr);
    EXPECT_EQ(edf.block()->record_size, 1536);
    EXPECT_EQ(edf.block()->signals[0].buffer_offset, 0);
    EXPECT_EQ(edf.block()->signals[1].buffer_offset, 512);
    EXPECT_FALSE(edf.block()->is_plus());
    EXPECT_EQ(edf.block()->annotation_signal_count, 0);
    EXPECT_STREQ(edf.block()->patient_code, "");
    EXPECT_EQ(std::string(edf.block()->patient_field), header_builder::fit(h.patient, 80));

    checked bdf(plain_bdf_file());
    ASSERT_NE(bdf.block(), nullptr);
    EXPECT_TRUE(bdf.block()->is_bdf());
    EXPECT_EQ(bdf.block()->record_size, 3 * (10 + 20));
    EXPECT_EQ(bdf.block()->signals[1].buffer_offset, 30);
    EXPECT_EQ(bdf.block()->signals[0].bit_value, 1000.0 / 16777215.0);
}

TEST(HeaderCodec, TwoDigitYearsCover1985To2084) {
    const struct {
        const char *date;
        int year;
    } cases[] = {{"01.01.84", 2084}, {"01.01.85", 1985}, {"01.01.00", 2000}, {"31.12.99", 1999}};
    for (const auto &c : cases) {
        header_fields h = plain_fields(false);
        h.start_date = c.date;
        checked result(h.file());
        ASSERT_NE(result.block(), nullptr) << c.date;
        EXPECT_EQ(result.block()->start_year, c.year) << c.date;
    }
}

// Accepted variants that a strict reader might wrongly refuse.
TEST(HeaderCodec, AnnotationLabelOutsideEdfPlusIsAnOrdinarySignal) {
    header_fields h = plain_fields(false);
    h.signals[1] = annotation_signal();
    checked result(h.file());
    ASSERT_NE(result.block(), nullptr);
    EXPECT_EQ(result.block()->annotation_signal_count, 0);
    EXPECT_EQ(result.block()->signals[1].is_annotation, 0);
    EXPECT_STREQ(result.block()->signals[1].label, "EDF_Annotations ");

    // An EDF+ file whose reserved field is blanked becomes plain EDF the same way.
    std::string file = edfplus_file();
    patch(file, reserved.offset, "", 44);
    checked plain(file);
    ASSERT_NE(plain.block(), nullptr);
    EXPECT_FALSE(plain.block()->is_plus());
    EXPECT_STREQ(plain.block()->signals[2].label, "EDF_Annotations ");

    // So does a BDF+ file whose reserved field says something else.
    file = bdfplus_file();
    patch(file, reserved.offset, "24BIT", 44);
    checked bdf(file);
    ASSERT_NE(bdf.block(), nullptr);
    EXPECT_FALSE(bdf.block()->is_plus());
    EXPECT_STREQ(bdf.block()->signals[2].label, "BDF_Annotations ");
}

TEST(HeaderCodec, ZeroDurationOnlyForAnnotationOnlyFiles) {
    for (bool bdf : {false, true}) {
        header_fields h;
        h.bdf = bdf;
        h.reserved = bdf ? "BDF+C" : "EDF+C";
        h.patient = "X X X X";
        h.recording = "Startdate X X X X";
        h.datarecord_duration = "0";
        h.signals = {annotation_signal(bdf)};
        checked accepted(h.file());
        ASSERT_NE(accepted.block(), nullptr) << bdf;
        EXPECT_EQ(accepted.block()->datarecord_duration_ticks, 0);
        EXPECT_EQ(accepted.block()->annotation_signal_count, 1);

        h.reserved = "";
        EXPECT_EQ(checked(h.file()).code(), bad) << bdf;
    }
}

TEST(HeaderCodec, AnnotationSignalsAnywhere) {
    header_fields h;
    h.reserved = "EDF+C";
    h.patient = "X X X X";
    h.recording = "Startdate 17-APR-2001 X X X";
    signal_fields ecg;
    ecg.label = "ECG";
    h.signals = {signal_fields{}, annotation_signal(), ecg, annotation_signal()};
    checked result(h.file());
    ASSERT_NE(result.block(), nullptr);
    EXPECT_EQ(result.block()->annotation_signal_count, 2);
    EXPECT_EQ(result.block()->annotation_signal_indexes[0], 1);
    EXPECT_EQ(result.block()->annotation_signal_indexes[1], 3);
    EXPECT_EQ(result.block()->signals[3].buffer_offset, 2 * (10 + 60 + 10));
}

TEST(HeaderCodec, RecordDurationTicks) {
    const struct {
        const char *field;
        int64_t ticks;
        double seconds;
    } cases[] = {
        {"1", 10000000, 1.0},
        {"0.5", 5000000, 0.5},
        {"0.001", 10000, 0.001},
        {"1E-3", 10000, 1.0 / 10 / 10 / 10},
        {"2.5e+2", 2500000000, 250.0},
        {"-0.0", 0, 0.0},
        {"99999999", 999999990000000, 99999999.0},
    };
    for (const auto &c : cases) {
        header_fields h = plain_fields(false);
        h.datarecord_duration = c.field;
        if (c.ticks == 0) {
            // Only annotation-only EDF+ files may have records of no duration.
            h.reserved = "EDF+C";
            h.patient = "X X X X";
            h.recording = "Startdate X X X X";
            h.signals = {annotation_signal()};
        }
        checked result(h.file());
        ASSERT_NE(result.block(), nullptr) << c.field;
        EXPECT_EQ(result.block()->datarecord_duration_ticks, c.ticks) << c.field;
        EXPECT_EQ(result.block()->datarecord_duration_s, c.seconds) << c.field;
    }
}

TEST(HeaderCodec, SamplesPerRecordLimit) {
    header_fields h;
    h.datarecord_count = "1";
    h.signals = {signal_fields{}};
    h.signals[0].samples = "5242880";
    checked largest(h.file());
    ASSERT_NE(largest.block(), nullptr);
    EXPECT_EQ(largest.block()->record_size, 10485760);

    h.signals[0].samples = "5242881";
    EXPECT_EQ(checked(h.file()).code(), bad);

    // 43 signals of 99999999 samples: their sum wraps around to 5032661 in 32 bits, which
    // must not pass for a small record.
    header_fields wrapped;
    wrapped.datarecord_count = "1";
    wrapped.signals.assign(43, signal_fields{});
    for (signal_fields &s : wrapped.signals) {
        s.samples = "99999999";
    }
    std::string file = wrapped.bytes() + std::string(2 * 5032661, '\0');
    EXPECT_EQ(checked(file).code(), bad);
}

TEST(HeaderCodec, ManySignals) {
    header_fields h;
    h.datarecord_count = "1";
    h.signals.assign(EDF_MAX_SIGNALS, signal_fields{});
    checked result(h.file());
    ASSERT_NE(result.block(), nullptr);
    EXPECT_EQ(result.block()->signal_count, EDF_MAX_SIGNALS);
    EXPECT_EQ(result.block()->signals[EDF_MAX_SIGNALS - 1].buffer_offset,
              2 * 10 * (EDF_MAX_SIGNALS - 1));

    // An EDF+ file whose every signal is an annotation signal fills the index table.
    h.reserved = "EDF+C";
    h.patient = "X X X X";
    h.recording = "Startdate X X X X";
    h.signals.assign(EDF_MAX_SIGNALS, annotation_signal());
    checked annotations(h.file());
    ASSERT_NE(annotations.block(), nullptr);
    EXPECT_EQ(annotations.block()->annotation_signal_count, EDF_MAX_SIGNALS);
    EXPECT_EQ(annotations.block()->annotation_signal_indexes[EDF_MAX_SIGNALS - 1],
              EDF_MAX_SIGNALS - 1);
}

// Random damage to valid headers: every outcome must be a clean refusal or a consistent
// block, and (in the sanitizer build) no access may leave a buffer.
TEST(HeaderCodec, SurvivesRandomDamage) {
    std::mt19937 random(20240607);
    const std::string bases[] = {edfplus_file(), bdfplus_file(), plain_edf_file(),
                                 plain_bdf_file()};
    const char alphabet[] = " 0123456789.-+eEX\xff\x01";
    for (int round = 0; round < 4000; round++) {
        std::string file = bases[round % 4];
        const size_t header = static_cast<size_t>(256 * (signal_count_of(file) + 1));
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < changes; k++) {
            const size_t at = random() % header;
            file[at] = random() % 2 != 0 ? alphabet[random() % (sizeof alphabet - 1)]
                                         : static_cast<char>(random() % 256);
        }
        if (random() % 8 == 0) {
            file.resize(random() % file.size());
        }
        checked result(file);
        if (result.block() != nullptr) {
            const edf_reader_state *r = result.block();
            EXPECT_GE(r->signal_count, 1);
            EXPECT_EQ(r->header_size, 256 * (r->signal_count + 1));
            EXPECT_GE(static_cast<int>(r->file_type), EDF_FILETYPE_EDF);
            EXPECT_LE(static_cast<int>(r->file_type), EDF_FILETYPE_BDFPLUS);
        } else {
            EXPECT_TRUE(result.error() == EDF_ERR_FORMAT || result.error() == EDF_ERR_READ)
                << result.error();
        }
    }
}

// A header that conforms is written back byte for byte from what its parse gave.
TEST(HeaderCodec, ConformingHeadersAreWrittenAsTheyWere) {
    for (base b : {base::edf, base::bdf, base::edfplus, base::bdfplus}) {
        const std::string file = base_file(b);
        checked result(file);
        ASSERT_NE(result.block(), nullptr) << static_cast<int>(b);
        const std::string header = file.substr(0, result.block()->header_size);
        EXPECT_EQ(formatted(*result.block()), header) << static_cast<int>(b);
    }
}

// What the tolerant parse reads in a broken field is written as a field that parses again,
// without a problem, to the same values.
TEST(HeaderCodec, RepairsAreWrittenAsConformingFields) {
    const size_t annot = 2;
    const struct {
        const char *name;
        base file;
        mutation change;
    } cases[] = {
        {"start date", E, fixed(start_date, "2/3/1999")},
        {"start time", E, fixed(start_time, "7:8:9")},
        {"reserved tail", EP, fixed(reserved, "EDF+C  x")},
        {"EDF+C without annotations", EP, in_signal(label_start, 16, annot, "EEG")},
        {"record count", EP, fixed(datarecord_count, "-1")},
        {"duration", E, fixed(datarecord_duration, "0,5")},
        {"physical minimum", B, in_signal(physical_min_start, 8, 0, "-500uV")},
        {"digital maximum", E, in_signal(digital_max_start, 8, 1, "32767 x")},
        {"equal digital limits", E, in_signal(digital_max_start, 8, 0, "-32768")},
        {"annotation limit", EP, in_signal(digital_min_start, 8, annot, "-1")},
        {"annotation transducer", BP, in_signal(transducer_start, 80, annot, "x")},
        {"signal reserved", E, in_signal(signal_reserved_start, 32, 1, "x")},
        {"patient grammar", EP, fixed(patient, "not the grammar")},
    };
    for (const auto &c : cases) {
        std::string file = base_file(c.file);
        c.change(file);
        checked tolerant(file, edf_policy::tolerant);
        ASSERT_NE(tolerant.block(), nullptr) << c.name;
        ASSERT_GT(tolerant.sink().count, 0) << c.name;
        const edf_reader_state &r = *tolerant.block();
        const std::string header = formatted(r);
        const std::string again_file =
            header + std::string(static_cast<size_t>(r.record_size * r.datarecord_count), '\0');
        checked again(again_file, edf_policy::check);
        ASSERT_NE(again.block(), nullptr) << c.name;
        // Only a field kept whole stays outside the grammar.
        EXPECT_EQ(again.sink().count, r.patient_whole) << c.name;
        const edf_reader_state &a = *again.block();
        EXPECT_EQ(formatted(a), header) << c.name;
        EXPECT_EQ(a.datarecord_count, r.datarecord_count) << c.name;
        EXPECT_EQ(a.datarecord_duration_ticks, r.datarecord_duration_ticks) << c.name;
        EXPECT_EQ(a.start_year * 10000 + a.start_month * 100 + a.start_day,
                  r.start_year * 10000 + r.start_month * 100 + r.start_day)
            << c.name;
        EXPECT_EQ(a.is_plus(), r.is_plus()) << c.name;
        for (int i = 0; i < r.signal_count; i++) {
            EXPECT_EQ(a.signals[i].physical_min, r.signals[i].physical_min) << c.name;
            EXPECT_EQ(a.signals[i].digital_max, r.signals[i].digital_max) << c.name;
            EXPECT_EQ(a.signals[i].bit_value, r.signals[i].bit_value) << c.name;
        }
    }
}

TEST(HeaderCodec, SingleFields) {
    char text[9];
    const std::pair<int64_t, const char *> counts[] = {{-1, "-1      "},
                                                       {-7, "-1      "},
                                                       {0, "0       "},
                                                       {300, "300     "},
                                                       {99999999, "99999999"}};
    for (const auto &[count, field] : counts) {
        edf::codec::format_record_count(count, text);
        EXPECT_STREQ(text, field) << count;
    }
    const std::pair<int64_t, const char *> durations[] = {
        {10000000, "1"},         {5000000, "0.5"},  {10, "0.000001"},
        {123456789, "12.34567"}, {600000000, "60"}, {1, "0.000000"}};
    for (const auto &[ticks, field] : durations) {
        edf::codec::duration_text(ticks, text);
        EXPECT_STREQ(text, field) << ticks;
    }
    edf::codec::format_start_date(2, 3, 2002, text);
    EXPECT_STREQ(text, "02.03.02");
}

} // namespace
