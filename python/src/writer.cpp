// Writing: one file being written by the library behind a Python object. The Python layer
// checks and converts the arguments; this part makes the library's calls.
#include "binding.h"

#include "recording/edf.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

std::string text_of(const py::dict &d, const char *key) {
    return d.contains(key) && !d[key].is_none() ? d[key].cast<std::string>() : std::string();
}

// Removes the file that a writer gave up, when it is a regular file: a device or pipe given
// as the path (/dev/null, say) is never removed.
void remove_written_file(const std::string &path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        std::remove(path.c_str());
    }
}

class writer_file {
  public:
    // signals: dicts with label, unit, transducer, prefilter, samples_per_record,
    // physical_min, physical_max, digital_min, digital_max. start: None or (year, month,
    // day, hour, minute, second, subsecond ticks). patient: name, code, additional, sex (0
    // female, 1 male or None), birthdate ((year, month, day) or None). recording:
    // admin_code, technician, equipment, additional. discontinuous: an EDF+D / BDF+D file,
    // whose records may start later than the previous one ends (see record_start).
    writer_file(const std::string &path, bool bdf, const py::list &signals,
                int64_t record_duration_us, const py::object &start, const py::dict &patient,
                const py::dict &recording, bool discontinuous)
        : path_(path) {
        // The object is not yet seen by another thread: its construction needs no lock, and
        // the setters, which only fill in the header in memory, keep the GIL.
        const int handle =
            edfopen_file_writeonly(path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS,
                                   static_cast<int>(signals.size()));
        if (handle < 0) {
            raise_code(handle, path, true);
        }
        handle_ = handle;
        for (size_t i = 0; i < signals.size(); i++) {
            const py::dict s = signals[i].cast<py::dict>();
            const int n = static_cast<int>(i);
            const std::string where = "signal " + std::to_string(i) + ": ";
            spr_.push_back(s["samples_per_record"].cast<int>());
            check(edf_set_samplefrequency(handle, n, spr_.back()), where + "samples per record");
            check(edf_set_physical_maximum(handle, n, s["physical_max"].cast<double>()),
                  where + "physical maximum");
            check(edf_set_physical_minimum(handle, n, s["physical_min"].cast<double>()),
                  where + "physical minimum");
            check(edf_set_digital_maximum(handle, n, s["digital_max"].cast<int>()),
                  where + "digital maximum");
            check(edf_set_digital_minimum(handle, n, s["digital_min"].cast<int>()),
                  where + "digital minimum");
            check(edf_set_label(handle, n, text_of(s, "label").c_str()), where + "label");
            check(edf_set_physical_dimension(handle, n, text_of(s, "unit").c_str()),
                  where + "unit");
            check(edf_set_transducer(handle, n, text_of(s, "transducer").c_str()),
                  where + "transducer");
            check(edf_set_prefilter(handle, n, text_of(s, "prefilter").c_str()),
                  where + "prefilter");
        }
        // Whole multiples of 10 us from 1 ms on, else whole microseconds below 10 ms.
        if (record_duration_us % 10 == 0 && record_duration_us >= 1000 &&
            record_duration_us <= 60000000) {
            check(edf_set_datarecord_duration(handle, static_cast<int>(record_duration_us / 10)),
                  "record duration");
        } else {
            check(record_duration_us >= 1 && record_duration_us <= 9999
                      ? edf_set_datarecord_duration_us(handle, static_cast<int>(record_duration_us))
                      : -1,
                  "record duration (1 us to 10 ms in whole microseconds, or up to 60 s in "
                  "steps of 10 us)");
        }
        if (!start.is_none()) {
            const py::tuple t = start.cast<py::tuple>();
            check(edf_set_startdatetime(handle, t[0].cast<int>(), t[1].cast<int>(),
                                        t[2].cast<int>(), t[3].cast<int>(), t[4].cast<int>(),
                                        t[5].cast<int>()),
                  "start (years 1985 to 2084)");
            check(edf_set_subsecond_starttime(handle, t[6].cast<int>()), "start fraction");
        }
        check(edf_set_patientname(handle, text_of(patient, "name").c_str()), "patient name");
        check(edf_set_patientcode(handle, text_of(patient, "code").c_str()), "patient code");
        check(edf_set_patient_additional(handle, text_of(patient, "additional").c_str()),
              "patient additional");
        if (patient.contains("sex") && !patient["sex"].is_none()) {
            check(edf_set_sex(handle, patient["sex"].cast<int>()), "sex");
        }
        if (patient.contains("birthdate") && !patient["birthdate"].is_none()) {
            const py::tuple b = patient["birthdate"].cast<py::tuple>();
            check(edf_set_birthdate(handle, b[0].cast<int>(), b[1].cast<int>(), b[2].cast<int>()),
                  "birthdate (years 1800 to 3000)");
        }
        check(edf_set_admincode(handle, text_of(recording, "admin_code").c_str()), "admin code");
        check(edf_set_technician(handle, text_of(recording, "technician").c_str()), "technician");
        check(edf_set_equipment(handle, text_of(recording, "equipment").c_str()), "equipment");
        check(edf_set_recording_additional(handle, text_of(recording, "additional").c_str()),
              "recording additional");
        if (discontinuous) {
            check(edf_set_discontinuous(handle), "discontinuous");
        }
    }
    writer_file(const writer_file &) = delete;
    writer_file &operator=(const writer_file &) = delete;
    // No call can be running on an object being destroyed (each holds a reference to it).
    ~writer_file() {
        if (handle_ >= 0) {
            const int result = edfclose_file(handle_);
            if (result <= EDF_ERR_NEGATIVE_SIGNAL_COUNT && result >= EDF_ERR_PHYSICAL_VALUE_TEXT) {
                remove_written_file(path_); // no header could be written: the file is empty
            }
        }
    }

