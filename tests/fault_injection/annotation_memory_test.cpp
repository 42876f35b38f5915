// The memory an open takes for annotations grows with the annotation text that the file
// holds, not with the longest text that an annotation may have: files of a great many tiny
// annotations are opened under the allocation hook and the peak of live bytes is compared
// with the size of their annotation signals.
#include "allocation_hook.h"
#include "reader_test_files.h"

#include <gtest/gtest.h>

using namespace reader_test;

TEST(AnnotationMemory, ProportionalToTheStoredText) {
    temp_dir dir;
    const std::string path = dir.file("tiny.edf");
    // One annotation signal of 6000 bytes per record, 200 records (1.2 MB of annotations).
    constexpr int signal_bytes = 6000;
    constexpr int records = 200;
    file_spec f;
    f.signals = {annotation_signal_spec(false, signal_bytes / 2)};
    struct filling {
        const char *name;
        std::string tal; // repeated after the time-keeping TAL while it fits
    };
    // Empty annotations (one byte each), one-letter ones, and TALs of one annotation.
    for (const filling &fill : {filling{"empty", "\x14"}, filling{"letters", "a\x14"},
                                filling{"tals", std::string("+1\x14x\x14", 5) + '\0'}}) {
        std::string bytes = header_bytes(f, records);
        int64_t expected = 0;
        for (int r = 0; r < records; r++) {
            std::string s = timekeeping(std::to_string(r));
            const bool single_tal = fill.tal.back() == '\0';
            if (!single_tal) {
                s += "+0\x14";
            }
            while (s.size() + fill.tal.size() + 2 < signal_bytes) {
                s += fill.tal;
                expected++;
            }
            if (!single_tal) {
                s += '\0';
            }
            bytes += tal_bytes(s, signal_bytes);
        }
        write_bytes(path, bytes);

        auto hdr = new_header();
        const long long before = allocation_hook::live_bytes();
        allocation_hook::reset_peak_bytes();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0)
            << fill.name;
        const long long peak = allocation_hook::reset_peak_bytes() - before;
        EXPECT_EQ(hdr->annotation_count, expected) << fill.name;
        // A small multiple of the annotation bytes (16 bytes per entry, doubled while the
        // list grows), plus the fixed work buffers of the open.
        const long long annotation_bytes = static_cast<long long>(signal_bytes) * records;
        EXPECT_LT(peak, 40 * annotation_bytes + (1 << 20)) << fill.name;
        RecordProperty(std::string("peak_bytes_") + fill.name, std::to_string(peak));
        edf_annotation a;
        ASSERT_EQ(edf_get_annotation(hdr->handle, static_cast<int>(expected) - 1, &a), 0);
        EXPECT_STREQ(a.annotation, fill.tal[0] == 'a' ? "a" : fill.tal[0] == '+' ? "x" : "");
        EXPECT_EQ(edfclose_file(hdr->handle), 0);
    }
}
