// Byte layout of the EDF/BDF header: a 256-byte fixed part, then 256 bytes per signal stored
// field by field (all labels, then all transducer types, ...), and of the data records.
#pragma once

#include <cstdint>

namespace edf::edf_layout {

inline constexpr int fixed_header_size = 256;
inline constexpr int signal_header_size = 256;

// Fixed part: offset and width of every field.
struct field {
    int offset;
    int width;
};
inline constexpr field version{0, 8};
inline constexpr field patient{8, 80};
inline constexpr field recording{88, 80};
inline constexpr field start_date{168, 8};
inline constexpr field start_time{176, 8};
inline constexpr field header_bytes{184, 8};
inline constexpr field reserved{192, 44};
inline constexpr field datarecord_count{236, 8};
inline constexpr field datarecord_duration{244, 8};
inline constexpr field signal_count{252, 4};
static_assert(signal_count.offset + signal_count.width == fixed_header_size);

// Signal part: per-signal widths in storage order. Field k of signal i of ns signals lies at
// 256 + ns * (sum of the widths before k) + i * width(k).
inline constexpr int label_width = 16;
inline constexpr int transducer_width = 80;
inline constexpr int dimension_width = 8;
inline constexpr int physical_min_width = 8;
inline constexpr int physical_max_width = 8;
inline constexpr int digital_min_width = 8;
inline constexpr int digital_max_width = 8;
inline constexpr int prefilter_width = 80;
inline constexpr int samples_width = 8;
inline constexpr int signal_reserved_width = 32;

inline constexpr int label_start = 0;
inline constexpr int transducer_start = label_start + label_width;
inline constexpr int dimension_start = transducer_start + transducer_width;
inline constexpr int physical_min_start = dimension_start + dimension_width;
inline constexpr int physical_max_start = physical_min_start + physical_min_width;
inline constexpr int digital_min_start = physical_max_start + physical_max_width;
inline constexpr int digital_max_start = digital_min_start + digital_min_width;
inline constexpr int prefilter_start = digital_max_start + digital_max_width;
inline constexpr int samples_start = prefilter_start + prefilter_width;
inline constexpr int signal_reserved_start = samples_start + samples_width;
static_assert(signal_reserved_start + signal_reserved_width == signal_header_size);

// Annotation signals: 120 bytes in every data record (60 samples of 2 bytes in EDF+, 40 of 3
// in BDF+).
inline constexpr int annotation_signal_bytes = 120;
inline constexpr int edf_annotation_samples = 60;
inline constexpr int bdf_annotation_samples = 40;
static_assert(edf_annotation_samples * 2 == annotation_signal_bytes);
static_assert(bdf_annotation_samples * 3 == annotation_signal_bytes);

// The writer's limits on the size of one data record.
inline constexpr int64_t edf_max_record_size = 10485760;
inline constexpr int64_t bdf_max_record_size = 15728640;

// Two-digit header years: 85-99 are 1985-1999, 00-84 are 2000-2084.
inline constexpr int first_year = 1985;
inline constexpr int last_year = 2084;

inline constexpr const char *month_names[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

} // namespace edf::edf_layout
