// Many threads at once, each with files of its own: opening, writing, closing, reopening and
// reading run in parallel, and every sample and annotation read back is the thread's own; the
// handle-table queries run beside them from another thread; of two opens of one file at the
// same moment, exactly one wins. Built as a program of its own so that the ThreadSanitizer
// build can run it alone.
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int thread_count = 8;
constexpr int round_count = 20;
constexpr int signal_count = 3;
constexpr int records = 4;
constexpr int annotations = records; // one in each record, so that the file keeps their order

// The sample k of signal s in the file of thread t, round r: different in every file.
int sample_of(int t, int r, int s, int k, bool bdf) {
    const int value = (t * 7919 + r * 104729 + s * 1299709 + k * 31) % 30000 - 15000;
    return bdf ? value * 255 : value;
}

int samples_per_record(int s) {
    return 50 + 25 * s;
}

std::string text_of(int t, int r, int n) {
    char text[64];
    std::snprintf(text, sizeof text, "thread %d round %d note %d", t, r, n);
    return text;
}

std::string label_of(int t, int s) {
    char text[17];
    std::snprintf(text, sizeof text, "t%ds%d", t, s);
    return text;
}

// Writes one file; the failures are counted into `failures` (gtest's assertions are not
// made from the worker threads).
bool write_file(const std::string &path, int t, int r, bool bdf) {
    const int h = edfopen_file_writeonly(
        path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, signal_count);
    if (h < 0) {
        return false;
    }
    bool ok = edf_set_startdatetime(h, 2024, 1, 1 + t, 10, r, 0) == 0;
    const int digital = bdf ? 8388607 : 32767;
    for (int s = 0; s < signal_count; s++) {
        ok = ok && edf_set_samplefrequency(h, s, samples_per_record(s)) == 0 &&
             edf_set_digital_maximum(h, s, digital) == 0 &&
             edf_set_digital_minimum(h, s, -digital - 1) == 0 &&
             edf_set_physical_maximum(h, s, 1000.0) == 0 &&
             edf_set_physical_minimum(h, s, -1000.0) == 0 &&
             edf_set_label(h, s, label_of(t, s).c_str()) == 0;
    }
    std::vector<int> buffer;
    for (int record = 0; record < records && ok; record++) {
        for (int s = 0; s < signal_count && ok; s++) {
            buffer.resize(static_cast<size_t>(samples_per_record(s)));
            for (int k = 0; k < samples_per_record(s); k++) {
                buffer[static_cast<size_t>(k)] =
                    sample_of(t, r, s, record * samples_per_record(s) + k, bdf);
            }
            ok = edfwrite_digital_samples(h, buffer.data()) == 0;
        }
    }
    for (int n = 0; n < annotations && ok; n++) {
        ok = edfwrite_annotation_utf8_us(h, 1000000LL * n + t, -1, text_of(t, r, n).c_str()) == 0;
    }
    return edfclose_file(h) == 0 && ok;
}

bool read_file(const std::string &path, int t, int r, bool bdf) {
    auto hdr = std::make_unique<edf_header_info>();
    if (edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
        return false;
    }
    const int h = hdr->handle;
    bool ok = hdr->filetype == (bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS) &&
              hdr->ordinary_signal_count == signal_count && hdr->datarecord_count == records &&
              hdr->start_day == 1 + t && hdr->start_minute == r &&
              hdr->annotation_count == annotations;
    std::vector<int> buffer;
    for (int s = 0; s < signal_count && ok; s++) {
        const int n = records * samples_per_record(s);
        buffer.assign(static_cast<size_t>(n), 0);
        // Labels are padded to their 16 characters.
        ok = std::string(hdr->signals[s].label).rfind(label_of(t, s) + " ", 0) == 0 &&
             edfread_digital_samples(h, s, n, buffer.data()) == n;
        for (int k = 0; k < n && ok; k++) {
            ok = buffer[static_cast<size_t>(k)] == sample_of(t, r, s, k, bdf);
        }
    }
    for (int n = 0; n < annotations && ok; n++) {
        edf_annotation annotation{};
        ok = edf_get_annotation(h, n, &annotation) == 0 &&
             annotation.onset == (1000000LL * n + t) * 10 &&
             std::string(annotation.annotation) == text_of(t, r, n);
    }
    return edfclose_file(h) == 0 && ok;
}

