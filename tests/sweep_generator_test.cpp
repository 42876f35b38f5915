// The sweep program end to end: the file it writes, recomputed here sample by sample, and its
// messages and exit status when a library call fails.
#include "child_processes.h"
#include "test_files.h"
#include "windows_skips.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

using namespace std::string_literals;

// Runs the program in `work` after the shell commands `setup`; returns its exit status (-1
// when it did not exit) and its standard output.
std::pair<int, std::string> run_generator(const temp_dir &work, const std::string &setup = "") {
#ifdef _WIN32
    if (!setup.empty()) {
        return {-1, "no shell commands on Windows"};
    }
    const child_processes::program_result r =
        child_processes::run_program(SWEEP_GENERATOR_PATH, {}, utf8_path(work.path()));
    return {r.status, r.out};
#else
    const temp_dir out_dir; // outside `work`, which `setup` may remove
    const std::string out = out_dir.file("stdout.txt");
    const std::string command = "cd '" + work.path().string() + "' && " + setup + "'" +
                                SWEEP_GENERATOR_PATH + "' > '" + out + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, file_bytes(out)};
#endif
}

// "%f" of a frequency without the zeros that end its fraction.
std::string frequency_text(double frequency) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", frequency);
    std::string s = text;
    while (s.back() == '0') {
        s.pop_back();
    }
    if (s.back() == '.') {
        s.pop_back();
    }
    return s + "Hz";
}

std::string annotation_signal(int record, const std::string &onset, const std::string &text) {
    std::string bytes = "+";
    bytes += std::to_string(record);
    bytes += "\x14\x14\0"s;
    if (!text.empty()) {
        bytes += "+";
        bytes += onset;
        bytes += "\x14";
        bytes += text;
        bytes += "\x14";
    }
    bytes.resize(120, '\0');
    return bytes;
}

// The whole file as the program must write it, with placeholders for the start date and time.
std::string expected_file(std::vector<std::string> *frequency_texts, double *first_sample) {
    std::string file =
        field("0", 8) + field("X X X Logarithmic_frequency_sweep_from_10Hz_to_4095Hz", 80) +
        field("Startdate DD-MMM-YYYY X X Software_generated_file", 80) + "dd.mm.yyhh.mm.ss" +
        field("768", 8) + field("EDF+C", 44) + field("300", 8) + field("1", 8) + field("2", 4) +
        field("sweep", 16) + "EDF Annotations " + std::string(160, ' ') + field("uV", 16) +
        field("-400", 8) + field("-1", 8) + field("400", 8) + field("1", 8) + field("-32768", 8) +
        field("-32768", 8) + field("32767", 8) + field("32767", 8) + std::string(160, ' ') +
        field("8192", 8) + field("60", 8) + std::string(64, ' ');

    // The conversion pair of the header writer for -400..400 on -32768..32767.
    const double bit_value = 800.0 / 65535.0;
    const double offset = 400.0 / bit_value - 32767;
    double phase = 0.0;
    double frequency = 1.020519089405171;
    for (int i = 0; i < 300; i++) {
        for (int j = 0; j < 8192; j++) {
            const int64_t d = 8192LL * i + j;
            phase += 6.283185307179586 / (8192.0 / frequency);
            const double sample = std::sin(phase) * 200.0;
            if (d == 0) {
                *first_sample = sample;
            }
            frequency = std::pow(10.0, (static_cast<double>(d) + 6016.156670746634) /
                                           2463616.1566707464 * 3.6122539060964374);
            int digital = static_cast<int>(std::trunc(sample / bit_value - offset));
            digital = std::min(32767, std::max(-32768, digital));
            file += static_cast<char>(digital & 0xFF);
            file += static_cast<char>((digital >> 8) & 0xFF);
        }
        if (i % 10 == 0) {
            frequency_texts->push_back(frequency_text(frequency));
        }
        // Annotation k of the queue lands in record k; records 1 to 32 are completed below,
        // once all frequency texts are known.
        file += annotation_signal(i, "0", i == 0 ? "Recording starts" : "");
    }
    frequency_texts->push_back(frequency_text(frequency));
    return file;
}

} // namespace

