// The layout of the public records, fixed: programs built against one release of the shared
// library pass these records to another, so a change of size or of a field's place breaks
// them. Any such change must fail the build here, and then go with a new major version.
#include "recording/edf.h"

#include <cstddef>
#include <cstdint>

// The layout below is that of the 64-bit platforms (LP64: 8-byte int64_t and double, aligned
// to 8).
#if INTPTR_MAX == INT64_MAX

namespace edf {

static_assert(sizeof(edf_signal_info) == 232);
static_assert(offsetof(edf_signal_info, label) == 0);
static_assert(offsetof(edf_signal_info, samples_in_file) == 24);
static_assert(offsetof(edf_signal_info, physical_max) == 32);
static_assert(offsetof(edf_signal_info, physical_min) == 40);
static_assert(offsetof(edf_signal_info, digital_max) == 48);
static_assert(offsetof(edf_signal_info, digital_min) == 52);
static_assert(offsetof(edf_signal_info, samples_per_record) == 56);
static_assert(offsetof(edf_signal_info, physical_dimension) == 60);
static_assert(offsetof(edf_signal_info, prefilter) == 69);
static_assert(offsetof(edf_signal_info, transducer) == 150);

static_assert(sizeof(edf_header_info) == 951152);
static_assert(offsetof(edf_header_info, handle) == 0);
static_assert(offsetof(edf_header_info, filetype) == 4);
static_assert(offsetof(edf_header_info, ordinary_signal_count) == 8);
static_assert(offsetof(edf_header_info, file_duration) == 16);
static_assert(offsetof(edf_header_info, start_day) == 24);
static_assert(offsetof(edf_header_info, start_month) == 28);
static_assert(offsetof(edf_header_info, start_year) == 32);
static_assert(offsetof(edf_header_info, start_subsecond) == 40);
static_assert(offsetof(edf_header_info, start_second) == 48);
static_assert(offsetof(edf_header_info, start_minute) == 52);
static_assert(offsetof(edf_header_info, start_hour) == 56);
static_assert(offsetof(edf_header_info, patient) == 60);
static_assert(offsetof(edf_header_info, recording) == 141);
static_assert(offsetof(edf_header_info, patient_code) == 222);
static_assert(offsetof(edf_header_info, sex) == 303);
static_assert(offsetof(edf_header_info, gender) == 319);
static_assert(offsetof(edf_header_info, birthdate) == 335);
static_assert(offsetof(edf_header_info, birth_day) == 352);
static_assert(offsetof(edf_header_info, birth_month) == 356);
static_assert(offsetof(edf_header_info, birth_year) == 360);
static_assert(offsetof(edf_header_info, patient_name) == 364);
static_assert(offsetof(edf_header_info, patient_additional) == 445);
static_assert(offsetof(edf_header_info, admin_code) == 526);
static_assert(offsetof(edf_header_info, technician) == 607);
static_assert(offsetof(edf_header_info, equipment) == 688);
static_assert(offsetof(edf_header_info, recording_additional) == 769);
static_assert(offsetof(edf_header_info, datarecord_duration) == 856);
static_assert(offsetof(edf_header_info, datarecord_count) == 864);
static_assert(offsetof(edf_header_info, annotation_count) == 872);
static_assert(offsetof(edf_header_info, signals) == 880);

static_assert(sizeof(edf_annotation) == 552);
static_assert(offsetof(edf_annotation, onset) == 0);
static_assert(offsetof(edf_annotation, duration) == 8);
static_assert(offsetof(edf_annotation, duration_text) == 16);
static_assert(offsetof(edf_annotation, annotation) == 36);

} // namespace edf

#endif
