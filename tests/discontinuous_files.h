// Discontinuous test files (EDF+D/BDF+D) written through the public writer calls: one ordinary
// signal, records of `record_us` microseconds (a multiple of 10, at least 1000), each record's
// start given or following the one before it, and sample values that name their record and place.
#pragma once

#include "test_files.h"

#include <cstdint>
#include <string>
#include <vector>

namespace discontinuous {

inline constexpr int64_t follows = -1;

struct layout {
    const char *name;
    bool bdf;
    int record_us;
    int samples_per_record;
    std::vector<int64_t> starts_us; // one per record: a start, or `follows`
};

// The digital sample of place i in record k.
inline int sample_value(int64_t record, int i) {
    return static_cast<int>(record * 100 + i);
}

// Writes the file and returns 0, or the first failing call's result. Queues one annotation
// "mark" at `mark_us`.
inline int write_file(const std::string &path, const layout &l, int64_t mark_us = 0) {
    const int handle = open_configured(path, 1, l.samples_per_record, l.bdf);
    if (handle < 0) {
        return handle;
    }
    int result = edf_set_datarecord_duration(handle, l.record_us / 10);
    result = result != 0 ? result : edf_set_discontinuous(handle);
    result = result != 0 ? result : edfwrite_annotation_utf8_us(handle, mark_us, -1, "mark");
    std::vector<int> samples(static_cast<size_t>(l.samples_per_record));
    for (size_t k = 0; result == 0 && k < l.starts_us.size(); k++) {
        if (l.starts_us[k] != follows) {
            result = edf_set_record_start(handle, l.starts_us[k]);
        }
        for (int i = 0; i < l.samples_per_record; i++) {
            samples[static_cast<size_t>(i)] = sample_value(static_cast<int64_t>(k), i);
        }
        result = result != 0 ? result : edfwrite_digital_samples(handle, samples.data());
    }
    const int closed = edfclose_file(handle);
    return result != 0 ? result : closed;
}

// The start of every record in microseconds, as the layout means it.
inline std::vector<int64_t> record_starts_us(const layout &l) {
    std::vector<int64_t> starts;
    for (size_t k = 0; k < l.starts_us.size(); k++) {
        starts.push_back(l.starts_us[k] != follows ? l.starts_us[k]
                         : k == 0                  ? 0
                                                   : starts.back() + l.record_us);
    }
    return starts;
}

// The layouts that the tests share: no gap, one, many; gaps shorter than a record; segments
// of a single record; EDF+D and BDF+D.
inline std::vector<layout> layouts() {
    return {
        {"no_gap", false, 1000000, 10, {follows, follows, follows}},
        {"one_gap", false, 1000000, 10, {0, follows, 5000000, follows}},
        {"many_gaps_bdf", true, 500000, 10, {follows, 2000000, 2600000, follows, 10000000}},
        {"short_gaps", false, 1000000, 4, {follows, 1250000, follows, 3500000}},
        {"one_record_segments", true, 250000, 5, {follows, 300000, 700000, 1000000, 1300000}},
    };
}

} // namespace discontinuous
