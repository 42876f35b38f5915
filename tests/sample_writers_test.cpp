// The sample writers: conversion and clipping of samples, their encodings, the place of the
// annotation block in every record, the calling rules, and output failures.
#include "recording/core/recording.h"
#include "test_files.h"
#include "windows_skips.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

using namespace edf;

namespace {

// Little-endian bytes of digital values, 2 or 3 per sample.
std::string encoded(const std::vector<int> &values, bool bdf) {
    std::string bytes;
    for (int v : values) {
        for (int b = 0; b < (bdf ? 3 : 2); b++) {
            bytes += static_cast<char>(static_cast<unsigned>(v) >> (8 * b) & 0xFF);
        }
    }
    return bytes;
}

std::string timekeeping_block(int record, int annotation_signals = 1) {
    std::string block = "+";
    block += std::to_string(record);
    block += "\x14\x14";
    block.resize(static_cast<size_t>(120 * annotation_signals), '\0');
    return block;
}

// The data records of a closed file.
std::string records_of(const std::string &path, int signals, int annotation_signals = 1) {
    return file_bytes(path).substr(static_cast<size_t>(256 * (1 + signals + annotation_signals)));
}

} // namespace

// Physical range -400 to 400 on -32768 to 32767: bit_value 800/65535, offset 0.5. Values are
// truncated toward zero; values beyond the range, infinities and NaN stay within it.
TEST(SampleWriters, PhysicalValuesAreTruncatedAndClipped) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> physical = {400,   -400, 200,  -200,  0,        -0.01, 1000,
                                          -1000, inf,  -inf, 1e300, -DBL_MAX, nan,   -nan};
    const std::vector<int> digital = {32767,  -32768, 16383,  -16384, 0,      -1,     32767,
                                      -32768, 32767,  -32768, 32767,  -32768, -32768, -32768};
    for (bool bdf : {false, true}) {
        temp_dir dir;
        const int h = open_configured(dir.file("p"), 1, static_cast<int>(physical.size()), bdf);
        edf_set_physical_maximum(h, 0, 400.0);
        edf_set_physical_minimum(h, 0, -400.0);
        edf_set_digital_maximum(h, 0, 32767);
        edf_set_digital_minimum(h, 0, -32768);
        ASSERT_EQ(edfwrite_physical_samples(h, physical.data()), 0);
        ASSERT_EQ(edfclose_file(h), 0);
        EXPECT_EQ(records_of(dir.file("p"), 1), encoded(digital, bdf) + timekeeping_block(0));
    }
}

TEST(SampleWriters, DigitalValuesAreClippedToTheSignalsRange) {
    for (bool bdf : {false, true}) {
        temp_dir dir;
        const int h = open_configured(dir.file("d"), 2, 4, bdf);
        edf_set_digital_maximum(h, 1, 100);
        edf_set_digital_minimum(h, 1, -100);
        const int wide[4] = {-2, 8388607, -8388608, 0};
        const int narrow[4] = {150, -150, INT32_MIN, INT32_MAX};
        ASSERT_EQ(edfwrite_digital_samples(h, wide), 0);
        ASSERT_EQ(edfwrite_digital_samples(h, narrow), 0);
        // NaN takes the digital minimum of a narrow range too.
        const double physical[8] = {0, 0, 0, 0, std::numeric_limits<double>::quiet_NaN(), 0, 0, 0};
        ASSERT_EQ(edf_blockwrite_physical_samples(h, physical), 0);
        ASSERT_EQ(edfclose_file(h), 0);
        const int top = bdf ? 8388607 : 32767;
        const int bottom = bdf ? -8388608 : -32768;
        EXPECT_EQ(records_of(dir.file("d"), 2),
                  encoded({-2, top, bottom, 0, 100, -100, -100, 100}, bdf) + timekeeping_block(0) +
                      encoded({0, 0, 0, 0, -100, 0, 0, 0}, bdf) + timekeeping_block(1));
    }
    EXPECT_EQ(encoded({-2, 8388607}, true), "\xFE\xFF\xFF\xFF\xFF\x7F");
}

