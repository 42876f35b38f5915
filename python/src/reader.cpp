// Reading: one open file of the library behind a Python object. The open, the whole-record
// read and the accessors of the open's reports (problems, segments) are each one function,
// so that each follows the library's operations in one place.
#include "binding.h"
#include "sources.h"

#include "recording/edf.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int64_t ticks_per_second = EDF_TIME_DIMENSION;
// Samples per library read call: the calls count in int.
constexpr int64_t samples_per_call = int64_t{1} << 30;

double seconds(int64_t ticks) {
    return static_cast<double>(ticks) / static_cast<double>(ticks_per_second);
}

// Opens `path` for reading into `header`; returns the library's result (0, or -1 with the
// code in header->filetype). Called with the GIL released.
int open_recording(const std::string &path, bool tolerant, int annotation_mode,
                   edf_header_info *header) {
    return tolerant ? edfopen_file_readonly_tolerant(path.c_str(), header, annotation_mode)
                    : edfopen_file_readonly(path.c_str(), header, annotation_mode);
}

} // namespace

py::dict problem_dict(const edf_problem &p) {
    py::dict d;
    d["offset"] = p.offset;
    d["signal"] = p.signal;
    d["record"] = p.record;
    d["code"] = p.code;
    d["action"] = p.action;
    d["field"] = library_text(p.field, false);
    d["found"] = library_text(p.found, false);
    d["message"] = library_text(p.message, false);
    return d;
}

namespace {

// Every problem of a file that an open refused (empty when the check cannot run either).
py::list checked_problems(const std::string &path) {
    std::vector<edf_problem> found;
    {
        py::gil_scoped_release release;
        const int count = edf_check_file(path.c_str(), nullptr, 0);
        if (count > 0) {
            found.resize(static_cast<size_t>(count));
            const int again = edf_check_file(path.c_str(), found.data(), count);
            found.resize(again > 0 && again <= count ? static_cast<size_t>(again) : 0);
        }
    }
    py::list list;
    for (const edf_problem &p : found) {
        list.append(problem_dict(p));
    }
    return list;
}

// Reads `count` samples of one signal from sample `start` into `out` (int or double
// values). Returns false when the file ends before them. The object's lock held, GIL
// released.
bool read_run(int handle, int signal, int64_t start, int64_t count, bool digital, void *out) {
    if (count == 0) {
        return true;
    }
    if (edfseek(handle, signal, start, EDFSEEK_SET) != start) {
        return false;
    }
    for (int64_t done = 0; done < count;) {
        const int n =
            static_cast<int>(count - done < samples_per_call ? count - done : samples_per_call);
        const int got =
            digital
                ? edfread_digital_samples(handle, signal, n, static_cast<int *>(out) + done)
                : edfread_physical_samples(handle, signal, n, static_cast<double *>(out) + done);
        if (got != n) {
            return false;
        }
        done += n;
    }
    return true;
}

[[noreturn]] void raise_short_file(const std::string &path) {
    py::object instance =
        py::handle(PyExc_OSError)(EIO, "the file ends before the samples asked for", path);
    PyErr_SetObject(PyExc_OSError, instance.ptr());
    throw py::error_already_set();
}

class reader_file {
  public:
    reader_file(const std::string &path, bool tolerant, int annotation_mode)
        : path_(path), header_(std::make_unique<edf_header_info>()) {
        // The object is not yet seen by another thread: the open needs no lock.
        const int result = without_gil(
            [&] { return open_recording(path, tolerant, annotation_mode, header_.get()); });
        if (result != 0) {
            const int code = header_->filetype;
            const bool the_files =
                code == EDF_ERR_FORMAT || code == EDF_ERR_READ || code == EDF_ERR_DISCONTINUOUS;
            raise_code(code, path, false, the_files ? checked_problems(path) : py::list());
        }
        handle_ = header_->handle;
        annotation_count_ = header_->annotation_count;
    }
    // A recording read from `source` (see python_source), named `name` in messages. The
    // problems of a file that the open refuses are listed when `list_problems` is set (the
    // check reads the whole source).
    reader_file(std::unique_ptr<python_source> source, const std::string &name, bool tolerant,
                int annotation_mode, bool list_problems)
        : path_(name), header_(std::make_unique<edf_header_info>()), source_(std::move(source)) {
        // Not yet seen by another thread: no lock. The reads of a file object take the GIL
        // back for each call into Python.
        const int result = without_gil([&] {
            return source_->open(name.c_str(), header_.get(), annotation_mode,
                                 tolerant ? EDF_OPEN_TOLERANT : 0);
        });
        if (result != 0) {
            const int code = header_->filetype;
            source_->raise_pending();
            const bool the_files = code == EDF_ERR_FORMAT || code == EDF_ERR_DISCONTINUOUS;
            raise_code(code, name, false,
                       the_files && list_problems ? source_problems() : py::list());
        }
        handle_ = header_->handle;
        annotation_count_ = header_->annotation_count;
    }
    reader_file(const reader_file &) = delete;
    reader_file &operator=(const reader_file &) = delete;
    // No call can be running on an object being destroyed (each holds a reference to it).
    ~reader_file() {
        if (handle_ >= 0) {
            edfclose_file(handle_);
        }
    }

