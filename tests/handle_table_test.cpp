// The process-wide handle table: slot taking and reuse, the queries, and the handle checks
// that every operation makes first.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace edf;

TEST(HandleTable, SixtyFourSlotsThenTooManyFiles) {
    close_all_handles guard;
    temp_dir dir;
    EXPECT_EQ(edf_version(), 127);
    EXPECT_STREQ(recording_version(), RECORDING_VERSION_STRING);
    EXPECT_EQ(std::to_string(RECORDING_VERSION_MAJOR) + "." +
                  std::to_string(RECORDING_VERSION_MINOR) + "." +
                  std::to_string(RECORDING_VERSION_PATCH),
              RECORDING_VERSION_STRING);
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        ASSERT_EQ(edfopen_file_writeonly(dir.file(std::to_string(i)).c_str(), 1, 0), i);
    }
    // Refused whatever the other arguments, once the file type is acceptable.
    EXPECT_EQ(edfopen_file_writeonly(dir.file("x").c_str(), 1, 1), EDF_ERR_TOO_MANY_FILES);
    EXPECT_EQ(edfopen_file_writeonly(dir.file("0").c_str(), 3, -1), EDF_ERR_TOO_MANY_FILES);
    EXPECT_EQ(edfopen_file_writeonly(dir.file("x").c_str(), 0, 1), EDF_ERR_FILETYPE);
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        EXPECT_EQ(edfclose_file(i), 0);
    }
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}

TEST(HandleTable, GetHandleCountsOccupiedSlotsAndLowestFreeSlotIsReused) {
    close_all_handles guard;
    temp_dir dir;
    for (int i = 0; i < 6; i++) {
        ASSERT_EQ(edfopen_file_writeonly(dir.file(std::to_string(i)).c_str(), 1, 0), i);
    }
    for (int h : {0, 1, 2, 4}) {
        ASSERT_EQ(edfclose_file(h), 0);
    }
    EXPECT_EQ(edf_get_handle(0), 3);
    EXPECT_EQ(edf_get_handle(1), 5);
    EXPECT_EQ(edf_get_handle(2), -1);
    EXPECT_EQ(edf_get_handle(-1), -1);
    EXPECT_EQ(edf_get_number_of_open_files(), 2);
    EXPECT_EQ(edfopen_file_writeonly(dir.file("new").c_str(), 1, 1), 0);
}

