// Opening a file for writing and the header setters: the order of the open's tests, the
// accepted ranges, the text rules, and the window in which settings may change.
#include "recording/core/recording.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

TEST(WriterOpen, TestsFileTypeThenSignalCount) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("a.edf");
    for (int type : {0, 2, 4, -1}) {
        EXPECT_EQ(edfopen_file_writeonly(path.c_str(), type, 1), EDF_ERR_FILETYPE);
    }
    EXPECT_EQ(edfopen_file_writeonly(path.c_str(), 1, 4096), EDF_ERR_SIGNAL_COUNT);
    EXPECT_EQ(edfopen_file_writeonly(path.c_str(), 1, -1), EDF_ERR_SIGNAL_COUNT);
    EXPECT_FALSE(std::filesystem::exists(path)); // nothing was created
    std::ofstream(path) << "old contents";
    ASSERT_EQ(edfopen_file_writeonly(path.c_str(), 1, 4095), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 0u); // truncated
    // The in-use test comes before the signal count.
    EXPECT_EQ(edfopen_file_writeonly(path.c_str(), 1, -1), EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(edfopen_file_writeonly(dir.file("b.edf").c_str(), 3, 0), 1);
}

TEST(WriterSetters, AcceptedRanges) {
    temp_dir dir;
    const int edf = edfopen_file_writeonly(dir.file("a.edf").c_str(), 1, 2);
    const int bdf = edfopen_file_writeonly(dir.file("a.bdf").c_str(), 3, 1);
    const struct {
        int (*set)(int, int);
        std::vector<int> accepted, refused;
        int handle;
    } cases[] = {
        {[](int h, int v) { return edf_set_samplefrequency(h, 0, v); }, {1}, {0, -1}, edf},
        {[](int h, int v) { return edf_set_physical_maximum(h, v, 1.0); }, {0, 1}, {2, -1}, edf},
        {[](int h, int v) { return edf_set_digital_maximum(h, 0, v); }, {32767, -5}, {32768}, edf},
        {[](int h, int v) { return edf_set_digital_minimum(h, 0, v); }, {-32768, 4}, {-32769}, edf},
        {[](int h, int v) { return edf_set_digital_maximum(h, 0, v); }, {8388607}, {8388608}, bdf},
        {[](int h, int v) { return edf_set_digital_minimum(h, 0, v); },
         {-8388608},
         {-8388609},
         bdf},
        {edf_set_sex, {0, 1}, {2, -1}, edf},
        {edf_set_gender, {0, 1}, {2, -1}, edf},
        {edf_set_subsecond_starttime, {0, 9999999}, {-1, 10000000}, edf},
        {edf_set_datarecord_duration, {100, 6000000}, {99, 6000001}, edf},
        {edf_set_datarecord_duration_us, {1, 9999}, {0, 10000}, edf},
        {edf_set_number_of_annotation_signals, {1, 64}, {0, 65}, edf},
        {edf_set_annotation_signal_position, {0, 1, 2}, {-1, 3}, edf}};
    for (size_t i = 0; i < std::size(cases); i++) {
        for (int v : cases[i].accepted) {
            EXPECT_EQ(cases[i].set(cases[i].handle, v), 0) << "case " << i << ", " << v;
        }
        for (int v : cases[i].refused) {
            EXPECT_EQ(cases[i].set(cases[i].handle, v), -1) << "case " << i << ", " << v;
        }
    }
    // Date and time fields at their limits (accepted, accepted, refused, refused), one at a
    // time, the others valid.
    const int start[6] = {2000, 1, 31, 0, 0, 0};
    const int start_limits[6][4] = {{1985, 2084, 1984, 2085}, {1, 12, 0, 13},  {1, 31, 0, 32},
                                    {0, 23, -1, 24},          {0, 59, -1, 60}, {0, 59, -1, 60}};
    const int birth_years[4] = {1800, 3000, 1799, 3001};
    for (int f = 0; f < 6; f++) {
        for (int k = 0; k < 4; k++) {
            int v[6];
            std::copy(start, start + 6, v);
            v[f] = start_limits[f][k];
            EXPECT_EQ(edf_set_startdatetime(edf, v[0], v[1], v[2], v[3], v[4], v[5]),
                      k < 2 ? 0 : -1);
            if (f < 3) {
                EXPECT_EQ(edf_set_birthdate(edf, f == 0 ? birth_years[k] : v[0], v[1], v[2]),
                          k < 2 ? 0 : -1);
            }
        }
    }
    // Labels that are, or would become in the file, an annotation signal's label.
    for (const char *label : {"EDF Annotations", "BDF Annotations", "EDF Annotations2",
                              " EDF Annotations", "BDF Annotation\xDF", "EDF Annotati\xF3ns"}) {
        EXPECT_EQ(edf_set_label(edf, 0, label), -1) << label;
    }
    EXPECT_EQ(edf_set_label(edf, 0, "edf annotations"), 0);
    EXPECT_EQ(edf_set_label(edf, 0, nullptr), -1);
    edfclose_file(edf);
    edfclose_file(bdf);
}

