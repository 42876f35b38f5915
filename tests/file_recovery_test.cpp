// Recovery of a file whose writer died before close: the record count from the complete
// records, a partial record cut off, nothing else changed, and files with any other problem
// refused unchanged.
#include "test_files.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Writes a two-record file with annotations (EDF+D when `discontinuous`) and returns its
// bytes as they stood before close (count "-1") and, through `closed`, as close left them.
std::string file_before_close(const std::string &path, std::string *closed,
                              bool discontinuous = false) {
    const int h = open_configured(path, 2, 3, true);
    edf_set_number_of_annotation_signals(h, 2);
    if (discontinuous) {
        edf_set_discontinuous(h);
    }
    const int samples[3] = {1, -2, 3};
    for (int i = 0; i < 4; i++) {
        edfwrite_digital_samples(h, samples);
        edfwrite_annotation_latin1_us(h, i * 250000LL, 1000, "mark");
    }
    std::string before = file_bytes(path);
    edfclose_file(h);
    *closed = file_bytes(path);
    return before;
}

void put_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

TEST(FileRecovery, CountSetPartialRecordCutOrRefusedUnchanged) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("r.bdf");
    std::string closed;
    const std::string before = file_before_close(path, &closed);
    ASSERT_EQ(before.substr(236, 8), "-1      ");
    std::string broken = before;
    broken.replace(256 + 4 * 120, 8, "abc     "); // digital minimum of signal 0 of 4
    std::string bad_date = before;
    bad_date[170] = bad_date[173] = ':'; // dd:mm:yy, as some devices write it
    std::string bad_tal = before;
    bad_tal[1280 + 2 * 9] = 'x'; // the '+' of record 0's time-keeping annotation
    std::string closed_d;
    const std::string before_d = file_before_close(dir.file("d.bdf"), &closed_d, true);
    const struct {
        const char *name;
        std::string bytes;
        int result;
        int64_t partial;
        std::string recovered;
    } cases[] = {
        {"killed inside a record", before + std::string(31, '\x7f'), 2, 31, closed},
        {"killed between records", before, 2, 0, closed},
        {"closed normally", closed, 2, 0, closed},
        {"discontinuous, killed inside a record", before_d + "xyz", 2, 3, closed_d},
        {"header broken", broken + "xyz", EDF_ERR_FORMAT, 0, ""},
        {"start date misspelt", bad_date, EDF_ERR_FORMAT, 0, ""},
        {"annotation broken", bad_tal + "xyz", EDF_ERR_FORMAT, 0, ""},
        {"killed before the first record", before.substr(0, 1280) + "xyz", EDF_ERR_FORMAT, 0, ""},
        {"header cut short", before.substr(0, 600), EDF_ERR_READ, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        put_file(path, c.bytes);
        edf_recovery_plan plan{};
        ASSERT_EQ(edf_plan_recovery(path.c_str(), &plan), c.result < 0 ? c.result : 0);
        if (c.result >= 0) {
            EXPECT_EQ(plan.partial_bytes, c.partial);
            EXPECT_EQ(plan.complete_records, 2);
            EXPECT_EQ(plan.header_size, 1280);
        }
        EXPECT_EQ(edf_recover_file(path.c_str()), c.result);
        // A recovered file is the file that close would have written, byte for byte; a
        // refused one is left as it was.
        EXPECT_EQ(file_bytes(path), c.result >= 0 ? c.recovered : c.bytes);
    }
    EXPECT_EQ(edf_recover_file(dir.file("missing.edf").c_str()), EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(edf_recover_file(nullptr), EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(edf_plan_recovery(path.c_str(), nullptr), -1);
    put_file(path, before);
    ASSERT_EQ(edf_recover_file(path.c_str()), 2);
    static edf_header_info hdr;
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), &hdr, EDF_READ_ALL_ANNOTATIONS), 0);
    EXPECT_EQ(hdr.annotation_count, 4);
    EXPECT_EQ(edf_recover_file(path.c_str()), EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(edfclose_file(hdr.handle), 0);
}

// A count field that holds the right number but bytes outside printable ASCII after it is
// broken for every reader: recovery reads it as no count and writes the count anew, so that
// the file it calls recovered opens.
TEST(FileRecovery, CountWithBytesOutsidePrintableAsciiIsWrittenAnew) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("n.bdf");
    std::string closed;
    std::string bytes = file_before_close(path, &closed);
    bytes.replace(236, 8, std::string("2\0\0\0\0\0\0\0", 8));
    put_file(path, bytes);
    edf_recovery_plan plan{};
    ASSERT_EQ(edf_plan_recovery(path.c_str(), &plan), 0);
    EXPECT_EQ(plan.stored_count, -1);
    EXPECT_EQ(edf_recover_file(path.c_str()), 2);
    EXPECT_EQ(file_bytes(path), closed);
}
