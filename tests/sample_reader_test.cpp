// Sample reading and positioning: values and positions compared with a model that decodes the
// file's bytes directly, the boundaries of a signal, clamping, and files that shrink while
// they are open.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <tuple>

using namespace reader_test;

namespace {

// The model: every sample of every signal decoded straight from the file's bytes.
struct model {
    std::vector<std::vector<int>> values; // per ordinary signal, clamped
};

model decode_file(const file_spec &f, const std::string &bytes, int64_t records) {
    const int bps = f.bdf ? 3 : 2;
    const size_t header = 256 * (f.signals.size() + 1);
    int record_size = 0;
    for (const auto &s : f.signals) {
        record_size += s.samples_per_record * bps;
    }
    model m;
    int offset = 0;
    for (const auto &s : f.signals) {
        const bool annotation = s.label == "EDF Annotations" || s.label == "BDF Annotations";
        if (!annotation) {
            std::vector<int> v;
            for (int64_t r = 0; r < records; r++) {
                for (int i = 0; i < s.samples_per_record; i++) {
                    const size_t at =
                        header + static_cast<size_t>(r * record_size + offset + i * bps);
                    const auto *b = reinterpret_cast<const unsigned char *>(bytes.data() + at);
                    int d = bps == 2 ? static_cast<int16_t>(b[0] | b[1] << 8)
                                     : ((b[0] | b[1] << 8 | b[2] << 16) ^ 0x800000) - 0x800000;
                    d = std::min(std::max(d, s.digital_min), s.digital_max);
                    v.push_back(d);
                }
            }
            m.values.push_back(v);
        }
        offset += s.samples_per_record * bps;
    }
    return m;
}

struct open_file {
    int handle;
    std::unique_ptr<edf_header_info> hdr;
};

open_file open_written(const std::string &path, const std::string &bytes) {
    write_bytes(path, bytes);
    auto hdr = new_header();
    const int result = edfopen_file_readonly(path.c_str(), hdr.get(), 2);
    EXPECT_EQ(result, 0) << "filetype " << hdr->filetype;
    return {hdr->handle, std::move(hdr)};
}

double physical(const edf_signal_info &s, int d) {
    const double bit_value =
        (s.physical_max - s.physical_min) / static_cast<double>(s.digital_max - s.digital_min);
    const double offset = s.physical_max / bit_value - s.digital_max;
    return (static_cast<double>(d) + offset) * bit_value;
}

// Random seeks and reads of every signal, interleaved, checked against the model.
void check_random_reads(const file_spec &f, int64_t records, int rounds) {
    std::mt19937 random(1234);
    temp_dir dir;
    const std::string bytes = random_file(f, records, random);
    const model m = decode_file(f, bytes, records);
    open_file file = open_written(dir.file("r.edf"), bytes);
    ASSERT_GE(file.handle, 0);
    const int signals = file.hdr->ordinary_signal_count;
    ASSERT_EQ(static_cast<size_t>(signals), m.values.size());
    std::vector<int> digital;
    std::vector<double> values;
    for (int round = 0; round < rounds; round++) {
        const int s = static_cast<int>(random() % static_cast<unsigned>(signals));
        const auto &expected = m.values[static_cast<size_t>(s)];
        const int64_t total = static_cast<int64_t>(expected.size());
        const int64_t start = static_cast<int64_t>(random() % static_cast<unsigned>(total + 1));
        const int n = static_cast<int>(random() % 3 == 0 ? random() % 100000 : random() % 300);
        ASSERT_EQ(edfseek(file.handle, s, start, EDFSEEK_SET), start);
        const int expected_n = static_cast<int>(std::min<int64_t>(n, total - start));
        const bool as_physical = round % 2 == 1;
        int got;
        if (as_physical) {
            values.assign(static_cast<size_t>(n) + 1, -1.0);
            got = edfread_physical_samples(file.handle, s, n, values.data());
        } else {
            digital.assign(static_cast<size_t>(n) + 1, -1);
            got = edfread_digital_samples(file.handle, s, n, digital.data());
        }
        ASSERT_EQ(got, expected_n) << "signal " << s << " at " << start << " n " << n;
        for (int i = 0; i < got; i++) {
            const int d = expected[static_cast<size_t>(start + i)];
            if (as_physical) {
                ASSERT_EQ(values[static_cast<size_t>(i)], physical(file.hdr->signals[s], d));
            } else {
                ASSERT_EQ(digital[static_cast<size_t>(i)], d) << "sample " << start + i;
            }
        }
        ASSERT_EQ(edftell(file.handle, s), start + expected_n);
    }
    edfclose_file(file.handle);
}

} // namespace

