// Assembles EDF/BDF header bytes field by field, for tests that need files the writer does
// not produce (plain EDF and BDF, odd but valid variants) and for patching one field of a
// file at a time.
#pragma once

#include "recording/core/header_layout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace header_builder {

using namespace edf;

// `text` cut or padded with spaces to `width` bytes.
inline std::string fit(const std::string &text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

struct signal_fields {
    std::string label = "EEG";
    std::string transducer = "AgAgCl electrode";
    std::string dimension = "uV";
    std::string physical_min = "-500";
    std::string physical_max = "500";
    std::string digital_min = "-32768";
    std::string digital_max = "32767";
    std::string prefilter = "HP:0.1Hz";
    std::string samples = "10";
    std::string reserved;
};

inline signal_fields annotation_signal(bool bdf = false) {
    signal_fields s;
    s.label = bdf ? "BDF Annotations " : "EDF Annotations ";
    s.transducer = "";
    s.dimension = "";
    s.physical_min = "-1";
    s.physical_max = "1";
    s.digital_min = bdf ? "-8388608" : "-32768";
    s.digital_max = bdf ? "8388607" : "32767";
    s.prefilter = "";
    s.samples = bdf ? "40" : "60";
    return s;
}

struct header_fields {
    bool bdf = false;
    std::string patient = "free patient text";
    std::string recording = "free recording text";
    std::string start_date = "17.04.01";
    std::string start_time = "11.22.33";
    std::string reserved;
    std::string datarecord_count = "3";
    std::string datarecord_duration = "1";
    std::vector<signal_fields> signals;

    // The whole header; the header size and the number of signals follow the signal list.
    std::string bytes() const {
        using namespace edf_layout;
        const size_t ns = signals.size();
        std::string h = bdf ? std::string("\xff") + "BIOSEMI" : fit("0", 8);
        h += fit(patient, edf_layout::patient.width) + fit(recording, edf_layout::recording.width);
        h += fit(start_date, edf_layout::start_date.width) +
             fit(start_time, edf_layout::start_time.width);
        h += fit(std::to_string(256 * (ns + 1)), edf_layout::header_bytes.width);
        h += fit(reserved, edf_layout::reserved.width);
        h += fit(datarecord_count, edf_layout::datarecord_count.width) +
             fit(datarecord_duration, edf_layout::datarecord_duration.width);
        h += fit(std::to_string(ns), edf_layout::signal_count.width);
        auto each = [&](std::string signal_fields::*member, size_t width) {
            for (const signal_fields &s : signals) {
                h += fit(s.*member, width);
            }
        };
        each(&signal_fields::label, label_width);
        each(&signal_fields::transducer, transducer_width);
        each(&signal_fields::dimension, dimension_width);
        each(&signal_fields::physical_min, physical_min_width);
        each(&signal_fields::physical_max, physical_max_width);
        each(&signal_fields::digital_min, digital_min_width);
        each(&signal_fields::digital_max, digital_max_width);
        each(&signal_fields::prefilter, prefilter_width);
        each(&signal_fields::samples, samples_width);
        each(&signal_fields::reserved, signal_reserved_width);
        return h;
    }

    // The header followed by zero-filled data records, as many and as large as the fields
    // say.
    std::string file() const {
        int64_t samples = 0;
        for (const signal_fields &s : signals) {
            samples += std::stoll(s.samples);
        }
        const int64_t size = samples * (bdf ? 3 : 2) * std::stoll(datarecord_count);
        return bytes() + std::string(static_cast<size_t>(size), '\0');
    }
};

// Byte offset of signal i's field that starts at `field_start` (per-signal bytes before it)
// and is `width` bytes wide, in a header of ns signals.
inline size_t signal_field_offset(size_t ns, int field_start, int width, size_t i) {
    return 256 + ns * static_cast<size_t>(field_start) + i * static_cast<size_t>(width);
}

// Overwrites `width` bytes at `offset` with `text`, padded with spaces.
inline void patch(std::string &file, size_t offset, const std::string &text, size_t width) {
    file.replace(offset, width, fit(text, width));
}

} // namespace header_builder
