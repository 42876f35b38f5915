// Discontinuous recordings (EDF+D/BDF+D): the writer's record starts reach the file's
// time-keeping TALs, the reader that accepts such files builds the same segments from them,
// samples and annotations read back as written, and the strict open still refuses them.
#include "discontinuous_files.h"

#include <gtest/gtest.h>

#include <memory>

using namespace discontinuous;

namespace {

struct opened {
    std::unique_ptr<edf_header_info> header = std::make_unique<edf_header_info>();
    int result = -1;
    explicit opened(const std::string &path, int mode = EDF_READ_ALL_ANNOTATIONS) {
        result = edfopen_file_readonly_tolerant(path.c_str(), header.get(), mode);
    }
    ~opened() {
        if (result == 0) {
            edfclose_file(header->handle);
        }
    }
};

TEST(Discontinuous, RecordStartsRoundTrip) {
    close_all_handles guard;
    for (const layout &l : layouts()) {
        SCOPED_TRACE(l.name);
        temp_dir dir;
        const std::string path = dir.file("d.edf");
        const std::vector<int64_t> starts = record_starts_us(l);
        ASSERT_EQ(write_file(path, l, starts.back()), 0);
        EXPECT_EQ(file_bytes(path).substr(192, 5), l.bdf ? "BDF+D" : "EDF+D");

        auto strict = std::make_unique<edf_header_info>();
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), strict.get(), EDF_READ_ALL_ANNOTATIONS), -1);
        EXPECT_EQ(strict->filetype, EDF_ERR_DISCONTINUOUS);

        for (int mode : {EDF_READ_NO_ANNOTATIONS, EDF_READ_ALL_ANNOTATIONS}) {
            opened f(path, mode);
            ASSERT_EQ(f.result, 0);
            const edf_header_info &h = *f.header;
            EXPECT_EQ(h.filetype, l.bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS);
            EXPECT_EQ(h.file_duration, (starts.back() + l.record_us) * 10);

            // Segments: a new one wherever a record does not follow the one before it.
            std::vector<edf_segment> expected;
            for (size_t k = 0; k < starts.size(); k++) {
                EXPECT_EQ(edf_get_record_start(h.handle, static_cast<int64_t>(k)), starts[k] * 10);
                if (k == 0 || starts[k] != starts[k - 1] + l.record_us) {
                    expected.push_back({starts[k] * 10, static_cast<int64_t>(k), 0});
                }
                expected.back().record_count++;
            }
            ASSERT_EQ(edf_get_segment_count(h.handle), static_cast<int>(expected.size()));
            for (size_t n = 0; n < expected.size(); n++) {
                edf_segment s{};
                ASSERT_EQ(edf_get_segment(h.handle, static_cast<int>(n), &s), 0);
                EXPECT_EQ(s.start, expected[n].start);
                EXPECT_EQ(s.first_record, expected[n].first_record);
                EXPECT_EQ(s.record_count, expected[n].record_count);
            }
            edf_segment s{};
            EXPECT_EQ(edf_get_segment(h.handle, static_cast<int>(expected.size()), &s), -1);
            EXPECT_EQ(edf_get_record_start(h.handle, static_cast<int64_t>(starts.size())), -1);

            // Positions count stored samples: the gaps hold none.
            std::vector<int> got(starts.size() * static_cast<size_t>(l.samples_per_record));
            ASSERT_EQ(
                edfread_digital_samples(h.handle, 0, static_cast<int>(got.size()), got.data()),
                static_cast<int>(got.size()));
            for (size_t j = 0; j < got.size(); j++) {
                EXPECT_EQ(got[j], sample_value(static_cast<int64_t>(j) / l.samples_per_record,
                                               static_cast<int>(j) % l.samples_per_record));
            }
            if (mode == EDF_READ_ALL_ANNOTATIONS) {
                ASSERT_EQ(h.annotation_count, 1);
                edf_annotation a{};
                ASSERT_EQ(edf_get_annotation(h.handle, 0, &a), 0);
                EXPECT_EQ(a.onset, starts.back() * 10);
            } else {
                EXPECT_EQ(h.annotation_count, 0);
            }
        }
    }
}

