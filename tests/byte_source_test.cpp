// Opening from memory and from a caller's callbacks: the same recording as the path open gives
// (header, samples, annotations, problems, the check's list); what a remote viewer costs in
// calls and bytes; and sources that fail, or end early, at every point.
#include "reader_test_files.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

using namespace reader_test;

// An EDF+ (or BDF+) file: `ordinary` signals of `samples` samples per record with random bytes,
// and an annotation signal holding each record's time-keeping TAL and one annotation.
std::string annotated_file(int ordinary, int samples, int64_t records, bool bdf = false,
                           unsigned seed = 1) {
    file_spec f;
    f.bdf = bdf;
    f.reserved = bdf ? "BDF+C" : "EDF+C";
    for (int s = 0; s < ordinary; s++) {
        f.signals.push_back(
            {"S" + std::to_string(s), samples, bdf ? -8388608 : -32768, bdf ? 8388607 : 32767});
    }
    f.signals.push_back(annotation_signal_spec(bdf, bdf ? 40 : 60));
    std::mt19937 random(seed);
    const int bps = bdf ? 3 : 2;
    std::string bytes = header_bytes(f, records);
    bytes.reserve(bytes.size() + static_cast<size_t>(records) *
                                     static_cast<size_t>(ordinary * samples * bps + 120));
    for (int64_t r = 0; r < records; r++) {
        for (int i = 0; i < ordinary * samples * bps; i++) {
            bytes += static_cast<char>(random() & 0xff);
        }
        const std::string t = std::to_string(r);
        bytes += tal_bytes(timekeeping(t) + "+" + t + ".5\x14note " + t + "\x14" + '\0', 120);
    }
    return bytes;
}

// Callbacks over bytes in memory that count what they are asked, and can fail or fall short
// at one call.
struct counted {
    std::string bytes;
    bool size_known = true;
    int64_t fail_at = -1;  // the call (from 1) that returns -1
    int64_t short_at = -1; // the call that returns half of what it could
    int64_t calls = 0;
    int64_t bytes_read = 0;
    int releases = 0;

    static int64_t read_at(void *user, void *buffer, int64_t n, int64_t offset) {
        auto &c = *static_cast<counted *>(user);
        c.calls++;
        if (c.calls == c.fail_at) {
            return -1;
        }
        const int64_t size = static_cast<int64_t>(c.bytes.size());
        int64_t got = offset >= size ? 0 : std::min(n, size - offset);
        if (c.calls == c.short_at) {
            got /= 2;
        }
        std::memcpy(buffer, c.bytes.data() + std::min(offset, size), static_cast<size_t>(got));
        c.bytes_read += got;
        return got;
    }
    static int64_t size(void *user) {
        auto &c = *static_cast<counted *>(user);
        return c.size_known ? static_cast<int64_t>(c.bytes.size()) : -1;
    }
    static void release(void *user) {
        static_cast<counted *>(user)->releases++;
    }
    edf_source source() {
        return {read_at, size, release, this};
    }
};

// Everything that a reader can be asked about an open handle, as text and numbers.
struct reading {
    int result = 0;
    int code = 0;
    edf_header_info header{};
    std::vector<std::vector<int>> samples;
    std::vector<std::string> annotations;
    std::vector<std::string> problems;

    bool operator==(const reading &o) const {
        return result == o.result && code == o.code &&
               std::memcmp(&header, &o.header, sizeof header) == 0 && samples == o.samples &&
               annotations == o.annotations && problems == o.problems;
    }
};

std::string problem_text(const edf_problem &p) {
    return std::to_string(p.code) + "/" + std::to_string(p.action) + "/" +
           std::to_string(p.offset) + "/" + p.field + "/" + p.message;
}

// Opens through `open` and reads everything (the handle is closed again).
std::unique_ptr<reading> read_all(const std::function<int(edf_header_info *)> &open) {
    auto out = std::make_unique<reading>();
    out->result = open(&out->header);
    out->code = out->header.filetype;
    const int handle = out->header.handle;
    if (out->result != 0) {
        return out;
    }
    for (int s = 0; s < out->header.ordinary_signal_count; s++) {
        std::vector<int> values(static_cast<size_t>(out->header.signals[s].samples_in_file));
        const int n =
            edfread_digital_samples(handle, s, static_cast<int>(values.size()), values.data());
        values.resize(n > 0 ? static_cast<size_t>(n) : 0);
        out->samples.push_back(values);
    }
    for (int n = 0;; n++) {
        edf_annotation a;
        if (edf_get_annotation(handle, n, &a) != 0) {
            break;
        }
        out->annotations.push_back(std::to_string(a.onset) + " " + a.annotation);
    }
    for (int n = 0; n < edf_get_problem_count(handle); n++) {
        edf_problem p;
        edf_get_problem(handle, n, &p);
        out->problems.push_back(problem_text(p));
    }
    edfclose_file(handle);
    out->header.handle = 0;
    return out;
}

