// The header writer: the checks that refuse a configuration, and the bytes of the header it
// writes (identification subfields, start, duration, signal order, per-signal fields).
#include "recording/core/recording.h"
#include "recording/writer/header_writer.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace {

// The header of a file configured by `configure` and closed without any sample write.
std::string closed_header(const std::function<void(int)> &configure, int signals = 1,
                          bool bdf = false) {
    temp_dir dir;
    const int h = open_configured(dir.file("h.edf"), signals, 10, bdf);
    edf_set_startdatetime(h, 2002, 3, 2, 13, 4, 5);
    configure(h);
    EXPECT_EQ(edfclose_file(h), 0);
    return file_bytes(dir.file("h.edf"));
}

// Field `start` (offset within a signal's 256 bytes, times ns) of signal i.
std::string signal_field(const std::string &header, int start, int width, int i) {
    const int ns = static_cast<int>(header.size() / 256) - 1;
    return header.substr(static_cast<size_t>(256 + ns * start + i * width),
                         static_cast<size_t>(width));
}

} // namespace

TEST(HeaderWriter, IdentificationFields) {
    const std::string c80(80, 'c'), c72(72, 'c'), c60(60, 'c'), t60(60, 't'), t52(52, 't');
    const std::string a20(20, 'a'), t20(20, 't'), e20(20, 'e'), e12(12, 'e'), n20(20, 'n');
    const struct {
        std::string code, name, additional;
        int sex;
        bool birthdate;
        std::string patient_field;
    } patients[] = {
        {"", "", "", -1, false, "X X X X"},
        {"", "", "", EDF_FEMALE, true, "X F 05-MAR-1970 X"},
        {"", "anon patient 7", "more  text", EDF_MALE, false, "X M X anon_patient_7 more  text"},
        {"", "J\xFCrgen", "", -1, false, "X X X Jurgen"},
        {c80, "name", "extra", -1, false, c72 + " X X X"},
        {c60, n20, "extra", -1, true, c60 + " X 05-MAR-1970 nn"}};
    for (const auto &p : patients) {
        const std::string header = closed_header([&](int h) {
            edf_set_patientcode(h, p.code.c_str());
            edf_set_patientname(h, p.name.c_str());
            edf_set_patient_additional(h, p.additional.c_str());
            if (p.sex >= 0) {
                edf_set_sex(h, p.sex);
            }
            if (p.birthdate) {
                edf_set_birthdate(h, 1970, 3, 5);
            }
        });
        EXPECT_EQ(header.substr(8, 80), field(p.patient_field, 80));
    }
    const struct {
        std::string admin, technician, equipment, additional, recording_field;
    } recordings[] = {
        {"", "", "", "", "X X X"},
        {"ADM7", "TECH A", "AMP-2", "left arm test", "ADM7 TECH_A AMP-2 left arm test"},
        {a20, t20, e20, "dropped", a20 + " " + t20 + " " + e12 + " "},
        {"", t60, "", "", "X " + t52 + " X "}};
    for (const auto &r : recordings) {
        const std::string header = closed_header([&](int h) {
            edf_set_admincode(h, r.admin.c_str());
            edf_set_technician(h, r.technician.c_str());
            edf_set_equipment(h, r.equipment.c_str());
            edf_set_recording_additional(h, r.additional.c_str());
        });
        EXPECT_EQ(header.substr(88, 80), field("Startdate 02-MAR-2002 " + r.recording_field, 80));
        EXPECT_EQ(header.substr(168, 16), "02.03.0213.04.05");
    }
    const std::string old = closed_header(
        [](int h) { ASSERT_EQ(edf_set_startdatetime(h, 1999, 12, 31, 23, 59, 58), 0); });
    EXPECT_EQ(old.substr(88, 22), "Startdate 31-DEC-1999 ");
    EXPECT_EQ(old.substr(168, 16), "31.12.9923.59.58");
}

TEST(HeaderWriter, RecordDurationField) {
    // clang-format off
    const std::pair<std::function<int(int)>, const char *> cases[] = {
        {[](int) { return 0; }, "1       "},
        {[](int h) { return edf_set_datarecord_duration(h, 50000); }, "0.5     "},
        {[](int h) { return edf_set_datarecord_duration(h, 100); }, "0.001   "},
        {[](int h) { return edf_set_datarecord_duration(h, 6000000); }, "60      "},
        {[](int h) { return edf_set_datarecord_duration(h, 1234567); }, "12.34567"},
        {[](int h) { return edf_set_datarecord_duration(h, 5999999); }, "59.99999"},
        {[](int h) { return edf_set_datarecord_duration_us(h, 1); }, "0.000001"},
        {[](int h) { return edf_set_datarecord_duration_us(h, 9999); }, "0.009999"}};
    // clang-format on
    for (const auto &c : cases) {
        EXPECT_EQ(closed_header([&](int h) { ASSERT_EQ(c.first(h), 0); }).substr(244, 8), c.second);
    }
}

