// The copy keeps the samples digitally exact. Its records are as long as the largest duration
// that divides the source's record duration and every segment's start, so that each gap is a
// whole number of records; when that would split a record between two samples of a signal,
// the copy is refused rather than shifting times.
#include "continuous_copy.h"

#include "number_text.h"
#include "segment_report.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <vector>

namespace {

constexpr int max_annotation_signals = 64;
constexpr int64_t no_duration = -EDF_TIME_DIMENSION;

struct queued_annotation {
    int64_t onset_us;
    int64_t duration_us; // negative: none
    std::string text;
};

// The writer takes record durations of 1 to 9999 microseconds or of 1 ms to 60 s in steps of
// 10 microseconds.
bool set_duration(int handle, int64_t ticks) {
    if (ticks % 100 == 0 && ticks / 100 >= 100 && ticks / 100 <= 6000000) {
        return edf_set_datarecord_duration(handle, static_cast<int>(ticks / 100)) == 0;
    }
    if (ticks % 10 == 0 && ticks / 10 >= 1 && ticks / 10 <= 9999) {
        return edf_set_datarecord_duration_us(handle, static_cast<int>(ticks / 10)) == 0;
    }
    return false;
}

bool writable_duration(int64_t ticks) {
    return (ticks % 100 == 0 && ticks / 100 >= 100 && ticks / 100 <= 6000000) ||
           (ticks % 10 == 0 && ticks / 10 >= 1 && ticks / 10 <= 9999);
}

// The digital value that stands for physical 0, clipped into the digital range.
int zero_sample(const edf_signal_info &s) {
    const double digital_span = static_cast<double>(s.digital_max) - s.digital_min;
    const double bit_value = (s.physical_max - s.physical_min) / digital_span;
    if (!(std::isfinite(bit_value)) || bit_value == 0.0) {
        return std::clamp(0, s.digital_min, s.digital_max);
    }
    const double offset = s.physical_max / bit_value - s.digital_max;
    const double d = std::round(-offset);
    return static_cast<int>(
        std::clamp(d, static_cast<double>(s.digital_min), static_cast<double>(s.digital_max)));
}

void copy_identification(int handle, const edf_header_info &h) {
    const bool plus = h.filetype == EDF_FILETYPE_EDFPLUS || h.filetype == EDF_FILETYPE_BDFPLUS;
    if (!plus) {
        edf_set_patientname(handle, h.patient);
        edf_set_recording_additional(handle, h.recording);
        return;
    }
    edf_set_patientcode(handle, h.patient_code);
    edf_set_patientname(handle, h.patient_name);
    if (h.sex[0] == 'M' || h.sex[0] == 'F') {
        edf_set_sex(handle, h.sex[0] == 'M' ? EDF_MALE : EDF_FEMALE);
    }
    if (h.birth_year != 0) {
        edf_set_birthdate(handle, h.birth_year, h.birth_month, h.birth_day);
    }
    edf_set_patient_additional(handle, h.patient_additional);
    edf_set_admincode(handle, h.admin_code);
    edf_set_technician(handle, h.technician);
    edf_set_equipment(handle, h.equipment);
    edf_set_recording_additional(handle, h.recording_additional);
}

// The copy's writer. A copy that is not finished is closed and removed (a partial file is of
// no use), unless the output is a device such as /dev/null.
struct writer {
    int handle = -1;
    std::string path;
    bool finished = false;
    ~writer() {
        if (handle >= 0) {
            edfclose_file(handle);
        }
        std::error_code ignored;
        if (!path.empty() && !finished && std::filesystem::is_regular_file(path, ignored)) {
            std::filesystem::remove(path, ignored);
        }
    }
};

// What a failed write of the copy means, in the words that the library's file operations use.
std::string write_failure() {
    return edf_error_text(EDF_ERR_WRITE);
}

} // namespace

