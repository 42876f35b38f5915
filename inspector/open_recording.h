// A file opened for reading through the public interface, closed again when it goes out of
// scope, and the arithmetic that turns a time window into a run of sample numbers.
#pragma once

#include "http_source.h"
#include "recording/edf.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class open_recording {
  public:
    // Opens the file with all its annotations: strictly, and tolerantly when the strict open
    // refuses the file itself (not for a reason such as a missing file). On failure is_open()
    // is false and error_code() holds the strict open's code (see edf_error_text).
    // An http:// or https:// URL is read through range requests; `lazy` then opens it without
    // its annotations (the header and the first data record only), for the modes that read
    // samples, so that nothing else is fetched.
    explicit open_recording(const std::string &path, bool lazy = false);
    ~open_recording();
    open_recording(const open_recording &) = delete;
    open_recording &operator=(const open_recording &) = delete;

    bool is_open() const {
        return header_->handle >= 0;
    }
    int error_code() const {
        return header_->filetype;
    }
    int handle() const {
        return header_->handle;
    }
    const edf_header_info &header() const {
        return *header_;
    }
    // Why the remote recording could not be opened or read (its last failed request), with
    // the library's text for `code` when the transfers did not fail; the library's text
    // alone for a local file.
    std::string failure_text(int code) const;

    // The problems that the tolerant open repaired; empty after a strict open.
    const std::vector<edf_problem> &problems() const {
        return problems_;
    }

  private:
    void open_remote(const std::string &url, bool lazy);
    void keep_problems();

    // About a megabyte, because of its 4096 signal entries: kept on the heap.
    std::unique_ptr<edf_header_info> header_;
    std::vector<edf_problem> problems_;
    std::unique_ptr<http_source> remote_; // declared last: closed after the handle
};

// The part of one signal that a time window covers: the samples whose times t satisfy
// from <= t < to, with both limits cut to the length of the recording.
struct sample_window {
    int64_t first = 0; // number of the first sample of the window
    int64_t count = 0; // number of samples in the window
    double from_seconds = 0.0;
    double to_seconds = 0.0;
};

sample_window window_of_signal(const edf_header_info &header, int signal,
                               std::optional<double> from_seconds,
                               std::optional<double> to_seconds);

// The time of a sample in seconds from the start of the recording; NaN for a sample of a
// record whose time is unknown (a discontinuous file leaves such a record out of its time
// axis: it belongs to no segment).
double sample_time(const edf_header_info &header, int signal, int64_t index);

// Samples per second of a signal; 0 when the record duration is 0.
double sample_rate(const edf_header_info &header, int signal);

// Seconds of the whole recording.
double recording_seconds(const edf_header_info &header);

// The file type's name: "EDF", "EDF+", "BDF" or "BDF+".
const char *file_type_name(int filetype);
