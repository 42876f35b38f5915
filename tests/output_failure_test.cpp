// Writing to a full device: every writer operation that puts bytes into a file reports the
// failure, none of them reports success, and close reports it too and still releases the
// handle.
#include "recording/core/recording.h"
#include "test_files.h"
#include "windows_skips.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace edf;

namespace {

#ifdef _WIN32
SKIPPED_ON_WINDOWS(OutputFailure, EveryWriterOperationReportsAFullDevice,
                   "a full device (/dev/full)")
#else
TEST(OutputFailure, EveryWriterOperationReportsAFullDevice) {
    close_all_handles guard;
    constexpr int most_samples = 100000;
    const std::vector<double> physical(most_samples, 1.0);
    const std::vector<int> digital(most_samples, 5);
    std::vector<short> shorts(most_samples, 5);
    const std::vector<unsigned char> packed(3 * most_samples, 1);
    struct operation {
        const char *name;
        std::vector<bool> bdf;                // file types to try
        bool with_params;                     // opened with edfopen_file_writeonly_with_params
        std::function<int(int handle)> write; // none: close alone writes the file
    };
    // clang-format off
    const operation operations[] = {
        {"physical", {false, true}, false, [&](int h) { return edfwrite_physical_samples(h, physical.data()); }},
        {"digital", {false, true}, false, [&](int h) { return edfwrite_digital_samples(h, digital.data()); }},
        {"short", {false}, false, [&](int h) { return edfwrite_digital_short_samples(h, shorts.data()); }},
        {"block physical", {false, true}, false, [&](int h) { return edf_blockwrite_physical_samples(h, physical.data()); }},
        {"block digital", {false, true}, false, [&](int h) { return edf_blockwrite_digital_samples(h, digital.data()); }},
        {"block short", {false}, false, [&](int h) { return edf_blockwrite_digital_short_samples(h, shorts.data()); }},
        {"block 24 bit", {true}, false, [&](int h) { return edf_blockwrite_digital_24bit_samples(h, packed.data()); }},
        {"with params", {false, true}, true, [&](int h) { return edfwrite_physical_samples(h, physical.data()); }},
        {"close alone", {false, true}, false, nullptr},
    };
    // clang-format on
    // A small record fits the stream's buffer and fails at the flush that ends it; a large one
    // fails in the write itself.
    for (const operation &op : operations) {
        for (const bool bdf : op.bdf) {
            for (const int samples : {4, most_samples}) {
                SCOPED_TRACE(testing::Message() << op.name << " bdf " << bdf << " " << samples);
                const int h = op.with_params
                                  ? edfopen_file_writeonly_with_params("/dev/full",
                                                                       bdf ? EDF_FILETYPE_BDFPLUS
                                                                           : EDF_FILETYPE_EDFPLUS,
                                                                       1, samples, 100.0, "uV")
                                  : open_configured("/dev/full", 1, samples, bdf);
                ASSERT_GE(h, 0);
                for (int i = 0; i < 3 && op.write; i++) {
                    EXPECT_EQ(op.write(h), -1) << "write " << i;
                }
                EXPECT_EQ(edf_recording_for(h, edf_side::either)->datarecord_count, 0);
                EXPECT_EQ(edfclose_file(h), -1);
                EXPECT_EQ(edf_get_number_of_open_files(), 0);
            }
        }
    }
}
#endif

} // namespace