TEST(WriterSetters, TextsAreCutThenStripped) {
    temp_dir dir;
    const int h = edfopen_file_writeonly(dir.file("a.edf").c_str(), 1, 1);
    const edf_writer_state &r = *edf_writer_for(h);
    const edf_signal_param &s = r.signals[0];
    const std::pair<std::string, std::string> labels[] = {
        {"  sweep  ", "sweep"},
        {"abcdefghijklmnopqrst", "abcdefghijklmnop"},
        {"    abcdefghijklmn", "abcdefghijkl"}, // leading spaces count against the width
        {"\tx ", "\tx"}};                       // only spaces are stripped
    for (const auto &[input, stored] : labels) {
        ASSERT_EQ(edf_set_label(h, 0, input.c_str()), 0);
        EXPECT_EQ(std::string(s.label), stored);
    }
    ASSERT_EQ(edf_set_physical_dimension(h, 0, "abcdefghi"), 0);
    EXPECT_STREQ(s.physical_dimension, "abcdefgh");
    ASSERT_EQ(edf_set_patientname(h, std::string(90, 'n').c_str()), 0);
    EXPECT_EQ(std::string(r.patient_name), std::string(80, 'n'));
    ASSERT_EQ(edf_set_birthdate(h, 1970, 3, 5), 0);
    EXPECT_STREQ(r.birthdate_text, "05.03.1970");
    ASSERT_EQ(edf_set_sex(h, EDF_MALE), 0);
    EXPECT_STREQ(r.sex_text, "M");
    ASSERT_EQ(edf_set_datarecord_duration(h, 50000), 0);
    EXPECT_EQ(r.datarecord_duration_ticks, 5000000);
    EXPECT_EQ(r.datarecord_duration_s, 0.5);
    ASSERT_EQ(edf_set_datarecord_duration_us(h, 250), 0); // the last call wins
    EXPECT_EQ(r.datarecord_duration_ticks, 2500);
    ASSERT_EQ(edf_set_samplefrequency(h, 0, 5), 0);
    ASSERT_EQ(edf_set_samplefrequency(h, 0, -5), -1); // a refused value changes nothing
    EXPECT_EQ(s.samples_per_record, 5);
    edfclose_file(h);
}

// Dates that do not exist are refused by both date setters; the last day of each month, 29
// February of leap years are accepted.
TEST(WriterSetters, DatesThatDoNotExistAreRefused) {
    temp_dir dir;
    const int h = edfopen_file_writeonly(dir.file("a.edf").c_str(), 1, 1);
    const struct {
        int year, month, day;
        bool exists;
    } dates[] = {{2001, 2, 28, true},  {2001, 2, 29, false},  {2024, 2, 29, true},
                 {2000, 2, 29, true},  {2000, 2, 30, false},  {2023, 2, 31, false},
                 {2023, 4, 30, true},  {2023, 4, 31, false},  {2023, 6, 31, false},
                 {2023, 9, 31, false}, {2023, 11, 31, false}, {2023, 12, 31, true}};
    for (const auto &d : dates) {
        const int expected = d.exists ? 0 : -1;
        EXPECT_EQ(edf_set_startdatetime(h, d.year, d.month, d.day, 0, 0, 0), expected)
            << d.year << "-" << d.month << "-" << d.day;
        EXPECT_EQ(edf_set_birthdate(h, d.year, d.month, d.day), expected)
            << d.year << "-" << d.month << "-" << d.day;
    }
    // Centuries are leap years only when divisible by 400 (birth dates reach back to 1800).
    EXPECT_EQ(edf_set_birthdate(h, 1900, 2, 29), -1);
    EXPECT_EQ(edf_set_birthdate(h, 2400, 2, 29), 0);
    // A refused date leaves the last accepted one in place.
    EXPECT_EQ(edf_recording_for(h, edf_side::either)->start_day, 31);
    EXPECT_STREQ(edf_recording_for(h, edf_side::either)->birthdate_text, "29.02.2400");
    edfclose_file(h);
}

// Once the header is in the file and a record has begun, and after the first record is
// complete, no setting may change any more.
TEST(WriterSetters, RefusedOnceARecordHasBegun) {
    temp_dir dir;
    const int h = open_configured(dir.file("a.edf"), 2, 4);
    const std::function<int()> setters[] = {
        [h] { return edf_set_samplefrequency(h, 1, 1000000); },
        [h] { return edf_set_digital_minimum(h, 1, -100); },
        [h] { return edf_set_label(h, 1, "x"); },
        [h] { return edf_set_patientname(h, "x"); },
        [h] { return edf_set_startdatetime(h, 2000, 1, 1, 0, 0, 0); },
        [h] { return edf_set_datarecord_duration(h, 100); },
        [h] { return edf_set_number_of_annotation_signals(h, 2); },
        [h] { return edf_set_annotation_signal_position(h, 1); }};
    const int samples[4] = {};
    for (const char *when : {"in record 0", "after record 0"}) {
        ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
        for (const auto &set : setters) {
            EXPECT_EQ(set(), -1) << when;
        }
    }
    EXPECT_EQ(edfclose_file(h), 0);
    EXPECT_EQ(file_bytes(dir.file("a.edf")).size(), 256u * 4 + (4 * 2 * 2 + 120));
}