    void close() {
        lock_.run([this] {
            if (handle_ >= 0) {
                edfclose_file(handle_);
                handle_ = -1;
            }
        });
        // The buffer or file object is let go with the handle (the GIL held).
        source_.reset();
    }
    bool closed() const {
        return handle_ < 0;
    }

    py::dict header() const {
        const edf_header_info &h = *header_;
        py::dict d;
        d["filetype"] = h.filetype;
        d["start"] = py::make_tuple(h.start_year, h.start_month, h.start_day, h.start_hour,
                                    h.start_minute, h.start_second, h.start_subsecond);
        d["duration"] = seconds(h.file_duration);
        d["record_duration"] = seconds(h.datarecord_duration);
        d["record_duration_ticks"] = h.datarecord_duration;
        d["record_count"] = h.datarecord_count;
        d["annotation_count"] = h.annotation_count;
        d["patient"] = library_text(h.patient, true);
        d["recording"] = library_text(h.recording, true);
        d["patient_code"] = library_text(h.patient_code, true);
        d["sex"] = library_text(h.sex, true);
        d["birthdate"] = library_text(h.birthdate, true);
        d["birth_date"] = py::make_tuple(h.birth_year, h.birth_month, h.birth_day);
        d["patient_name"] = library_text(h.patient_name, true);
        d["patient_additional"] = library_text(h.patient_additional, true);
        d["admin_code"] = library_text(h.admin_code, true);
        d["technician"] = library_text(h.technician, true);
        d["equipment"] = library_text(h.equipment, true);
        d["recording_additional"] = library_text(h.recording_additional, true);
        return d;
    }

    py::list signals() const {
        py::list list;
        for (int i = 0; i < header_->ordinary_signal_count; i++) {
            const edf_signal_info &s = header_->signals[i];
            py::dict d;
            d["label"] = library_text(s.label, true);
            d["unit"] = library_text(s.physical_dimension, true);
            d["transducer"] = library_text(s.transducer, true);
            d["prefilter"] = library_text(s.prefilter, true);
            d["samples_per_record"] = s.samples_per_record;
            d["sample_count"] = s.samples_in_file;
            d["physical_min"] = s.physical_min;
            d["physical_max"] = s.physical_max;
            d["digital_min"] = s.digital_min;
            d["digital_max"] = s.digital_max;
            list.append(d);
        }
        return list;
    }

    // (onset seconds, duration seconds or None, text) for every annotation collected.
    py::list annotations() {
        py::list list;
        // Copied out under the lock a batch at a time, converted without it.
        constexpr int batch = 1024;
        std::vector<edf_annotation> copied(static_cast<size_t>(batch));
        int count = 0;
        for (int first = 0; first < count || first == 0; first += batch) {
            int got = 0;
            const bool open = lock_.run([&] {
                if (handle_ < 0) {
                    return false;
                }
                count = static_cast<int>(annotation_count_ < INT_MAX ? annotation_count_ : INT_MAX);
                const int wanted = count - first < batch ? count - first : batch;
                while (got < wanted && edf_get_annotation(handle_, first + got,
                                                          &copied[static_cast<size_t>(got)]) == 0) {
                    got++;
                }
                return true;
            });
            if (!open) {
                raise_closed();
            }
            for (int n = 0; n < got; n++) {
                const edf_annotation &annotation = copied[static_cast<size_t>(n)];
                py::object duration = py::none();
                if (annotation.duration != -ticks_per_second) {
                    duration = py::float_(seconds(annotation.duration));
                }
                list.append(py::make_tuple(seconds(annotation.onset), duration,
                                           library_text(annotation.annotation, false)));
            }
            if (got < batch) {
                break;
            }
        }
        return list;
    }

