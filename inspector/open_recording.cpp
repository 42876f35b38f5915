// Opening and closing through the public interface, and sample times. A sample's time is
// computed from its data record and its place in the record, so that times stay exact over
// long recordings instead of accumulating a rounded sample interval.
#include "open_recording.h"

#include "segment_report.h"

#include <algorithm>
#include <cmath>
#include <limits>

open_recording::open_recording(const std::string &path, bool lazy)
    : header_(std::make_unique<edf_header_info>()) {
    if (is_remote_url(path)) {
        open_remote(path, lazy);
        return;
    }
    if (edfopen_file_readonly(path.c_str(), header_.get(), EDF_READ_ALL_ANNOTATIONS) == 0) {
        return;
    }
    const int strict_code = header_->filetype;
    if (strict_code != EDF_ERR_FORMAT && strict_code != EDF_ERR_READ &&
        strict_code != EDF_ERR_DISCONTINUOUS) {
        return; // not the file's fault: nothing to tolerate
    }
    if (edfopen_file_readonly_tolerant(path.c_str(), header_.get(), EDF_READ_ALL_ANNOTATIONS) !=
        0) {
        header_->filetype = strict_code;
        return;
    }
    keep_problems();
}

void open_recording::open_remote(const std::string &url, bool lazy) {
    remote_ = std::make_unique<http_source>(url);
    if (!remote_->open()) {
        header_->handle = -1;
        header_->filetype = EDF_ERR_CANNOT_OPEN;
        return;
    }
    const edf_source source = remote_->source();
    const int mode = lazy ? EDF_READ_NO_ANNOTATIONS : EDF_READ_ALL_ANNOTATIONS;
    if (edfopen_source_readonly(&source, url.c_str(), header_.get(), mode, 0) == 0) {
        return;
    }
    const int strict_code = header_->filetype;
    // A failed transfer is not the file's fault: asking again would only fail again.
    if (!remote_->error().empty() ||
        (strict_code != EDF_ERR_FORMAT && strict_code != EDF_ERR_DISCONTINUOUS)) {
        return;
    }
    if (edfopen_source_readonly(&source, url.c_str(), header_.get(), mode, EDF_OPEN_TOLERANT) !=
        0) {
        header_->filetype = strict_code;
        return;
    }
    keep_problems();
}

std::string open_recording::failure_text(int code) const {
    if (remote_ != nullptr && !remote_->error().empty()) {
        return remote_->error();
    }
    return edf_error_text(code);
}

void open_recording::keep_problems() {
    const int count = edf_get_problem_count(header_->handle);
    for (int n = 0; n < count; n++) {
        edf_problem problem;
        if (edf_get_problem(header_->handle, n, &problem) == 0) {
            problems_.push_back(problem);
        }
    }
}

open_recording::~open_recording() {
    if (is_open()) {
        edfclose_file(header_->handle);
    }
}

double recording_seconds(const edf_header_info &header) {
    return static_cast<double>(header.file_duration) / static_cast<double>(EDF_TIME_DIMENSION);
}

double sample_rate(const edf_header_info &header, int signal) {
    if (header.datarecord_duration <= 0) {
        return 0.0;
    }
    return static_cast<double>(header.signals[signal].samples_per_record) *
           static_cast<double>(EDF_TIME_DIMENSION) /
           static_cast<double>(header.datarecord_duration);
}

double sample_time(const edf_header_info &header, int signal, int64_t index) {
    const int64_t per_record = header.signals[signal].samples_per_record;
    if (per_record <= 0) {
        return 0.0;
    }
    // The record's own start: records of a discontinuous file need not follow each other.
    const double record_ticks = static_cast<double>(header.datarecord_duration);
    const int64_t record = index / per_record;
    const int64_t record_start = edf_get_record_start(header.handle, record);
    if (record_start < 0 && record >= 0 && record < header.datarecord_count) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double ticks =
        (record_start >= 0 ? static_cast<double>(record_start)
                           : static_cast<double>(index / per_record) * record_ticks) +
        static_cast<double>(index % per_record) * record_ticks / static_cast<double>(per_record);
    return ticks / static_cast<double>(EDF_TIME_DIMENSION);
}

namespace {

// The number of the first sample at or after the given time, from 0 to total. A small
// allowance keeps a limit that falls on a sample's time (1 s at 3 Hz, say) from skipping that
// sample through rounding.
int64_t first_sample_at(double seconds, double rate, int64_t total) {
    const double position = std::ceil(seconds * rate - 1e-6);
    if (!(position > 0.0)) {
        return 0;
    }
    if (position >= static_cast<double>(total)) {
        return total;
    }
    return static_cast<int64_t>(position);
}

} // namespace

sample_window window_of_signal(const edf_header_info &header, int signal,
                               std::optional<double> from_seconds,
                               std::optional<double> to_seconds) {
    const double length = recording_seconds(header);
    sample_window window;
    window.from_seconds = std::clamp(from_seconds.value_or(0.0), 0.0, length);
    window.to_seconds = std::clamp(to_seconds.value_or(length), window.from_seconds, length);

    const int64_t total = header.signals[signal].samples_in_file;
    const double rate = sample_rate(header, signal);
    if (rate <= 0.0 || total <= 0) {
        return window;
    }
    const std::vector<edf_segment> segments = segments_of(header);
    const int64_t per_record = header.signals[signal].samples_per_record;
    // The first stored sample at or after a time: gaps hold no samples, so a time inside a gap
    // gives the first sample after it; a time after the last segment, the end of that segment
    // (records of unknown time may follow it).
    const edf_segment &last = segments.back();
    const int64_t last_end = std::min((last.first_record + last.record_count) * per_record, total);
    const auto stored_sample_at = [&](double seconds) {
        for (const edf_segment &s : segments) {
            const double start = static_cast<double>(s.start) / EDF_TIME_DIMENSION;
            const double end = static_cast<double>(segment_end(header, s)) / EDF_TIME_DIMENSION;
            const int64_t first = s.first_record * per_record;
            if (seconds <= start) {
                return std::min(first, total);
            }
            if (seconds < end) {
                return first +
                       first_sample_at(seconds - start, rate,
                                       std::min(s.record_count * per_record, total - first));
            }
        }
        return last_end;
    };
    window.first = stored_sample_at(window.from_seconds);
    window.count = stored_sample_at(window.to_seconds) - window.first;
    if (window.count < 0) {
        window.count = 0;
    }
    return window;
}

const char *file_type_name(int filetype) {
    switch (filetype) {
    case EDF_FILETYPE_EDF:
        return "EDF";
    case EDF_FILETYPE_EDFPLUS:
        return "EDF+";
    case EDF_FILETYPE_BDF:
        return "BDF";
    case EDF_FILETYPE_BDFPLUS:
        return "BDF+";
    default:
        return "unknown";
    }
}