TEST(HeaderWriter, AnnotationSignalsStandWherePositionPutsThem) {
    const struct {
        int signals, annotation_signals, position;
        std::vector<std::string> labels; // "A" marks an annotation signal
    } cases[] = {
        {3, 1, EDF_ANNOTATIONS_AT_END, {"0", "1", "2", "A"}},
        {3, 2, EDF_ANNOTATIONS_IN_MIDDLE, {"0", "A", "A", "1", "2"}},
        {2, 1, EDF_ANNOTATIONS_IN_MIDDLE, {"0", "A", "1"}},
        {1, 1, EDF_ANNOTATIONS_IN_MIDDLE, {"A", "0"}},
        {3, 1, EDF_ANNOTATIONS_AT_START, {"A", "0", "1", "2"}},
        {0, 2, EDF_ANNOTATIONS_IN_MIDDLE, {"A", "A"}},
    };
    for (const auto &c : cases) {
        const std::string header = closed_header(
            [&](int h) {
                for (int s = 0; s < c.signals; s++) {
                    edf_set_label(h, s, std::to_string(s).c_str());
                    edf_set_samplefrequency(h, s, 100 + s);
                }
                edf_set_number_of_annotation_signals(h, c.annotation_signals);
                edf_set_annotation_signal_position(h, c.position);
            },
            c.signals);
        ASSERT_EQ(header.size(), 256 * (c.labels.size() + 1));
        EXPECT_EQ(header.substr(252, 4), field(std::to_string(c.labels.size()), 4));
        for (size_t i = 0; i < c.labels.size(); i++) {
            const int k = static_cast<int>(i);
            const bool annotation = c.labels[i] == "A";
            EXPECT_EQ(signal_field(header, 0, 16, k),
                      annotation ? "EDF Annotations " : field(c.labels[i], 16));
            EXPECT_EQ(signal_field(header, 112, 8, k), annotation ? "1       " : "1000    ");
            EXPECT_EQ(signal_field(header, 104, 8, k), annotation ? "-1      " : "-1000   ");
            EXPECT_EQ(signal_field(header, 216, 8, k),
                      field(annotation ? "60" : std::to_string(100 + std::stoi(c.labels[i])), 8));
        }
    }
}

TEST(HeaderWriter, BdfHeaderAndTransliteratedSignalTexts) {
    std::string header = closed_header(
        [](int h) {
            edf_set_label(h, 0, "caf\xE9");
            edf_set_physical_dimension(h, 0, "\xB5V");
            edf_set_prefilter(h, 0, "HP:0.1Hz\t");
        },
        1, true);
    ASSERT_EQ(header.size(), 768u);
    EXPECT_EQ(header.substr(0, 8), "\xFF"
                                   "BIOSEMI");
    EXPECT_EQ(header.substr(192, 44), field("BDF+C", 44));
    EXPECT_EQ(signal_field(header, 0, 16, 0), field("cafe", 16));
    EXPECT_EQ(signal_field(header, 0, 16, 1), "BDF Annotations ");
    EXPECT_EQ(signal_field(header, 96, 8, 0), "uV      ");
    EXPECT_EQ(signal_field(header, 136, 80, 0), field("HP:0.1Hz.", 80));
    EXPECT_EQ(signal_field(header, 120, 8, 1), "-8388608");
    EXPECT_EQ(signal_field(header, 128, 8, 1), "8388607 ");
    EXPECT_EQ(signal_field(header, 216, 8, 1), "40      ");
    for (size_t i = 1; i < header.size(); i++) {
        ASSERT_TRUE(header[i] >= 0x20 && header[i] <= 0x7E) << "byte " << i;
    }
}

