// edf_continuous_copy through the public call: its refusals leave no output behind, and the
// copy of an EDF+D/BDF+D file reads back strictly with the samples at their true times, the
// gaps filled with physical 0 and marked "gap".
#include "child_processes.h"
#include "discontinuous_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>

using namespace discontinuous;

namespace {

// The names in the folder: a refused or failed copy leaves no temporary file.
std::vector<std::string> names_in(const temp_dir &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.file("."))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(ContinuousCopy, RefusalsWriteNothing) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = dir.file("source.edf");
    ASSERT_EQ(write_file(source, layouts()[1]), 0);
    const std::string link = dir.file("link.edf");
    std::filesystem::create_hard_link(source, link);
    const std::string existing = dir.file("existing.edf");
    ASSERT_EQ(write_file(existing, layouts()[0]), 0);
    // A gap of 0.25 s between records of 10 samples per second is no whole number of samples.
    const std::string odd = dir.file("odd.edf");
    ASSERT_EQ(write_file(odd, {"odd", false, 1000000, 10, {0, 1250000}}), 0);
    const std::string open_here = dir.file("open.edf");
    ASSERT_EQ(write_file(open_here, layouts()[0]), 0);
    auto reader = std::make_unique<edf_header_info>();
    ASSERT_EQ(
        edfopen_file_readonly_tolerant(open_here.c_str(), reader.get(), EDF_READ_NO_ANNOTATIONS),
        0);
    const std::string out = dir.file("out.edf");
    const std::string existing_bytes = file_bytes(existing);
    const std::vector<std::string> before = names_in(dir);

    const struct {
        const char *situation;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"null path", [&] { return edf_continuous_copy(nullptr, out.c_str(), 1); },
         EDF_ERR_CANNOT_OPEN},
        {"null output", [&] { return edf_continuous_copy(source.c_str(), nullptr, 1); },
         EDF_ERR_CANNOT_OPEN},
        {"missing file",
         [&] { return edf_continuous_copy(dir.file("none.edf").c_str(), out.c_str(), 1); },
         EDF_ERR_CANNOT_OPEN},
        {"output is the file", [&] { return edf_continuous_copy(source.c_str(), link.c_str(), 1); },
         EDF_ERR_ALREADY_OPEN},
        {"output open here",
         [&] { return edf_continuous_copy(source.c_str(), open_here.c_str(), 1); },
         EDF_ERR_ALREADY_OPEN},
        {"file open here", [&] { return edf_continuous_copy(open_here.c_str(), out.c_str(), 1); },
         EDF_ERR_ALREADY_OPEN},
        {"output exists", [&] { return edf_continuous_copy(source.c_str(), existing.c_str(), 0); },
         EDF_ERR_OUTPUT_EXISTS},
        {"gap of part of a sample",
         [&] { return edf_continuous_copy(odd.c_str(), out.c_str(), 1); },
         EDF_ERR_NO_CONTINUOUS_FORM},
#ifndef _WIN32 // a file size limit makes the writes fail
        {"failed write",
         [&] {
             return child_processes::in_child_with_file_limit(
                 0, [&] { return edf_continuous_copy(source.c_str(), out.c_str(), 1); });
         },
         EDF_ERR_WRITE},
        {"failed write over an existing file",
         [&] {
             return child_processes::in_child_with_file_limit(
                 0, [&] { return edf_continuous_copy(source.c_str(), existing.c_str(), 1); });
         },
         EDF_ERR_WRITE},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.situation);
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(names_in(dir), before);
        EXPECT_TRUE(file_bytes(existing) == existing_bytes);
    }
    // Asked to, it replaces an existing file.
    EXPECT_EQ(edf_continuous_copy(source.c_str(), existing.c_str(), 1), 0);
    EXPECT_EQ(names_in(dir), before);
    EXPECT_FALSE(file_bytes(existing) == existing_bytes);
    edfclose_file(reader->handle);
}

TEST(ContinuousCopy, GapsAreFilledAndMarked) {
    close_all_handles guard;
    temp_dir dir;
    for (const layout &l : layouts()) {
        SCOPED_TRACE(l.name);
        const std::string source = dir.file(std::string(l.name) + ".edf");
        const std::string copy = dir.file(std::string(l.name) + "_c.edf");
        ASSERT_EQ(write_file(source, l, 300000), 0);
        ASSERT_EQ(edf_continuous_copy(source.c_str(), copy.c_str(), 0), 0);

        auto h = std::make_unique<edf_header_info>();
        ASSERT_EQ(edfopen_file_readonly(copy.c_str(), h.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        EXPECT_EQ(h->filetype, l.bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS);
        // Every sample at its true time; physical 0 (to one step) where no record lies.
        const std::vector<int64_t> starts = record_starts_us(l);
        const int64_t end_us = starts.back() + l.record_us;
        const int64_t total = end_us * l.samples_per_record / l.record_us;
        ASSERT_EQ(h->signals[0].samples_in_file, total);
        std::vector<int> digital(static_cast<size_t>(total));
        std::vector<double> physical(static_cast<size_t>(total));
        ASSERT_EQ(edfread_digital_samples(h->handle, 0, static_cast<int>(total), digital.data()),
                  total);
        ASSERT_EQ(edfseek(h->handle, 0, 0, EDFSEEK_SET), 0);
        ASSERT_EQ(edfread_physical_samples(h->handle, 0, static_cast<int>(total), physical.data()),
                  total);
        std::vector<bool> filled(static_cast<size_t>(total), false);
        for (size_t k = 0; k < starts.size(); k++) {
            const int64_t first = starts[k] * l.samples_per_record / l.record_us;
            for (int i = 0; i < l.samples_per_record; i++) {
                EXPECT_EQ(digital[static_cast<size_t>(first + i)],
                          sample_value(static_cast<int64_t>(k), i));
                filled[static_cast<size_t>(first + i)] = true;
            }
        }
        const double step = 2000.0 / (l.bdf ? 16777215.0 : 65535.0);
        for (int64_t n = 0; n < total; n++) {
            if (!filled[static_cast<size_t>(n)]) {
                EXPECT_LE(std::fabs(physical[static_cast<size_t>(n)]), step) << n;
            }
        }
        // The file's annotation, then one "gap" per gap with its start and duration.
        std::vector<std::tuple<int64_t, int64_t, std::string>> expected{
            {3000000, -EDF_TIME_DIMENSION, "mark"}};
        for (size_t k = 1; k < starts.size(); k++) {
            const int64_t previous_end = starts[k - 1] + l.record_us;
            if (starts[k] > previous_end) {
                expected.emplace_back(previous_end * 10, (starts[k] - previous_end) * 10, "gap");
            }
        }
        std::sort(expected.begin(), expected.end());
        std::vector<std::tuple<int64_t, int64_t, std::string>> found;
        for (int n = 0; n < h->annotation_count; n++) {
            edf_annotation a;
            ASSERT_EQ(edf_get_annotation(h->handle, n, &a), 0);
            found.emplace_back(a.onset, a.duration, a.annotation);
        }
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected);
        edfclose_file(h->handle);
    }
}