// The 16-bit writers clip into the file, never in the caller's array.
TEST(SampleWriters, ShortSamplesLeaveTheCallersArrayUntouched) {
    temp_dir dir;
    const int h = open_configured(dir.file("s"), 2, 3);
    edf_set_digital_maximum(h, 1, 100);
    edf_set_digital_minimum(h, 1, -100);
    short full[3] = {-32768, 32767, 5};
    short narrow[3] = {150, -150, 7};
    short block[6] = {1, 2, 3, 4, 500, -6};
    ASSERT_EQ(edfwrite_digital_short_samples(h, full), 0);
    ASSERT_EQ(edfwrite_digital_short_samples(h, narrow), 0);
    ASSERT_EQ(edf_blockwrite_digital_short_samples(h, block), 0);
    EXPECT_EQ(std::vector<short>(full, full + 3), (std::vector<short>{-32768, 32767, 5}));
    EXPECT_EQ(std::vector<short>(narrow, narrow + 3), (std::vector<short>{150, -150, 7}));
    EXPECT_EQ(block[4], 500);
    ASSERT_EQ(edfclose_file(h), 0);
    EXPECT_EQ(records_of(dir.file("s"), 2),
              encoded({-32768, 32767, 5, 100, -100, 7}, false) + timekeeping_block(0) +
                  encoded({1, 2, 3, 4, 100, -6}, false) + timekeeping_block(1));
}

// Every writer places the annotation block where annotation_position says: records 0 to 3
// are written per signal, as a digital block, as a physical block and as packed 24-bit bytes.
TEST(SampleWriters, AnnotationBlockPlacement) {
    // clang-format off
    const struct { int signals, position, annotation_signals, insert_at; } cases[] = {
        {3, EDF_ANNOTATIONS_AT_END, 1, 3}, {3, EDF_ANNOTATIONS_IN_MIDDLE, 2, 1},
        {3, EDF_ANNOTATIONS_AT_START, 1, 0}, {1, EDF_ANNOTATIONS_IN_MIDDLE, 1, 0},
        {2, EDF_ANNOTATIONS_IN_MIDDLE, 1, 1}};
    // clang-format on
    for (const auto &c : cases) {
        for (bool bdf : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.signals << " signals, position " << c.position
                                            << (bdf ? ", BDF+" : ", EDF+"));
            temp_dir dir;
            const int h = open_configured(dir.file("a"), c.signals, 2, bdf);
            edf_set_number_of_annotation_signals(h, c.annotation_signals);
            edf_set_annotation_signal_position(h, c.position);
            for (int s = 0; s < c.signals; s++) { // physical value = digital value
                edf_set_physical_maximum(h, s, bdf ? 8388607 : 32767);
                edf_set_physical_minimum(h, s, bdf ? -8388608 : -32768);
            }
            // Sample k of signal s in record r has the value 100 r + 10 s + k.
            std::string expected;
            std::vector<int> digital;
            std::vector<double> physical;
            std::string packed;
            for (int r = 0; r < (bdf ? 4 : 3); r++) {
                for (int s = 0; s <= c.signals; s++) {
                    if (s == c.insert_at) {
                        expected += timekeeping_block(r, c.annotation_signals);
                    }
                    if (s < c.signals) {
                        const std::vector<int> values = {100 * r + 10 * s, 100 * r + 10 * s + 1};
                        expected += encoded(values, bdf);
                        if (r == 0) {
                            ASSERT_EQ(edfwrite_digital_samples(h, values.data()), 0);
                        }
                        digital.insert(digital.end(), values.begin(), values.end());
                        physical.insert(physical.end(), {values[0] + 0.75, values[1] + 0.25});
                        packed += encoded(values, true);
                    }
                }
            }
            ASSERT_EQ(edf_blockwrite_digital_samples(h, digital.data() + 2 * c.signals), 0);
            ASSERT_EQ(edf_blockwrite_physical_samples(h, physical.data() + 4 * c.signals), 0);
            EXPECT_EQ(edf_blockwrite_digital_24bit_samples(h, packed.data() + 18 * c.signals),
                      bdf ? 0 : -1);
            ASSERT_EQ(edfclose_file(h), 0);
            EXPECT_EQ(records_of(dir.file("a"), c.signals, c.annotation_signals), expected);
        }
    }
}

