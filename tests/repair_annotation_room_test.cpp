// A repaired copy keeps every annotation that the tolerant open reads: a time-keeping
// annotation written anew may be longer than the one it replaces, and what then no longer fits
// its annotation signal moves to the same signal of the next record copied; a copy that could
// only be written by losing annotations is not written.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <vector>

using namespace reader_test;

namespace {

using listed = std::tuple<int64_t, int64_t, std::string>;

std::vector<listed> annotations_of(const std::string &path, bool tolerant) {
    auto hdr = new_header();
    const int opened = tolerant ? edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2)
                                : edfopen_file_readonly(path.c_str(), hdr.get(), 2);
    EXPECT_EQ(opened, 0) << path;
    std::vector<listed> list;
    edf_annotation a;
    for (int n = 0; opened == 0 && edf_get_annotation(hdr->handle, n, &a) == 0; n++) {
        list.emplace_back(a.onset, a.duration, a.annotation);
    }
    edfclose_file(hdr->handle);
    return list;
}

// An annotation TAL of `text_bytes` bytes of text ('a'), with its zero byte.
std::string tal(const std::string &onset, size_t text_bytes) {
    return "+" + onset + "\x14" + std::string(text_bytes, 'a') + "\x14" + std::string(1, '\0');
}

// Records 0 to count - 1 of one-second records, each with its time-keeping annotation, and in
// record `full` a wrong one ("+9" where "+10" belongs) before two TALs that fill the 120 bytes.
std::vector<std::string> records_with_full_signal(int count, int full) {
    std::vector<std::string> records;
    for (int r = 0; r < count; r++) {
        records.push_back(timekeeping(std::to_string(r)));
    }
    records[static_cast<size_t>(full)] = timekeeping("9") + tal("10.5", 50) + tal("10.75", 48);
    return records;
}

} // namespace

TEST(RepairAnnotationRoom, EveryAnnotationOfTheTolerantOpenIsInTheCopy) {
    const std::string z(1, '\0');
    struct repair_case {
        const char *name;
        std::vector<std::string> records;
        int result; // the problems found, or the failure
    };
    const repair_case cases[] = {
        {"moved to the next record", records_with_full_signal(12, 10), 1},
        {"no record after it", records_with_full_signal(11, 10), EDF_ERR_FORMAT},
        // The first record's time is not within the first second: its time-keeping annotation
        // is written anew as "+0", and the annotation it carried keeps its onset.
        {"annotation in a wrong time-keeping TAL", {"+3\x14\x14note\x14" + z, timekeeping("1")}, 1},
    };
    temp_dir dir;
    for (const repair_case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("source.edf");
        const std::string copy = dir.file("copy.edf");
        std::filesystem::remove(copy);
        write_bytes(path, annotation_only_file(c.records));
        EXPECT_EQ(edf_check_file(path.c_str(), nullptr, 0), 1);
        const int repaired = edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0);
        EXPECT_EQ(repaired, c.result);
        if (repaired < 0 || c.result < 0) {
            EXPECT_EQ(std::filesystem::exists(copy), repaired >= 0);
            continue;
        }
        EXPECT_EQ(edf_check_file(copy.c_str(), nullptr, 0), 0);
        const std::vector<listed> read = annotations_of(path, true);
        EXPECT_FALSE(read.empty());
        EXPECT_EQ(annotations_of(copy, false), read);
    }
}