    // Collects the annotations in `annotation_mode` (the library's EDF_READ_* value) after an
    // open that left them out: reads the annotation signals of every record.
    void read_annotations(int annotation_mode) {
        const int result = lock_.run([&] {
            if (handle_ < 0) {
                return int{EDF_ERR_CANNOT_OPEN};
            }
            const int count = edf_read_annotations(handle_, annotation_mode);
            if (count >= 0) {
                annotation_count_ = count;
            }
            return count;
        });
        if (result == EDF_ERR_CANNOT_OPEN && handle_ < 0) {
            raise_closed();
        }
        if (result < 0) {
            if (source_) {
                source_->raise_pending();
            }
            raise_code(result, path_);
        }
    }

    // What the tolerant open found and repaired, one dict per report with the fields of the
    // library's problem record.
    py::list problems() {
        std::vector<edf_problem> found;
        const bool open = lock_.run([&] {
            if (handle_ < 0) {
                return false;
            }
            const int count = edf_get_problem_count(handle_);
            for (int n = 0; n < count; n++) {
                edf_problem p{};
                if (edf_get_problem(handle_, n, &p) != 0) {
                    break;
                }
                found.push_back(p);
            }
            return true;
        });
        if (!open) {
            raise_closed();
        }
        py::list list;
        for (const edf_problem &p : found) {
            list.append(problem_dict(p));
        }
        return list;
    }

    // The file's stretches of contiguous records, as (start ticks, first record, record
    // count). A continuous file is one stretch from 0.
    py::list segments() {
        std::vector<edf_segment> found;
        const bool open = lock_.run([&] {
            if (handle_ < 0) {
                return false;
            }
            const int count = edf_get_segment_count(handle_);
            for (int n = 0; n < count; n++) {
                edf_segment segment{};
                if (edf_get_segment(handle_, n, &segment) != 0) {
                    break;
                }
                found.push_back(segment);
            }
            return true;
        });
        if (!open) {
            raise_closed();
        }
        py::list list;
        for (const edf_segment &segment : found) {
            list.append(py::make_tuple(segment.start, segment.first_record, segment.record_count));
        }
        return list;
    }

    // Samples [start, stop) of one signal, as float64 (physical) or int32 (digital) values.
    py::array read(int signal, int64_t start, int64_t stop, bool digital) {
        open_handle();
        const int64_t total = checked_signal(signal).samples_in_file;
        if (start < 0 || stop < start) {
            throw py::value_error("need 0 <= start <= stop");
        }
        start = start < total ? start : total;
        stop = stop < total ? stop : total;
        const py::ssize_t n = static_cast<py::ssize_t>(stop - start);
        py::array out =
            digital ? py::array(py::array_t<int>(n)) : py::array(py::array_t<double>(n));
        void *data = out.mutable_data();
        const outcome result = lock_.run([&] {
            if (handle_ < 0) {
                return outcome::closed;
            }
            return read_run(handle_, signal, start, n, digital, data) ? outcome::complete
                                                                      : outcome::short_file;
        });
        raise_unless_complete(result);
        return out;
    }

