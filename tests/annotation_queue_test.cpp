// The writer's annotation queue: time units, refused times, text rules for UTF-8 and Latin-1
// input, and the growth of the list.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <tuple>

namespace {

class AnnotationQueue : public testing::Test {
  protected:
    void SetUp() override {
        handle = edfopen_file_writeonly(dir.file("q.edf").c_str(), EDF_FILETYPE_EDFPLUS, 0);
        ASSERT_GE(handle, 0);
    }
    void TearDown() override {
        edfclose_file(handle);
    }
    const edf_queued_annotation &entry(int i) const {
        return edf_queued_annotation_lists[handle][i];
    }
    int count() const {
        return edf_handle_table[handle]->annotation_count;
    }
    temp_dir dir;
    int handle = -1;
};

} // namespace

TEST_F(AnnotationQueue, TimesInMicrosecondsAndHundredMicroseconds) {
    ASSERT_EQ(edfwrite_annotation_utf8_us(handle, 0, -1, "Recording starts"), 0);
    ASSERT_EQ(edfwrite_annotation_utf8(handle, 12345, 20, "a"), 0);
    ASSERT_EQ(edfwrite_annotation_latin1(handle, 1, 0, "b"), 0);
    ASSERT_EQ(edfwrite_annotation_latin1(handle, 2, -1, "c"), 0);
    const std::tuple<int64_t, int64_t, const char *> expected[] = {
        {0, -1, "Recording starts"}, {1234500, 2000, "a"}, {100, 0, "b"}, {200, -1, "c"}};
    ASSERT_EQ(count(), 4);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(entry(i).onset, std::get<0>(expected[i]));
        EXPECT_EQ(entry(i).duration, std::get<1>(expected[i]));
        EXPECT_STREQ(entry(i).text, std::get<2>(expected[i]));
    }
}

// Negative onsets, and times that would overflow 64 bits when converted to microseconds or
// when close adds the sub-second start (up to 999999 us), are refused.
TEST_F(AnnotationQueue, RefusesNegativeAndOverflowingTimes) {
    constexpr int64_t max_onset = INT64_MAX - 999999;
    const std::pair<std::function<int()>, int> cases[] = {
        {[&] { return edfwrite_annotation_utf8_us(handle, -1, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_latin1(handle, -1, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_utf8_us(handle, max_onset, INT64_MAX, "x"); }, 0},
        {[&] { return edfwrite_annotation_latin1_us(handle, max_onset + 1, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_utf8_us(handle, INT64_MAX, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_utf8(handle, max_onset / 100, INT64_MAX / 100, "x"); },
         0},
        {[&] { return edfwrite_annotation_utf8(handle, max_onset / 100 + 1, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_latin1(handle, 0, INT64_MAX / 100 + 1, "x"); }, -1},
        {[&] { return edfwrite_annotation_latin1(handle, INT64_MAX, -1, "x"); }, -1},
        {[&] { return edfwrite_annotation_utf8(handle, 0, INT64_MIN, "x"); }, 0},
        {[&] { return edfwrite_annotation_utf8_us(handle, 0, -1, nullptr); }, -1},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
    }
    ASSERT_EQ(count(), 3);
    EXPECT_EQ(entry(1).onset, max_onset / 100 * 100);
    EXPECT_EQ(entry(2).duration, INT64_MIN); // no duration, whatever its size
}

TEST_F(AnnotationQueue, Utf8TextIsCutAndCleaned) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string(50, 'x'), std::string(40, 'x')},
        {"tab\there\nnow", "tab.here.now"},
        {"del\x7F", "del."}, // readers refuse DEL in annotation texts
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {std::string(39, 'x') + "\xC3\xA9", std::string(39, 'x') + "\xC3"}, // split by the cut
        {"", ""},
    };
    for (const auto &[text, stored] : cases) {
        ASSERT_EQ(edfwrite_annotation_utf8_us(handle, 0, -1, text.c_str()), 0);
        EXPECT_EQ(std::string(entry(count() - 1).text), stored);
    }
}

TEST_F(AnnotationQueue, Latin1TextIsConvertedWithinItsLength) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xE9", " "},
        {"\xE9"
         "a",
         "\xC3\xA9"},
        {"caf\xE9", "caf "},
        {"\x7F\x85\t", "..."},
        {"\xA0\xFF!", "\xC2\xA0 "},
        {std::string(40, '\xE9'),
         [] {
             std::string s;
             for (int i = 0; i < 20; i++) {
                 s += "\xC3\xA9";
             }
             return s;
         }()},
        {std::string(45, 'y'), std::string(40, 'y')},
    };
    for (const auto &[text, stored] : cases) {
        ASSERT_EQ(edfwrite_annotation_latin1_us(handle, 0, -1, text.c_str()), 0);
        EXPECT_EQ(std::string(entry(count() - 1).text), stored);
    }
}

TEST_F(AnnotationQueue, ListGrowsInStepsOfAThousand) {
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(edfwrite_annotation_utf8_us(handle, i, -1, "n"), 0);
    }
    EXPECT_EQ(edf_handle_table[handle]->annotation_capacity, 1000);
    ASSERT_EQ(edfwrite_annotation_utf8_us(handle, 1000, -1, "last"), 0);
    EXPECT_EQ(edf_handle_table[handle]->annotation_capacity, 2000);
    EXPECT_EQ(entry(999).onset, 999);
    EXPECT_STREQ(entry(1000).text, "last");
}
