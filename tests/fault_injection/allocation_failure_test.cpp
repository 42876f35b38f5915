// Allocation failures at every allocation of the library: opening in both modes, annotation
// queueing and extraction, the writers' scratch buffer and close. Each operation is repeated
// with its first, second, third ... allocation failing until it runs without meeting the
// failure. A run that fails must return the documented code, free everything it took and leave
// the handle table and the open-file count as they were; a run that succeeds (possible only
// where an allocation is optional) must give the same file as a run without failures.
#include "allocation_hook.h"
#include "reader_test_files.h"
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <iterator>
#include <vector>

using namespace edf;

namespace {

// Everything that a failed operation must leave as it found it.
struct table_state {
    long live_blocks;
    int open_files;
    std::array<edf_recording *, EDF_MAX_FILES> slots;
    bool operator==(const table_state &) const = default;
};

table_state table() {
    table_state t{allocation_hook::live_blocks(), edf_get_number_of_open_files(), {}};
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        t.slots[static_cast<size_t>(i)] = edf_recording_for(i, edf_side::either);
    }
    return t;
}

// Counts of results by code, 0 (any result of 0 or more) to -63, in a fixed array: counting
// allocates nothing, so it cannot disturb the count of live blocks.
struct result_counts {
    std::array<int, 64> counts{};
    int &operator[](int result) {
        return counts[static_cast<size_t>(std::clamp(-result, 0, 63))];
    }
};

// The results of a series of fault cases, kept in the test report ("2 x -1; 1 x 0").
struct outcome_tally {
    std::string series;
    result_counts by_result;
    void add(int result) {
        by_result[result]++;
    }
    ~outcome_tally() {
        std::string text;
        for (int result = 0; result > -64; result--) {
            if (by_result[result] > 0) {
                text += std::to_string(by_result[result]) + " x " + std::to_string(result) + "; ";
            }
        }
        testing::Test::RecordProperty(series, text);
    }
};

// Calls attempt(k) for k = 0, 1, 2, ... (the k-th allocation after arming fails) until an
// attempt reports that the failure did not happen: the operation needed fewer allocations.
void for_each_fault(const std::function<bool(int)> &attempt) {
#ifdef _WIN32
    // Once without a failure first, its checks not counted: the runtimes linked into the
    // program on Windows (libstdc++ and winpthread, static there) make some blocks once, on
    // their first use, which would count as blocks kept by the first case. The first exception
    // of a thread is one such use (its exception globals), as the library's own catch of a
    // failed allocation would be.
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc &) {
    }
    {
        testing::TestPartResultArray ignored;
        const testing::ScopedFakeTestPartResultReporter quiet(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &ignored);
        attempt(-1);
    }
#endif
    for (int k = 0; k < 100; k++) {
        if (!attempt(k)) {
            return;
        }
    }
    ADD_FAILURE() << "an operation that never stops allocating";
}

// Runs `operation` with allocation k failing (none when k is negative); returns whether it did.
bool with_failure(int k, const std::function<void()> &operation) {
    allocation_hook::fail_allocation(k);
    try {
        operation();
    } catch (...) {
        // The library's functions are C functions: nothing may leave them as an exception.
        allocation_hook::disarm();
        ADD_FAILURE() << "an exception left the library when allocation " << k << " failed";
        return true;
    }
    return allocation_hook::disarm();
}

void set_start(int handle) {
    ASSERT_EQ(edf_set_startdatetime(handle, 2020, 1, 2, 3, 4, 5), 0);
}

// The annotation count of a file and the text of its last annotation, read back: "3 c".
std::string read_annotations(const std::string &path) {
    auto hdr = reader_test::new_header();
    if (edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
        return "unreadable";
    }
    edf_annotation last{};
    edf_get_annotation(hdr->handle, static_cast<int>(hdr->annotation_count) - 1, &last);
    edfclose_file(hdr->handle);
    return std::to_string(hdr->annotation_count) + " " + last.annotation;
}

