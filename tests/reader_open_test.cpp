// Opening files for reading: the order of the checks and their codes, the handles handed out,
// and the header record filled for plain and EDF+/BDF+ files.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace reader_test;

namespace {

// An EDF+ file with 'EEG', the annotation signal and 'ECG', `records` records of 0.5 s.
file_spec three_signal_spec() {
    file_spec f;
    f.record_duration = "0.5";
    f.signals = {{"EEG", 256, -2048, 2047, "-500", "500", "uV", "AgAgCl electrode", "HP:0.1Hz"},
                 annotation_signal_spec(false),
                 {"ECG", 3, -32768, 32767, "-2.5", "7.5", "mV", "", "none"}};
    return f;
}

std::string file_with_records(const file_spec &f, int64_t records) {
    int record_size = 0;
    for (const auto &s : f.signals) {
        record_size += s.samples_per_record * (f.bdf ? 3 : 2);
    }
    std::string bytes = header_bytes(f, records);
    for (int64_t r = 0; r < records; r++) {
        std::string record(static_cast<size_t>(record_size), '\0');
        int offset = 0;
        for (const auto &s : f.signals) {
            if (s.label == "EDF Annotations" || s.label == "BDF Annotations") {
                char time[32];
                std::snprintf(time, sizeof time, "%lld.5", static_cast<long long>(r / 2));
                const std::string tal = timekeeping(r % 2 ? time : std::to_string(r / 2));
                record.replace(static_cast<size_t>(offset), tal.size(), tal);
            }
            offset += s.samples_per_record * (f.bdf ? 3 : 2);
        }
        bytes += record;
    }
    return bytes;
}

struct open_result {
    int result;
    int handle;
    int filetype;
};

open_result open_path(const std::string &path, int mode = 2) {
    auto hdr = new_header();
    const int result = edfopen_file_readonly(path.c_str(), hdr.get(), mode);
    return {result, hdr->handle, hdr->filetype};
}

} // namespace

TEST(ReaderOpen, RefusalsComeWithTheirCodesAndLeaveNothingOpen) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    write_bytes(path, file_with_records(three_signal_spec(), 2));
    const int open_before = edf_get_number_of_open_files();

    for (const int mode : {-1, 3}) {
        auto hdr = new_header();
        std::memset(hdr.get(), 0x5a, sizeof *hdr);
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), mode), -1);
        EXPECT_EQ(hdr->handle, -1);
        EXPECT_EQ(hdr->filetype, EDF_ERR_ANNOTATION_MODE);
        EXPECT_EQ(hdr->ordinary_signal_count, 0); // the record is cleared first
        EXPECT_EQ(hdr->signals[EDF_MAX_SIGNALS - 1].samples_per_record, 0);
    }
    EXPECT_EQ(open_path(dir.file("missing.edf")).filetype, EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(open_path(dir.path().string()).result, -1); // a directory is no EDF file

    // Header refusals pass their codes through.
    const std::string shorter = dir.file("short.edf");
    write_bytes(shorter, "0       ");
    EXPECT_EQ(open_path(shorter).filetype, EDF_ERR_READ);
    const std::string longer = dir.file("long.edf");
    write_bytes(longer, file_with_records(three_signal_spec(), 2) + "x");
    EXPECT_EQ(open_path(longer).filetype, EDF_ERR_FORMAT);

    file_spec discontinuous = three_signal_spec();
    discontinuous.reserved = "EDF+D";
    const std::string d = dir.file("d.edf");
    write_bytes(d, file_with_records(discontinuous, 2));
    const open_result r = open_path(d);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.handle, -1);
    EXPECT_EQ(r.filetype, EDF_ERR_DISCONTINUOUS);
    EXPECT_EQ(edf_get_number_of_open_files(), open_before);
    EXPECT_EQ(edf_is_file_used(d.c_str()), 0);
}

