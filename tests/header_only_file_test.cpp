// A writer closed before its first sample write, with nothing queued, leaves the header alone
// with a record count of 0 (and close returns 0). The strict open refuses such a file; the
// check names it with one repaired problem, and the tolerant open reads it as an empty
// recording. No repaired copy or recovery can make it a file that the strict open reads.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <functional>

using namespace reader_test;

namespace {

struct empty_case {
    const char *name;
    std::function<int(const std::string &)> write; // returns close's result
    int64_t header_size;
    int ordinary_signals;
};

int close_unwritten(int handle) {
    return handle < 0 ? handle : edfclose_file(handle);
}

std::vector<empty_case> cases() {
    return {
        {"EDF+", [](const std::string &p) { return close_unwritten(open_configured(p, 2, 8)); },
         256 * 4, 2},
        {"BDF+",
         [](const std::string &p) { return close_unwritten(open_configured(p, 1, 8, true)); },
         256 * 3, 1},
        {"annotation signals only",
         [](const std::string &p) {
             const int h = edfopen_file_writeonly(p.c_str(), EDF_FILETYPE_EDFPLUS, 0);
             edf_set_number_of_annotation_signals(h, 2);
             return close_unwritten(h);
         },
         256 * 3, 0},
        {"EDF+D",
         [](const std::string &p) {
             const int h = open_configured(p, 1, 8);
             edf_set_discontinuous(h);
             return close_unwritten(h);
         },
         256 * 3, 1},
        {"plain EDF",
         [](const std::string &p) {
             file_spec f;
             f.reserved = "";
             f.signals = {{"EEG", 8, -32768, 32767}};
             write_bytes(p, header_bytes(f, 0));
             return 0;
         },
         256 * 2, 1},
    };
}

} // namespace

TEST(HeaderOnlyFile, ReadTolerantlyAsAnEmptyRecording) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("empty.edf");
    for (const empty_case &c : cases()) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        ASSERT_EQ(c.write(path), 0);
        const std::string bytes = read_bytes(path);
        ASSERT_EQ(static_cast<int64_t>(bytes.size()), c.header_size);
        EXPECT_EQ(bytes.substr(236, 8), pad("0", 8));

        auto hdr = new_header();
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), -1);
        EXPECT_EQ(hdr->filetype, EDF_ERR_FORMAT);

        edf_problem problems[4];
        const int count = edf_check_file(path.c_str(), problems, 4);
        const int expected = std::string(c.name) == "EDF+D" ? 2 : 1; // and its kind
        ASSERT_EQ(count, expected);
        const edf_problem &p = problems[0];
        EXPECT_STREQ(p.field, "data records");
        EXPECT_EQ(p.action, EDF_PROBLEM_REPAIRED);
        EXPECT_EQ(p.code, EDF_ERR_FORMAT);
        EXPECT_EQ(p.offset, c.header_size);
        EXPECT_STREQ(p.found, "0       ");
        if (count == 2) {
            EXPECT_EQ(problems[1].action, EDF_PROBLEM_CONFORMS);
        }

        for (int mode : {EDF_READ_NO_ANNOTATIONS, EDF_READ_ALL_ANNOTATIONS}) {
            ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), mode), 0) << mode;
            const int h = hdr->handle;
            EXPECT_EQ(hdr->datarecord_count, 0);
            EXPECT_EQ(hdr->file_duration, 0);
            EXPECT_EQ(hdr->annotation_count, 0);
            EXPECT_EQ(hdr->start_subsecond, 0);
            EXPECT_EQ(hdr->ordinary_signal_count, c.ordinary_signals);
            EXPECT_EQ(edf_get_problem_count(h), count);
            edf_segment s{-1, -1, -1};
            ASSERT_EQ(edf_get_segment_count(h), 1);
            ASSERT_EQ(edf_get_segment(h, 0, &s), 0);
            EXPECT_EQ(s.start, 0);
            EXPECT_EQ(s.first_record, 0);
            EXPECT_EQ(s.record_count, 0);
            EXPECT_EQ(edf_get_record_start(h, 0), -1);
            for (int signal = 0; signal < c.ordinary_signals; signal++) {
                double value;
                EXPECT_EQ(hdr->signals[signal].samples_in_file, 0);
                EXPECT_EQ(edfread_physical_samples(h, signal, 1, &value), 0);
                EXPECT_EQ(edfseek(h, signal, 5, EDFSEEK_SET), 0);
                double *bufs[] = {&value};
                EXPECT_EQ(edfread_physical_records(h, 0, 1, 1, &signal, bufs), 0);
            }
            EXPECT_EQ(edfclose_file(h), 0);
        }

        // A copy that the strict open reads cannot be made, nor can recovery mend it.
        const std::string copy = dir.file("copy.edf");
        EXPECT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), EDF_ERR_FORMAT);
        EXPECT_FALSE(std::filesystem::exists(copy));
        EXPECT_EQ(edf_recover_file(path.c_str()), EDF_ERR_FORMAT);
        EXPECT_EQ(read_bytes(path), bytes);
    }

    // A count of 0 in a file that holds records is the count that does not match: they are
    // read.
    std::remove(path.c_str());
    const int h = open_configured(path, 1, 8);
    const int values[8] = {};
    ASSERT_EQ(edfwrite_digital_samples(h, values), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    patch_bytes(path, 236, "0       ");
    edf_problem problem;
    ASSERT_EQ(edf_check_file(path.c_str(), &problem, 1), 1);
    EXPECT_STREQ(problem.field, "number of data records");
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
    EXPECT_EQ(hdr->datarecord_count, 1);
    EXPECT_EQ(edfclose_file(hdr->handle), 0);
}