TEST(ByteSource, MemoryAndCallbacksReadAsThePathDoes) {
    close_all_handles guard;
    temp_dir dir;
    const std::string good = annotated_file(3, 50, 6);
    std::string wrong_count = good;
    wrong_count.replace(236, 8, pad("9", 8)); // the record count
    std::string junk_reserved = good;
    junk_reserved.replace(192 + 5, 3, "x?!");
    std::string bad_tal = good;
    bad_tal[static_cast<size_t>(1280 + 2 * (3 * 50 * 2 + 120) + 3 * 50 * 2 + 1)] = 'x';
    const struct {
        const char *name;
        std::string bytes;
    } files[] = {
        {"good", good},
        {"bdf", annotated_file(2, 30, 4, true)},
        {"plain",
         [] {
             file_spec f;
             f.reserved = "";
             f.signals = {{"A", 20, -32768, 32767}, {"B", 7, -100, 100}};
             std::mt19937 random(3);
             return random_file(f, 5, random);
         }()},
        {"wrong count", wrong_count},
        {"junk reserved", junk_reserved},
        {"bad tal", bad_tal},
        {"cut short", good.substr(0, good.size() - 100)},
        {"header only part", good.substr(0, 300)},
    };
    for (const auto &f : files) {
        const std::string path = dir.file("f.edf");
        write_bytes(path, f.bytes);
        for (int mode = EDF_READ_NO_ANNOTATIONS; mode <= EDF_READ_ALL_ANNOTATIONS; mode++) {
            for (const int flags : {0, EDF_OPEN_TOLERANT, EDF_OPEN_EXACT_READS,
                                    EDF_OPEN_TOLERANT | EDF_OPEN_EXACT_READS}) {
                SCOPED_TRACE(std::string(f.name) + " mode " + std::to_string(mode) + " flags " +
                             std::to_string(flags));
                const auto by_path = read_all([&](edf_header_info *h) {
                    return (flags & EDF_OPEN_TOLERANT) != 0
                               ? edfopen_file_readonly_tolerant(path.c_str(), h, mode)
                               : edfopen_file_readonly(path.c_str(), h, mode);
                });
                const auto in_memory = read_all([&](edf_header_info *h) {
                    return edfopen_memory_readonly(
                        f.bytes.data(), static_cast<int64_t>(f.bytes.size()), h, mode, flags);
                });
                counted c{f.bytes};
                const auto by_callbacks = read_all([&](edf_header_info *h) {
                    const edf_source s = c.source();
                    return edfopen_source_readonly(&s, "remote.edf", h, mode, flags);
                });
                EXPECT_TRUE(*in_memory == *by_path);
                EXPECT_TRUE(*by_callbacks == *by_path);
                EXPECT_EQ(c.releases, 1);
            }
        }
        // The check of a source lists what the check of the file lists.
        edf_problem from_file[64];
        edf_problem from_source[64];
        counted c{f.bytes};
        const edf_source s = c.source();
        const int n = edf_check_file(path.c_str(), from_file, 64);
        ASSERT_EQ(edf_check_source(&s, from_source, 64), n) << f.name;
        EXPECT_EQ(c.releases, 1);
        for (int i = 0; i < n && i < 64; i++) {
            EXPECT_EQ(problem_text(from_source[i]), problem_text(from_file[i])) << f.name;
        }
    }
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}

