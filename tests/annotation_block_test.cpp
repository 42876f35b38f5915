// The annotation block of a data record: the time-keeping TAL that opens it, the zero
// padding, and the annotation TALs that close adds.
#include "recording/core/annotation_block.h"
#include "recording/core/recording.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using namespace std::string_literals;

// The block that edf_write_tal writes for `record` of a file with these settings.
std::string block_of(int64_t duration_ticks, int64_t subsecond_ticks, int64_t record,
                     int annotation_signals = 1) {
    edf_recording r{};
    r.datarecord_duration_ticks = duration_ticks;
    r.subsecond_start_ticks = subsecond_ticks;
    r.datarecord_count = record;
    r.annotation_signal_count = annotation_signals;
    r.annotation_block_size = 120 * annotation_signals;
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    EXPECT_EQ(edf_write_tal(&r, stream), 0);
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

std::string annotation_tal(int64_t onset_us, int64_t duration_us, const char *text) {
    char out[128];
    const int n = edf_format_annotation_tal(onset_us, duration_us, text, out);
    return {out, static_cast<size_t>(n)};
}

} // namespace

TEST(AnnotationBlock, TimekeepingTalOfEachRecord) {
    const struct {
        int64_t duration, subsecond, record;
        std::string tal;
    } cases[] = {
        {10000000, 0, 0, "+0"},
        {10000000, 0, 299, "+299"},
        {5000000, 0, 0, "+0.0000000"}, // the file's settings decide on the fraction
        {5000000, 0, 1, "+0.5000000"},
        {5000000, 0, 2, "+1.0000000"},
        {10000000, 2500000, 3, "+3.2500000"},
        {100000, 0, 7, "+0.0700000"},
        {10000000, 1, 0, "+0.0000001"},
        {10000000, 1, 5, "+5.0000001"},
        {600000000, 9999999, 1000000, "+60000000.9999999"},
    };
    for (const auto &c : cases) {
        const std::string expected = c.tal + "\x14\x14"s;
        const std::string block = block_of(c.duration, c.subsecond, c.record);
        ASSERT_EQ(block.size(), 120u);
        EXPECT_EQ(block, expected + std::string(120 - expected.size(), '\0')) << c.tal;
    }
}

TEST(AnnotationBlock, SixtyFourSignalsAreZeroAfterTheTimekeepingTal) {
    const std::string block = block_of(10000000, 0, 12, 64);
    ASSERT_EQ(block.size(), 7680u);
    EXPECT_EQ(block.substr(0, 6), "+12\x14\x14\0"s);
    EXPECT_EQ(block.find_first_not_of('\0', 6), std::string::npos);
}

TEST(AnnotationBlock, WriteThatDoesNotCompleteFails) {
    edf_recording r{};
    r.datarecord_duration_ticks = 10000000;
    r.annotation_block_size = 120;
    FILE *full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(edf_write_tal(&r, full), -1);
    std::fclose(full);
}

TEST(AnnotationBlock, AnnotationTal) {
    const std::string forty(40, 'w');
    const struct {
        int64_t onset, duration;
        std::string text, tal;
    } cases[] = {
        {0, -1, "Recording starts", "+0\x14Recording starts\x14"},
        {1500000, 250000, "",
         "+1.500000\x15"
         "0.250000\x14\x14"},
        {300000000, 2000000, "end",
         "+300\x15"
         "2\x14"
         "end\x14"},
        {1, 0, "a",
         "+0.000001\x15"
         "0\x14"
         "a\x14"},
        {5000000, INT64_MIN, "b",
         "+5\x14"
         "b\x14"},
        {0, -1, forty + "cut", "+0\x14" + forty + "\x14"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(annotation_tal(c.onset, c.duration, c.text.c_str()), c.tal);
    }
}

// The longest time-keeping TAL and the longest annotation TAL together leave the last byte
// of annotation signal 0 zero, as readers require.
TEST(AnnotationBlock, LongestTalsFitOneAnnotationSignal) {
    edf_recording r{};
    r.datarecord_duration_ticks = 600000000;
    r.subsecond_start_ticks = 9999999;
    char timekeeping[32];
    const int n = edf_format_timekeeping_tal(&r, INT64_MAX / 600000000, timekeeping);
    EXPECT_LE(n, 24);
    const std::string longest = annotation_tal(INT64_MAX - 999999, INT64_MAX, "");
    EXPECT_EQ(longest.size() + 40, 84u);
    EXPECT_EQ(longest.substr(0, 21), "+9223372036853.775808");
}