TEST(ReaderOpen, SamePathTwiceInEitherMode) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    write_bytes(path, file_with_records(three_signal_spec(), 2));
    const open_result first = open_path(path);
    ASSERT_EQ(first.result, 0);
    const open_result second = open_path(path);
    EXPECT_EQ(second.result, -1);
    EXPECT_EQ(second.filetype, EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(edfclose_file(first.handle), 0);
    const open_result again = open_path(path);
    ASSERT_EQ(again.result, 0);
    EXPECT_EQ(edfclose_file(again.handle), 0);

    const std::string written = dir.file("w.edf");
    const int writer = edfopen_file_writeonly(written.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(open_path(written).filetype, EDF_ERR_ALREADY_OPEN);
    edfclose_file(writer);
}

TEST(ReaderOpen, HandlesAreTakenLowestFirstUpTo64Files) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    write_bytes(path, file_with_records(three_signal_spec(), 2));
    ASSERT_EQ(edf_get_number_of_open_files(), 0) << "this test needs an empty handle table";

    // 63 files open for writing, then one for reading: the table is full.
    std::vector<int> writers;
    for (int i = 0; i < 63; i++) {
        const std::string w = dir.file(std::to_string(i).append(".edf"));
        writers.push_back(edfopen_file_writeonly(w.c_str(), EDF_FILETYPE_EDFPLUS, 1));
        ASSERT_EQ(writers.back(), i);
    }
    const open_result last = open_path(path);
    ASSERT_EQ(last.result, 0);
    EXPECT_EQ(last.handle, 63);
    const std::string copy = dir.file("copy.edf");
    write_bytes(copy, read_bytes(path));
    EXPECT_EQ(open_path(copy).filetype, EDF_ERR_TOO_MANY_FILES);
    EXPECT_EQ(open_path(copy, 7).filetype, EDF_ERR_ANNOTATION_MODE); // mode is checked first

    // Freed handles are reused, lowest first.
    edfclose_file(writers[5]);
    edfclose_file(writers[2]);
    const open_result reused = open_path(copy);
    EXPECT_EQ(reused.handle, 2);
    edfclose_file(reused.handle);
    edfclose_file(last.handle);
    for (int i = 0; i < 63; i++) {
        if (i != 2 && i != 5) {
            edfclose_file(writers[static_cast<size_t>(i)]);
        }
    }
    EXPECT_EQ(edf_get_number_of_open_files(), 0);
}