TEST(SampleReading, MatchesTheBytesForEveryLayout) {
    {
        SCOPED_TRACE("EDF+, runs of different lengths, annotations in the middle");
        file_spec f;
        f.signals = {{"A", 7, -32768, 32767},
                     {"B", 1, -30000, 30000},
                     annotation_signal_spec(false),
                     {"C", 300, -100, 100, "-1", "1"}};
        check_random_reads(f, 50, 400);
    }
    {
        SCOPED_TRACE("BDF+, a run longer than any read buffer, large gaps");
        file_spec f;
        f.bdf = true;
        f.reserved = "BDF+C";
        f.signals = {annotation_signal_spec(true),
                     {"A", 20000, -8388608, 8388607},
                     {"B", 3, -1000, 1000, "0", "3.3", "V"},
                     {"C", 9000, -8000000, 8000000}};
        check_random_reads(f, 12, 200);
    }
    {
        SCOPED_TRACE("plain EDF, records of one sample");
        file_spec f;
        f.reserved = "";
        f.signals = {{"A", 1, -32768, 32767}};
        check_random_reads(f, 30000, 200);
    }
    {
        SCOPED_TRACE("plain BDF, two tiny signals");
        file_spec f;
        f.bdf = true;
        f.reserved = "";
        f.signals = {{"A", 1, -8388608, 8388607}, {"B", 2, -5, 5}};
        check_random_reads(f, 20000, 200);
    }
}

// Signals read in turn over the same records: a viewer's screens (a stretch of every signal,
// screen after screen, forward, back and across record boundaries) and small steps of each
// signal in turn, with reads of one signal alone in between.
TEST(SampleReading, SignalsReadInTurn) {
    for (const bool bdf : {false, true}) {
        SCOPED_TRACE(bdf ? "BDF+" : "EDF+");
        file_spec f;
        f.bdf = bdf;
        f.reserved = bdf ? "BDF+C" : "EDF+C";
        const int range = bdf ? 8388607 : 32767;
        f.signals = {{"A", 256, -range - 1, range},
                     {"B", 100, -100, 100},
                     annotation_signal_spec(bdf),
                     {"C", 7, -range - 1, range}};
        constexpr int64_t records = 300;
        std::mt19937 random(9);
        const std::string bytes = random_file(f, records, random);
        const model m = decode_file(f, bytes, records);
        temp_dir dir;
        open_file file = open_written(dir.file("t.edf"), bytes);
        const int spr[] = {256, 100, 7};
        std::vector<int> d;
        // (start, length) in records, each read of every signal in turn.
        const std::pair<double, double> screens[] = {
            {0, 10},   {10, 10},    {20, 10}, {5.5, 10}, {290, 10}, {100.25, 30},
            {95, 0.5}, {95.5, 0.5}, {96, 2},  {0, 300},  {150, 1},  {150, 1}};
        for (int round = 0; round < 2; round++) {
            for (const auto &[start, length] : screens) {
                for (int s = 0; s < 3; s++) {
                    const auto p = static_cast<int64_t>(start * spr[s]);
                    const auto n = static_cast<int>(length * spr[s]);
                    d.assign(static_cast<size_t>(n), -1);
                    ASSERT_EQ(edfseek(file.handle, s, p, EDFSEEK_SET), p);
                    ASSERT_EQ(edfread_digital_samples(file.handle, s, n, d.data()), n);
                    const auto &expected = m.values[static_cast<size_t>(s)];
                    ASSERT_TRUE(std::equal(d.begin(), d.end(), expected.begin() + p))
                        << "signal " << s << " at " << p << " n " << n;
                }
            }
            // Small steps of every signal in turn, then of signal 1 alone.
            for (int s = 0; s < 3; s++) {
                edfrewind(file.handle, s);
            }
            for (int step = 0; step < 600; step++) {
                const int s = step < 450 ? step % 3 : 1;
                const int n = 1 + step % 97;
                const int64_t p = edftell(file.handle, s);
                const auto &expected = m.values[static_cast<size_t>(s)];
                const int left = static_cast<int>(
                    std::min<int64_t>(n, static_cast<int64_t>(expected.size()) - p));
                d.assign(static_cast<size_t>(n), -1);
                ASSERT_EQ(edfread_digital_samples(file.handle, s, n, d.data()), left);
                ASSERT_TRUE(std::equal(d.begin(), d.begin() + left, expected.begin() + p))
                    << "signal " << s << " at " << p << " n " << n;
            }
        }
        edfclose_file(file.handle);
    }
}

