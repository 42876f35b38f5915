// Record reads: for several layouts, signal lists and record ranges, the samples of
// edfread_digital_records / edfread_physical_records are exactly those of the per-signal
// reads, and the per-signal positions stay where they were; refused arguments and a file that
// shrinks while it is open give -1.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <random>

using namespace reader_test;

namespace {

struct layout_case {
    const char *name;
    file_spec file;
    int64_t records;
};

file_spec make_file(bool bdf, const std::string &reserved, std::vector<signal_spec> signals) {
    file_spec f;
    f.bdf = bdf;
    f.reserved = reserved;
    f.signals = std::move(signals);
    return f;
}

std::vector<layout_case> layouts() {
    const int e0 = -32768, e1 = 32767, b0 = -8388608, b1 = 8388607;
    return {
        // Runs close together: whole stretches of records in one read.
        {"EDF+, annotations last",
         make_file(false, "EDF+C",
                   {{"A", 7, e0, e1}, {"B", 3, -100, 100}, annotation_signal_spec(false)}),
         9},
        // A run larger than the read buffer, and a one-sample signal beside it.
        {"BDF+, annotations first, large run",
         make_file(true, "BDF+C",
                   {annotation_signal_spec(true),
                    {"A", 100000, b0, b1},
                    {"B", 1, -5, 5},
                    {"C", 13, b0, b1}}),
         3},
        // Plain EDF: runs far apart, read one by one.
        {"EDF, wide gaps",
         make_file(false, "", {{"A", 4, e0, e1}, {"B", 5000, e0, e1}, {"C", 2, -1000, 1000}}), 5},
        // Many tiny records, annotations in the middle.
        {"EDF+, annotations in the middle, tiny records",
         make_file(false, "EDF+C",
                   {{"A", 1, e0, e1}, annotation_signal_spec(false), {"B", 2, e0, e1}}),
         3000},
    };
}

// The per-signal read of `count` samples of signal s from `from`, restoring its position.
template <typename T> std::vector<T> per_signal(int handle, int s, int64_t from, int64_t count) {
    std::vector<T> v(static_cast<size_t>(count));
    if (count == 0) {
        return v;
    }
    const int64_t kept = edftell(handle, s);
    EXPECT_EQ(edfseek(handle, s, from, EDFSEEK_SET), from);
    int got;
    if constexpr (std::is_same_v<T, int>) {
        got = edfread_digital_samples(handle, s, static_cast<int>(count), v.data());
    } else {
        got = edfread_physical_samples(handle, s, static_cast<int>(count), v.data());
    }
    EXPECT_EQ(got, count);
    edfseek(handle, s, kept, EDFSEEK_SET);
    return v;
}

template <typename T>
void check_records(int handle, const edf_header_info &hdr, const std::vector<int> &signals,
                   int64_t first, int count) {
    const int64_t records = hdr.datarecord_count;
    const int64_t expected = std::max<int64_t>(0, std::min<int64_t>(count, records - first));
    std::vector<std::vector<T>> out;
    std::vector<T *> bufs;
    for (int s : signals) {
        // One spare value after the samples asked for, which must stay untouched.
        out.emplace_back(static_cast<size_t>(hdr.signals[s].samples_per_record * count + 1), T(-7));
    }
    for (auto &v : out) {
        bufs.push_back(v.data());
    }
    int got;
    const int n = static_cast<int>(signals.size());
    if constexpr (std::is_same_v<T, int>) {
        got = edfread_digital_records(handle, first, count, n, signals.data(), bufs.data());
    } else {
        got = edfread_physical_records(handle, first, count, n, signals.data(), bufs.data());
    }
    ASSERT_EQ(got, expected);
    for (size_t i = 0; i < signals.size(); i++) {
        const int s = signals[i];
        const int64_t spr = hdr.signals[s].samples_per_record;
        const auto want = per_signal<T>(handle, s, first * spr, expected * spr);
        for (size_t k = 0; k < want.size(); k++) {
            ASSERT_EQ(out[i][k], want[k]) << "signal " << s << " sample " << k;
        }
        EXPECT_EQ(out[i][want.size()], T(-7)) << "signal " << s;
    }
}

TEST(RecordReading, SameSamplesAsPerSignalReads) {
    for (const layout_case &c : layouts()) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        std::mt19937 random(7);
        const std::string path = dir.file("r.edf");
        write_bytes(path, random_file(c.file, c.records, random));
        auto hdr = new_header();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        const int h = hdr->handle;
        const int ns = hdr->ordinary_signal_count;
        std::vector<int> all, reversed;
        for (int s = 0; s < ns; s++) {
            all.push_back(s);
            reversed.insert(reversed.begin(), s);
            edfseek(h, s, s + 1, EDFSEEK_SET); // positions that the record reads must keep
        }
        const std::vector<std::vector<int>> lists = {all, reversed, {ns - 1}, {0, 0}};
        const int64_t n = c.records;
        const std::vector<std::pair<int64_t, int>> ranges = {
            {0, static_cast<int>(n)}, {1, 2}, {n - 1, 5}, {n, 1}, {n + 3, 1}, {0, 0}};
        for (const auto &signals : lists) {
            for (const auto &[first, count] : ranges) {
                SCOPED_TRACE(testing::Message() << "first " << first << " count " << count
                                                << " signals " << signals.size());
                check_records<int>(h, *hdr, signals, first, count);
                check_records<double>(h, *hdr, signals, first, count);
            }
        }
        for (int s = 0; s < ns; s++) {
            EXPECT_EQ(edftell(h, s), s + 1);
        }
        edfclose_file(h);
    }
}