TEST(ReaderOpen, HeaderRecordOfAnEdfPlusFile) {
    temp_dir dir;
    file_spec f = three_signal_spec();
    f.patient = "ABC-123 F 02-MAY-1951 Subject_One more_text";
    f.recording = "Startdate 01-FEB-2003 ADM7 TECH_A AMP-2 left_arm test";
    const std::string path = dir.file("a.edf");
    write_bytes(path, file_with_records(f, 10));
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), 0);

    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDFPLUS);
    EXPECT_EQ(hdr->ordinary_signal_count, 2);
    EXPECT_EQ(hdr->datarecord_duration, 5000000);
    EXPECT_EQ(hdr->datarecord_count, 10);
    EXPECT_EQ(hdr->file_duration, 50000000);
    EXPECT_EQ(hdr->start_day, 1);
    EXPECT_EQ(hdr->start_month, 2);
    EXPECT_EQ(hdr->start_year, 2003);
    EXPECT_EQ(hdr->start_hour, 4);
    EXPECT_EQ(hdr->start_minute, 5);
    EXPECT_EQ(hdr->start_second, 6);
    EXPECT_EQ(hdr->start_subsecond, 0);
    EXPECT_EQ(hdr->annotation_count, 0);
    EXPECT_STREQ(hdr->patient, "");
    EXPECT_STREQ(hdr->recording, "");
    EXPECT_STREQ(hdr->patient_code, "ABC-123");
    EXPECT_STREQ(hdr->sex, "Female");
    EXPECT_STREQ(hdr->gender, "Female");
    EXPECT_STREQ(hdr->birthdate, "02 may 1951");
    EXPECT_EQ(hdr->birth_day, 2);
    EXPECT_EQ(hdr->birth_month, 5);
    EXPECT_EQ(hdr->birth_year, 1951);
    EXPECT_STREQ(hdr->patient_name, "Subject One");
    EXPECT_EQ(std::string(hdr->patient_additional), pad("more_text", 46));
    EXPECT_STREQ(hdr->admin_code, "ADM7");
    EXPECT_STREQ(hdr->technician, "TECH A");
    EXPECT_STREQ(hdr->equipment, "AMP-2");
    EXPECT_EQ(std::string(hdr->recording_additional), pad("left_arm test", 40));

    const edf_signal_info &eeg = hdr->signals[0];
    EXPECT_EQ(std::string(eeg.label), pad("EEG", 16)); // as stored, trailing spaces included
    EXPECT_EQ(eeg.samples_per_record, 256);
    EXPECT_EQ(eeg.samples_in_file, 2560);
    EXPECT_EQ(eeg.physical_min, -500.0);
    EXPECT_EQ(eeg.physical_max, 500.0);
    EXPECT_EQ(eeg.digital_min, -2048);
    EXPECT_EQ(eeg.digital_max, 2047);
    EXPECT_EQ(std::string(eeg.physical_dimension), pad("uV", 8));
    EXPECT_EQ(std::string(eeg.transducer), pad("AgAgCl electrode", 80));
    EXPECT_EQ(std::string(eeg.prefilter), pad("HP:0.1Hz", 80));
    const edf_signal_info &ecg = hdr->signals[1]; // file signal 2: the annotations are hidden
    EXPECT_EQ(std::string(ecg.label), pad("ECG", 16));
    EXPECT_EQ(ecg.samples_in_file, 30);
    EXPECT_EQ(ecg.physical_min, -2.5);
    EXPECT_EQ(ecg.physical_max, 7.5);
    const edf_signal_info zero{};
    EXPECT_EQ(std::memcmp(&hdr->signals[2], &zero, sizeof zero), 0);
    EXPECT_EQ(edfclose_file(hdr->handle), 0);
}

TEST(ReaderOpen, HeaderRecordOfPlainEdfAndBdfFiles) {
    temp_dir dir;
    for (const bool bdf : {false, true}) {
        file_spec f;
        f.bdf = bdf;
        f.reserved = bdf ? "24BIT" : "";
        f.patient = "patient  text";
        f.recording = "recording text";
        // Plain files may carry a signal with the annotation label; it is an ordinary one.
        f.signals = {{"Fp1", 4, -100, 100},
                     {bdf ? "BDF Annotations" : "EDF Annotations", 2, -100, 100}};
        const std::string path = dir.file(bdf ? "p.bdf" : "p.edf");
        write_bytes(path, header_bytes(f, 3) + std::string(3 * 6 * (bdf ? 3 : 2), '\0'));
        auto hdr = new_header();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), 0);
        EXPECT_EQ(hdr->filetype, bdf ? EDF_FILETYPE_BDF : EDF_FILETYPE_EDF);
        EXPECT_EQ(std::string(hdr->patient), pad("patient  text", 80));
        EXPECT_EQ(std::string(hdr->recording), pad("recording text", 80));
        EXPECT_STREQ(hdr->patient_code, "");
        EXPECT_STREQ(hdr->patient_name, "");
        EXPECT_STREQ(hdr->equipment, "");
        EXPECT_EQ(hdr->birth_year, 0);
        EXPECT_EQ(hdr->annotation_count, 0);
        EXPECT_EQ(hdr->start_subsecond, 0);
        EXPECT_EQ(hdr->ordinary_signal_count, 2);
        EXPECT_EQ(std::string(hdr->signals[1].label),
                  pad(bdf ? "BDF_Annotations" : "EDF_Annotations", 16));
        EXPECT_EQ(hdr->signals[1].samples_in_file, 6);
        edfclose_file(hdr->handle);
    }
}