// A recording being written by another program, opened tolerantly (its count still "-1"): the
// records that it had at the open read the same after it grew, and the signals end there.
TEST(SampleReading, FileGrowingWhileOpen) {
    file_spec f;
    f.reserved = "";
    f.signals = {{"A", 50, -32768, 32767}, {"B", 3, -32768, 32767}};
    std::mt19937 random(5);
    const std::string bytes = random_file(f, 40, random);
    const model m = decode_file(f, bytes, 40);
    const size_t record_bytes = 53 * 2;
    const size_t header = 256 * 3;
    temp_dir dir;
    const std::string path = dir.file("growing.edf");
    write_bytes(path, bytes.substr(0, header + 20 * record_bytes));
    patch_bytes(path, 236, "-1      ");
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_NO_ANNOTATIONS), 0);
    ASSERT_EQ(hdr->datarecord_count, 20);
    int d[200];
    ASSERT_EQ(edfread_digital_samples(hdr->handle, 0, 100, d), 100);
    ASSERT_EQ(edfread_digital_samples(hdr->handle, 1, 6, d), 6);
    {
        FILE *out = std::fopen(path.c_str(), "ab");
        ASSERT_NE(out, nullptr);
        const std::string more = bytes.substr(header + 20 * record_bytes);
        ASSERT_EQ(std::fwrite(more.data(), 1, more.size(), out), more.size());
        std::fclose(out);
    }
    for (int s = 0; s < 2; s++) {
        const int total = s == 0 ? 1000 : 60;
        ASSERT_EQ(edfseek(hdr->handle, s, 0, EDFSEEK_SET), 0);
        std::vector<int> all(static_cast<size_t>(total) + 10, -1);
        ASSERT_EQ(edfread_digital_samples(hdr->handle, s, total + 10, all.data()), total);
        EXPECT_TRUE(
            std::equal(all.begin(), all.begin() + total, m.values[static_cast<size_t>(s)].begin()));
        EXPECT_EQ(edfread_digital_samples(hdr->handle, s, 10, d), 0);
    }
    edfclose_file(hdr->handle);
}