TEST(AllocationFailure, WriterOpen) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("w.edf");
    for (const bool bdf : {false, true}) {
        for (const bool with_params : {false, true}) {
            SCOPED_TRACE(testing::Message() << "bdf " << bdf << " with params " << with_params);
            outcome_tally tally{(bdf ? "bdf+" : "edf+") +
                                    std::string(with_params ? " open with params" : " open"),
                                {}};
            const int type = bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS;
            // Opens with allocation k failing; a handle is then described, written and closed.
            // Returns the open's result and the file's bytes.
            const auto run = [&](int k, bool *failed) {
                int handle = -1;
                *failed = with_failure(k, [&] {
                    handle = with_params ? edfopen_file_writeonly_with_params(path.c_str(), type, 2,
                                                                              3, 100.0, "uV")
                                         : edfopen_file_writeonly(path.c_str(), type, 2);
                });
                if (handle < 0) {
                    return std::pair{handle, std::string()};
                }
                for (int s = 0; s < 2 && !with_params; s++) {
                    edf_set_samplefrequency(handle, s, 3);
                    edf_set_digital_maximum(handle, s, 1000);
                    edf_set_digital_minimum(handle, s, -1000);
                    edf_set_physical_maximum(handle, s, 10.0);
                    edf_set_physical_minimum(handle, s, -10.0);
                }
                set_start(handle);
                const int samples[6] = {-2, -1, 0, 1, 2, 3};
                EXPECT_EQ(edf_blockwrite_digital_samples(handle, samples), 0);
                EXPECT_EQ(edfclose_file(handle), 0);
                return std::pair{0, file_bytes(path)};
            };
            bool failed = false;
            const std::string reference = run(-1, &failed).second;
            ASSERT_FALSE(reference.empty());
            for_each_fault([&](int k) {
                const table_state before = table();
                {
                    const auto [result, bytes] = run(k, &failed);
                    if (failed) {
                        tally.add(result);
                    }
                    // Only the stream buffer may be missing: the stream then keeps its own.
                    if (result < 0) {
                        EXPECT_TRUE(failed);
                        EXPECT_EQ(result, EDF_ERR_NO_MEMORY);
                    } else {
                        EXPECT_EQ(bytes, reference);
                    }
                } // the bytes are freed before the blocks are counted
                EXPECT_TRUE(table() == before) << "allocation " << k;
                return failed;
            });
            EXPECT_GE(tally.by_result[EDF_ERR_NO_MEMORY], 2);
        }
    }
}

TEST(AllocationFailure, ReaderOpenAndAnnotationExtraction) {
    close_all_handles guard;
    temp_dir dir;
    // A plain EDF file needs the header check's allocations only: their failures give
    // EDF_ERR_NO_MEMORY, and their number tells where annotation extraction begins.
    reader_test::file_spec plain;
    plain.reserved = "";
    plain.signals = {{"A", 4, -32768, 32767}};
    const std::string plain_path = dir.file("plain.edf");
    reader_test::write_bytes(plain_path, reader_test::header_bytes(plain, 1) + std::string(8, 1));

    // EDF+ and BDF+ files with 1100 annotations in two annotation signals: the extracted list
    // grows twice.
    const auto write_annotated = [&](bool bdf) {
        const std::string path = dir.file(bdf ? "a.bdf" : "a.edf");
        const int h = open_configured(path, 1, 4, bdf);
        set_start(h);
        EXPECT_EQ(edf_set_number_of_annotation_signals(h, 2), 0);
        for (int i = 0; i < 1100; i++) {
            char text[16];
            std::snprintf(text, sizeof text, "a%d", i);
            edfwrite_annotation_utf8_us(h, i * 500000LL, -1, text);
        }
        const int samples[4] = {1, 2, 3, 4};
        for (int r = 0; r < 600; r++) {
            EXPECT_EQ(edfwrite_digital_samples(h, samples), 0);
        }
        EXPECT_EQ(edfclose_file(h), 0);
        return path;
    };

    int header_allocations = 0;
    auto hdr = reader_test::new_header();
    const std::vector<std::pair<std::string, int>> files = {
        {plain_path, 0}, {write_annotated(false), 1100}, {write_annotated(true), 1100}};
    for (const auto &file : files) {
        const std::string &path = file.first;
        const int annotations = file.second;
        SCOPED_TRACE(path);
        outcome_tally tally{"read " + path.substr(path.rfind('/') + 1), {}};
        int cases = 0;
        for_each_fault([&](int k) {
            const table_state before = table();
            int result = 0;
            const bool failed = with_failure(k, [&] {
                result = edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS);
            });
            if (failed) {
                cases++;
                tally.add(hdr->filetype);
                EXPECT_EQ(result, -1);
                EXPECT_EQ(hdr->handle, -1);
                EXPECT_EQ(hdr->filetype, k < header_allocations || annotations == 0
                                             ? EDF_ERR_NO_MEMORY
                                             : EDF_ERR_FORMAT)
                    << "allocation " << k;
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(hdr->annotation_count, annotations);
                edfclose_file(hdr->handle);
                if (annotations > 0) {
                    EXPECT_EQ(read_annotations(path), "1100 a1099");
                }
            }
            EXPECT_TRUE(table() == before) << "allocation " << k;
            return failed;
        });
        if (annotations == 0) {
            header_allocations = cases;
            EXPECT_GE(cases, 3);
        } else {
            // Work buffers and two list growths.
            EXPECT_GE(cases, header_allocations + 3);
        }
    }
}