    // Records [first, first + count) of the given signals, one array per signal (into `out`
    // when given: writable contiguous arrays of the right type and size, such as the rows of
    // a 2-D array).
    py::list read_records(const std::vector<int> &signals, int64_t first, int64_t count,
                          bool digital, const py::object &out) {
        open_handle();
        if (first < 0 || count < 0 || first > header_->datarecord_count ||
            count > header_->datarecord_count - first) {
            throw py::value_error("records outside the file");
        }
        py::list arrays;
        if (!out.is_none()) {
            arrays = py::list(out);
            if (arrays.size() != signals.size()) {
                throw py::value_error("one output array per signal is needed");
            }
        }
        std::vector<void *> buffers;
        // The arrays stay referenced while the GIL is released: another thread may change
        // the list meanwhile.
        std::vector<py::array> held;
        std::vector<int64_t> per_record;
        for (size_t i = 0; i < signals.size(); i++) {
            const int64_t spr = checked_signal(signals[i]).samples_per_record;
            const py::ssize_t n = static_cast<py::ssize_t>(spr * count);
            if (out.is_none()) {
                arrays.append(digital ? py::array(py::array_t<int>(n))
                                      : py::array(py::array_t<double>(n)));
            }
            py::array a = arrays[i].cast<py::array>();
            const bool right_type = digital ? a.dtype().is(py::dtype::of<int>())
                                            : a.dtype().is(py::dtype::of<double>());
            if (!right_type || a.ndim() != 1 || a.size() != n || !a.writeable() ||
                !(a.flags() & py::array::c_style)) {
                throw py::value_error("output array " + std::to_string(i) +
                                      " is not a writable contiguous array of " +
                                      std::to_string(n) + (digital ? " int32" : " float64") +
                                      " values");
            }
            buffers.push_back(a.mutable_data());
            held.push_back(std::move(a));
            per_record.push_back(spr);
        }
        if (signals.empty()) {
            return arrays;
        }
        const outcome result = lock_.run([&] {
            if (handle_ < 0) {
                return outcome::closed;
            }
            const int handle = handle_;
            bool complete = true;
            // Every signal's share of a run of records in one pass over the records.
            int64_t most = 1;
            for (int64_t spr : per_record) {
                most = spr > most ? spr : most;
            }
            const int64_t records_per_call =
                samples_per_call / most > 0 ? samples_per_call / most : 1;
            std::vector<int *> digital_at(buffers.size());
            std::vector<double *> physical_at(buffers.size());
            for (int64_t done = 0; complete && done < count;) {
                const int n = static_cast<int>(count - done < records_per_call ? count - done
                                                                               : records_per_call);
                for (size_t i = 0; i < buffers.size(); i++) {
                    const int64_t skip = per_record[i] * done;
                    if (digital) {
                        digital_at[i] = static_cast<int *>(buffers[i]) + skip;
                    } else {
                        physical_at[i] = static_cast<double *>(buffers[i]) + skip;
                    }
                }
                const int signal_count = static_cast<int>(signals.size());
                // The result is the count of records read.
                const int got =
                    digital ? edfread_digital_records(handle, first + done, n, signal_count,
                                                      signals.data(), digital_at.data())
                            : edfread_physical_records(handle, first + done, n, signal_count,
                                                       signals.data(), physical_at.data());
                complete = got == n;
                done += n;
            }
            return complete ? outcome::complete : outcome::short_file;
        });
        raise_unless_complete(result);
        return arrays;
    }

