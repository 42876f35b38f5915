// A write that fails part-way (here: the file-size limit of the process, as a full disk
// would) may be retried once the cause is gone: the retried record lands where it belongs,
// and the finished file reads back whole.
#include "test_files.h"
#include "windows_skips.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#ifdef _WIN32
SKIPPED_ON_WINDOWS(WriteRetry, RecordRetriedAfterAFailedWriteLandsInPlace,
                   "a file size limit (setrlimit) makes the failing write")
#else
#include <sys/resource.h>

TEST(WriteRetry, RecordRetriedAfterAFailedWriteLandsInPlace) {
    temp_dir dir;
    const std::string path = dir.file("retry.edf");
    close_all_handles guard;
    constexpr int samples = 20000; // 40000 bytes of samples per record
    const int handle = open_configured(path, 1, samples);
    ASSERT_GE(handle, 0);
    std::vector<int> values(samples);
    auto fill = [&](int record) {
        for (int i = 0; i < samples; i++) {
            values[static_cast<size_t>(i)] = (record * 7919 + i * 31) % 60000 - 30000;
        }
    };
    for (int record = 0; record < 2; record++) {
        fill(record);
        ASSERT_EQ(edfwrite_digital_samples(handle, values.data()), 0);
    }

    // Allow the file to grow only into the middle of the third record.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto *previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 512 + 2 * 40120 + 10000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    fill(2);
    const int failed = edfwrite_digital_samples(handle, values.data());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(failed, -1);

    for (int record = 2; record < 4; record++) {
        fill(record);
        ASSERT_EQ(edfwrite_digital_samples(handle, values.data()), 0) << record;
    }
    ASSERT_EQ(edfclose_file(handle), 0);

    auto *hdr = new edf_header_info;
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr, EDF_READ_ALL_ANNOTATIONS), 0);
    EXPECT_EQ(hdr->datarecord_count, 4);
    std::vector<int> read(samples);
    for (int record = 0; record < 4; record++) {
        fill(record);
        ASSERT_EQ(edfread_digital_samples(hdr->handle, 0, samples, read.data()), samples);
        EXPECT_EQ(read, values) << record;
    }
    edfclose_file(hdr->handle);
    delete hdr;
}
#endif