TEST(AllocationFailure, AnnotationQueue) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("q.edf");
    outcome_tally tally{"queue", {}};
    using queue_operation = int (*)(int, int64_t, int64_t, const char *);
    for (const queue_operation queue :
         {edfwrite_annotation_utf8_us, edfwrite_annotation_utf8, edfwrite_annotation_latin1_us,
          edfwrite_annotation_latin1}) {
        // The first entry allocates the list, the 1001st grows it.
        for (const int queued : {0, 1000}) {
            for_each_fault([&](int k) {
                const table_state before = table();
                const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 0);
                set_start(h);
                for (int i = 0; i < queued; i++) {
                    edfwrite_annotation_utf8_us(h, i, -1, "q");
                }
                const edf_writer_state *r = edf_writer_for(h);
                const edf_queued_annotation *list = r->annotations;
                const int capacity = r->annotation_capacity;
                const long blocks = allocation_hook::live_blocks();
                int result = 0;
                const bool failed = with_failure(k, [&] { result = queue(h, 7, -1, "last"); });
                if (failed) {
                    tally.add(result);
                    EXPECT_EQ(result, -1);
                    EXPECT_EQ(r->annotation_count, queued);
                    EXPECT_EQ(r->annotation_capacity, capacity);
                    EXPECT_EQ(r->annotations, list);
                    EXPECT_EQ(allocation_hook::live_blocks(), blocks);
                    result = queue(h, 7, -1, "last"); // the handle is still usable
                }
                EXPECT_EQ(result, 0);
                EXPECT_EQ(edfclose_file(h), 0);
                EXPECT_EQ(read_annotations(path), std::to_string(queued + 1) + " last");
                EXPECT_TRUE(table() == before) << "allocation " << k;
                return failed;
            });
        }
    }
    EXPECT_EQ(tally.by_result[-1], 8);
}