    // Windows of `length` samples of the given signals, which share one number of samples
    // per record: window w holds stored samples [starts[w], starts[w] + length) of each
    // signal, in out[w, i, :] (a writable C-contiguous array of windows x signals x length
    // int32 or float64 values). A negative start leaves that window's rows as they are. Each
    // window's records are read once for all its signals, as digital values into a scratch
    // buffer from which the window's samples are copied out or converted (physical values:
    // the same that the library's reads give); the windows are read in the order of their
    // starts, so that neighbouring windows read neighbouring parts of the file.
    void read_windows(const std::vector<int> &signals, const py::array_t<int64_t> &starts,
                      int64_t length, bool digital, py::array out) {
        open_handle();
        if (signals.empty() || length < 0) {
            throw py::value_error("read_windows needs signals and a length of 0 or more");
        }
        const int64_t spr = checked_signal(signals[0]).samples_per_record;
        const int64_t total = checked_signal(signals[0]).samples_in_file;
        for (int signal : signals) {
            if (checked_signal(signal).samples_per_record != spr) {
                throw py::value_error("the signals of windows must share their samples per record");
            }
        }
        if (starts.ndim() != 1) {
            throw py::value_error("the starts of windows are a 1-D array");
        }
        const py::ssize_t windows = starts.shape(0);
        const py::ssize_t signal_count = static_cast<py::ssize_t>(signals.size());
        const bool right_type = digital ? out.dtype().is(py::dtype::of<int>())
                                        : out.dtype().is(py::dtype::of<double>());
        if (!right_type || out.ndim() != 3 || out.shape(0) != windows ||
            out.shape(1) != signal_count || out.shape(2) != length || !out.writeable() ||
            !(out.flags() & py::array::c_style)) {
            throw py::value_error("the output of windows is not a writable contiguous array of "
                                  "windows x signals x length values of the right type");
        }
        std::vector<int64_t> at(static_cast<size_t>(windows));
        auto view = starts.unchecked<1>();
        int64_t most_records = 0;
        for (py::ssize_t w = 0; w < windows; w++) {
            const int64_t start = view(w);
            if (start >= 0 && (start > total || length > total - start)) {
                throw py::value_error("a window lies beyond the stored samples");
            }
            at[static_cast<size_t>(w)] = start;
            if (start >= 0 && length > 0 && spr > 0) {
                const int64_t records = (start + length + spr - 1) / spr - start / spr;
                most_records = records > most_records ? records : most_records;
            }
        }
        if (most_records == 0) {
            return;
        }
        if (most_records > INT_MAX || static_cast<uint64_t>(most_records) *
                                              static_cast<uint64_t>(spr) *
                                              static_cast<uint64_t>(signal_count) >
                                          (uint64_t{1} << 40)) {
            throw py::value_error("windows too long to read at once");
        }
        // Each signal's conversion pair, as the library derives it from the limits:
        // physical = (digital + offset) x bit value.
        std::vector<double> bit_values(signals.size());
        std::vector<double> offsets(signals.size());
        for (size_t i = 0; i < signals.size(); i++) {
            const edf_signal_info &s = checked_signal(signals[i]);
            bit_values[i] = (s.physical_max - s.physical_min) /
                            static_cast<double>(s.digital_max - s.digital_min);
            offsets[i] = s.physical_max / bit_values[i] - s.digital_max;
        }
        const size_t per_signal = static_cast<size_t>(most_records * spr);
        void *const into = out.mutable_data();
        // The lock is taken for each window's read, so that another thread's calls on this
        // object take turns with a long run of windows instead of waiting for all of them.
        const outcome result = without_gil([&] {
            // The digital samples of each window's records (half the bytes of physical
            // values), of which only the window's are converted.
            std::vector<int> scratch(per_signal * static_cast<size_t>(signal_count));
            std::vector<int *> bufs(signals.size());
            for (size_t i = 0; i < bufs.size(); i++) {
                bufs[i] = scratch.data() + i * per_signal;
            }
            std::vector<size_t> order(at.size());
            for (size_t w = 0; w < order.size(); w++) {
                order[w] = w;
            }
            std::stable_sort(order.begin(), order.end(),
                             [&at](size_t a, size_t b) { return at[a] < at[b]; });
            const size_t row = static_cast<size_t>(length);
            const int count = static_cast<int>(signal_count);
            for (size_t w : order) {
                const int64_t start = at[w];
                if (start < 0 || length == 0) {
                    continue;
                }
                const int64_t first = start / spr;
                const int records = static_cast<int>((start + length + spr - 1) / spr - first);
                int got = -1;
                {
                    std::lock_guard<std::mutex> lock(lock_.mutex());
                    if (handle_ < 0) {
                        return outcome::closed;
                    }
                    got = edfread_digital_records(handle_, first, records, count, signals.data(),
                                                  bufs.data());
                }
                if (got != records) {
                    return outcome::short_file;
                }
                const size_t skip = static_cast<size_t>(start - first * spr);
                const size_t window = w * static_cast<size_t>(signal_count) * row;
                for (size_t i = 0; i < bufs.size(); i++) {
                    const int *from = bufs[i] + skip;
                    if (digital) {
                        std::memcpy(static_cast<int *>(into) + window + i * row, from,
                                    row * sizeof(int));
                        continue;
                    }
                    double *to = static_cast<double *>(into) + window + i * row;
                    const double offset = offsets[i];
                    const double bit_value = bit_values[i];
                    for (size_t k = 0; k < row; k++) {
                        to[k] = (static_cast<double>(from[k]) + offset) * bit_value;
                    }
                }
            }
            return outcome::complete;
        });
        raise_unless_complete(result);
    }