    // Writes whole records: one array per signal (float64: physical, int32: digital), each
    // holding the same number of records.
    void write(const py::list &arrays) {
        open_handle();
        if (arrays.size() != spr_.size()) {
            throw py::value_error("one array per signal is needed");
        }
        std::vector<const void *> data;
        // The arrays stay referenced while the GIL is released: another thread may change
        // the list meanwhile.
        std::vector<py::array> held;
        std::vector<bool> digital;
        int64_t records = -1;
        for (size_t i = 0; i < arrays.size(); i++) {
            py::array a = arrays[i].cast<py::array>();
            const bool is_int = a.dtype().is(py::dtype::of<int>());
            if ((!is_int && !a.dtype().is(py::dtype::of<double>())) || a.ndim() != 1 ||
                !(a.flags() & py::array::c_style)) {
                throw py::value_error("array " + std::to_string(i) +
                                      " is not a contiguous float64 or int32 array");
            }
            const int64_t n = a.size();
            if (n % spr_[i] != 0 || (records >= 0 && n / spr_[i] != records)) {
                throw py::value_error("array " + std::to_string(i) +
                                      " does not hold the same "
                                      "whole number of records as the others");
            }
            records = n / spr_[i];
            data.push_back(a.data());
            held.push_back(std::move(a));
            digital.push_back(is_int);
        }
        int error = 0;
        const int result = lock_.run([&] {
            const int handle = handle_;
            if (handle < 0) {
                return closed_result;
            }
            int written = 0;
            errno = 0;
            for (int64_t r = 0; written == 0 && r < records; r++) {
                for (size_t i = 0; written == 0 && i < data.size(); i++) {
                    const int64_t skip = r * spr_[i];
                    written = digital[i] ? edfwrite_digital_samples(
                                               handle, static_cast<const int *>(data[i]) + skip)
                                         : edfwrite_physical_samples(
                                               handle, static_cast<const double *>(data[i]) + skip);
                }
            }
            error = errno;
            return written;
        });
        if (result == closed_result) {
            raise_closed();
        }
        if (result == -1) {
            raise_os_error(error != 0 ? error : EIO, "writing samples failed");
        }
        if (result <= EDF_ERR_NEGATIVE_SIGNAL_COUNT && result >= EDF_ERR_PHYSICAL_VALUE_TEXT) {
            // The descriptions cannot make a header, and this writer takes no corrections
            // after its construction: the file, still empty, is given up.
            give_up();
        }
        if (result < 0) {
            raise_code(result, path_, true);
        }
    }