TEST(ConcurrentHandles, ThreadsWriteAndReadTheirOwnFilesAtOnce) {
    close_all_handles guard;
    temp_dir dir;
    std::atomic<int> failures{0};
    std::atomic<bool> running{true};
    std::atomic<int> bad_queries{0};
    // Queries of the table while the workers open and close.
    std::thread observer([&] {
        const std::string some_path = dir.file("t0_r0.edf");
        while (running.load()) {
            const int open = edf_get_number_of_open_files();
            if (open < 0 || open > EDF_MAX_FILES) {
                bad_queries++;
            }
            for (int n = 0; n < 4; n++) {
                const int h = edf_get_handle(n);
                if (h < -1 || h >= EDF_MAX_FILES) {
                    bad_queries++;
                }
            }
            if (edf_is_file_used(some_path.c_str()) < 0) {
                bad_queries++;
            }
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; t++) {
        workers.emplace_back([&, t] {
            for (int r = 0; r < round_count; r++) {
                const bool bdf = (t + r) % 2 == 1;
                char name[32];
                std::snprintf(name, sizeof name, "t%d_r%d.%s", t, r, bdf ? "bdf" : "edf");
                const std::string path = dir.file(name);
                if (!write_file(path, t, r, bdf) || !read_file(path, t, r, bdf)) {
                    failures++;
                }
            }
        });
    }
    for (std::thread &worker : workers) {
        worker.join();
    }
    running = false;
    observer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(bad_queries.load(), 0);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
    EXPECT_EQ(edf_get_handle(0), -1);
}

// Two threads open one path at the same moment, for writing (or for reading): one gets the
// handle, the other EDF_ERR_ALREADY_OPEN, and the file the winner writes is whole.
TEST(ConcurrentHandles, OfTwoOpensOfOneFileOneWins) {
    close_all_handles guard;
    temp_dir dir;
    for (const bool reading : {false, true}) {
        for (int round = 0; round < 50; round++) {
            char name[32];
            std::snprintf(name, sizeof name, "same%d.edf", round);
            const std::string path = dir.file(name);
            if (reading) {
                ASSERT_TRUE(write_file(path, 0, round, false));
            }
            std::atomic<int> ready{0};
            int results[2] = {0, 0};
            std::unique_ptr<edf_header_info> hdrs[2] = {std::make_unique<edf_header_info>(),
                                                        std::make_unique<edf_header_info>()};
            auto open = [&](int i) {
                ready++;
                while (ready.load() < 2) {
                }
                if (reading) {
                    edfopen_file_readonly(path.c_str(), hdrs[i].get(), EDF_READ_ALL_ANNOTATIONS);
                    results[i] = hdrs[i]->handle >= 0 ? hdrs[i]->handle : hdrs[i]->filetype;
                } else {
                    results[i] = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 0);
                }
            };
            std::thread first(open, 0);
            std::thread second(open, 1);
            first.join();
            second.join();
            const int winners = (results[0] >= 0) + (results[1] >= 0);
            ASSERT_EQ(winners, 1) << results[0] << " " << results[1];
            const int loser = results[0] >= 0 ? results[1] : results[0];
            EXPECT_EQ(loser, EDF_ERR_ALREADY_OPEN);
            const int winner = results[0] >= 0 ? results[0] : results[1];
            EXPECT_EQ(edf_get_number_of_open_files(), 1);
            EXPECT_EQ(edfclose_file(winner), 0);
            EXPECT_EQ(edf_is_file_used(path.c_str()), 0);
        }
    }
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}

} // namespace
