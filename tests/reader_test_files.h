// Helpers for the reader tests: assembly of
// EDF/EDF+/BDF/BDF+ files byte by byte, so that the tests control every header field and
// every byte of the data records.
#pragma once

#include "recording/edf.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace reader_test {

using ::temp_dir;

// The header record is about 1 MB: keep it on the heap.
inline std::unique_ptr<edf_header_info> new_header() {
    return std::make_unique<edf_header_info>();
}

inline std::string pad(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

struct signal_spec {
    std::string label;
    int samples_per_record;
    int digital_min;
    int digital_max;
    std::string physical_min = "-100";
    std::string physical_max = "100";
    std::string dimension = "uV";
    std::string transducer = "";
    std::string prefilter = "";
};

inline signal_spec annotation_signal_spec(bool bdf, int samples = -1) {
    if (bdf) {
        return {"BDF Annotations", samples < 0 ? 40 : samples, -8388608, 8388607, "-1", "1", ""};
    }
    return {"EDF Annotations", samples < 0 ? 60 : samples, -32768, 32767, "-1", "1", ""};
}

struct file_spec {
    bool bdf = false;
    // "EDF+C", "EDF+D", "BDF+C", "" (plain) ... written into the reserved field.
    std::string reserved = "EDF+C";
    std::string patient = "X X X X";
    std::string recording = "Startdate X X X X";
    std::string start_date = "01.02.03";
    std::string start_time = "04.05.06";
    std::string record_duration = "1";
    std::vector<signal_spec> signals;
};

inline std::string header_bytes(const file_spec &f, int64_t records) {
    const size_t ns = f.signals.size();
    std::string h;
    h += f.bdf ? std::string("\xff") + "BIOSEMI" : pad("0", 8);
    h += pad(f.patient, 80);
    h += pad(f.recording, 80);
    h += pad(f.start_date, 8);
    h += pad(f.start_time, 8);
    h += pad(std::to_string(256 * (ns + 1)), 8);
    h += pad(f.reserved, 44);
    h += pad(std::to_string(records), 8);
    h += pad(f.record_duration, 8);
    h += pad(std::to_string(ns), 4);
    for (const auto &s : f.signals)
        h += pad(s.label, 16);
    for (const auto &s : f.signals)
        h += pad(s.transducer, 80);
    for (const auto &s : f.signals)
        h += pad(s.dimension, 8);
    for (const auto &s : f.signals)
        h += pad(s.physical_min, 8);
    for (const auto &s : f.signals)
        h += pad(s.physical_max, 8);
    for (const auto &s : f.signals)
        h += pad(std::to_string(s.digital_min), 8);
    for (const auto &s : f.signals)
        h += pad(std::to_string(s.digital_max), 8);
    for (const auto &s : f.signals)
        h += pad(s.prefilter, 80);
    for (const auto &s : f.signals)
        h += pad(std::to_string(s.samples_per_record), 8);
    for (size_t i = 0; i < ns; i++)
        h += pad("", 32);
    return h;
}

// Bytes of one annotation signal: the given text, then zero bytes up to `length`.
inline std::string tal_bytes(const std::string &text, size_t length = 120) {
    std::string s = text;
    s.resize(length, '\0');
    return s;
}

// "+<t>" 0x14 0x14 0x00: the time-keeping TAL of a record.
inline std::string timekeeping(const std::string &time) {
    return "+" + time + "\x14\x14" + std::string(1, '\0');
}

inline void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Overwrites bytes of a file in place.
inline void patch_bytes(const std::string &path, int64_t position, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, position, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

// An EDF+ file whose only signal is one annotation signal of 60 samples (120 bytes), with one
// record per entry of `records`, each given as the signal's bytes (padded with zeros).
inline std::string annotation_only_file(const std::vector<std::string> &records,
                                        const std::string &duration = "1") {
    file_spec f;
    f.record_duration = duration;
    f.signals = {annotation_signal_spec(false)};
    std::string bytes = header_bytes(f, static_cast<int64_t>(records.size()));
    for (const auto &r : records) {
        bytes += tal_bytes(r);
    }
    return bytes;
}

// Two little-endian bytes of a 16-bit sample, three of a 24-bit one.
inline std::string sample16(int v) {
    return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)};
}
inline std::string sample24(int v) {
    return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
            static_cast<char>((v >> 16) & 0xff)};
}

// A file of `records` records with random sample bytes and valid annotation signals.
inline std::string random_file(const file_spec &f, int64_t records, std::mt19937 &random) {
    const int bps = f.bdf ? 3 : 2;
    std::string bytes = header_bytes(f, records);
    for (int64_t r = 0; r < records; r++) {
        for (const auto &s : f.signals) {
            const size_t n = static_cast<size_t>(s.samples_per_record * bps);
            if (s.label == "EDF Annotations" || s.label == "BDF Annotations") {
                bytes += tal_bytes(timekeeping(std::to_string(r)), n);
            } else {
                for (size_t i = 0; i < n; i++) {
                    bytes += static_cast<char>(random() & 0xff);
                }
            }
        }
    }
    return bytes;
}

} // namespace reader_test