TEST(ByteSource, ArgumentsAndReleaseOnEveryFailure) {
    close_all_handles guard;
    const std::string good = annotated_file(1, 10, 2);
    auto hdr = new_header();
    const struct {
        const char *name;
        bool null_hdr;
        int mode;
        int flags;
        bool no_read;
        int code;
    } cases[] = {
        {"null hdr", true, 0, 0, false, 0},
        {"bad mode", false, 7, 0, false, EDF_ERR_ANNOTATION_MODE},
        {"unknown flag", false, 0, 4, false, EDF_ERR_CANNOT_OPEN},
        {"no read_at", false, 0, 0, true, EDF_ERR_CANNOT_OPEN},
    };
    for (const auto &k : cases) {
        counted c{good};
        edf_source s = c.source();
        if (k.no_read) {
            s.read_at = nullptr;
        }
        EXPECT_EQ(
            edfopen_source_readonly(&s, nullptr, k.null_hdr ? nullptr : hdr.get(), k.mode, k.flags),
            -1)
            << k.name;
        EXPECT_EQ(c.releases, 1) << k.name;
        if (!k.null_hdr) {
            EXPECT_EQ(hdr->filetype, k.code) << k.name;
            EXPECT_EQ(hdr->handle, -1) << k.name;
        }
    }
    EXPECT_EQ(edfopen_source_readonly(nullptr, nullptr, hdr.get(), 0, 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(edfopen_memory_readonly(nullptr, 10, hdr.get(), 0, 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERR_CANNOT_OPEN);
    counted c{good};
    const edf_source s = c.source();
    EXPECT_EQ(edf_check_source(&s, nullptr, 3), -1);
    EXPECT_EQ(c.releases, 1);

    // A source handle has no path: it never blocks the path of the same name.
    temp_dir dir;
    const std::string path = dir.file("same.edf");
    write_bytes(path, good);
    counted named{good};
    const edf_source ns = named.source();
    ASSERT_EQ(edfopen_source_readonly(&ns, path.c_str(), hdr.get(), 0, 0), 0);
    const int source_handle = hdr->handle;
    EXPECT_EQ(edf_is_file_used(path.c_str()), 0);
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 0), 0);
    edfclose_file(hdr->handle);
    EXPECT_EQ(named.releases, 0);
    edfclose_file(source_handle);
    EXPECT_EQ(named.releases, 1);
}

// A viewer of a large remote recording: the lazy open, a 4 s window of all signals, ten
// windows scrolled forward, per-signal reads, then the annotations when they are wanted.
TEST(ByteSource, RemoteViewerReadsLittle) {
    close_all_handles guard;
    constexpr int signals = 64;
    constexpr int samples = 256;
    constexpr int64_t records = 400;
    counted c{annotated_file(signals, samples, records)};
    const int64_t header = 256 * (signals + 2);
    const int64_t record = signals * samples * 2 + 120;
    const int64_t block = 64 * 1024;
    auto hdr = new_header();
    const edf_source s = c.source();
    ASSERT_EQ(edfopen_source_readonly(&s, "big.edf", hdr.get(), EDF_READ_NO_ANNOTATIONS, 0), 0);
    const int handle = hdr->handle;
    EXPECT_LE(c.bytes_read, header + record + 2 * block);
    EXPECT_LE(c.calls, 2);

    std::vector<std::vector<double>> window(signals, std::vector<double>(4 * samples));
    std::vector<double *> bufs;
    std::vector<int> list;
    for (int k = 0; k < signals; k++) {
        bufs.push_back(window[static_cast<size_t>(k)].data());
        list.push_back(k);
    }
    int64_t calls = c.calls;
    int64_t bytes = c.bytes_read;
    ASSERT_EQ(edfread_physical_records(handle, 200, 4, signals, list.data(), bufs.data()), 4);
    EXPECT_LE(c.bytes_read - bytes, 4 * record + 2 * block);
    EXPECT_LE(c.calls - calls, 2);
    for (int w = 1; w <= 10; w++) {
        calls = c.calls;
        ASSERT_EQ(
            edfread_physical_records(handle, 200 + 4 * w, 4, signals, list.data(), bufs.data()), 4);
        EXPECT_LE(c.calls - calls, 2) << w;
    }
    // The same window signal by signal, in small reads: the blocks serve all signals.
    calls = c.calls;
    bytes = c.bytes_read;
    std::vector<double> part(512);
    for (int k = 0; k < signals; k++) {
        edfseek(handle, k, 100 * samples, EDFSEEK_SET);
        ASSERT_EQ(edfread_physical_samples(handle, k, 512, part.data()), 512);
        ASSERT_EQ(edfread_physical_samples(handle, k, 512, part.data()), 512);
    }
    EXPECT_LE(c.bytes_read - bytes, 4 * record + 2 * block);
    EXPECT_LE(c.calls - calls, 3);

    EXPECT_EQ(hdr->annotation_count, 0);
    EXPECT_EQ(edf_read_annotations(handle, EDF_READ_ALL_ANNOTATIONS), records);
    EXPECT_EQ(edf_read_annotations(handle, EDF_READ_ALL_ANNOTATIONS), records);
    edf_annotation a;
    ASSERT_EQ(edf_get_annotation(handle, static_cast<int>(records - 1), &a), 0);
    EXPECT_STREQ(a.annotation, ("note " + std::to_string(records - 1)).c_str());
    EXPECT_EQ(edf_read_annotations(handle, 9), EDF_ERR_ANNOTATION_MODE);
    EXPECT_EQ(edf_read_annotations(handle + 1, 0), -1);
    edfclose_file(handle);
    EXPECT_EQ(c.releases, 1);

    // A source of cheap calls (a local file's slices) asks for exact spans: the annotations of
    // every record cost their annotation signals' bytes, not the file's.
    counted local{c.bytes};
    const edf_source ls = local.source();
    ASSERT_EQ(edfopen_source_readonly(&ls, "local.edf", hdr.get(), EDF_READ_NO_ANNOTATIONS,
                                      EDF_OPEN_TOLERANT | EDF_OPEN_EXACT_READS),
              0);
    EXPECT_LE(local.bytes_read, header + record);
    bytes = local.bytes_read;
    EXPECT_EQ(edf_read_annotations(hdr->handle, EDF_READ_ALL_ANNOTATIONS), records);
    EXPECT_EQ(local.bytes_read - bytes, records * 120);
    edfclose_file(hdr->handle);
}

// A source that fails, or falls short, at call n, for every n: the open or the read fails
// with EDF_ERR_READ or -1, every sample handed out is the file's, release is called once.
TEST(ByteSource, FailingSourcesNeverGiveWrongSamples) {
    close_all_handles guard;
    // Records of 76 KiB: the block cache serves the header and the annotation reads, the
    // record reads go to the source.
    const std::string bytes = annotated_file(4, 9700, 12);
    temp_dir dir;
    const std::string path = dir.file("truth.edf");
    write_bytes(path, bytes);
    const auto truth =
        read_all([&](edf_header_info *h) { return edfopen_file_readonly(path.c_str(), h, 2); });
    ASSERT_EQ(truth->result, 0);
    const int64_t records = truth->header.datarecord_count;
    const int spr = truth->header.signals[0].samples_per_record;
    for (const bool size_known : {true, false}) {
        for (const bool fail : {true, false}) {
            for (int64_t n = 1;; n++) {
                SCOPED_TRACE((fail ? "fail at " : "short at ") + std::to_string(n) +
                             (size_known ? "" : ", size unknown"));
                counted c{bytes, size_known};
                (fail ? c.fail_at : c.short_at) = n;
                auto hdr = new_header();
                const edf_source s = c.source();
                if (edfopen_source_readonly(&s, nullptr, hdr.get(), EDF_READ_ALL_ANNOTATIONS, 0) !=
                    0) {
                    EXPECT_EQ(hdr->filetype, EDF_ERR_READ);
                    EXPECT_EQ(c.releases, 1);
                    continue;
                }
                bool failed = false;
                for (int64_t r = 0; r < records; r++) {
                    std::vector<std::vector<int>> got(4, std::vector<int>(spr));
                    std::vector<int *> bufs;
                    for (auto &g : got) {
                        bufs.push_back(g.data());
                    }
                    const int list[] = {0, 1, 2, 3};
                    const int result =
                        edfread_digital_records(hdr->handle, r, 1, 4, list, bufs.data());
                    if (result != 1) {
                        EXPECT_EQ(result, -1);
                        failed = true;
                        continue;
                    }
                    for (int k = 0; k < 4; k++) {
                        ASSERT_TRUE(std::equal(got[k].begin(), got[k].end(),
                                               truth->samples[k].begin() + r * spr))
                            << "record " << r;
                    }
                }
                edfclose_file(hdr->handle);
                EXPECT_EQ(c.releases, 1);
                if (!failed && c.calls < n) {
                    break; // past the last call: every later n reads the whole file
                }
            }
        }
    }
    // Ends early with the size unknown: the lazy open reads, the records beyond fail.
    counted cut{bytes.substr(0, bytes.size() - 5000), false};
    auto hdr = new_header();
    const edf_source s = cut.source();
    ASSERT_EQ(edfopen_source_readonly(&s, nullptr, hdr.get(), EDF_READ_NO_ANNOTATIONS, 0), 0);
    std::vector<int> values(static_cast<size_t>(spr));
    int *one[] = {values.data()};
    const int first[] = {3};
    EXPECT_EQ(edfread_digital_records(hdr->handle, 0, 1, 1, first, one), 1);
    EXPECT_EQ(edfread_digital_records(hdr->handle, records - 1, 1, 1, first, one), -1);
    EXPECT_EQ(edf_read_annotations(hdr->handle, EDF_READ_ALL_ANNOTATIONS), EDF_ERR_READ);
    edfclose_file(hdr->handle);
    counted cut_all{bytes.substr(0, bytes.size() - 5000), false};
    const edf_source s2 = cut_all.source();
    EXPECT_EQ(edfopen_source_readonly(&s2, nullptr, hdr.get(), EDF_READ_ALL_ANNOTATIONS, 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERR_READ);
    EXPECT_EQ(cut_all.releases, 1);
}

} // namespace
