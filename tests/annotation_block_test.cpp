// The annotation block of a data record: the time-keeping TAL that opens it and the zero
// padding.
#include "recording/core/annotation_block.h"
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace edf;

namespace {

// The block that edf_write_tal writes for `record` of a file with these settings.
std::string block_of(int64_t duration_ticks, int64_t subsecond_ticks, int64_t record,
                     int annotation_signals = 1) {
    edf_writer_state r{};
    r.datarecord_duration_ticks = duration_ticks;
    r.subsecond_start_ticks = subsecond_ticks;
    r.datarecord_count = record;
    r.annotation_signal_count = annotation_signals;
    r.annotation_block_size = 120 * annotation_signals;
#ifndef _WIN32
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    EXPECT_EQ(edf_write_tal(&r, stream, nullptr), 0);
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
#else
    // No memory streams in the Windows C runtime: a file of its own, read back.
    const temp_dir dir;
    const std::string path = dir.file("block");
    FILE *stream = std::fopen(path.c_str(), "wb");
    EXPECT_EQ(edf_write_tal(&r, stream, nullptr), 0);
    std::fclose(stream);
    return file_bytes(path);
#endif
}

} // namespace

// The file's settings, not the record's own time, decide whether the seven decimals appear.
TEST(AnnotationBlock, TimekeepingTalOfEachRecord) {
    // clang-format off
    const std::tuple<int64_t, int64_t, int64_t, std::string> cases[] = {
        {10000000, 0, 0, "+0"}, {10000000, 0, 299, "+299"}, {5000000, 0, 0, "+0.0000000"},
        {5000000, 0, 1, "+0.5000000"}, {5000000, 0, 2, "+1.0000000"},
        {10000000, 2500000, 3, "+3.2500000"}, {100000, 0, 7, "+0.0700000"},
        {10000000, 1, 0, "+0.0000001"}, {10000000, 1, 5, "+5.0000001"},
        {600000000, 9999999, 1000000, "+60000000.9999999"}};
    // clang-format on
    for (const auto &[duration, subsecond, record, tal] : cases) {
        std::string expected = tal + "\x14\x14";
        expected.resize(120, '\0');
        EXPECT_EQ(block_of(duration, subsecond, record), expected) << tal;
    }
    const std::string block = block_of(10000000, 0, 12, 64);
    ASSERT_EQ(block.size(), 7680u);
    EXPECT_EQ(block.find_first_not_of('\0', 5), std::string::npos);
}
