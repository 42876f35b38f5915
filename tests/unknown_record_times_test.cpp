// Records whose time-keeping annotation cannot be read. In a discontinuous file (EDF+D) such a
// record's time is unknown: the tolerant open leaves it out of the time axis (no segment holds
// it, it has no start) and lists it, while its stored samples keep their positions; the
// repaired copy leaves it out. The first record, and every record of a continuous file, take
// their time from the header instead.
#include "discontinuous_files.h"
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace discontinuous;

namespace {

constexpr int samples = 10;
constexpr int64_t second = EDF_TIME_DIMENSION;
// 1 + 1 signals: header of 768 bytes, records of 10 samples and a 120-byte annotation signal.
constexpr int64_t header_size = 768;
constexpr int64_t record_size = 2 * samples + 120;

// Breaks the time-keeping onset of `record`: its last digit becomes the letter O ("+1O").
void break_timekeeping(const std::string &path, int64_t record) {
    const std::string bytes = file_bytes(path);
    const size_t tal = static_cast<size_t>(header_size + record * record_size + 2 * samples);
    const size_t end = bytes.find('\x14', tal);
    ASSERT_NE(end, std::string::npos);
    reader_test::patch_bytes(path, static_cast<int64_t>(end - 1), "O");
}

struct unknown_times {
    const char *name;
    bool continuous;                   // written as EDF+C
    std::vector<int64_t> starts_us;    // as written
    std::vector<int64_t> broken;       // records whose time-keeping onset is broken
    std::vector<edf_segment> segments; // what the tolerant open gives (starts in seconds)
    int64_t duration_s;                // file_duration
    int64_t moved = -1;                // a record whose onset becomes "+1" (one second)
    bool note = false; // the first broken record also holds the annotation "note" at 6.5 s
};

std::vector<unknown_times> cases() {
    // Records 0-1 at 0 s, 2-3 at 5 s, 4-5 at 10 s.
    const std::vector<int64_t> gapped = {0, follows, 5000000, follows, 10000000, follows};
    return {
        {"inside a segment", false, gapped, {3}, {{0, 0, 2}, {5, 2, 1}, {10, 4, 2}}, 12},
        // Its annotation has a time of its own: it is kept, in the copy by the next record.
        {"holding an annotation",
         false,
         gapped,
         {3},
         {{0, 0, 2}, {5, 2, 1}, {10, 4, 2}},
         12,
         -1,
         true},
        {"first of a segment", false, gapped, {2}, {{0, 0, 2}, {6, 3, 1}, {10, 4, 2}}, 12},
        {"record that followed", false, gapped, {1}, {{0, 0, 1}, {5, 2, 2}, {10, 4, 2}}, 12},
        {"last record", false, gapped, {5}, {{0, 0, 2}, {5, 2, 2}, {10, 4, 1}}, 11},
        {"two in a row", false, gapped, {3, 4}, {{0, 0, 2}, {5, 2, 1}, {11, 5, 1}}, 12},
        {"one record", false, {0, follows, follows}, {1}, {{0, 0, 1}, {2, 2, 1}}, 3},
        // The record after it starts where the record before it ends: the segments meet.
        {"segments that meet", false, {0, follows, follows}, {1}, {{0, 0, 1}, {1, 2, 1}}, 2, 2},
        // The header gives the start of the first record (the sub-second start taken as 0).
        {"first record", false, gapped, {0}, {{0, 0, 2}, {5, 2, 2}, {10, 4, 2}}, 12},
        // A continuous file: the header gives every record's time.
        {"continuous file", true, {0, follows, follows, follows}, {2}, {{0, 0, 4}}, 4},
    };
}

struct tolerant {
    std::unique_ptr<edf_header_info> header = std::make_unique<edf_header_info>();
    int result;
    explicit tolerant(const std::string &path) {
        result =
            edfopen_file_readonly_tolerant(path.c_str(), header.get(), EDF_READ_ALL_ANNOTATIONS);
    }
    ~tolerant() {
        if (result == 0) {
            edfclose_file(header->handle);
        }
    }
};

std::vector<edf_segment> segments_of(int handle) {
    std::vector<edf_segment> out(static_cast<size_t>(edf_get_segment_count(handle)));
    for (size_t n = 0; n < out.size(); n++) {
        EXPECT_EQ(edf_get_segment(handle, static_cast<int>(n), &out[n]), 0);
    }
    return out;
}

std::vector<int> samples_at(int handle, int64_t first, int64_t count) {
    std::vector<int> v(static_cast<size_t>(count));
    EXPECT_EQ(edfseek(handle, 0, first, EDFSEEK_SET), first);
    EXPECT_EQ(edfread_digital_samples(handle, 0, static_cast<int>(count), v.data()), count);
    return v;
}

std::vector<int> record_values(int64_t record) {
    std::vector<int> v;
    for (int i = 0; i < samples; i++) {
        v.push_back(sample_value(record, i));
    }
    return v;
}

bool contains(const std::vector<int64_t> &list, int64_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

TEST(UnknownRecordTimes, LeftOutOfTheTimeAxisOfADiscontinuousFile) {
    close_all_handles guard;
    for (const unknown_times &c : cases()) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        const std::string path = dir.file("d.edf");
        const layout l{c.name, false, 1000000, samples, c.starts_us};
        ASSERT_EQ(write_file(path, l, 0), 0);
        if (c.continuous) {
            reader_test::patch_bytes(path, 192, "EDF+C");
        }
        for (int64_t r : c.broken) {
            break_timekeeping(path, r);
        }
        if (c.note) {
            reader_test::patch_bytes(path,
                                     header_size + c.broken[0] * record_size + 2 * samples + 5,
                                     std::string("+6.5\x14note\x14", 10) + '\0');
        }
        if (c.moved >= 0) {
            reader_test::patch_bytes(path, header_size + c.moved * record_size + 2 * samples, "+1");
        }
        const int64_t records = static_cast<int64_t>(c.starts_us.size());
        // Left out: the broken records after the first, in a discontinuous file.
        std::vector<int64_t> left_out;
        for (int64_t r : c.broken) {
            if (!c.continuous && r > 0) {
                left_out.push_back(r);
            }
        }

        tolerant f(path);
        ASSERT_EQ(f.result, 0);
        const edf_header_info &h = *f.header;
        const int handle = h.handle;
        EXPECT_EQ(h.datarecord_count, records);
        EXPECT_EQ(h.signals[0].samples_in_file, records * samples);
        EXPECT_EQ(h.file_duration, c.duration_s * second);

        // Each broken record is named: left out, or timed by the header.
        std::vector<int64_t> named;
        for (int n = 0; n < edf_get_problem_count(handle); n++) {
            edf_problem p;
            ASSERT_EQ(edf_get_problem(handle, n, &p), 0);
            if (std::strcmp(p.field, "time-keeping annotation") == 0) {
                named.push_back(p.record);
                EXPECT_EQ(p.action, EDF_PROBLEM_REPAIRED);
                EXPECT_EQ(p.code, EDF_ERR_FORMAT);
                EXPECT_EQ(p.offset, header_size + p.record * record_size + 2 * samples);
                const bool unknown = contains(left_out, p.record);
                EXPECT_EQ(std::string(p.message).find("left out") != std::string::npos, unknown)
                    << p.message;
                EXPECT_EQ(std::string(p.message).find("from the header") != std::string::npos,
                          !unknown)
                    << p.message;
            }
        }
        EXPECT_EQ(named, c.broken);

        // The time axis holds the other records only.
        const std::vector<edf_segment> segments = segments_of(handle);
        ASSERT_EQ(segments.size(), c.segments.size());
        for (size_t n = 0; n < segments.size(); n++) {
            EXPECT_EQ(segments[n].start, c.segments[n].start * second) << n;
            EXPECT_EQ(segments[n].first_record, c.segments[n].first_record) << n;
            EXPECT_EQ(segments[n].record_count, c.segments[n].record_count) << n;
        }
        for (int64_t r = 0; r < records; r++) {
            if (contains(left_out, r)) {
                EXPECT_EQ(edf_get_record_start(handle, r), -1) << r;
            } else {
                EXPECT_GE(edf_get_record_start(handle, r), 0) << r;
            }
            // Positions count every stored sample, those of a record left out too.
            EXPECT_EQ(samples_at(handle, r * samples, samples), record_values(r)) << r;
        }

        // The repaired copy holds the records of the time axis, with the same segments.
        const std::string copy = dir.file("copy.edf");
        ASSERT_GE(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), 1);
        edf_problem left[2];
        const int in_copy = edf_check_file(copy.c_str(), left, 2);
        ASSERT_EQ(in_copy, c.continuous ? 0 : 1);
        if (in_copy == 1) {
            EXPECT_EQ(left[0].action, EDF_PROBLEM_CONFORMS);
        }
        tolerant g(copy);
        ASSERT_EQ(g.result, 0);
        const int64_t kept = records - static_cast<int64_t>(left_out.size());
        EXPECT_EQ(g.header->datarecord_count, kept);
        EXPECT_EQ(g.header->file_duration, h.file_duration);
        int64_t at = 0;
        const std::vector<edf_segment> copied = segments_of(g.header->handle);
        std::vector<edf_segment> merged; // the copy's records follow where no gap is left
        for (const edf_segment &s : segments) {
            if (!merged.empty() &&
                merged.back().start + merged.back().record_count * second == s.start) {
                merged.back().record_count += s.record_count;
            } else {
                merged.push_back({s.start, at, s.record_count});
            }
            at += s.record_count;
        }
        ASSERT_EQ(copied.size(), merged.size());
        for (size_t n = 0; n < copied.size(); n++) {
            EXPECT_EQ(copied[n].start, merged[n].start) << n;
            EXPECT_EQ(copied[n].first_record, merged[n].first_record) << n;
            EXPECT_EQ(copied[n].record_count, merged[n].record_count) << n;
        }
        int64_t k = 0;
        for (int64_t r = 0; r < records; r++) {
            if (!contains(left_out, r)) {
                EXPECT_EQ(samples_at(g.header->handle, k * samples, samples), record_values(r))
                    << r;
                k++;
            }
        }
        EXPECT_EQ(h.annotation_count, c.note ? 2 : 1);
        ASSERT_EQ(g.header->annotation_count, h.annotation_count);
        for (int n = 0; n < h.annotation_count; n++) {
            edf_annotation a{};
            edf_annotation b{};
            ASSERT_EQ(edf_get_annotation(h.handle, n, &a), 0);
            ASSERT_EQ(edf_get_annotation(g.header->handle, n, &b), 0);
            EXPECT_EQ(b.onset, a.onset);
            EXPECT_STREQ(b.annotation, a.annotation);
        }
    }
}