// A discontinuous file without gaps differs from the continuous one only in "+D".
TEST(Discontinuous, WithoutGapsOnlyTheTypeDiffers) {
    close_all_handles guard;
    temp_dir dir;
    const layout l = layouts()[0];
    ASSERT_EQ(write_file(dir.file("d.edf"), l), 0);
    const int handle = open_configured(dir.file("c.edf"), 1, l.samples_per_record);
    ASSERT_EQ(edf_set_datarecord_duration(handle, l.record_us / 10), 0);
    ASSERT_EQ(edfwrite_annotation_utf8_us(handle, 0, -1, "mark"), 0);
    std::vector<int> samples(static_cast<size_t>(l.samples_per_record));
    for (int k = 0; k < 3; k++) {
        for (int i = 0; i < l.samples_per_record; i++) {
            samples[static_cast<size_t>(i)] = sample_value(k, i);
        }
        ASSERT_EQ(edfwrite_digital_samples(handle, samples.data()), 0);
    }
    EXPECT_EQ(edf_get_segment_count(handle), 1);
    ASSERT_EQ(edfclose_file(handle), 0);
    std::string d = file_bytes(dir.file("d.edf"));
    ASSERT_EQ(d.substr(192, 5), "EDF+D");
    d[196] = 'C';
    EXPECT_EQ(d, file_bytes(dir.file("c.edf")));
}

TEST(Discontinuous, WriterRefusals) {
    close_all_handles guard;
    temp_dir dir;
    const int handle = open_configured(dir.file("w.edf"), 1, 10);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(edf_set_record_start(handle, 0), -1); // not discontinuous
    ASSERT_EQ(edf_set_discontinuous(handle), 0);
    EXPECT_EQ(edf_set_record_start(handle, 1), -1); // the first record starts at 0
    EXPECT_EQ(edf_set_record_start(handle, 0), 0);
    std::vector<int> samples(10, 0);
    ASSERT_EQ(edfwrite_digital_samples(handle, samples.data()), 0);
    EXPECT_EQ(edf_set_discontinuous(handle), -1);        // after the first sample write
    EXPECT_EQ(edf_set_record_start(handle, 999999), -1); // before the end of record 0
    EXPECT_EQ(edf_set_record_start(handle, -5), -1);
    EXPECT_EQ(edf_set_record_start(handle, INT64_MAX), -1);
    EXPECT_EQ(edf_set_record_start(handle, 7000000), 0);
    EXPECT_EQ(edf_set_record_start(handle, 3000000), 0); // replaces the value for this record
    ASSERT_EQ(edfwrite_digital_samples(handle, samples.data()), 0);
    EXPECT_EQ(edf_get_record_start(handle, 1), 30000000);
    EXPECT_EQ(edf_get_segment_count(handle), 2);
    ASSERT_EQ(edfclose_file(handle), 0);
    EXPECT_EQ(edf_set_discontinuous(handle), -1);
    EXPECT_EQ(edf_get_segment_count(handle), -1);
}

// A record that starts before the previous one ends leaves positions ambiguous: refused.
TEST(Discontinuous, OverlappingRecordsAreRefused) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("o.edf");
    ASSERT_EQ(write_file(path, {"o", false, 1000000, 10, {follows, 5000000, follows}}), 0);
    std::string bytes = file_bytes(path);
    const size_t tal = bytes.find(std::string("+5\x14\x14", 4));
    ASSERT_NE(tal, std::string::npos);
    bytes[tal + 1] = '0';
    std::ofstream(path, std::ios::binary) << bytes;
    opened f(path);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.header->filetype, EDF_ERR_FORMAT);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}

// Continuous files answer the segment calls with one segment.
TEST(Discontinuous, ContinuousFileHasOneSegment) {
    close_all_handles guard;
    temp_dir dir;
    const int handle = open_configured(dir.file("c.edf"), 1, 10);
    std::vector<int> samples(10, 0);
    for (int k = 0; k < 4; k++) {
        ASSERT_EQ(edfwrite_digital_samples(handle, samples.data()), 0);
    }
    ASSERT_EQ(edfclose_file(handle), 0);
    auto h = std::make_unique<edf_header_info>();
    ASSERT_EQ(edfopen_file_readonly(dir.file("c.edf").c_str(), h.get(), EDF_READ_ANNOTATIONS), 0);
    edf_segment s{};
    EXPECT_EQ(edf_get_segment_count(h->handle), 1);
    ASSERT_EQ(edf_get_segment(h->handle, 0, &s), 0);
    EXPECT_EQ(s.start, 0);
    EXPECT_EQ(s.first_record, 0);
    EXPECT_EQ(s.record_count, 4);
    EXPECT_EQ(edf_get_record_start(h->handle, 3), 3 * EDF_TIME_DIMENSION);
    EXPECT_EQ(h->file_duration, 4 * EDF_TIME_DIMENSION);
    edfclose_file(h->handle);
}

} // namespace