TEST(SampleReading, DecodingAndClamping) {
    temp_dir dir;
    {
        file_spec f;
        f.reserved = "";
        f.signals = {{"A", 4, -32768, 32767, "-400", "400"}, {"B", 2, -30000, 30000}};
        const std::string bytes = header_bytes(f, 1) + sample16(-1) + sample16(32767) +
                                  sample16(-32768) + sample16(0) + sample16(32000) +
                                  sample16(-32000);
        open_file file = open_written(dir.file("e.edf"), bytes);
        int d[4];
        ASSERT_EQ(edfread_digital_samples(file.handle, 0, 4, d), 4);
        EXPECT_EQ(d[0], -1); // 0xFF 0xFF
        EXPECT_EQ(d[1], 32767);
        EXPECT_EQ(d[2], -32768);
        ASSERT_EQ(edfread_digital_samples(file.handle, 1, 2, d), 2);
        EXPECT_EQ(d[0], 30000); // outside the digital range: clamped
        EXPECT_EQ(d[1], -30000);
        double p[4];
        ASSERT_EQ(edfseek(file.handle, 0, 1, EDFSEEK_SET), 1);
        ASSERT_EQ(edfread_physical_samples(file.handle, 0, 3, p), 3);
        EXPECT_EQ(p[0], 400.0);
        EXPECT_EQ(p[1], -400.0);
        EXPECT_NEAR(p[2], 0.5 * 800.0 / 65535.0, 1e-12);
        ASSERT_EQ(edfrewind(file.handle, 1), 0);
        ASSERT_EQ(edfread_physical_samples(file.handle, 1, 2, p), 2);
        EXPECT_DOUBLE_EQ(p[0], 100.0); // the physical maximum
        EXPECT_DOUBLE_EQ(p[1], -100.0);
        edfclose_file(file.handle);
    }
    {
        file_spec f;
        f.bdf = true;
        f.reserved = "";
        f.signals = {{"A", 3, -8388608, 8388607}};
        const std::string bytes =
            header_bytes(f, 1) + "\xff\xff\x7f" + std::string("\0\0\x80", 3) + "\xff\xff\xff";
        open_file file = open_written(dir.file("b.bdf"), bytes);
        int d[3];
        ASSERT_EQ(edfread_digital_samples(file.handle, 0, 3, d), 3);
        EXPECT_EQ(d[0], 8388607);
        EXPECT_EQ(d[1], -8388608);
        EXPECT_EQ(d[2], -1);
        edfclose_file(file.handle);
    }
}

TEST(SamplePositioning, SeekTellRewindStayWithinTheSignal) {
    temp_dir dir;
    file_spec f;
    f.signals = {{"A", 10, -100, 100}, annotation_signal_spec(false), {"B", 3, -100, 100}};
    std::mt19937 random(7);
    open_file file = open_written(dir.file("s.edf"), random_file(f, 4, random));
    const int h = file.handle;
    EXPECT_EQ(edftell(h, 0), 0);
    EXPECT_EQ(edfseek(h, 0, 0, EDFSEEK_END), 40);
    EXPECT_EQ(edfseek(h, 0, -5, EDFSEEK_SET), 0);
    EXPECT_EQ(edfseek(h, 0, 17, EDFSEEK_SET), 17);
    EXPECT_EQ(edfseek(h, 0, 100, EDFSEEK_CUR), 40);
    EXPECT_EQ(edfseek(h, 0, -3, EDFSEEK_END), 37);
    EXPECT_EQ(edfseek(h, 0, -30, EDFSEEK_CUR), 7);
    EXPECT_EQ(edfseek(h, 0, 5, 3), 7); // unknown origin: unchanged
    EXPECT_EQ(edftell(h, 1), 0);       // positions are per signal
    EXPECT_EQ(edfseek(h, 1, 5, EDFSEEK_SET), 5);
    EXPECT_EQ(edftell(h, 0), 7);
    // Sums beyond the 64-bit range saturate instead of wrapping around.
    EXPECT_EQ(edfseek(h, 0, INT64_MAX, EDFSEEK_CUR), 40);
    EXPECT_EQ(edfseek(h, 0, INT64_MAX, EDFSEEK_END), 40);
    EXPECT_EQ(edfseek(h, 0, INT64_MIN, EDFSEEK_CUR), 0);
    EXPECT_EQ(edfseek(h, 0, INT64_MIN, EDFSEEK_END), 0);
    EXPECT_EQ(edfseek(h, 0, INT64_MAX, EDFSEEK_SET), 40);
    EXPECT_EQ(edfrewind(h, 0), 0);
    EXPECT_EQ(edftell(h, 0), 0);

    // Reading up to and past the end.
    int d[16];
    ASSERT_EQ(edfseek(h, 1, 8, EDFSEEK_SET), 8);
    EXPECT_EQ(edfread_digital_samples(h, 1, 16, d), 4);
    EXPECT_EQ(edftell(h, 1), 12);
    EXPECT_EQ(edfread_digital_samples(h, 1, 16, d), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, 0, d), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, -1, d), -1);
    EXPECT_EQ(edfread_physical_samples(h, 1, -1, nullptr), -1);
    ASSERT_EQ(edfrewind(h, 1), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, 0, nullptr), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, 1, nullptr), -1);
    EXPECT_EQ(edftell(h, 1), 0);
    edfclose_file(h);
}