  private:
    // How a read under the lock ended.
    enum class outcome { complete, short_file, closed };

    [[noreturn]] static void raise_closed() {
        throw py::value_error("the recording is closed");
    }
    void raise_unless_complete(outcome result) {
        if (result == outcome::closed) {
            raise_closed();
        }
        if (result == outcome::short_file) {
            raise_read_failure();
        }
    }
    // A read that fell short: the file object's own exception, if it raised one.
    [[noreturn]] void raise_read_failure() {
        if (source_) {
            source_->raise_pending();
        }
        raise_short_file(path_);
    }
    // Every problem of the source that the open refused.
    py::list source_problems() {
        std::vector<edf_problem> found;
        without_gil([&] {
            const int count = source_->check(nullptr, 0);
            if (count > 0) {
                found.resize(static_cast<size_t>(count));
                const int again = source_->check(found.data(), count);
                found.resize(again > 0 && again <= count ? static_cast<size_t>(again) : 0);
            }
        });
        source_->clear_pending();
        py::list list;
        for (const edf_problem &p : found) {
            list.append(problem_dict(p));
        }
        return list;
    }
    // Refuses a closed recording before its arguments are checked; the calls check again
    // under the lock, where a close in another thread cannot overtake them.
    void open_handle() const {
        if (handle_ < 0) {
            raise_closed();
        }
    }
    const edf_signal_info &checked_signal(int signal) const {
        if (signal < 0 || signal >= header_->ordinary_signal_count) {
            throw py::value_error("no signal " + std::to_string(signal));
        }
        return header_->signals[signal];
    }

    // Changed under lock_ only; read without it by closed() and open_handle().
    std::atomic<int> handle_{-1};
    std::string path_;
    std::unique_ptr<edf_header_info> header_; // as the open filled it, never changed after
    object_lock lock_;
    std::unique_ptr<python_source> source_; // null for a path
    int64_t annotation_count_ = 0;          // changed under lock_ by read_annotations
};

} // namespace

void register_reader(py::module_ &module) {
    py::class_<reader_file>(module, "File")
        .def(py::init([](const std::string &path, bool tolerant, int annotation_mode) {
                 return std::make_unique<reader_file>(path, tolerant, annotation_mode);
             }),
             py::arg("path"), py::arg("tolerant"), py::arg("annotation_mode"))
        .def_static(
            "from_buffer",
            [](const py::object &buffer, const std::string &name, bool tolerant,
               int annotation_mode) {
                return std::make_unique<reader_file>(python_source::from_buffer(buffer), name,
                                                     tolerant, annotation_mode, true);
            },
            py::arg("buffer"), py::arg("name"), py::arg("tolerant"), py::arg("annotation_mode"))
        .def_static(
            "from_file",
            [](const py::object &file, int64_t size, const std::string &name, bool tolerant,
               int annotation_mode, bool list_problems) {
                return std::make_unique<reader_file>(python_source::from_file(file, size), name,
                                                     tolerant, annotation_mode, list_problems);
            },
            py::arg("file"), py::arg("size"), py::arg("name"), py::arg("tolerant"),
            py::arg("annotation_mode"), py::arg("list_problems"))
        .def("read_annotations", &reader_file::read_annotations, py::arg("annotation_mode"))
        .def("close", &reader_file::close)
        .def_property_readonly("closed", &reader_file::closed)
        .def("header", &reader_file::header)
        .def("signals", &reader_file::signals)
        .def("annotations", &reader_file::annotations)
        .def("problems", &reader_file::problems)
        .def("segments", &reader_file::segments)
        .def("read", &reader_file::read, py::arg("signal"), py::arg("start"), py::arg("stop"),
             py::arg("digital"))
        .def("read_records", &reader_file::read_records, py::arg("signals"), py::arg("first"),
             py::arg("count"), py::arg("digital"), py::arg("out") = py::none())
        .def("read_windows", &reader_file::read_windows, py::arg("signals"), py::arg("starts"),
             py::arg("length"), py::arg("digital"), py::arg("out"));
}