// Record 0 is written by a writer that needs no scratch buffer; records 1 and 2 by the writer
// under test, which allocates its buffer for signal 0 (3 samples) and grows it for signal 1 (5
// samples), with the annotation signal between the two. A write whose allocation fails must
// leave the record being assembled where it was, so that repeating the call gives the same
// file as a run without failures (and not, say, a second copy of the annotation block).
TEST(AllocationFailure, ScratchBuffer) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("s.edf");
    const int digital[8] = {-3, -2, -1, 0, 1, 2, 3, 4};
    const double physical[8] = {-999.5, -3.0, 0.0, 2.5, 10.0, 500.0, 999.0, 1000.0};
    short shorts[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    const unsigned char packed[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct writer {
        const char *name;
        int calls_per_record; // per-signal writers: one call per signal
        std::function<int(int handle, int call)> write;
    };
    const writer writers[] = {
        {"physical", 2,
         [&](int h, int c) { return edfwrite_physical_samples(h, physical + 3 * c); }},
        {"digital", 2, [&](int h, int c) { return edfwrite_digital_samples(h, digital + 3 * c); }},
        {"block physical", 1,
         [&](int h, int) { return edf_blockwrite_physical_samples(h, physical); }},
        {"block digital", 1,
         [&](int h, int) { return edf_blockwrite_digital_samples(h, digital); }},
    };
    for (const bool bdf : {false, true}) {
        for (const writer &w : writers) {
            SCOPED_TRACE(testing::Message() << w.name << " bdf " << bdf);
            outcome_tally tally{w.name + std::string(bdf ? " bdf+" : " edf+"), {}};
            const auto run = [&](int k) {
                const int h = open_configured(path, 2, 3, bdf);
                edf_set_samplefrequency(h, 1, 5);
                edf_set_annotation_signal_position(h, EDF_ANNOTATIONS_IN_MIDDLE);
                set_start(h);
                EXPECT_EQ(bdf ? edf_blockwrite_digital_24bit_samples(h, packed)
                              : edf_blockwrite_digital_short_samples(h, shorts),
                          0);
                const edf_writer_state *r = edf_writer_for(h);
                allocation_hook::fail_allocation(k);
                for (int call = 0; call < 2 * w.calls_per_record; call++) {
                    const int next_signal = r->next_write_signal;
                    const int result = w.write(h, call % w.calls_per_record);
                    if (result != 0) {
                        tally.add(result);
                        EXPECT_EQ(result, -1);
                        EXPECT_TRUE(allocation_hook::disarm()) << "a failure not injected";
                        EXPECT_EQ(r->next_write_signal, next_signal);
                        EXPECT_EQ(r->datarecord_count, 1 + call / w.calls_per_record);
                        EXPECT_EQ(r->write_buffer, nullptr);
                        EXPECT_EQ(r->write_buffer_size, 0);
                        EXPECT_EQ(w.write(h, call % w.calls_per_record), 0);
                    }
                }
                const bool failed = allocation_hook::disarm();
                EXPECT_EQ(edfclose_file(h), 0);
                return failed;
            };
            run(-1);
            const std::string reference = file_bytes(path);
            ASSERT_EQ(reference.size(), 256u * 4 + 3 * (8u * (bdf ? 3 : 2) + 120));
            for_each_fault([&](int k) {
                const table_state before = table();
                const bool failed = run(k);
                EXPECT_EQ(file_bytes(path), reference) << "allocation " << k;
                EXPECT_TRUE(table() == before) << "allocation " << k;
                return failed;
            });
            EXPECT_GE(tally.by_result[-1], 1);
        }
    }
}

// Close appends a record per queued annotation to a file without records, from a record
// buffer (its failure gives -1), and packs the annotations that have no place of their own
// (more than one per record) by a plan in a vector: when the plan cannot be made those
// annotations are lost (EDF_ERR_ANNOTATIONS_LOST), the rest of the file is complete and the
// handle released all the same.
TEST(AllocationFailure, Close) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("c.edf");
    struct close_case {
        const char *name;
        int records; // written before close
        std::vector<const char *> texts;
        std::string complete;     // the annotations read back (count, last in file order)
        int failure;              // close's result when an allocation fails
        std::string without_them; // what the file then holds
    };
    const close_case cases[] = {
        {"records for annotations", 0, {"a", "b", "c"}, "3 c", -1, ""},
        // Record 0 holds "a" and the packed "c" to "e", record 1 "b".
        {"packing", 2, {"a", "b", "c", "d", "e"}, "5 b", EDF_ERR_ANNOTATIONS_LOST, "2 b"},
    };
    for (const close_case &c : cases) {
        outcome_tally tally{std::string("close: ") + c.name, {}};
        for (const bool bdf : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << " bdf " << bdf);
            for_each_fault([&](int k) {
                const table_state before = table();
                const int h = open_configured(path, 2, 3, bdf);
                set_start(h);
                for (const char *text : c.texts) {
                    edfwrite_annotation_utf8_us(h, 0, -1, text);
                }
                const int samples[6] = {};
                for (int r = 0; r < c.records; r++) {
                    EXPECT_EQ(edf_blockwrite_digital_samples(h, samples), 0);
                }
                int result = 0;
                const bool failed = with_failure(k, [&] { result = edfclose_file(h); });
                EXPECT_TRUE(table() == before); // released whatever the result
                if (failed) {
                    tally.add(result);
                }
                if (result == 0) {
                    EXPECT_EQ(read_annotations(path), c.complete);
                } else {
                    EXPECT_TRUE(failed);
                    EXPECT_EQ(result, c.failure);
                    if (!c.without_them.empty()) {
                        EXPECT_EQ(read_annotations(path), c.without_them);
                    }
                }
                return failed;
            });
        }
        EXPECT_GE(tally.by_result[c.failure], 2);
    }
}

} // namespace