TEST(SamplePositioning, RefusesBadHandlesSignalsAndWriteHandles) {
    temp_dir dir;
    file_spec f;
    f.signals = {{"A", 10, -100, 100}, annotation_signal_spec(false)};
    std::mt19937 random(7);
    open_file file = open_written(dir.file("s.edf"), random_file(f, 2, random));
    const std::string written = dir.file("w.edf");
    const int writer = edfopen_file_writeonly(written.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(writer, 0);
    int d[1];
    double p[1];
    for (const auto &[handle, signal] : std::vector<std::pair<int, int>>{
             {file.handle, 1}, {file.handle, -1}, {writer, 0}, {-1, 0}, {64, 0}, {63, 0}}) {
        EXPECT_EQ(edfseek(handle, signal, 0, EDFSEEK_SET), -1);
        EXPECT_EQ(edftell(handle, signal), -1);
        EXPECT_EQ(edfrewind(handle, signal), -1);
        EXPECT_EQ(edfread_digital_samples(handle, signal, 1, d), -1);
        EXPECT_EQ(edfread_physical_samples(handle, signal, 1, p), -1);
    }
    edfclose_file(writer);
    const int closed = file.handle;
    edfclose_file(closed);
    EXPECT_EQ(edftell(closed, 0), -1);
}

TEST(SampleReading, FileShortenedWhileOpen) {
    // Runs read together (small gaps) and runs sought to (large gaps), in EDF+ and BDF+; and
    // the same with the file read ahead before the cut, so that the small reads below find
    // their samples in memory: those hand out the samples as they were read ahead.
    const std::tuple<bool, int, bool> cases[] = {
        {false, 2, false}, {false, 5000, false}, {true, 2, false}, {true, 5000, false},
        {false, 2, true},  {false, 5000, true},  {true, 2, true},  {true, 5000, true}};
    for (const auto &[bdf, other, read_ahead] : cases) {
        SCOPED_TRACE(testing::Message()
                     << "bdf " << bdf << " other " << other << " read ahead " << read_ahead);
        temp_dir dir;
        file_spec f;
        f.bdf = bdf;
        f.reserved = bdf ? "BDF+C" : "EDF+C";
        f.signals = {{"A", 4, bdf ? -8388608 : -32768, bdf ? 8388607 : 32767},
                     {"B", other, -100, 100},
                     annotation_signal_spec(bdf)};
        std::mt19937 random(3);
        const std::string bytes = random_file(f, 6, random);
        const model m = decode_file(f, bytes, 6);
        const std::string path = dir.file("t.edf");
        open_file file = open_written(path, bytes);
        const int bytes_per_sample = bdf ? 3 : 2;
        const int record_size = (4 + other) * bytes_per_sample + 120;
        int d[24];
        if (read_ahead) {
            // One small read each fills the windows from sample 0 on, past record 4.
            ASSERT_EQ(edfread_digital_samples(file.handle, 0, 1, d), 1);
            ASSERT_EQ(edfread_digital_samples(file.handle, 1, 1, d), 1);
        }
        // Cut record 4 in the middle of its second sample of signal A.
        std::filesystem::resize_file(path, 256 * 4 + 4 * record_size + bytes_per_sample + 1);

        // What is left before the cut reads as before.
        ASSERT_EQ(edfrewind(file.handle, 0), 0);
        ASSERT_EQ(edfread_digital_samples(file.handle, 0, 6, d), 6);
        for (int i = 0; i < 6; i++) {
            EXPECT_EQ(d[i], m.values[0][static_cast<size_t>(i)]) << i;
        }
        std::fill(std::begin(d), std::end(d), 12345);
        if (read_ahead) {
            // Served from memory: every sample as it was when read ahead.
            EXPECT_EQ(edfread_digital_samples(file.handle, 0, 18, d), 18);
            for (int i = 0; i < 18; i++) {
                EXPECT_EQ(d[i], m.values[0][static_cast<size_t>(6 + i)]) << i;
            }
            std::vector<int> b(static_cast<size_t>(other) * 6);
            ASSERT_EQ(edfseek(file.handle, 1, 0, EDFSEEK_SET), 0);
            ASSERT_EQ(edfread_digital_samples(file.handle, 1, 6 * other, b.data()), 6 * other);
            EXPECT_TRUE(std::equal(b.begin(), b.end(), m.values[1].begin()));
            edfclose_file(file.handle);
            continue;
        }
        EXPECT_EQ(edfread_digital_samples(file.handle, 0, 12, d), -1);
        EXPECT_EQ(edftell(file.handle, 0), 6); // unchanged
        // The samples before the missing one were stored, nothing after them.
        for (int i = 0; i < 11; i++) {
            EXPECT_EQ(d[i], m.values[0][static_cast<size_t>(6 + i)]) << i;
        }
        EXPECT_EQ(d[11], 12345);
        double p[4];
        ASSERT_EQ(edfseek(file.handle, 0, 17, EDFSEEK_SET), 17);
        EXPECT_EQ(edfread_physical_samples(file.handle, 0, 1, p), -1);
        EXPECT_EQ(edftell(file.handle, 0), 17);
        // What is still there reads as before.
        ASSERT_EQ(edfseek(file.handle, 0, 16, EDFSEEK_SET), 16);
        EXPECT_EQ(edfread_digital_samples(file.handle, 0, 1, d), 1);
        EXPECT_EQ(d[0], m.values[0][16]);
        std::vector<int> b(static_cast<size_t>(other) * 2);
        ASSERT_EQ(edfseek(file.handle, 1, 3 * other, EDFSEEK_SET), 3 * other);
        EXPECT_EQ(edfread_digital_samples(file.handle, 1, other + 1, b.data()), -1);
        EXPECT_EQ(edfread_digital_samples(file.handle, 1, other, b.data()), other);
        edfclose_file(file.handle);
    }
}

TEST(SampleReading, FileShortenedDuringSmallReads) {
    // A streaming pattern: a few samples per call, served from memory read ahead before the
    // cut and from the file after it. The reads go on until the first one that needs a sample
    // that is gone, which gives -1.
    temp_dir dir;
    file_spec f;
    f.reserved = "";
    f.signals = {{"A", 100, -32768, 32767}};
    std::mt19937 random(4);
    const std::string bytes = random_file(f, 10000, random);
    const model m = decode_file(f, bytes, 10000);
    const std::string path = dir.file("t.edf");
    open_file file = open_written(path, bytes);
    int d[10];
    ASSERT_EQ(edfread_digital_samples(file.handle, 0, 10, d), 10);
    std::filesystem::resize_file(path, 512 + 5000 * 200 + 1); // records 5000 on are gone
    int64_t p = 10;
    int n;
    while ((n = edfread_digital_samples(file.handle, 0, 10, d)) == 10) {
        for (int i = 0; i < 10; i++) {
            ASSERT_EQ(d[i], m.values[0][static_cast<size_t>(p + i)]) << p + i;
        }
        p += 10;
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(p, 500000);
    EXPECT_EQ(edftell(file.handle, 0), 500000);
    edfclose_file(file.handle);
}