TEST(SampleWriters, CallingRules) {
    temp_dir dir;
    const int two = open_configured(dir.file("two"), 2, 2);
    const int none = edfopen_file_writeonly(dir.file("none").c_str(), 1, 0);
    const int bdf = open_configured(dir.file("bdf"), 1, 2, true);
    const int values[4] = {};
    short shorts[4] = {};
    EXPECT_EQ(edfwrite_digital_samples(none, values), -1); // no ordinary signal
    EXPECT_EQ(edf_blockwrite_digital_samples(none, values), -1);
    EXPECT_EQ(edfwrite_digital_short_samples(bdf, shorts), -1);
    EXPECT_EQ(edf_blockwrite_digital_short_samples(bdf, shorts), -1);
    EXPECT_EQ(edfwrite_digital_samples(two, nullptr), -1);
    ASSERT_EQ(edfwrite_digital_samples(two, values), 0);
    const auto position = ftello(edf_recording_for(two, edf_side::either)->file);
    EXPECT_EQ(edf_blockwrite_digital_samples(two, values), -1); // record in progress
    EXPECT_EQ(ftello(edf_recording_for(two, edf_side::either)->file), position);
    ASSERT_EQ(edfwrite_digital_samples(two, values), 0);
    EXPECT_EQ(edf_recording_for(two, edf_side::either)->datarecord_count, 1);
    // The record is flushed; the header counts records only once the file is closed.
    EXPECT_EQ(file_bytes(dir.file("two")).substr(236, 8), "-1      ");
    EXPECT_EQ(file_bytes(dir.file("two")).size(), 1024u + 128u);
    for (int h : {two, none, bdf}) {
        EXPECT_EQ(edfclose_file(h), 0);
    }
}

// Samples are converted with the limits that the header states (the values their eight-character
// texts read back as), so that every value within them reads back within one digital step.
// Limits that are written exactly (the sweep file's -400 and 400) convert as before.
TEST(SampleWriters, PhysicalValuesReadBackWithinOneStep) {
    const struct {
        bool bdf;
        double min, max; // as passed; the header holds their eight-character texts
        std::vector<double> values;
    } cases[] = {
        {true, -123456.789, 123456.789, {0.0, -100000.0, 99999.5, 123456.7, -123456.0, 0.001}},
        {false, -3276.7, 3276.7, {0.0, 3276.6, -3276.6, 1.5, -0.1}},
        {false, 0.123456789, 9.87654321, {0.2, 5.0, 9.8}},
        {false, -400.0, 400.0, {400.0, -400.0, 200.0, -200.0, 0.0, -0.01}}};
    auto header = std::make_unique<edf_header_info>();
    for (const auto &c : cases) {
        temp_dir dir;
        const std::string path = dir.file("p");
        const int n = static_cast<int>(c.values.size());
        const int h = open_configured(path, 1, n, c.bdf);
        edf_set_physical_maximum(h, 0, c.max);
        edf_set_physical_minimum(h, 0, c.min);
        ASSERT_EQ(edfwrite_physical_samples(h, c.values.data()), 0);
        ASSERT_EQ(edfclose_file(h), 0);
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), header.get(), EDF_READ_NO_ANNOTATIONS), 0);
        const edf_signal_info &info = header->signals[0];
        const double step = (info.physical_max - info.physical_min) /
                            (static_cast<double>(info.digital_max) - info.digital_min);
        std::vector<double> read(c.values.size());
        ASSERT_EQ(edfread_physical_samples(header->handle, 0, n, read.data()), n);
        for (size_t i = 0; i < read.size(); i++) {
            EXPECT_LE(std::fabs(read[i] - c.values[i]), step) << c.max << ": " << c.values[i];
        }
        edfclose_file(header->handle);
    }
    // The sweep file's range: digital values as the exact limits give them.
    temp_dir dir;
    const int h = open_configured(dir.file("s"), 1, 6);
    edf_set_physical_maximum(h, 0, 400.0);
    edf_set_physical_minimum(h, 0, -400.0);
    ASSERT_EQ(edfwrite_physical_samples(h, cases[3].values.data()), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    EXPECT_EQ(records_of(dir.file("s"), 1),
              encoded({32767, -32768, 16383, -16384, 0, -1}, false) + timekeeping_block(0));
}