// The buffers of sample reads (the handle's large-read buffer and the read-ahead windows) are
// optional: a read whose allocation fails goes on without them and gives the same samples.
TEST(AllocationFailure, SampleReads) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("r.edf");
    const int h = open_configured(path, 2, 50, false);
    set_start(h);
    std::vector<int> samples(100);
    for (int r = 0; r < 40; r++) {
        for (int i = 0; i < 100; i++) {
            samples[static_cast<size_t>(i)] = (r * 37 + i * 11) % 2000 - 1000;
        }
        ASSERT_EQ(edf_blockwrite_digital_samples(h, samples.data()), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);

    // Small reads of signal 0, half of signal 1 in one read, a record read of both.
    const auto run = [&](int k, bool *failed) {
        auto hdr = reader_test::new_header();
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        std::vector<int> out(2000 + 2000 + 4000);
        *failed = with_failure(k, [&] {
            for (int i = 0; i < 200; i++) {
                EXPECT_EQ(edfread_digital_samples(hdr->handle, 0, 10, &out[10 * i]), 10);
            }
            EXPECT_EQ(edfread_digital_samples(hdr->handle, 1, 2000, &out[2000]), 2000);
            const int signals[] = {0, 1};
            int *bufs[] = {&out[4000], &out[6000]};
            EXPECT_EQ(edfread_digital_records(hdr->handle, 0, 40, 2, signals, bufs), 40);
        });
        edfclose_file(hdr->handle);
        return out;
    };
    bool failed = false;
    const std::vector<int> reference = run(-1, &failed);
    EXPECT_EQ(std::vector<int>(reference.begin(), reference.begin() + 2000),
              std::vector<int>(reference.begin() + 4000, reference.begin() + 6000));
    for_each_fault([&](int k) {
        const table_state before = table();
        EXPECT_EQ(run(k, &failed), reference) << "allocation " << k;
        EXPECT_TRUE(table() == before) << "allocation " << k;
        return failed;
    });
}

namespace {

// A file with problems in its header and records: a start time to repair, the record count
// "-1", a record whose TAL breaks the format and an incomplete last record.
std::string broken_file() {
    reader_test::file_spec f;
    f.start_time = "4:05:06";
    f.signals = {{"A", 4, -32768, 32767}, reader_test::annotation_signal_spec(false)};
    std::string bytes = reader_test::header_bytes(f, -1);
    for (int r = 0; r < 3; r++) {
        bytes += std::string(8, 1);
        bytes += reader_test::tal_bytes(reader_test::timekeeping(std::to_string(r)) +
                                        (r == 1 ? std::string("+0\x14\x01\x14", 5) + '\0' : ""));
    }
    return bytes + "xy";
}
constexpr int broken_file_problems = 4; // start time, record count, incomplete record, TAL

} // namespace

// The check and the tolerant open of a file with problems in its header and records: each
// failing allocation gives EDF_ERR_NO_MEMORY (the check) or a failed open with that code, and
// leaves nothing behind.
TEST(AllocationFailure, CheckAndTolerantOpen) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("broken.edf");
    reader_test::write_bytes(path, broken_file());
    auto hdr = reader_test::new_header();
    for_each_fault([&](int k) {
        const table_state before = table();
        int result = 0;
        const bool failed =
            with_failure(k, [&] { result = edf_check_file(path.c_str(), nullptr, 0); });
        EXPECT_EQ(result, failed ? EDF_ERR_NO_MEMORY : broken_file_problems) << "allocation " << k;
        EXPECT_TRUE(table() == before) << "allocation " << k;
        return failed;
    });
    for_each_fault([&](int k) {
        const table_state before = table();
        int result = 0;
        const bool failed = with_failure(
            k, [&] { result = edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2); });
        if (failed) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(hdr->filetype, EDF_ERR_NO_MEMORY) << "allocation " << k;
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(edf_get_problem_count(hdr->handle), broken_file_problems);
            edfclose_file(hdr->handle);
        }
        EXPECT_TRUE(table() == before) << "allocation " << k;
        return failed;
    });
}

