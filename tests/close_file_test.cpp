// Closing a file being written: the record count, the placing of the queued annotations, the
// records appended for annotations, a record left half-written, and reported failures.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <functional>

using namespace edf;

namespace {

using namespace std::string_literals;

// One 120-byte annotation signal: the time-keeping TAL of record `record` (when not negative),
// then the given annotation TALs, then zero bytes.
std::string signal_bytes(int record, const std::string &tals = "") {
    std::string bytes;
    if (record >= 0) {
        bytes.append("+").append(std::to_string(record)).append("\x14\x14\0"s);
    }
    bytes += tals;
    bytes.resize(120, '\0');
    return bytes;
}

// Annotation i of write_file: onset i seconds, text "a<i>", durations by turns none, 0, 2 s
// and 0.25 s.
std::string tal(int i) {
    // clang-format off
    static const char *const durations[] = {"", "\x15" "0", "\x15" "2", "\x15" "0.250000"};
    // clang-format on
    std::string text = "+";
    text.append(std::to_string(i))
        .append(durations[i % 4])
        .append("\x14"
                "a");
    return text.append(std::to_string(i)).append("\x14");
}

// Writes `records` records of a one-signal EDF+ file with two samples 7 per record, after
// `configure`, queues `annotations` annotations and closes.
std::string write_file(
    const std::string &path, int records, int annotations,
    const std::function<void(int)> &configure = [](int) {}) {
    const int h = open_configured(path, 1, 2);
    configure(h);
    const int samples[2] = {7, 7};
    for (int r = 0; r < records; r++) {
        EXPECT_EQ(edfwrite_digital_samples(h, samples), 0);
    }
    const int64_t durations[] = {-1, 0, 2000000, 250000};
    for (int i = 0; i < annotations; i++) {
        std::string text = "a";
        text += std::to_string(i);
        EXPECT_EQ(edfwrite_annotation_utf8_us(h, i * 1000000LL, durations[i % 4], text.c_str()), 0);
    }
    EXPECT_EQ(edfclose_file(h), 0);
    return file_bytes(path);
}

const std::string seven = "\x07\x00\x07\x00"s; // the samples of every record of write_file

} // namespace

TEST(CloseFile, RecordCountReplacesThePlaceholder) {
    temp_dir dir;
    for (const auto &[records, text] :
         {std::pair{0, "0       "}, {7, "7       "}, {12, "12      "}}) {
        const std::string bytes = write_file(dir.file("c.edf"), records, 0);
        EXPECT_EQ(bytes.substr(236, 8), text);
        EXPECT_EQ(bytes.size(), 768u + 124u * static_cast<unsigned>(records));
    }
}

// Annotation i goes to record i / A, annotation signal i % A, whatever its onset; what does
// not fit one per place is packed after the TALs already there, earliest room first.
TEST(CloseFile, AnnotationsGoInQueueOrderOnePerAnnotationSignal) {
    temp_dir dir;
    std::string bytes = write_file(dir.file("two.edf"), 3, 5,
                                   [](int h) { edf_set_number_of_annotation_signals(h, 2); });
    EXPECT_EQ(bytes.substr(1024), seven + signal_bytes(0, tal(0)) + signal_bytes(-1, tal(1)) +
                                      seven + signal_bytes(1, tal(2)) + signal_bytes(-1, tal(3)) +
                                      seven + signal_bytes(2, tal(4)) + signal_bytes(-1));
    bytes = write_file(dir.file("one.edf"), 3, 5);
    EXPECT_EQ(bytes.substr(768), seven + signal_bytes(0, tal(0) + "\0"s + tal(3) + "\0"s + tal(4)) +
                                     seven + signal_bytes(1, tal(1)) + seven +
                                     signal_bytes(2, tal(2)));
}