    // Sets the start of the next record, in microseconds from the start of the recording
    // (EDF+D / BDF+D files only): at least the end of the previous record, 0 for the first.
    void record_start(int64_t start_us) {
        const int result = lock_.run(
            [&] { return handle_ < 0 ? closed_result : edf_set_record_start(handle_, start_us); });
        if (result == closed_result) {
            raise_closed();
        }
        if (result != 0) {
            throw py::value_error("record start refused (a discontinuous file's records start "
                                  "at 0, then each at or after the end of the one before)");
        }
    }

    void annotate(int64_t onset_us, int64_t duration_us, const std::string &text) {
        const int result = lock_.run([&] {
            return handle_ < 0
                       ? closed_result
                       : edfwrite_annotation_utf8_us(handle_, onset_us, duration_us, text.c_str());
        });
        if (result == closed_result) {
            raise_closed();
        }
        if (result != 0) {
            throw py::value_error("annotation refused (onset from 0, text without NUL)");
        }
    }

    void close() {
        int error = 0;
        const int result = lock_.run([&] {
            if (handle_ < 0) {
                return closed_result;
            }
            errno = 0;
            const int closing = edfclose_file(handle_);
            error = errno;
            handle_ = -1;
            return closing;
        });
        if (result == closed_result) {
            return; // closed before: nothing to do
        }
        if (result <= EDF_ERR_NEGATIVE_SIGNAL_COUNT && result >= EDF_ERR_PHYSICAL_VALUE_TEXT) {
            remove_written_file(path_); // no header could be written: the file is empty
        }
        if (result == -1) {
            raise_os_error(error != 0 ? error : EIO, "completing the file failed");
        }
        if (result < 0) {
            raise_code(result, path_, true);
        }
    }
    bool closed() const {
        return handle_ < 0;
    }

  private:
    // What a call under the lock gives for a writer closed meanwhile: no code of the library.
    static constexpr int closed_result = INT_MIN;

    [[noreturn]] static void raise_closed() {
        throw py::value_error("the writer is closed");
    }
    // Refuses a closed writer before its arguments are checked; the calls check again under
    // the lock, where a close in another thread cannot overtake them.
    void open_handle() const {
        if (handle_ < 0) {
            raise_closed();
        }
    }
    // A setter's refusal: the file is given up (closed and removed) and the argument named.
    // Called by the constructor only.
    void check(int result, const std::string &what) {
        if (result == 0) {
            return;
        }
        edfclose_file(handle_);
        handle_ = -1;
        remove_written_file(path_);
        throw py::value_error(what + " refused by the writer");
    }
    // Closes the handle without completing anything that could be completed and removes the
    // file. Close repeats the header writer's code, which the caller reports already.
    void give_up() {
        lock_.run([this] {
            if (handle_ >= 0) {
                edfclose_file(handle_);
                handle_ = -1;
                remove_written_file(path_);
            }
        });
    }
    [[noreturn]] void raise_os_error(int number, const char *what) const {
        py::object instance = py::handle(PyExc_OSError)(number, what, path_);
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance.ptr())), instance.ptr());
        throw py::error_already_set();
    }

    // Changed under lock_ only (and by the constructor); read without it by closed() and
    // open_handle().
    std::atomic<int> handle_{-1};
    std::string path_;
    std::vector<int64_t> spr_;
    object_lock lock_;
};

} // namespace

void register_writer(py::module_ &module) {
    py::class_<writer_file>(module, "Writer")
        .def(py::init<const std::string &, bool, const py::list &, int64_t, const py::object &,
                      const py::dict &, const py::dict &, bool>(),
             py::arg("path"), py::arg("bdf"), py::arg("signals"), py::arg("record_duration_us"),
             py::arg("start"), py::arg("patient"), py::arg("recording"),
             py::arg("discontinuous") = false)
        .def("write", &writer_file::write, py::arg("arrays"))
        .def("record_start", &writer_file::record_start, py::arg("start_us"))
        .def("annotate", &writer_file::annotate, py::arg("onset_us"), py::arg("duration_us"),
             py::arg("text"))
        .def("close", &writer_file::close)
        .def_property_readonly("closed", &writer_file::closed);
}
