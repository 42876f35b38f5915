// edf_check_file gives a count for every file that it can read: a discontinuous file whose
// records overlap (in any of the ways a record's time can lie before the previous one's end)
// is listed with the overlap as its last, fatal problem, naming the record and the bytes of
// its time-keeping annotation, instead of the check giving up with EDF_ERR_FORMAT.
#include "reader_test_files.h"

#include <gtest/gtest.h>

using namespace reader_test;

namespace {

// Records of one 120-byte annotation signal, each opening with the time-keeping TAL of the
// given time ("+" is added unless it is negative), and the annotation "a" in record 0.
std::string discontinuous_file(const std::vector<std::string> &times,
                               const std::string &duration = "1") {
    std::vector<std::string> records;
    for (size_t r = 0; r < times.size(); r++) {
        const std::string onset = times[r][0] == '-' ? times[r] : "+" + times[r];
        records.push_back(onset + "\x14\x14" + std::string(1, '\0') +
                          (r == 0 ? "+0\x14"
                                    "a\x14" +
                                        std::string(1, '\0')
                                  : ""));
    }
    std::string bytes = annotation_only_file(records, duration);
    bytes.replace(192, 5, "EDF+D");
    return bytes;
}

} // namespace

TEST(CheckCounts, OverlappingRecordsAreAFatalProblemWithTheirRecord) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("overlap.edf");
    struct overlap {
        const char *name;
        std::string bytes;
        int64_t record; // the record that overlaps
        int listed;     // problems listed in all
    };
    const overlap cases[] = {
        {"starts inside the previous record", discontinuous_file({"0", "5", "5.5"}), 2, 2},
        {"starts with the previous record", discontinuous_file({"0", "1", "1"}), 2, 2},
        {"goes back in time", discontinuous_file({"0", "7", "3", "9"}), 2, 2},
        {"before the start", discontinuous_file({"0", "-4"}), 1, 2},
        {"ticks that wrap", discontinuous_file({"0.5", "-922337203685.4775807"}), 1, 2},
        {"records of no duration", discontinuous_file({"0", "3", "2"}, "0"), 2, 2},
        // Another problem before it is listed too, and the walk ends at the overlap.
        {"after a broken TAL",
         discontinuous_file({"0", "2", "2.5", "3"})
             .replace(512 + 120 + 5, 5, "+x\x14\x14" + std::string(1, '\0')),
         2, 3},
    };
    for (const overlap &c : cases) {
        SCOPED_TRACE(c.name);
        write_bytes(path, c.bytes);
        edf_problem problems[8];
        const int count = edf_check_file(path.c_str(), problems, 8);
        ASSERT_EQ(count, c.listed);
        EXPECT_EQ(problems[0].action, EDF_PROBLEM_CONFORMS); // discontinuous, as allowed
        const edf_problem &last = problems[count - 1];
        EXPECT_EQ(last.action, EDF_PROBLEM_FATAL);
        EXPECT_EQ(last.code, EDF_ERR_FORMAT);
        EXPECT_STREQ(last.field, "time-keeping annotation");
        EXPECT_EQ(last.record, c.record);
        EXPECT_EQ(last.signal, 0);
        EXPECT_EQ(last.offset, 512 + 120 * c.record);
        EXPECT_EQ(std::string(last.found).substr(0, 2), c.bytes.substr(512 + 120 * c.record, 2));

        // The strict open refuses it for its kind, the tolerant open for the overlap, and no
        // repaired copy is made.
        auto hdr = new_header();
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), -1);
        EXPECT_EQ(hdr->filetype, EDF_ERR_DISCONTINUOUS);
        EXPECT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS),
                  -1);
        EXPECT_EQ(hdr->filetype, EDF_ERR_FORMAT);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
        const std::string copy = dir.file("copy.edf");
        EXPECT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), EDF_ERR_FORMAT);
        EXPECT_FALSE(std::filesystem::exists(copy));
    }
}
