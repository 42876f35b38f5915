// The file of the sweep program read back: its annotations, its sample count, reads across a
// record boundary and at the end, and the physical values of the extreme digital values.
#include "child_processes.h"
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using namespace reader_test;

namespace {

class SweepFile : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new temp_dir;
        ASSERT_EQ(
            child_processes::run_program(SWEEP_GENERATOR_PATH, {}, utf8_path(dir_->path())).status,
            0);
        path_ = dir_->file("freq_sweep.edf");
        bytes_ = read_bytes(path_);
        ASSERT_EQ(bytes_.size(), 4951968u);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static temp_dir *dir_;
    static std::string path_;
    static std::string bytes_;

    // The stored 16-bit value of sample i of the sweep signal.
    static int stored(int64_t i) {
        const size_t at =
            768 + static_cast<size_t>(i / 8192) * 16504 + static_cast<size_t>(i % 8192) * 2;
        const auto *b = reinterpret_cast<const unsigned char *>(bytes_.data() + at);
        return static_cast<int16_t>(b[0] | b[1] << 8);
    }
};

temp_dir *SweepFile::dir_ = nullptr;
std::string SweepFile::path_;
std::string SweepFile::bytes_;

} // namespace

TEST_F(SweepFile, AnnotationsInQueueOrder) {
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path_.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDFPLUS);
    EXPECT_EQ(hdr->ordinary_signal_count, 1);
    EXPECT_EQ(hdr->datarecord_count, 300);
    EXPECT_EQ(hdr->file_duration, 3000000000);
    EXPECT_STREQ(hdr->patient_name, "Logarithmic frequency sweep from 10Hz to 4095Hz");
    EXPECT_STREQ(hdr->equipment, "Software generated file");
    ASSERT_EQ(hdr->annotation_count, 33);
    edf_annotation a;
    for (int i = 0; i < 33; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(edf_get_annotation(hdr->handle, i, &a), 0);
        EXPECT_EQ(a.duration, -10000000);
        EXPECT_STREQ(a.duration_text, "");
        if (i == 0) {
            EXPECT_EQ(a.onset, 0);
            EXPECT_STREQ(a.annotation, "Recording starts");
        } else if (i == 32) {
            EXPECT_EQ(a.onset, 3000000000);
            EXPECT_STREQ(a.annotation, "Recording ends");
        } else {
            EXPECT_EQ(a.onset, static_cast<int64_t>(i - 1) * 100000000);
            const std::string text = a.annotation;
            ASSERT_GE(text.size(), 3u);
            EXPECT_EQ(text.substr(text.size() - 2), "Hz");
        }
    }
    EXPECT_EQ(edf_get_annotation(hdr->handle, 33, &a), -1);
    edfclose_file(hdr->handle);
}

TEST_F(SweepFile, SamplesAcrossRecordsAndAtTheEnd) {
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path_.c_str(), hdr.get(), EDF_READ_NO_ANNOTATIONS), 0);
    const int h = hdr->handle;
    EXPECT_EQ(hdr->signals[0].samples_in_file, 2457600);
    EXPECT_EQ(edfseek(h, 0, 0, EDFSEEK_END), 2457600);

    // Samples 8190 to 8193: two from the end of record 0, two from the start of record 1,
    // with the 120 annotation bytes between them skipped.
    int d[10];
    ASSERT_EQ(edfseek(h, 0, 8190, EDFSEEK_SET), 8190);
    ASSERT_EQ(edfread_digital_samples(h, 0, 4, d), 4);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(d[i], stored(8190 + i));
    }
    EXPECT_EQ(edftell(h, 0), 8194);

    // The short read at the end.
    double p[10];
    ASSERT_EQ(edfseek(h, 0, 2457595, EDFSEEK_SET), 2457595);
    EXPECT_EQ(edfread_physical_samples(h, 0, 10, p), 5);
    EXPECT_EQ(edftell(h, 0), 2457600);
    EXPECT_EQ(edfread_physical_samples(h, 0, 10, p), 0);

    // Every sample, read in one call.
    std::vector<int> all(2457600);
    ASSERT_EQ(edfrewind(h, 0), 0);
    ASSERT_EQ(edfread_digital_samples(h, 0, 2457600, all.data()), 2457600);
    for (int64_t i = 0; i < 2457600; i += 1) {
        ASSERT_EQ(all[static_cast<size_t>(i)], stored(i)) << i;
    }
    edfclose_file(h);
}

TEST_F(SweepFile, PhysicalValuesOfTheExtremeDigitalValues) {
    // A copy of the file with the first samples set to the ends and the middle of the range.
    temp_dir dir;
    const std::string copy = dir.file("copy.edf");
    write_bytes(copy, bytes_);
    patch_bytes(copy, 768, sample16(32767) + sample16(-32768) + sample16(0));
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(copy.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
    double p[3];
    ASSERT_EQ(edfread_physical_samples(hdr->handle, 0, 3, p), 3);
    EXPECT_DOUBLE_EQ(p[0], 400.0);
    EXPECT_DOUBLE_EQ(p[1], -400.0);
    EXPECT_DOUBLE_EQ(p[2], 0.5 * 800.0 / 65535.0);
    EXPECT_NEAR(p[2], 0.0061, 0.0001);
    edfclose_file(hdr->handle);
}
