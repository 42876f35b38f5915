// Where and when the writer stores queued annotations: each one is in the file as soon as its
// place exists, so that close changes nothing but the record count; annotations beyond the
// places are packed where they fit, and close reports those that fit nowhere.
#include "test_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::string_literals;

// The file as it stands on disk while the handle is still open.
std::string bytes_before_close(const std::string &path) {
    return file_bytes(path);
}

} // namespace

// Annotations queued before a record, between the signals of a record and after the records
// they belong to are all on disk before close; close then writes only the record count.
TEST(AnnotationPlacement, QueuedAnnotationsAreOnDiskBeforeClose) {
    close_all_handles guard;
    temp_dir dir;
    for (const int position :
         {EDF_ANNOTATIONS_AT_END, EDF_ANNOTATIONS_IN_MIDDLE, EDF_ANNOTATIONS_AT_START}) {
        for (const int a : {1, 2}) {
            SCOPED_TRACE("position " + std::to_string(position) + " signals " + std::to_string(a));
            const std::string path = dir.file("p.edf");
            const int h = open_configured(path, 2, 3);
            ASSERT_EQ(edf_set_annotation_signal_position(h, position), 0);
            ASSERT_EQ(edf_set_number_of_annotation_signals(h, a), 0);
            ASSERT_EQ(edf_set_subsecond_starttime(h, 1234567), 0);
            const int samples[3] = {1, 2, 3};
            int queued = 0;
            auto queue = [&] {
                std::string text = "n";
                text += std::to_string(queued);
                ASSERT_EQ(edfwrite_annotation_utf8_us(h, queued * 1500000LL, -1, text.c_str()), 0);
                queued++;
            };
            queue(); // before the first record
            for (int r = 0; r < 4; r++) {
                ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
                if (r == 0) {
                    queue(); // between the signals of record 0
                }
                ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
                if (r % 2 == 1) {
                    queue(); // after records 1 and 3, for records already complete
                }
            }
            std::string before = bytes_before_close(path);
            ASSERT_EQ(edfclose_file(h), 0);
            before.replace(236, 8, "4       ");
            EXPECT_EQ(file_bytes(path), before);

            static edf_header_info hdr;
            ASSERT_EQ(edfopen_file_readonly(path.c_str(), &hdr, EDF_READ_ALL_ANNOTATIONS), 0);
            ASSERT_EQ(hdr.annotation_count, queued);
            for (int i = 0; i < queued; i++) {
                edf_annotation read;
                ASSERT_EQ(edf_get_annotation(hdr.handle, i, &read), 0);
                EXPECT_EQ(read.onset, i * 15000000LL); // exact to the tick
                EXPECT_EQ(std::string(read.annotation).substr(1), std::to_string(i));
            }
            EXPECT_EQ(edfclose_file(hdr.handle), 0);
        }
    }
}

// A 40-byte text takes 45 bytes (TAL and zero byte), so an annotation signal holds its own
// annotation and one more (two in signal 0, after the 5-byte time-keeping TAL), and a short
// TAL still fits in what is left. What fits nowhere makes close return -28.
TEST(AnnotationPlacement, SurplusIsPackedIntoTheEarliestRoomAndTheRestReported) {
    close_all_handles guard;
    temp_dir dir;
    const std::string long_text(40, 'x');
    const struct {
        int records, annotation_signals;
        std::vector<std::string> texts;
        int closed;
        std::vector<int> read_order;
    } cases[] = {
        {2, 2, std::vector<std::string>(8, long_text), 0, {0, 4, 1, 5, 2, 6, 3, 7}},
        {2, 1, std::vector<std::string>(5, long_text), EDF_ERR_ANNOTATIONS_LOST, {0, 2, 1, 3}},
        {1, 1, {long_text, long_text, long_text, "y"}, EDF_ERR_ANNOTATIONS_LOST, {0, 1, 3}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.records) + " records, " + std::to_string(c.texts.size()) +
                     " annotations");
        const std::string path = dir.file("s.edf");
        const int h = open_configured(path, 1, 2);
        ASSERT_EQ(edf_set_number_of_annotation_signals(h, c.annotation_signals), 0);
        const int samples[2] = {5, 6};
        for (int r = 0; r < c.records; r++) {
            ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
        }
        for (size_t i = 0; i < c.texts.size(); i++) {
            ASSERT_EQ(edfwrite_annotation_utf8_us(h, static_cast<int64_t>(i) * 1000000, -1,
                                                  c.texts[i].c_str()),
                      0);
        }
        EXPECT_EQ(edfclose_file(h), c.closed);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
        static edf_header_info hdr;
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), &hdr, EDF_READ_ALL_ANNOTATIONS), 0);
        ASSERT_EQ(hdr.annotation_count, static_cast<int64_t>(c.read_order.size()));
        for (size_t i = 0; i < c.read_order.size(); i++) {
            edf_annotation read;
            ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(i), &read), 0);
            EXPECT_EQ(read.onset, c.read_order[i] * 10000000LL) << i;
            EXPECT_EQ(std::string(read.annotation), c.texts[static_cast<size_t>(c.read_order[i])]);
        }
        EXPECT_EQ(edfclose_file(hdr.handle), 0);
    }
    // The packed bytes of the last case: record 0's annotation signal in full.
    std::string expected =
        "+0\x14\x14\0+0\x14"s + long_text + "\x14\0+1\x14"s + long_text + "\x14\0+3\x14y\x14"s;
    expected.resize(120, '\0');
    EXPECT_EQ(file_bytes(dir.file("s.edf")).substr(768 + 4), expected);
}

TEST(AnnotationPlacement, SyncIntervalIsACountOfRecords) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("y.edf");
    const int h = open_configured(path, 1, 2);
    EXPECT_EQ(edf_set_sync_interval(h, -1), -1);
    EXPECT_EQ(edf_set_sync_interval(h + 1, 1), -1);
    EXPECT_EQ(edf_set_sync_interval(h, 1), 0);
    const int samples[2] = {5, 6};
    EXPECT_EQ(edfwrite_digital_samples(h, samples), 0);
    EXPECT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "synced"), 0);
    EXPECT_EQ(edfclose_file(h), 0);
    EXPECT_EQ(edf_set_sync_interval(h, 1), -1);
}