std::string write_continuous_copy(const std::string &out_path, const edf_header_info &h) {
    const int ns = h.ordinary_signal_count;
    const int64_t record = h.datarecord_duration;
    if (ns < 1) {
        return "a file without ordinary signals has no samples to copy";
    }
    if (record <= 0) {
        return "records of no duration have no time axis to fill";
    }
    const std::vector<edf_segment> segments = segments_of(h);

    // The copy's record duration: the largest that divides the source's record duration and
    // every segment start, holds a whole number of samples of every signal, and can be written.
    int64_t common = record;
    for (const edf_segment &s : segments) {
        common = std::gcd(common, s.start);
    }
    int64_t step = 0;
    for (int64_t m = 1; m <= 10000 && step == 0; m++) {
        const int64_t candidate = common / m;
        if (common % m != 0 || !writable_duration(candidate)) {
            continue;
        }
        const int64_t split = record / candidate; // copy records per source record
        bool whole = true;
        for (int n = 0; n < ns && whole; n++) {
            whole = h.signals[n].samples_per_record % split == 0;
        }
        step = whole ? candidate : 0;
    }
    if (step == 0) {
        return "the gaps are not whole numbers of sample periods that a continuous file can hold";
    }
    const int64_t split = record / step;

    // Annotations: the file's own, and one "gap" per gap, in the order of their onsets.
    std::vector<queued_annotation> annotations;
    edf_annotation a;
    for (int64_t n = 0; n < h.annotation_count; n++) {
        if (edf_get_annotation(h.handle, static_cast<int>(n), &a) != 0) {
            return "cannot read the annotations";
        }
        annotations.push_back(
            {a.onset / 10, a.duration == no_duration ? -1 : a.duration / 10, a.annotation});
    }
    // Records of unknown time belong to no segment: the copy leaves them out, as the time
    // axis does (the time they may have filled is a gap when the segments leave one).
    int64_t gap_records = 0;
    int64_t segment_records = 0;
    for (std::size_t n = 0; n < segments.size(); n++) {
        segment_records += segments[n].record_count;
        const int64_t start = n > 0 ? segment_end(h, segments[n - 1]) : 0;
        if (n > 0 && segments[n].start > start) {
            annotations.push_back({start / 10, (segments[n].start - start) / 10, "gap"});
            gap_records += (segments[n].start - start) / step;
        }
    }
    std::stable_sort(annotations.begin(), annotations.end(),
                     [](const queued_annotation &x, const queued_annotation &y) {
                         return x.onset_us < y.onset_us;
                     });
    const int64_t records_out = (segment_records * split) + gap_records;
    int64_t annotation_signals = 1;
    if (records_out > 0) {
        annotation_signals = std::max<int64_t>(
            1, (static_cast<int64_t>(annotations.size()) + records_out - 1) / records_out);
    }
    if (annotation_signals > max_annotation_signals) {
        return "too many annotations for the records of the copy";
    }

    const bool bdf = h.filetype == EDF_FILETYPE_BDF || h.filetype == EDF_FILETYPE_BDFPLUS;
    writer w;
    w.handle = edfopen_file_writeonly(out_path.c_str(),
                                      bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, ns);
    if (w.handle < 0) {
        return edf_error_text(w.handle); // the output is left as it was
    }
    w.path = out_path;
    bool ok =
        set_duration(w.handle, step) &&
        edf_set_number_of_annotation_signals(w.handle, static_cast<int>(annotation_signals)) == 0 &&
        edf_set_startdatetime(w.handle, h.start_year, h.start_month, h.start_day, h.start_hour,
                              h.start_minute, h.start_second) == 0 &&
        edf_set_subsecond_starttime(w.handle, static_cast<int>(h.start_subsecond)) == 0;
    for (int n = 0; n < ns && ok; n++) {
        const edf_signal_info &s = h.signals[n];
        ok = edf_set_samplefrequency(w.handle, n, static_cast<int>(s.samples_per_record / split)) ==
                 0 &&
             edf_set_digital_maximum(w.handle, n, s.digital_max) == 0 &&
             edf_set_digital_minimum(w.handle, n, s.digital_min) == 0 &&
             edf_set_physical_maximum(w.handle, n, s.physical_max) == 0 &&
             edf_set_physical_minimum(w.handle, n, s.physical_min) == 0 &&
             edf_set_label(w.handle, n, s.label) == 0 &&
             edf_set_physical_dimension(w.handle, n, s.physical_dimension) == 0 &&
             edf_set_prefilter(w.handle, n, s.prefilter) == 0 &&
             edf_set_transducer(w.handle, n, s.transducer) == 0;
    }
    if (!ok) {
        return "the header of the copy cannot be set up";
    }
    copy_identification(w.handle, h);
    for (const queued_annotation &q : annotations) {
        if (edfwrite_annotation_utf8_us(w.handle, q.onset_us, q.duration_us, q.text.c_str()) != 0) {
            return "cannot store the annotation at " + ticks_to_seconds_text(q.onset_us * 10) +
                   " s";
        }
    }

    std::vector<std::vector<int>> samples(static_cast<std::size_t>(ns));
    std::vector<std::vector<int>> zeros(static_cast<std::size_t>(ns));
    for (int n = 0; n < ns; n++) {
        const edf_signal_info &s = h.signals[n];
        samples[static_cast<std::size_t>(n)].resize(static_cast<std::size_t>(s.samples_per_record));
        zeros[static_cast<std::size_t>(n)].assign(
            static_cast<std::size_t>(s.samples_per_record / split), zero_sample(s));
    }
    for (std::size_t g = 0; g < segments.size(); g++) {
        if (g > 0) {
            const int64_t gap = segments[g].start - segment_end(h, segments[g - 1]);
            for (int64_t r = 0; r < gap / step; r++) {
                for (int n = 0; n < ns; n++) {
                    if (edfwrite_digital_samples(w.handle,
                                                 zeros[static_cast<std::size_t>(n)].data()) != 0) {
                        return write_failure();
                    }
                }
            }
        }
        for (int n = 0; n < ns; n++) {
            const int64_t first = segments[g].first_record * h.signals[n].samples_per_record;
            if (edfseek(h.handle, n, first, EDFSEEK_SET) != first) {
                return "cannot read signal " + std::to_string(n);
            }
        }
        for (int64_t r = 0; r < segments[g].record_count; r++) {
            for (int n = 0; n < ns; n++) {
                std::vector<int> &buffer = samples[static_cast<std::size_t>(n)];
                const int count = h.signals[n].samples_per_record;
                if (edfread_digital_samples(h.handle, n, count, buffer.data()) != count) {
                    return "cannot read signal " + std::to_string(n);
                }
            }
            for (int64_t part = 0; part < split; part++) {
                for (int n = 0; n < ns; n++) {
                    const int per_part = h.signals[n].samples_per_record / static_cast<int>(split);
                    if (edfwrite_digital_samples(w.handle,
                                                 samples[static_cast<std::size_t>(n)].data() +
                                                     part * per_part) != 0) {
                        return write_failure();
                    }
                }
            }
        }
    }
    const int closed = edfclose_file(w.handle);
    w.handle = -1;
    if (closed == -1) {
        return write_failure(); // completing the file failed
    }
    if (closed != 0) {
        return "cannot finish the copy (" + std::string(edf_error_text(closed)) + ")";
    }
    w.finished = true;
    return "";
}