// Every byte of the file: the header of the sweep configuration, the 2457600 samples and the
// 33 annotations.
TEST(SweepGenerator, WritesTheSpecifiedFile) {
    temp_dir dir;
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(run_generator(dir), std::pair(0, ""s));
    const std::time_t after = std::time(nullptr);
    const std::string actual = file_bytes(dir.file("freq_sweep.edf"));
    ASSERT_EQ(actual.size(), 4951968u);

    std::vector<std::string> texts;
    double first_sample = 0;
    std::string expected = expected_file(&texts, &first_sample);
    ASSERT_EQ(texts.size(), 31u);
    EXPECT_NEAR(first_sample, 0.1565, 0.0001);
    // Records 1 to 32 carry the frequencies, the final frequency and "Recording ends".
    const size_t record_size = 16504;
    for (int k = 1; k <= 32; k++) {
        const std::string onset = k <= 30 ? std::to_string(10 * (k - 1)) : "300";
        const std::string text = k <= 31 ? texts[static_cast<size_t>(k - 1)] : "Recording ends";
        expected.replace(768 + record_size * static_cast<size_t>(k) + 16384, 120,
                         annotation_signal(k, onset, text));
    }
    // Values that a correctly rounded pow gives.
    EXPECT_EQ(texts[0], "1.049134Hz");
    EXPECT_EQ(texts[1], "1.383393Hz");
    EXPECT_EQ(texts[8], "9.588408Hz");
    EXPECT_EQ(texts[18], "152.36695Hz");
    EXPECT_EQ(texts[27], "1836.20263Hz");
    EXPECT_EQ(texts[29], "3192.636369Hz");
    EXPECT_EQ(texts[30], "4094.986175Hz");

    // The start is the local time of the first record's write, between `before` and `after`.
    static const char *const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    bool start_found = false;
    for (std::time_t t = before; t <= after && !start_found; t++) {
        std::tm local{};
#ifdef _WIN32
        localtime_s(&local, &t);
#else
        localtime_r(&t, &local);
#endif
        char date[32];
        std::snprintf(date, sizeof date, "%02d-%s-%04d", local.tm_mday, months[local.tm_mon],
                      local.tm_year + 1900);
        char start[32];
        std::snprintf(start, sizeof start, "%02d.%02d.%02d%02d.%02d.%02d", local.tm_mday,
                      local.tm_mon + 1, local.tm_year % 100, local.tm_hour, local.tm_min,
                      local.tm_sec % 60);
        start_found = actual.substr(98, 11) == date && actual.substr(168, 16) == start;
    }
    EXPECT_TRUE(start_found) << actual.substr(88, 96);
    expected.replace(98, 11, actual.substr(98, 11));
    expected.replace(168, 16, actual.substr(168, 16));

    ASSERT_EQ(expected.size(), actual.size());
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin());
    EXPECT_TRUE(mismatch.first == expected.end())
        << "first difference at byte " << (mismatch.first - expected.begin());
}

#ifdef _WIN32
SKIPPED_ON_WINDOWS(SweepGenerator, ReportsTheCallThatFailed,
                   "a removed working directory, /dev/full and a FIFO, made by the shell")
#else
TEST(SweepGenerator, ReportsTheCallThatFailed) {
    const struct {
        const char *setup; // shell commands run in the program's directory first
        const char *message;
    } cases[] = {
        {"rmdir \"$PWD\" && ", "error: edfopen_file_writeonly()\n"},
        {"ln -s /dev/full freq_sweep.edf && ", "error: edfwrite_physical_samples()\n"},
        // A pipe takes every record but cannot be repositioned to finish the header.
        {"mkfifo freq_sweep.edf && (cat freq_sweep.edf > /dev/null &) && ",
         "error: edfclose_file()\n"},
    };
    for (const auto &c : cases) {
        temp_dir work;
        EXPECT_EQ(run_generator(work, c.setup), std::pair(1, std::string(c.message)));
    }
}
#endif
