// The header writer: the checks that refuse a configuration, and the bytes of the header it
// writes (identification subfields, start, duration, signal order, per-signal fields).
#include "recording/core/recording.h"
#include "recording/writer/header_writer.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <ctime>
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

std::string two_digits(int v) {
    return {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

} // namespace

// The sweep program's configuration, with the start taken from the local clock.
TEST(HeaderWriter, SweepConfigurationHeaderByteForByte) {
    temp_dir dir;
    const std::string path = dir.file("sweep.edf");
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_EQ(edf_set_samplefrequency(h, 0, 8192), 0);
    ASSERT_EQ(edf_set_digital_maximum(h, 0, 32767), 0);
    ASSERT_EQ(edf_set_digital_minimum(h, 0, -32768), 0);
    ASSERT_EQ(edf_set_physical_maximum(h, 0, 400.0), 0);
    ASSERT_EQ(edf_set_physical_minimum(h, 0, -400.0), 0);
    ASSERT_EQ(edf_set_physical_dimension(h, 0, "uV"), 0);
    ASSERT_EQ(edf_set_label(h, 0, "sweep"), 0);
    ASSERT_EQ(edf_set_equipment(h, "Software generated file"), 0);
    ASSERT_EQ(edf_set_patientname(h, "Logarithmic frequency sweep from 10Hz to 4095Hz"), 0);
    const std::vector<double> samples(8192, 0.0);
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(edfwrite_physical_samples(h, samples.data()), 0);
    const std::time_t after = std::time(nullptr);
    const std::string header = file_bytes(path).substr(0, 768); // flushed with the record

    const edf_recording &r = *edf_handle_table[h];
    EXPECT_EQ(r.record_size, 16504);
    EXPECT_EQ(r.signals[0].bit_value, 800.0 / 65535.0);
    EXPECT_EQ(r.signals[0].offset, 0.5);
    EXPECT_EQ(edfclose_file(h), 0);

    static const char *const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    bool matched = false;
    for (std::time_t t : {before, after}) {
        std::tm local{};
        localtime_r(&t, &local);
        const std::string dd = two_digits(local.tm_mday);
        const std::string date =
            dd + "-" + months[local.tm_mon] + "-" + std::to_string(local.tm_year + 1900);
        const std::string expected =
            field("0", 8) + field("X X X Logarithmic_frequency_sweep_from_10Hz_to_4095Hz", 80) +
            field("Startdate " + date + " X X Software_generated_file", 80) + dd + "." +
            two_digits(local.tm_mon + 1) + "." + two_digits(local.tm_year % 100) +
            two_digits(local.tm_hour) + "." + two_digits(local.tm_min) + "." +
            two_digits(local.tm_sec % 60) + field("768", 8) + field("EDF+C", 44) + field("-1", 8) +
            field("1", 8) + field("2", 4) + field("sweep", 16) + "EDF Annotations " +
            std::string(160, ' ') + field("uV", 8) + field("", 8) + field("-400", 8) +
            field("-1", 8) + field("400", 8) + field("1", 8) + field("-32768", 8) +
            field("-32768", 8) + field("32767", 8) + field("32767", 8) + std::string(160, ' ') +
            field("8192", 8) + field("60", 8) + std::string(64, ' ');
        ASSERT_EQ(expected.size(), 768u);
        matched = matched || header == expected;
        if (t == after && !matched) {
            EXPECT_EQ(header, expected);
        }
    }
}

TEST(HeaderWriter, PatientField) {
    const std::string code72(72, 'c');
    const std::string code60(60, 'c');
    const struct {
        std::function<void(int)> configure;
        std::string field;
    } cases[] = {
        {[](int) {}, "X X X X"},
        {[](int h) {
             edf_set_birthdate(h, 1970, 3, 5);
             edf_set_sex(h, EDF_FEMALE);
         },
         "X F 05-MAR-1970 X"},
        {[](int h) {
             edf_set_patientname(h, "anon patient 7");
             edf_set_patient_additional(h, "more  text");
             edf_set_sex(h, EDF_MALE);
         },
         "X M X anon_patient_7 more  text"},
        {[](int h) { edf_set_patientname(h, "J\xFCrgen"); }, "X X X Jurgen"},
        {[](int h) {
             edf_set_patientcode(h, std::string(80, 'c').c_str());
             edf_set_patientname(h, "name");
             edf_set_patient_additional(h, "extra");
         },
         code72 + " X X X"},
        {[](int h) {
             edf_set_patientcode(h, std::string(60, 'c').c_str());
             edf_set_birthdate(h, 2000, 1, 1);
             edf_set_patientname(h, std::string(20, 'n').c_str());
             edf_set_patient_additional(h, "extra");
         },
         code60 + " X 01-JAN-2000 nn"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(closed_header(c.configure).substr(8, 80), field(c.field, 80));
    }
}

TEST(HeaderWriter, RecordingFieldAndStart) {
    const struct {
        std::function<void(int)> configure;
        std::string field;
    } cases[] = {
        {[](int) {}, "Startdate 02-MAR-2002 X X X"},
        {[](int h) {
             edf_set_admincode(h, "ADM7");
             edf_set_technician(h, "TECH A");
             edf_set_equipment(h, "AMP-2");
             edf_set_recording_additional(h, "left arm test");
         },
         "Startdate 02-MAR-2002 ADM7 TECH_A AMP-2 left arm test"},
        {[](int h) {
             edf_set_admincode(h, std::string(20, 'a').c_str());
             edf_set_technician(h, std::string(20, 't').c_str());
             edf_set_equipment(h, std::string(20, 'e').c_str());
             edf_set_recording_additional(h, "dropped");
         },
         "Startdate 02-MAR-2002 " + std::string(20, 'a') + " " + std::string(20, 't') + " " +
             std::string(12, 'e') + " "},
        {[](int h) { edf_set_technician(h, std::string(60, 't').c_str()); },
         "Startdate 02-MAR-2002 X " + std::string(52, 't') + " X "},
    };
    for (const auto &c : cases) {
        const std::string header = closed_header(c.configure);
        EXPECT_EQ(header.substr(88, 80), field(c.field, 80));
        EXPECT_EQ(header.substr(168, 16), "02.03.0213.04.05");
    }
    const std::string old = closed_header(
        [](int h) { ASSERT_EQ(edf_set_startdatetime(h, 1999, 12, 31, 23, 59, 58), 0); });
    EXPECT_EQ(old.substr(88, 22), "Startdate 31-DEC-1999 ");
    EXPECT_EQ(old.substr(168, 16), "31.12.9923.59.58");
}

TEST(HeaderWriter, RecordDurationField) {
    const std::pair<std::function<int(int)>, const char *> cases[] = {
        {[](int) { return 0; }, "1       "},
        {[](int h) { return edf_set_datarecord_duration(h, 50000); }, "0.5     "},
        {[](int h) { return edf_set_datarecord_duration(h, 100); }, "0.001   "},
        {[](int h) { return edf_set_datarecord_duration(h, 6000000); }, "60      "},
        {[](int h) { return edf_set_datarecord_duration(h, 1234567); }, "12.34567"},
        {[](int h) { return edf_set_datarecord_duration(h, 5999999); }, "59.99999"},
        {[](int h) { return edf_set_datarecord_duration_us(h, 1); }, "0.000001"},
        {[](int h) { return edf_set_datarecord_duration_us(h, 9999); }, "0.009999"},
    };
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

// Each configuration is refused by the first sample write with its code, and the file stays
// empty; close then returns the same code and releases the handle.
TEST(HeaderWriter, ChecksRefuseBadSignalsInOrder) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::function<void(int)> configure;
        int code;
    } cases[] = {
        {[](int h) { edf_handle_table[h]->signals[0].samples_per_record = 0; },
         EDF_ERR_SAMPLES_PER_RECORD},
        {[](int h) { edf_set_digital_minimum(h, 0, 32767); }, EDF_ERR_DIGMIN_IS_DIGMAX},
        {[](int h) { edf_set_digital_maximum(h, 1, -32768); }, EDF_ERR_DIGMIN_IS_DIGMAX},
        {[](int h) { edf_set_digital_minimum(h, 0, 0), edf_set_digital_maximum(h, 0, -5); },
         EDF_ERR_DIGMAX_BELOW_DIGMIN},
        {[](int h) { edf_set_physical_minimum(h, 1, 1000.0); }, EDF_ERR_PHYSMIN_IS_PHYSMAX},
        {[](int h) {
             edf_set_physical_minimum(h, 0, 1000.0);                 // -25 in signal 0 ...
             edf_handle_table[h]->signals[1].samples_per_record = 0; // ... before -22 in 1
         },
         EDF_ERR_PHYSMIN_IS_PHYSMAX},
        {[](int h) { edf_set_physical_maximum(h, 1, 123456789.0); }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](int h) { edf_set_physical_minimum(h, 0, -1e7); }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](int h) { edf_set_physical_minimum(h, 0, -1e12); }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](int h) { edf_set_physical_maximum(h, 0, nan); }, EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](int h) {
             edf_set_physical_minimum(h, 1, 0.00000001); // both written as '0.000000'
             edf_set_physical_maximum(h, 1, 0.0000001);
         },
         EDF_ERR_PHYSICAL_VALUE_TEXT},
        {[](int h) { edf_handle_table[h]->signal_count = -1; }, EDF_ERR_NEGATIVE_SIGNAL_COUNT},
        {[](int h) { edf_handle_table[h]->signal_count = 4097; }, EDF_ERR_TOO_MANY_SIGNALS},
    };
    temp_dir dir;
    const std::string path = dir.file("bad.edf");
    for (const auto &c : cases) {
        const int h = open_configured(path, 2, 4);
        c.configure(h);
        const int signals = edf_handle_table[h]->signal_count;
        const int samples[4] = {};
        EXPECT_EQ(signals == 2 ? edfwrite_digital_samples(h, samples)
                               : edf_write_header(edf_handle_table[h]),
                  c.code);
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        edf_handle_table[h]->signal_count = 2;
        EXPECT_EQ(edfclose_file(h), signals == 2 ? c.code : 0);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
    }
}

TEST(HeaderWriter, RecordSizeLimits) {
    const struct {
        bool bdf;
        int samples;
        int result;
    } cases[] = {
        {false, 5242820, 0},
        {false, 5242821, EDF_ERR_RECORD_TOO_LARGE},
        {true, 5242840, 0},
        {true, 5242841, EDF_ERR_RECORD_TOO_LARGE},
    };
    temp_dir dir;
    for (const auto &c : cases) {
        const int h = open_configured(dir.file("big"), 1, c.samples, c.bdf);
        EXPECT_EQ(edfclose_file(h), c.result) << c.samples;
    }
}