TEST(RecordReading, RefusedArgumentsReadNothing) {
    temp_dir dir;
    std::mt19937 random(8);
    const layout_case c = layouts()[0];
    const std::string path = dir.file("r.edf");
    write_bytes(path, random_file(c.file, c.records, random));
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
    const int h = hdr->handle;
    const int writer = edfopen_file_writeonly(dir.file("w.edf").c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(writer, 0);
    std::vector<int> a(100, -7), b(100, -7);
    int *bufs[] = {a.data(), b.data()};
    int *null_buf[] = {a.data(), nullptr};
    const int ok[] = {0, 1};
    const int bad_high[] = {0, 2};
    const int bad_low[] = {-1, 0};
    struct refused {
        const char *what;
        int handle;
        int64_t first;
        int count;
        int signal_count;
        const int *signals;
        int *const *bufs;
    };
    for (const refused &r :
         std::vector<refused>{{"closed handle", 5, 0, 1, 2, ok, bufs},
                              {"handle out of range", -1, 0, 1, 2, ok, bufs},
                              {"writer handle", writer, 0, 1, 2, ok, bufs},
                              {"negative first record", h, -1, 1, 2, ok, bufs},
                              {"negative record count", h, 0, -1, 2, ok, bufs},
                              {"no signal", h, 0, 1, 0, ok, bufs},
                              {"null signal list", h, 0, 1, 2, nullptr, bufs},
                              {"null buffer list", h, 0, 1, 2, ok, nullptr},
                              {"null buffer", h, 0, 1, 2, ok, null_buf},
                              {"signal past the last", h, 0, 1, 2, bad_high, bufs},
                              {"negative signal", h, 0, 1, 2, bad_low, bufs}}) {
        EXPECT_EQ(
            edfread_digital_records(r.handle, r.first, r.count, r.signal_count, r.signals, r.bufs),
            -1)
            << r.what;
        EXPECT_EQ(a[0], -7) << r.what;
    }
    double p[100];
    double *pbufs[] = {p};
    EXPECT_EQ(edfread_physical_records(writer, 0, 1, 1, ok, pbufs), -1);
    edfclose_file(writer);
    edfclose_file(h);
}

TEST(RecordReading, FileShortenedWhileOpen) {
    for (const layout_case &c : layouts()) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        std::mt19937 random(9);
        const std::string path = dir.file("r.edf");
        const std::string bytes = random_file(c.file, c.records, random);
        write_bytes(path, bytes);
        auto hdr = new_header();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        const int h = hdr->handle;
        const int64_t header = 256 * static_cast<int64_t>(c.file.signals.size() + 1);
        const int64_t record_size = (static_cast<int64_t>(bytes.size()) - header) / c.records;
        // Keep one byte of the last record: every signal misses samples there.
        const int64_t cut = header + (c.records - 1) * record_size + 1;
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(cut));
        std::vector<int> all;
        std::vector<std::vector<int>> out;
        std::vector<int *> bufs;
        for (int s = 0; s < hdr->ordinary_signal_count; s++) {
            all.push_back(s);
            out.emplace_back(static_cast<size_t>(hdr->signals[s].samples_in_file));
        }
        for (auto &v : out) {
            bufs.push_back(v.data());
        }
        const int n = static_cast<int>(c.records);
        const int ns = static_cast<int>(all.size());
        EXPECT_EQ(edfread_digital_records(h, 0, n, ns, all.data(), bufs.data()), -1);
        EXPECT_EQ(edfread_digital_records(h, n - 1, 1, ns, all.data(), bufs.data()), -1);
        EXPECT_EQ(edfread_digital_records(h, 0, n - 1, ns, all.data(), bufs.data()), n - 1);
        edfclose_file(h);
    }
}

} // namespace
