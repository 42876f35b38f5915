// Closing a file being written: the record count, the placing of the queued annotations, the
// records appended for annotations, a record left half-written, and reported failures.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::string_literals;

// One 120-byte annotation signal holding `tals` and zero bytes.
std::string signal_bytes(const std::string &tals) {
    std::string bytes = tals;
    bytes.resize(120, '\0');
    return bytes;
}

std::string timekeeping(const std::string &time) {
    return std::string("+").append(time).append("\x14\x14\0"s);
}

std::string annotation(const std::string &onset, const std::string &text) {
    return std::string("+").append(onset).append("\x14").append(text).append("\x14");
}

// Writes `records` records of a one-signal EDF+ file (2 samples per record), after
// `configure`, queues `annotations` (onset i seconds, text "a<i>") and closes.
std::string write_file(
    const std::string &path, int records, int annotations,
    const std::function<void(int)> &configure = [](int) {}) {
    const int h = open_configured(path, 1, 2);
    configure(h);
    const int samples[2] = {7, 7};
    for (int r = 0; r < records; r++) {
        EXPECT_EQ(edfwrite_digital_samples(h, samples), 0);
    }
    for (int i = 0; i < annotations; i++) {
        std::string text = "a";
        text += std::to_string(i);
        EXPECT_EQ(edfwrite_annotation_utf8_us(h, i * 1000000LL, -1, text.c_str()), 0);
    }
    EXPECT_EQ(edfclose_file(h), 0);
    return file_bytes(path);
}

const std::string seven = "\x07\x00\x07\x00"s; // the two samples of every record

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

TEST(CloseFile, AnnotationsGoInQueueOrderOnePerAnnotationSignal) {
    temp_dir dir;
    // Two annotation signals, three records, five annotations: 2, 2 and 1 per record.
    std::string bytes = write_file(dir.file("two.edf"), 3, 5,
                                   [](int h) { edf_set_number_of_annotation_signals(h, 2); });
    EXPECT_EQ(bytes.substr(1024), seven + signal_bytes(timekeeping("0") + annotation("0", "a0")) +
                                      signal_bytes(annotation("1", "a1")) + seven +
                                      signal_bytes(timekeeping("1") + annotation("2", "a2")) +
                                      signal_bytes(annotation("3", "a3")) + seven +
                                      signal_bytes(timekeeping("2") + annotation("4", "a4")) +
                                      signal_bytes(""));
    // One annotation signal, three records, five annotations: the last two are not stored.
    bytes = write_file(dir.file("one.edf"), 3, 5);
    EXPECT_EQ(bytes.substr(768),
              seven + signal_bytes(timekeeping("0") + annotation("0", "a0")) + seven +
                  signal_bytes(timekeeping("1") + annotation("1", "a1")) + seven +
                  signal_bytes(timekeeping("2") + annotation("2", "a2")));
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
    EXPECT_EQ(file_bytes(path).substr(768),
              seven +
                  signal_bytes(timekeeping("0.2500000") + "+0.750000\x15"
                                                          "1.500001\x14x\x14") +
                  seven + signal_bytes(timekeeping("1.2500000")));
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
    ASSERT_EQ(bytes.size(), 512u + 3 * 120);
    EXPECT_EQ(bytes.substr(236, 8), "3       ");
    EXPECT_EQ(bytes.substr(512), signal_bytes(timekeeping("0") + annotation("0", "n")) +
                                     signal_bytes(timekeeping("1") + annotation("2", "n")) +
                                     signal_bytes(timekeeping("2") + annotation("4", "n")));
}

// Records appended for annotations to a file with ordinary signals have the full size and
// layout that the header declares, with the sample 0 clipped into each signal's range.
TEST(CloseFile, RecordsAppendedForAnnotationsHaveTheFullLayout) {
    temp_dir dir;
    const std::string path = dir.file("f.edf");
    const int h = open_configured(path, 2, 2);
    edf_set_digital_minimum(h, 1, 10);
    edf_set_digital_maximum(h, 1, 100);
    edf_set_annotation_signal_position(h, EDF_ANNOTATIONS_IN_MIDDLE);
    const int samples[2] = {5, 5};
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0); // a partial record, overwritten
    ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "p"), 0);
    ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "q"), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    const std::string zeros = "\0\0\0\0"s;
    const std::string tens = "\x0A\0\x0A\0"s;
    EXPECT_EQ(file_bytes(path).substr(1024),
              zeros + signal_bytes(timekeeping("0") + annotation("0", "p")) + tens + zeros +
                  signal_bytes(timekeeping("1") + annotation("0", "q")) + tens);
}

// The header counts only complete records; the bytes of a record left half-written are cut
// off, so that the file size agrees with the header.
TEST(CloseFile, HalfWrittenRecordIsCutOff) {
    temp_dir dir;
    const std::string path = dir.file("h.edf");
    const int h = open_configured(path, 2, 2);
    const int samples[2] = {7, 7};
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);
    const std::string bytes = file_bytes(path);
    EXPECT_EQ(bytes.size(), 1024u + 128u);
    EXPECT_EQ(bytes.substr(236, 8), "1       ");
    EXPECT_EQ(bytes.substr(1024), seven + seven + signal_bytes(timekeeping("0")));
    // With no complete record and no annotation the file is the header alone.
    const int again = open_configured(path, 2, 2);
    ASSERT_EQ(edfwrite_digital_samples(again, samples), 0);
    ASSERT_EQ(edfclose_file(again), 0);
    EXPECT_EQ(file_bytes(path).size(), 1024u);
    EXPECT_EQ(file_bytes(path).substr(236, 8), "0       ");
}

TEST(CloseFile, FailuresAreReportedAndTheHandleReleased) {
    const int samples[2] = {7, 7};
    // The header and record fit the stream's buffer; only close meets the full device.
    for (int records : {0, 1}) {
        const int h = open_configured("/dev/full", 1, 2);
        std::setvbuf(edf_handle_table[h]->file, nullptr, _IOFBF, 1 << 16);
        if (records == 1) {
            EXPECT_EQ(edfwrite_digital_samples(h, samples), -1); // its flush fails
        }
        ASSERT_EQ(edfwrite_annotation_utf8_us(h, 0, -1, "x"), 0);
        EXPECT_EQ(edfclose_file(h), -1);
        EXPECT_EQ(edf_get_number_of_open_files(), 0);
        EXPECT_EQ(edfclose_file(h), -1); // closed already
    }
    // A file that lost its data behind the writer's back: shorter than its header says.
    temp_dir dir;
    const std::string path = dir.file("short.edf");
    const int h = open_configured(path, 1, 2);
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    std::filesystem::resize_file(path, 700);
    EXPECT_EQ(edfclose_file(h), -1);
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}
