// The continuous copy of a recording, for programs that cannot read EDF+D/BDF+D: every gap is
// filled with samples of physical value 0 (clipped into each signal's digital range) and
// marked by one annotation "gap" whose duration is the gap's. The source is read and the copy
// written through the public operations (the tolerant open, the writer), so the copy holds
// what the reader reads and the writer's TALs (formatted by the annotation-list codec, whose
// limits decide which onsets a TAL of the copy can hold).
//
// The copy keeps the samples digitally exact. Its records are as long as the largest duration
// that divides the source's record duration and every segment's start, so that each gap is a
// whole number of records; when that would split a record between two samples of a signal,
// the copy is refused rather than shifting times.
#include "recording/core/exception_boundary.h"
#include "recording/core/in_use_mark.h"
#include "recording/core/platform_file.h"
#include "recording/core/tal_codec.h"
#include "recording/edf.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace edf {

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
bool writable_duration(int64_t ticks) {
    return (ticks % 100 == 0 && ticks / 100 >= 100 && ticks / 100 <= 6000000) ||
           (ticks % 10 == 0 && ticks / 10 >= 1 && ticks / 10 <= 9999);
}

bool set_duration(int handle, int64_t ticks) {
    if (ticks % 100 == 0 && ticks / 100 >= 100 && ticks / 100 <= 6000000) {
        return edf_set_datarecord_duration(handle, static_cast<int>(ticks / 100)) == 0;
    }
    return edf_set_datarecord_duration_us(handle, static_cast<int>(ticks / 10)) == 0;
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

// An open handle, closed however the copy ends.
struct open_handle {
    int handle = -1;
    ~open_handle() {
        if (handle >= 0) {
            edfclose_file(handle);
        }
    }
};

// The shape of the copy: its record duration, how many of its records one source record
// gives, its annotations (the file's own and the gap marks, by onset) and annotation signals.
struct copy_plan {
    std::vector<edf_segment> segments;
    int64_t step = 0;
    int64_t split = 0;
    std::vector<queued_annotation> annotations;
    int annotation_signals = 1;
};

int64_t segment_end(const edf_header_info &h, const edf_segment &s) {
    return s.start + s.record_count * h.datarecord_duration;
}

int plan_copy(const edf_header_info &h, copy_plan *p) {
    const int ns = h.ordinary_signal_count;
    const int64_t record = h.datarecord_duration;
    if (ns < 1 || record <= 0) {
        return EDF_ERR_NO_CONTINUOUS_FORM; // no samples, or no time axis to fill
    }
    const int count = edf_get_segment_count(h.handle);
    for (int n = 0; n < count; n++) {
        edf_segment segment{};
        if (edf_get_segment(h.handle, n, &segment) == 0) {
            p->segments.push_back(segment);
        }
    }
    if (p->segments.empty()) {
        p->segments.push_back({0, 0, h.datarecord_count});
    }
    // The largest duration that divides the source's record duration and every segment start,
    // holds a whole number of samples of every signal, and can be written.
    int64_t common = record;
    for (const edf_segment &s : p->segments) {
        common = std::gcd(common, s.start);
    }
    for (int64_t m = 1; m <= 10000 && p->step == 0; m++) {
        const int64_t candidate = common / m;
        if (common % m != 0 || !writable_duration(candidate)) {
            continue;
        }
        const int64_t split = record / candidate;
        bool whole = true;
        for (int n = 0; n < ns && whole; n++) {
            whole = h.signals[n].samples_per_record % split == 0;
        }
        p->step = whole ? candidate : 0;
    }
    if (p->step == 0) {
        return EDF_ERR_NO_CONTINUOUS_FORM;
    }
    p->split = record / p->step;

    edf_annotation a;
    for (int64_t n = 0; n < h.annotation_count; n++) {
        if (edf_get_annotation(h.handle, static_cast<int>(n), &a) != 0) {
            return EDF_ERR_READ;
        }
        p->annotations.push_back(
            {a.onset / 10, a.duration == no_duration ? -1 : a.duration / 10, a.annotation});
    }
    // Records of unknown time belong to no segment: the copy leaves them out, as the time
    // axis does (the time they may have filled is a gap when the segments leave one).
    int64_t gap_records = 0;
    int64_t segment_records = 0;
    for (std::size_t n = 0; n < p->segments.size(); n++) {
        segment_records += p->segments[n].record_count;
        const int64_t start = n > 0 ? segment_end(h, p->segments[n - 1]) : 0;
        if (n > 0 && p->segments[n].start > start) {
            p->annotations.push_back({start / 10, (p->segments[n].start - start) / 10, "gap"});
            gap_records += (p->segments[n].start - start) / p->step;
        }
    }
    std::stable_sort(p->annotations.begin(), p->annotations.end(),
                     [](const queued_annotation &x, const queued_annotation &y) {
                         return x.onset_us < y.onset_us;
                     });
    const int64_t records_out = (segment_records * p->split) + gap_records;
    int64_t signals = 1;
    if (records_out > 0) {
        signals = std::max<int64_t>(
            1, (static_cast<int64_t>(p->annotations.size()) + records_out - 1) / records_out);
    }
    if (signals > max_annotation_signals) {
        return EDF_ERR_NO_CONTINUOUS_FORM; // more annotations than the records hold
    }
    p->annotation_signals = static_cast<int>(signals);
    return 0;
}

// Sets up the writer of the copy from the source's header: 0, or EDF_ERR_FORMAT when the
// writer refuses a value of the source.
int set_up(int w, const edf_header_info &h, const copy_plan &p) {
    bool ok = set_duration(w, p.step) &&
              edf_set_number_of_annotation_signals(w, p.annotation_signals) == 0 &&
              edf_set_startdatetime(w, h.start_year, h.start_month, h.start_day, h.start_hour,
                                    h.start_minute, h.start_second) == 0 &&
              edf_set_subsecond_starttime(w, static_cast<int>(h.start_subsecond)) == 0;
    for (int n = 0; n < h.ordinary_signal_count && ok; n++) {
        const edf_signal_info &s = h.signals[n];
        ok = edf_set_samplefrequency(w, n, static_cast<int>(s.samples_per_record / p.split)) == 0 &&
             edf_set_digital_maximum(w, n, s.digital_max) == 0 &&
             edf_set_digital_minimum(w, n, s.digital_min) == 0 &&
             edf_set_physical_maximum(w, n, s.physical_max) == 0 &&
             edf_set_physical_minimum(w, n, s.physical_min) == 0 &&
             edf_set_label(w, n, s.label) == 0 &&
             edf_set_physical_dimension(w, n, s.physical_dimension) == 0 &&
             edf_set_prefilter(w, n, s.prefilter) == 0 &&
             edf_set_transducer(w, n, s.transducer) == 0;
    }
    if (!ok) {
        return EDF_ERR_FORMAT;
    }
    copy_identification(w, h);
    for (const queued_annotation &q : p.annotations) {
        if (q.onset_us < 0 || q.onset_us > edf::tal::writer_onset_max_us ||
            q.duration_us > edf::tal::writer_duration_max_us) {
            return EDF_ERR_NO_CONTINUOUS_FORM; // a time that the copy's TALs cannot hold
        }
        if (edfwrite_annotation_utf8_us(w, q.onset_us, q.duration_us, q.text.c_str()) != 0) {
            return EDF_ERR_NO_MEMORY; // the queue cannot grow
        }
    }
    return 0;
}

// A sample write's failure: the header writer's own code, or the writer's plain failure, which
// is a failed write (or a scratch buffer that could not be had: the writer names neither).
int write_failure(int result) {
    return result < -1 ? result : EDF_ERR_WRITE;
}

// Writes the samples, segment by segment with the fill between them.
int write_samples(int w, const edf_header_info &h, const copy_plan &p) {
    const int ns = h.ordinary_signal_count;
    std::vector<std::vector<int>> samples(static_cast<std::size_t>(ns));
    std::vector<std::vector<int>> zeros(static_cast<std::size_t>(ns));
    for (int n = 0; n < ns; n++) {
        const edf_signal_info &s = h.signals[n];
        samples[static_cast<std::size_t>(n)].resize(static_cast<std::size_t>(s.samples_per_record));
        zeros[static_cast<std::size_t>(n)].assign(
            static_cast<std::size_t>(s.samples_per_record / p.split), zero_sample(s));
    }
    for (std::size_t g = 0; g < p.segments.size(); g++) {
        const edf_segment &segment = p.segments[g];
        if (g > 0) {
            const int64_t gap = segment.start - segment_end(h, p.segments[g - 1]);
            for (int64_t r = 0; r < gap / p.step; r++) {
                for (int n = 0; n < ns; n++) {
                    const int written =
                        edfwrite_digital_samples(w, zeros[static_cast<std::size_t>(n)].data());
                    if (written != 0) {
                        return write_failure(written);
                    }
                }
            }
        }
        for (int n = 0; n < ns; n++) {
            const int64_t first = segment.first_record * h.signals[n].samples_per_record;
            if (edfseek(h.handle, n, first, EDFSEEK_SET) != first) {
                return EDF_ERR_READ;
            }
        }
        for (int64_t r = 0; r < segment.record_count; r++) {
            for (int n = 0; n < ns; n++) {
                std::vector<int> &buffer = samples[static_cast<std::size_t>(n)];
                const int count = h.signals[n].samples_per_record;
                if (edfread_digital_samples(h.handle, n, count, buffer.data()) != count) {
                    return EDF_ERR_READ;
                }
            }
            for (int64_t part = 0; part < p.split; part++) {
                for (int n = 0; n < ns; n++) {
                    const int per_part =
                        h.signals[n].samples_per_record / static_cast<int>(p.split);
                    const int written = edfwrite_digital_samples(
                        w, samples[static_cast<std::size_t>(n)].data() + part * per_part);
                    if (written != 0) {
                        return write_failure(written);
                    }
                }
            }
        }
    }
    return 0;
}

// Writes the whole copy of the open source `h` to `path` through the writer. A copy that is
// not finished is left for the caller to remove.
int write_copy(const edf_header_info &h, const char *path) {
    copy_plan p;
    int result = plan_copy(h, &p);
    if (result != 0) {
        return result;
    }
    const bool bdf = h.filetype == EDF_FILETYPE_BDF || h.filetype == EDF_FILETYPE_BDFPLUS;
    open_handle w;
    w.handle = edfopen_file_writeonly(path, bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS,
                                      h.ordinary_signal_count);
    if (w.handle < 0) {
        return w.handle;
    }
    result = set_up(w.handle, h, p);
    if (result == 0) {
        result = write_samples(w.handle, h, p);
    }
    if (result != 0) {
        return result;
    }
    const int closed = edfclose_file(w.handle);
    w.handle = -1;
    return closed == -1 ? EDF_ERR_WRITE : closed;
}

// Syncs the file at `path`: false when that fails. (Opened for writing: Windows flushes only
// a file open for writing.)
bool sync_file(const std::string &path) {
    const int fd = edf_open_file(path.c_str(), edf_open_how::read_write);
    if (fd < 0) {
        return false;
    }
    const bool synced = edf_sync_file(fd);
    return edf_close_file(fd) && synced;
}

// Removes a file that is not to be left behind, however the call ends.
struct removed_unless_kept {
    std::string path;
    ~removed_unless_kept() {
        if (!path.empty()) {
            edf_remove_file(path.c_str());
        }
    }
};

// An open descriptor, closed however the call ends.
struct descriptor {
    int fd = -1;
    ~descriptor() {
        if (fd >= 0) {
            edf_close_file(fd);
        }
    }
};

int continuous_copy(const char *path, const char *out_path, int overwrite) {
    if (path == nullptr || out_path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // The output must not be the input, by name or by identity (a link, another path).
    edf_file_identity in_file;
    edf_file_identity out_file;
    if (!edf_identify_path(path, &in_file)) {
        return EDF_ERR_CANNOT_OPEN;
    }
    const bool exists = edf_identify_path(out_path, &out_file);
    const bool regular = exists && out_file.kind == edf_file_kind::regular;
    if (std::strcmp(path, out_path) == 0 || (exists && out_file.same_file(in_file))) {
        return EDF_ERR_ALREADY_OPEN;
    }
    if (exists && overwrite == 0) {
        return EDF_ERR_OUTPUT_EXISTS;
    }
    if (edf_is_file_used(out_path) != 0) {
        return EDF_ERR_ALREADY_OPEN;
    }
    // A file to replace keeps its place: the copy replaces the file that a link names.
    std::string target = out_path;
    if (regular && !edf_resolve_path(out_path, &target)) {
        return EDF_ERR_CANNOT_OPEN;
    }
    // An existing file is replaced only with its in-use mark taken (held until it is
    // replaced), so that neither a writer elsewhere nor one that starts meanwhile loses it.
    descriptor replaced;
    if (regular) {
        replaced.fd = edf_open_file(target.c_str(), edf_open_how::read);
        if (replaced.fd < 0) {
            return EDF_ERR_CANNOT_OPEN;
        }
        if (edf_take_mark(replaced.fd) == edf_mark::held_elsewhere) {
            return EDF_ERR_BEING_WRITTEN;
        }
    }

    auto source = std::make_unique<edf_header_info>();
    if (edfopen_file_readonly_tolerant(path, source.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
        return source->filetype;
    }
    open_handle reader;
    reader.handle = source->handle;

    if (exists && !regular) {
        // A device (/dev/null, say) or a pipe is written as it stands, through the writer,
        // which refuses one that another program is writing.
        return write_copy(*source, out_path);
    }
    removed_unless_kept temporary;
    if (!edf_create_temporary(target + ".copying-", &temporary.path)) {
        return EDF_ERR_CANNOT_OPEN;
    }
    const int result = write_copy(*source, temporary.path.c_str());
    if (result != 0) {
        return result;
    }
    if (!sync_file(temporary.path) ||
        !edf_replace_file(temporary.path.c_str(), target.c_str(), &replaced.fd)) {
        return EDF_ERR_WRITE;
    }
    temporary.path.clear();
    edf_sync_folder_of(target);
    return 0;
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" int edf_continuous_copy(const char *path, const char *out_path, int overwrite) {
    // What the copy holds is released by destructors (the handles, the descriptor of the file
    // replaced, the temporary output): a failed allocation leaves nothing behind.
    return edf_without_exceptions(EDF_ERR_NO_MEMORY, -1,
                                  [&] { return continuous_copy(path, out_path, overwrite); });
}
