// Mends of the reader: conversions that are not finite, header numbers as the nearest double,
// and a directory given as the file to open.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace reader_test;

namespace {

// A plain EDF file with one signal of the given physical limits, one record of 4 samples.
std::string plain_file(const std::string &physical_min, const std::string &physical_max) {
    file_spec f;
    f.reserved.clear();
    f.signals = {{"S", 4, -32768, 32767, physical_min, physical_max}};
    std::string bytes = header_bytes(f, 1);
    for (const int v : {-32768, 0, 1, 32767}) {
        bytes += sample16(v);
    }
    return bytes;
}

} // namespace

TEST(ReaderMends, ConversionThatIsNotFiniteIsRefused) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    struct limits {
        const char *min;
        const char *max;
        int expected;
    };
    for (const limits &l :
         {limits{"0", "4.9E-324", EDF_ERR_FORMAT}, limits{"-5E-324", "0", EDF_ERR_FORMAT},
          limits{"0", "1E-300", 0}, limits{"-1E300", "1E300", 0}}) {
        write_bytes(path, plain_file(l.min, l.max));
        auto hdr = new_header();
        const int result = edfopen_file_readonly(path.c_str(), hdr.get(), 2);
        EXPECT_EQ(result == 0 ? 0 : hdr->filetype, l.expected) << l.min << " " << l.max;
        if (result == 0) {
            double values[4];
            ASSERT_EQ(edfread_physical_samples(hdr->handle, 0, 4, values), 4);
            for (const double v : values) {
                EXPECT_TRUE(std::isfinite(v)) << l.max;
            }
            EXPECT_EQ(edfclose_file(hdr->handle), 0);
        }
    }
}

TEST(ReaderMends, HeaderNumbersAreTheNearestDouble) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    for (const char *text : {"6.81", "-0.1", "0.3", "1e-3", "+12.5", "3.14159", "-6.81E2"}) {
        write_bytes(path, plain_file("-1000", text));
        auto hdr = new_header();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), 0) << text;
        EXPECT_EQ(hdr->signals[0].physical_max, std::strtod(text, nullptr)) << text;
        EXPECT_EQ(edfclose_file(hdr->handle), 0);
    }
}

TEST(ReaderMends, DirectoryCannotBeOpened) {
    temp_dir dir;
    auto hdr = new_header();
    EXPECT_EQ(edfopen_file_readonly(utf8_path(dir.path()).c_str(), hdr.get(), 2), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(hdr->handle, -1);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}