TEST(CloseFile, OnsetsCountFromTheWholeSecondOfTheStart) {
    temp_dir dir;
    const std::string path = dir.file("s.edf");
    const int h = open_configured(path, 1, 2);
    ASSERT_EQ(edf_set_subsecond_starttime(h, 2500000), 0);
    const int samples[2] = {7, 7};
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    // Queued after the last sample write: placed all the same.
    ASSERT_EQ(edfwrite_annotation_utf8_us(h, 500000, 1500001, "x"), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    std::string first = "+0.2500000\x14\x14\0+0.750000\x15"s;
    first.append("1.500001\x14x\x14").resize(120, '\0');
    std::string second = "+1.2500000\x14\x14";
    second.resize(120, '\0');
    EXPECT_EQ(file_bytes(path).substr(768), seven + first + seven + second);
}

TEST(CloseFile, AnnotationsWithoutOrdinarySignalsGetRecordsOfTheirOwn) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_BDFPLUS, 0);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(edfwrite_annotation_latin1_us(h, 2000000 * i, -1, "n"), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);
    const std::string bytes = file_bytes(path);
    EXPECT_EQ(bytes.substr(236, 8), "3       ");
    EXPECT_EQ(bytes.substr(512), signal_bytes(0, "+0\x14n\x14") + signal_bytes(1, "+2\x14n\x14") +
                                     signal_bytes(2, "+4\x14n\x14"));
}

// Records appended for annotations to a file with ordinary signals and no complete record
// have the full size and layout that the header declares, with the sample 0 clipped into
// each signal's range; a record that was begun is overwritten.
TEST(CloseFile, RecordsAppendedForAnnotationsHaveTheFullLayout) {
    temp_dir dir;
    const std::string path = dir.file("f.edf");
    const int h = open_configured(path, 2, 2);
    edf_set_digital_minimum(h, 1, 10);
    edf_set_digital_maximum(h, 1, 100);
    edf_set_annotation_signal_position(h, EDF_ANNOTATIONS_IN_MIDDLE);
    const int samples[2] = {5, 5};
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "p"), 0);
    ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "q"), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    const std::string zeros = "\0\0\0\0"s, tens = "\x0A\0\x0A\0"s;
    EXPECT_EQ(file_bytes(path).substr(1024), zeros + signal_bytes(0, "+0\x14p\x14") + tens + zeros +
                                                 signal_bytes(1, "+0\x14q\x14") + tens);
}

// The header counts only complete records; the bytes of a record left half-written are cut
// off, so that the file size agrees with the header. A file that is left without any record
// (its first record was begun but never completed, and no annotation brings records of its
// own) cannot be read: close reports -1 then. A file closed before any sample write keeps
// its header alone and close returns 0, as before.
TEST(CloseFile, HalfWrittenRecordIsCutOff) {
    temp_dir dir;
    const std::string path = dir.file("h.edf");
    const int samples[2] = {7, 7};
    const std::string zeros = "\0\0\0\0"s;
    const struct {
        int writes;
        const char *annotation; // queued before close, or null
        int closed;
        const char *count;
        std::string records;
    } cases[] = {{3, nullptr, 0, "1       ", seven + seven + signal_bytes(0)},
                 {1, nullptr, -1, "0       ", ""},
                 {1, "a", 0, "1       ",
                  zeros + zeros +
                      signal_bytes(0, "+0\x14"
                                      "a\x14")},
                 {0, nullptr, 0, "0       ", ""}};
    for (const auto &c : cases) {
        const int h = open_configured(path, 2, 2);
        for (int i = 0; i < c.writes; i++) {
            ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
        }
        if (c.annotation != nullptr) {
            ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, c.annotation), 0);
        }
        EXPECT_EQ(edfclose_file(h), c.closed) << c.writes;
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
        const std::string bytes = file_bytes(path);
        EXPECT_EQ(bytes.substr(236, 8), c.count) << c.writes;
        EXPECT_EQ(bytes.substr(1024), c.records) << c.writes;
    }
}

TEST(CloseFile, FailuresAreReportedAndTheHandleReleased) {
    const int samples[2] = {7, 7};
    // The header and the record fit the stream's buffer: the failure shows at the flush that
    // ends the record, or only in close. (A full device, /dev/full, is POSIX only.)
#ifndef _WIN32
    for (int records : {0, 1}) {
        const int h = open_configured("/dev/full", 1, 2);
        std::setvbuf(edf_recording_for(h, edf_side::either)->file, nullptr, _IOFBF, 1 << 16);
        if (records == 1) {
            EXPECT_EQ(edfwrite_digital_samples(h, samples), -1);
        }
        ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "x"), 0);
        EXPECT_EQ(edfclose_file(h), -1);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
        EXPECT_EQ(edfclose_file(h), -1); // closed already
    }
#endif
    // A file that lost data behind the writer's back is shorter than its header says.
    temp_dir dir;
    const std::string path = dir.file("short.edf");
    const int h = open_configured(path, 1, 2);
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    std::filesystem::resize_file(path, 700);
    EXPECT_EQ(edfclose_file(h), -1);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}