// Header texts given as UTF-8 are transliterated one character at a time, to the letter that
// the same character gets as Latin-1; texts that are not UTF-8 (Latin-1) keep the byte-wise
// result. Field widths count characters of the text given.
TEST(HeaderWriter, Utf8TextsAreTransliteratedPerCharacter) {
    const struct {
        int (*set)(int, int, const char *);
        int start, width; // of the signal field
        const char *text;
        const char *written;
    } cases[] = {
        {edf_set_label, 0, 16, "J\xC3\xB6rg M\xC3\xBCller", "Jorg Muller"},
        {edf_set_label, 0, 16, "J\xF6rg M\xFCller", "Jorg Muller"}, // Latin-1
        {edf_set_label, 0, 16,
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
         "eeeeeeeeeeeeeeee"}, // 17 characters, cut at 16
        {edf_set_label, 0, 16,
         "\xC5\x81\xC3\xB3"
         "d\xC5\xBA",
         "Lodz"}, // Latin Extended-A
        {edf_set_label, 0, 16, "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D", "E \"q\""}, // Windows-1252
        {edf_set_label, 0, 16, "\xE6\x97\xA5 \xC2\x85", ". ."},                      // others, C1
        {edf_set_label, 0, 16, "\xC3\xA9\xFC", "A.u"}, // not UTF-8 as a whole: bytes
        {edf_set_physical_dimension, 96, 8, "\xC2\xB5V", "uV"},
        {edf_set_physical_dimension, 96, 8, "\xB5V", "uV"},
        {edf_set_physical_dimension, 96, 8,
         "\xC2\xB0"
         "C",
         ".C"},
        {edf_set_transducer, 16, 80, "  Elektrode f\xC3\xBCr EEG  ", "Elektrode fur EEG"},
        {edf_set_prefilter, 136, 80, "\xC3\x9F\xC3\xBE\xC3\x90", "stD"}};
    for (const auto &c : cases) {
        const std::string header = closed_header([&](int h) { ASSERT_EQ(c.set(h, 0, c.text), 0); });
        EXPECT_EQ(signal_field(header, c.start, c.width, 0), field(c.written, c.width)) << c.text;
    }
    const std::string header = closed_header([](int h) {
        edf_set_patientname(h, "J\xC3\xB6rg M\xC3\xBCller");
        edf_set_equipment(h, "Verst\xC3\xA4rker \xC2\xB5");
    });
    EXPECT_EQ(header.substr(8, 80), field("X X X Jorg_Muller", 80));
    EXPECT_EQ(header.substr(88, 80), field("Startdate 02-MAR-2002 X X Verstarker_u", 80));
    // A label that would become the annotation label only once transliterated is refused.
    temp_dir dir;
    const int h = edfopen_file_writeonly(dir.file("l.edf").c_str(), 1, 1);
    EXPECT_EQ(edf_set_label(h, 0, "EDF Annotati\xC3\xB3ns"), -1);
    edfclose_file(h);
}

// Each case spoils a valid two-signal configuration. The first sample write refuses it with
// the code and writes nothing; close then returns the same code and releases the handle.
TEST(HeaderWriter, ChecksRefuseBadSignalsInOrder) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    using spoil = void (*)(edf_writer_state &);
    // clang-format off
    const std::pair<spoil, int> cases[] = {
        {[](edf_writer_state &r) { r.signals[0].samples_per_record = 0; }, EDF_ERR_SAMPLES_PER_RECORD},
        {[](edf_writer_state &r) { r.signals[0].digital_min = 32767; }, EDF_ERR_DIGMIN_IS_DIGMAX},
        {[](edf_writer_state &r) { r.signals[1].digital_max = -32768; }, EDF_ERR_DIGMIN_IS_DIGMAX},
        {[](edf_writer_state &r) { r.signals[0].digital_min = 40000; }, EDF_ERR_DIGMAX_BELOW_DIGMIN},
        {[](edf_writer_state &r) { r.signals[1].physical_min = 1000; }, EDF_ERR_PHYSMIN_IS_PHYSMAX},
        // The first failing check of the first failing signal decides.
        {[](edf_writer_state &r) { r.signals[0].physical_min = 1000, r.signals[1].samples_per_record = 0; },
         EDF_ERR_PHYSMIN_IS_PHYSMAX},
        {[](edf_writer_state &r) { r.signals[1].physical_max = 123456789.0; }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](edf_writer_state &r) { r.signals[0].physical_min = -1e7; }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](edf_writer_state &r) { r.signals[0].physical_min = -1e12; }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](edf_writer_state &r) { r.signals[0].physical_max = nan; }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        // Both written as '0.000000': a reader would find equal limits.
        {[](edf_writer_state &r) { r.signals[1].physical_min = 1e-8, r.signals[1].physical_max = 1e-7; },
         EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](edf_writer_state &r) { r.signal_count = -1; }, EDF_ERR_NEGATIVE_SIGNAL_COUNT},
        {[](edf_writer_state &r) { r.signal_count = 4097; }, EDF_ERR_TOO_MANY_SIGNALS}};
    // clang-format on
    temp_dir dir;
    const std::string path = dir.file("bad.edf");
    for (const auto &[spoil_configuration, code] : cases) {
        const int h = open_configured(path, 2, 4);
        edf_writer_state &r = *edf_writer_for(h);
        spoil_configuration(r);
        const int signals = r.signal_count;
        const int samples[4] = {};
        // A signal count out of range cannot be made through the setters: call the writer.
        EXPECT_EQ(signals == 2 ? edfwrite_digital_samples(h, samples) : edf_write_header(&r), code);
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        r.signal_count = 2;
        EXPECT_EQ(edfclose_file(h), signals == 2 ? code : 0);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
    }
}

TEST(HeaderWriter, RecordSizeLimits) {
    const std::tuple<bool, int, int> cases[] = {{false, 5242820, 0},
                                                {false, 5242821, EDF_ERR_RECORD_TOO_LARGE},
                                                {true, 5242840, 0},
                                                {true, 5242841, EDF_ERR_RECORD_TOO_LARGE}};
    temp_dir dir;
    for (const auto &[bdf, samples, result] : cases) {
        const int h = open_configured(dir.file("big"), 1, samples, bdf);
        EXPECT_EQ(edfclose_file(h), result) << samples;
    }
}