// The header's record count holds at most 99999999 records: the write that would begin one
// more is refused by every writer, nothing is written, and the file stays valid. (The count is
// set in the block: 10^8 real records would take hundreds of megabytes.)
TEST(SampleWriters, RecordCountStopsAtTheHeaderLimit) {
    const int values[4] = {};
    const short shorts[4] = {};
    const unsigned char bytes[12] = {};
    const std::function<int(int)> writers[] = {
        [&](int h) { return edfwrite_digital_samples(h, values); },
        [&](int h) { return edf_blockwrite_digital_samples(h, values); },
        [&](int h) { return edf_blockwrite_digital_short_samples(h, const_cast<short *>(shorts)); },
        [&](int h) { return edf_blockwrite_digital_24bit_samples(h, bytes); }};
    for (size_t k = 0; k < std::size(writers); k++) {
        temp_dir dir;
        const std::string path = dir.file("r");
        const bool bdf = k == 3;
        const int h = open_configured(path, 2, 2, bdf);
        edf_writer_state &r = *edf_writer_for(h);
        const auto write_record = [&] {
            const int first = writers[k](h);
            return k == 0 && first == 0 ? writers[k](h) : first; // per signal: two calls
        };
        ASSERT_EQ(write_record(), 0) << k;
        r.datarecord_count = 99999998;
        ASSERT_EQ(write_record(), 0) << k; // record 99999999
        const std::string before = file_bytes(path);
        EXPECT_EQ(write_record(), -1) << k;
        EXPECT_EQ(write_record(), -1) << k;
        EXPECT_EQ(r.datarecord_count, 99999999) << k;
        EXPECT_EQ(file_bytes(path), before) << k;
        r.datarecord_count = 2; // the records that are really in the file
        ASSERT_EQ(edfclose_file(h), 0) << k;
        EXPECT_EQ(file_bytes(path).substr(236, 8), "2       ");
        EXPECT_EQ(file_bytes(path).size(), 1024u + 2 * (120u + (bdf ? 12u : 8u))) << k;
    }
}

// A full device: the failure shows in the first complete record (its samples do not fit the
// stream's buffer, or its flush fails) and again in close, never behind results that all say
// success.
#ifdef _WIN32
SKIPPED_ON_WINDOWS(SampleWriters, OutputFailureIsReported, "a full device (/dev/full)")
#else
TEST(SampleWriters, OutputFailureIsReported) {
    for (int samples : {4, 100000}) {
        const int h = open_configured("/dev/full", 1, samples);
        ASSERT_GE(h, 0);
        const std::vector<double> values(static_cast<size_t>(samples), 1.0);
        EXPECT_EQ(edfwrite_physical_samples(h, values.data()), -1);
        EXPECT_EQ(edf_recording_for(h, edf_side::either)->datarecord_count, 0);
        EXPECT_EQ(edfclose_file(h), -1);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
    }
}
#endif
