// Opening a file whose ordinary signals are all described alike in the same call.
#include "test_files.h"

#include <gtest/gtest.h>

#include <vector>

TEST(OpenWithParams, DescribesEverySignalAlike) {
    for (const auto &[type, digital_min, digital_max] :
         {std::tuple{EDF_FILETYPE_EDFPLUS, "-32768  ", "32767   "},
          {EDF_FILETYPE_BDFPLUS, "-8388608", "8388607 "}}) {
        temp_dir dir;
        const std::string path = dir.file("p");
        const int h = edfopen_file_writeonly_with_params(path.c_str(), type, 3, 256, 100.0, "uV");
        ASSERT_GE(h, 0);
        const std::vector<double> record(3 * 256, 50.0);
        ASSERT_EQ(edf_blockwrite_physical_samples(h, record.data()), 0); // usable at once
        ASSERT_EQ(edfclose_file(h), 0);
        const std::string header = file_bytes(path).substr(0, 1280);
        EXPECT_EQ(header.substr(256, 64), "chan. 1         chan. 2         chan. 3         " +
                                              std::string(type == 1 ? "EDF" : "BDF") +
                                              " Annotations ");
        for (int s = 0; s < 3; s++) {
            EXPECT_EQ(header.substr(256 + 4 * 96 + 8 * s, 8), "uV      ");
            EXPECT_EQ(header.substr(256 + 4 * 104 + 8 * s, 8), "-100    ");
            EXPECT_EQ(header.substr(256 + 4 * 112 + 8 * s, 8), "100     ");
            EXPECT_EQ(header.substr(256 + 4 * 120 + 8 * s, 8), digital_min);
            EXPECT_EQ(header.substr(256 + 4 * 128 + 8 * s, 8), digital_max);
            EXPECT_EQ(header.substr(256 + 4 * 216 + 8 * s, 8), "256     ");
        }
    }
}

TEST(OpenWithParams, FailuresCloseTheHandle) {
    temp_dir dir;
    const std::string path = dir.file("p");
    EXPECT_EQ(edfopen_file_writeonly_with_params(path.c_str(), 0, 1, 256, 1.0, "uV"), -7);
    EXPECT_EQ(edfopen_file_writeonly_with_params(path.c_str(), 2, 1, 256, 1.0, "uV"), -7);
    EXPECT_EQ(edfopen_file_writeonly_with_params(path.c_str(), 1, 2, 0, 1.0, "uV"), -1);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 0u); // the header was refused
    const int none = edfopen_file_writeonly_with_params(path.c_str(), 1, 0, 0, 1.0, "uV");
    ASSERT_EQ(none, 0); // no signal to describe
    EXPECT_EQ(edfclose_file(none), 0);
    // A physical maximum of 0 gives equal limits, which the first write refuses.
    const int zero = edfopen_file_writeonly_with_params(path.c_str(), 1, 1, 4, 0.0, "uV");
    const double samples[4] = {};
    EXPECT_EQ(edfwrite_physical_samples(zero, samples), EDF_ERR_PHYSMIN_IS_PHYSMAX);
    EXPECT_EQ(edfclose_file(zero), EDF_ERR_PHYSMIN_IS_PHYSMAX);
}