// A file is in use when an open handle has it under the same full path or under any other
// name (another spelling, a symbolic or a hard link): a writer would truncate it otherwise.
TEST(HandleTable, AlreadyOpenComparesThePathAndTheFile) {
    close_all_handles guard;
    temp_dir dir;
    const std::string a = dir.file("a.edf");
    std::filesystem::create_directory(dir.file("sub"));
    {
        const int h = open_configured(a, 1, 2);
        const double samples[2] = {1, 2};
        ASSERT_EQ(edfwrite_physical_samples(h, samples), 0);
        ASSERT_EQ(edfclose_file(h), 0);
    }
    std::filesystem::create_hard_link(a, dir.file("hard.edf"));
    std::vector<std::string> names = {a, utf8_path(dir.path()) + "/./a.edf",
                                      utf8_path(dir.path()) + "//a.edf", dir.file("sub/../a.edf"),
                                      dir.file("hard.edf")};
#ifdef _WIN32
    // Windows spells a path with backslashes or slashes, in any case.
    std::string backslashed = a;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    names.push_back(backslashed);
    names.push_back(dir.file("A.EDF"));
#else
    // (Symbolic links on Windows need a privilege that tests do not have.)
    std::filesystem::create_symlink(a, dir.file("symbolic.edf"));
    names.push_back(dir.file("symbolic.edf"));
#endif
    const uintmax_t size = std::filesystem::file_size(a);
    auto header = std::make_unique<edf_header_info>();
    for (const bool first_as_reader : {true, false}) {
        // The file is open for reading, or open for writing (and then empty).
        const int h = first_as_reader ? edfopen_file_readonly(a.c_str(), header.get(), 0)
                                      : edfopen_file_writeonly(a.c_str(), 1, 1);
        ASSERT_EQ(h, 0);
        for (const std::string &name : names) {
            EXPECT_EQ(edf_is_file_used(name.c_str()), 1) << name;
            EXPECT_EQ(edfopen_file_writeonly(name.c_str(), 1, 1), EDF_ERR_ALREADY_OPEN) << name;
            EXPECT_EQ(edfopen_file_readonly(name.c_str(), header.get(), 0), -1) << name;
            EXPECT_EQ(header->filetype, EDF_ERR_ALREADY_OPEN) << name;
        }
        if (first_as_reader) {
            EXPECT_EQ(std::filesystem::file_size(a), size); // not truncated
        }
        EXPECT_EQ(edf_is_file_used(dir.file("b.edf").c_str()), 0);
#ifndef _WIN32
        EXPECT_EQ(edfopen_file_writeonly(dir.file("A.edf").c_str(), 1, 1), 1); // case-sensitive
        edfclose_file(1);
#endif
        edfclose_file(h);
    }
    // Paths longer than 1023 bytes are compared whole: two that differ only after their first
    // 1023 bytes are different files.
    std::filesystem::path long_dir = dir.path();
    while (long_dir.string().size() < 1100) {
        long_dir /= std::string(200, 'd');
    }
    std::filesystem::create_directories(long_dir);
    const std::string first = (long_dir / "recording-1.edf").string();
    const std::string second = (long_dir / "recording-2.edf").string();
    ASSERT_EQ(edfopen_file_writeonly(first.c_str(), 1, 1), 0);
    EXPECT_EQ(edfopen_file_writeonly(first.c_str(), 1, 1), EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(edf_is_file_used(second.c_str()), 0);
    EXPECT_EQ(edfopen_file_writeonly(second.c_str(), 1, 1), 1);
    EXPECT_EQ(edf_is_file_used(second.c_str()), 1);
}

TEST(HandleTable, OperationsRefuseBadHandles) {
    close_all_handles guard;
    temp_dir dir;
    const int open = open_configured(dir.file("open"), 1, 4);
    const int closed = edfopen_file_writeonly(dir.file("closed").c_str(), 1, 0);
    const int as_reader = edfopen_file_writeonly(dir.file("reader").c_str(), 3, 1);
    ASSERT_EQ(edfclose_file(closed), 0);
    edf_recording_for(as_reader, edf_side::either)->write_mode =
        0; // a writer's block posing as a reader's
    const double samples[4] = {};
    for (int handle : {-1, 64, INT32_MIN, closed, as_reader}) {
        EXPECT_EQ(edf_set_samplefrequency(handle, 0, 10), -1) << handle;
        EXPECT_EQ(edf_set_patientname(handle, "x"), -1) << handle;
        EXPECT_EQ(edfwrite_physical_samples(handle, samples), -1) << handle;
        EXPECT_EQ(edf_blockwrite_physical_samples(handle, samples), -1) << handle;
        EXPECT_EQ(edfwrite_annotation_utf8_us(handle, 0, -1, "x"), -1) << handle;
        EXPECT_EQ(handle == as_reader ? -1 : edfclose_file(handle), -1) << handle;
    }
    edf_recording_for(as_reader, edf_side::either)->write_mode = 1;
    EXPECT_EQ(edfwrite_physical_samples(open, samples), 0);
}

TEST(HandleTable, FailedOpenLeavesNoTrace) {
    temp_dir dir;
    const std::string missing = dir.file("no/such/dir/x.edf");
    EXPECT_EQ(edfopen_file_writeonly(missing.c_str(), 1, 1), EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
    EXPECT_EQ(edf_get_handle(0), -1);
    EXPECT_EQ(edf_is_file_used(missing.c_str()), 0);
    const int handle = edfopen_file_writeonly(dir.file("ok").c_str(), 1, 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(edfclose_file(handle), 0);
}