// The operations on whole files, whose repaired copies and de-identification build with the
// standard library's containers and strings as well as with malloc: every allocation of each
// run fails in turn. A run that fails gives EDF_ERR_NO_MEMORY, leaves its input as it was,
// writes no output (no temporary file either), holds no handle and frees every block; a run
// whose failing allocation was optional (a sort's scratch buffer) gives the result and the
// file of a run without failures.
TEST(AllocationFailure, FileOperations) {
    close_all_handles guard;
    temp_dir dir;
    const std::string in = dir.file("in.edf");
    const std::string out = dir.file("out.edf");

    // A conforming EDF+ file with a patient to de-identify and annotations to read and drop.
    reader_test::file_spec f;
    f.patient = "MCH-0234567 F 02-MAY-1951 Haagse_Harry";
    f.recording = "Startdate 01-FEB-2003 EMG561 BK/JOP Sony. MNC R Median Nerve";
    f.signals = {{"A", 4, -32768, 32767}, reader_test::annotation_signal_spec(false)};
    std::string conforming = reader_test::header_bytes(f, 3);
    std::string unfinished = reader_test::header_bytes(f, -1);
    for (int r = 0; r < 3; r++) {
        const std::string record =
            std::string(8, 1) +
            reader_test::tal_bytes(reader_test::timekeeping(std::to_string(r)) +
                                   std::string("+0.5\x14tap ") + std::to_string(r) + "\x14" + '\0');
        conforming += record;
        unfinished += record;
    }
    unfinished += "xyz"; // what a writer that died leaves: count "-1", a partial record

    struct file_operation {
        const char *name;
        std::string input;
        std::function<int()> run;
        bool in_place; // changes `in`; else writes `out`
        bool uses_new; // some of its allocations are operator new's
        // A failed write stands for a failed allocation too: the writer's calls, whose plain
        // failure result names neither.
        bool through_writer = false;
    };
    const file_operation operations[] = {
        {"repair", broken_file(),
         [&] { return edf_repair_file(in.c_str(), out.c_str(), 0, nullptr, 0); }, false, true},
        {"de-identify into a copy", conforming,
         [&] {
             return edf_anonymize_file(in.c_str(), out.c_str(), EDF_ANON_DROP_ANNOTATION_TEXTS);
         },
         false, true},
        {"de-identify a broken file into a copy", broken_file(),
         [&] { return edf_anonymize_file(in.c_str(), out.c_str(), 0); }, false, true},
        {"de-identify in place", conforming,
         [&] { return edf_anonymize_file(in.c_str(), nullptr, EDF_ANON_KEEP_AGE); }, true, true},
        {"recover", unfinished, [&] { return edf_recover_file(in.c_str()); }, true, false},
        {"continuous copy", conforming,
         [&] { return edf_continuous_copy(in.c_str(), out.c_str(), 0); }, false, true, true},
    };
    for (const file_operation &operation : operations) {
        SCOPED_TRACE(operation.name);
        outcome_tally tally{operation.name, {}};
        const std::string &changed = operation.in_place ? in : out;
        const auto prepare = [&] {
            reader_test::write_bytes(in, operation.input);
            std::remove(out.c_str());
        };
        prepare();
        const int success = operation.run();
        ASSERT_GE(success, 0);
        const std::string reference = file_bytes(changed);
        ASSERT_NE(reference, operation.in_place ? operation.input : "");
        EXPECT_EQ(edf_check_file(changed.c_str(), nullptr, 0), 0); // it conforms
        int new_failures = 0;
        for_each_fault([&](int k) {
            prepare();
            const table_state before = table();
            int result = 0;
            const bool failed = with_failure(k, [&] { result = operation.run(); });
            const bool in_new = allocation_hook::failed_in_new();
            EXPECT_TRUE(table() == before) << "allocation " << k;
            if (failed) {
                tally.add(result);
                new_failures += in_new;
            }
            if (result == success) {
                EXPECT_EQ(file_bytes(changed), reference) << "allocation " << k;
            } else {
                EXPECT_TRUE(failed);
                if (!(operation.through_writer && result == EDF_ERR_WRITE)) {
                    EXPECT_EQ(result, EDF_ERR_NO_MEMORY) << "allocation " << k;
                }
                EXPECT_EQ(file_bytes(in), operation.input) << "allocation " << k;
                EXPECT_FALSE(std::filesystem::exists(out)) << "allocation " << k;
            }
            const auto files = std::distance(std::filesystem::directory_iterator(dir.path()),
                                             std::filesystem::directory_iterator());
            EXPECT_EQ(files, result == success && !operation.in_place ? 2 : 1)
                << "allocation " << k;
            return failed;
        });
        EXPECT_GE(tally.by_result[EDF_ERR_NO_MEMORY], 1);
        if (operation.uses_new) {
            EXPECT_GE(new_failures, 1);
        }
    }
}
