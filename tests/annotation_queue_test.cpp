// The writer's annotation queue: time units, refused times, text rules for UTF-8 and Latin-1
// input, and the growth of the list.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>

namespace {

struct queue_file {
    temp_dir dir;
    int handle = edfopen_file_writeonly(dir.file("q.edf").c_str(), EDF_FILETYPE_EDFPLUS, 0);
    ~queue_file() {
        edfclose_file(handle);
    }
    int count() const {
        return edf_writer_for(handle)->annotation_count;
    }
    const edf_queued_annotation &last() const {
        return edf_writer_for(handle)->annotations[count() - 1];
    }
};

} // namespace

// Times in microseconds or in units of 100 us. Refused: negative onsets, and times that a
// reader could not count in 100 ns ticks within 64 bits (a duration above INT64_MAX / 10 us,
// an onset above that less the sub-second start that close adds), also when the conversion
// from 100 us would overflow. A negative duration, whatever its size, means "none".
TEST(AnnotationQueue, TimesAreConvertedOrRefused) {
    queue_file q;
    const int h = q.handle;
    constexpr int64_t max_duration = INT64_MAX / 10;
    constexpr int64_t max_onset = (INT64_MAX - 9999999) / 10;
    // clang-format off
    const struct { std::function<int()> queue; int64_t onset, duration; } cases[] = {
        {[h] { return edfwrite_annotation_utf8_us(h, 0, -1, "x"); }, 0, -1},
        {[h] { return edfwrite_annotation_utf8(h, 12345, 20, "x"); }, 1234500, 2000},
        {[h] { return edfwrite_annotation_latin1(h, 1, 0, "x"); }, 100, 0},
        {[h] { return edfwrite_annotation_latin1(h, 2, -1, "x"); }, 200, -1},
        {[h] { return edfwrite_annotation_utf8(h, 0, INT64_MIN, "x"); }, 0, INT64_MIN},
        {[h] { return edfwrite_annotation_utf8_us(h, max_onset, max_duration, "x"); }, max_onset, max_duration},
        {[h] { return edfwrite_annotation_latin1(h, max_onset / 100, max_duration / 100, "x"); },
         max_onset / 100 * 100, max_duration / 100 * 100},
        {[h] { return edfwrite_annotation_utf8_us(h, -1, -1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_latin1(h, -1, -1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_latin1_us(h, max_onset + 1, -1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_utf8_us(h, 0, max_duration + 1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_utf8(h, max_onset / 100 + 1, -1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_utf8(h, INT64_MAX, -1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_latin1(h, 0, INT64_MAX / 100 + 1, "x"); }, -1, 0},
        {[h] { return edfwrite_annotation_utf8_us(h, 0, -1, nullptr); }, -1, 0}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); i++) {
        const int before = q.count();
        const bool queued = cases[i].onset >= 0;
        EXPECT_EQ(cases[i].queue(), queued ? 0 : -1) << "case " << i;
        ASSERT_EQ(q.count(), before + (queued ? 1 : 0)) << "case " << i;
        if (queued) {
            EXPECT_EQ(q.last().onset, cases[i].onset) << "case " << i;
            EXPECT_EQ(q.last().duration, cases[i].duration) << "case " << i;
        }
    }
}

// Texts are stored whole when their UTF-8 form fits 40 bytes and are cut before the first
// character that does not; what is stored is always well-formed UTF-8. Bytes that are not
// UTF-8 are read as Latin-1.
TEST(AnnotationQueue, TextsAreCutOnCharacterBoundaries) {
    queue_file q;
    std::string twenty_e_acute;
    for (int i = 0; i < 20; i++) {
        twenty_e_acute += "\xC3\xA9";
    }
    const std::string x39(39, 'x'), x36(36, 'x'), smile = "\xF0\x9F\x99\x82";
    // clang-format off
    const std::pair<std::string, std::string> utf8[] = {
        {std::string(50, 'x'), std::string(40, 'x')}, {"tab\there\nnow", "tab.here.now"},
        {"del\x7F", "del."}, // readers refuse DEL in annotation texts
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"},
        {x39 + "\xC3\xA9", x39}, {x36 + smile, x36 + smile}, {x36 + "x" + smile, x36 + "x"},
        {"", ""},
        // Ill-formed: each stray byte as Latin-1 (0x80-0x9F as '.').
        {"caf\xE9", "caf\xC3\xA9"}, {"\xA9\x85z", "\xC2\xA9.z"},
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                 // overlong '/'
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0."},            // surrogate
        {"\xE2\x82", "\xC3\xA2."},                          // cut short
        {x39 + "\xFF", x39}};
    // Latin-1 is converted to UTF-8 character by character, within the same 40 bytes.
    const std::pair<std::string, std::string> latin1[] = {
        {"\xE9", "\xC3\xA9"}, {"\xE9" "a", "\xC3\xA9" "a"}, {"caf\xE9", "caf\xC3\xA9"},
        {"Gr\xFC\xDF" "e aus K\xF6ln", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"},
        {"\x7F\x85\t", "..."}, {"\xA0\xFF!", "\xC2\xA0\xC3\xBF!"},
        {std::string(40, '\xE9'), twenty_e_acute}, {std::string(45, 'y'), std::string(40, 'y')},
        {x39 + "\xE9", x39}};
    // clang-format on
    for (const auto &[text, stored] : utf8) {
        ASSERT_EQ(edfwrite_annotation_utf8_us(q.handle, 0, -1, text.c_str()), 0);
        EXPECT_EQ(std::string(q.last().text), stored);
    }
    for (const auto &[text, stored] : latin1) {
        ASSERT_EQ(edfwrite_annotation_latin1_us(q.handle, 0, -1, text.c_str()), 0);
        EXPECT_EQ(std::string(q.last().text), stored);
    }
}

TEST(AnnotationQueue, ListGrowsInStepsOfAThousand) {
    queue_file q;
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(edfwrite_annotation_utf8_us(q.handle, i, -1, "n"), 0);
    }
    EXPECT_EQ(edf_writer_for(q.handle)->annotation_capacity, 1000);
    ASSERT_EQ(edfwrite_annotation_utf8_us(q.handle, 1000, -1, "last"), 0);
    EXPECT_EQ(edf_writer_for(q.handle)->annotation_capacity, 2000);
    EXPECT_EQ(edf_writer_for(q.handle)->annotations[999].onset, 999);
    EXPECT_STREQ(q.last().text, "last");
}