TEST(ReaderOpen, AnnotationSignalsOfAnEdfPlusFileAreHidden) {
    // Only annotation signals: no ordinary signal to list, and a record duration of 0.
    temp_dir dir;
    file_spec f;
    f.record_duration = "0";
    f.signals = {annotation_signal_spec(false), annotation_signal_spec(false)};
    const std::string path = dir.file("a.edf");
    write_bytes(path, header_bytes(f, 2) +
                          tal_bytes(timekeeping("0.5") + "+1" + "\x14" + "x" + "\x14") +
                          tal_bytes("") + tal_bytes(timekeeping("0.5")) + tal_bytes(""));
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), 0);
    EXPECT_EQ(hdr->ordinary_signal_count, 0);
    EXPECT_EQ(hdr->annotation_count, 1);
    EXPECT_EQ(hdr->start_subsecond, 5000000);
    EXPECT_EQ(hdr->file_duration, 0);
    int sample;
    EXPECT_EQ(edfread_digital_samples(hdr->handle, 0, 1, &sample), -1);
    edfclose_file(hdr->handle);
}

TEST(AnnotationAccess, CopiesByNumber) {
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    std::string tals = timekeeping("0");
    for (int i = 0; i < 5; i++) {
        tals += "+" + std::to_string(i) +
                (i == 2 ? "\x15"
                          "1.5"
                        : "") +
                "\x14" + "t" + std::to_string(i) + "\x14" + std::string(1, '\0');
    }
    write_bytes(path, annotation_only_file({tals}));
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), 0);
    ASSERT_EQ(hdr->annotation_count, 5);
    edf_annotation a;
    ASSERT_EQ(edf_get_annotation(hdr->handle, 4, &a), 0);
    EXPECT_STREQ(a.annotation, "t4");
    EXPECT_EQ(a.onset, 40000000);
    EXPECT_EQ(a.duration, -10000000);
    EXPECT_STREQ(a.duration_text, "");
    ASSERT_EQ(edf_get_annotation(hdr->handle, 2, &a), 0);
    EXPECT_EQ(a.duration, 15000000);
    EXPECT_STREQ(a.duration_text, "1.5");

    const edf_annotation zero{};
    for (const int n : {5, -1, INT32_MAX}) {
        std::memset(&a, 0x5a, sizeof a);
        EXPECT_EQ(edf_get_annotation(hdr->handle, n, &a), -1);
        EXPECT_EQ(std::memcmp(&a, &zero, sizeof a), 0);
    }
    // The copy outlives the handle.
    ASSERT_EQ(edf_get_annotation(hdr->handle, 0, &a), 0);
    const int handle = hdr->handle;
    edfclose_file(handle);
    EXPECT_STREQ(a.annotation, "t0");
    EXPECT_EQ(edf_get_annotation(handle, 0, &a), -1);
    for (const int bad : {-1, 64, 1000}) {
        EXPECT_EQ(edf_get_annotation(bad, 0, &a), -1);
    }
    EXPECT_EQ(edf_get_annotation(0, 0, nullptr), -1);

    // Mode 0 collects nothing.
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 0), 0);
    EXPECT_EQ(edf_get_annotation(hdr->handle, 0, &a), -1);
    edfclose_file(hdr->handle);
}

TEST(AnnotationAccess, WriteHandlesHaveNone) {
    temp_dir dir;
    const std::string path = dir.file("w.edf");
    const int handle = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(edfwrite_annotation_utf8_us(handle, 0, -1, "queued"), 0);
    edf_annotation a;
    EXPECT_EQ(edf_get_annotation(handle, 0, &a), -1);
    edfclose_file(handle);
}
