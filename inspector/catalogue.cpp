// The catalogue. Each file to read is read by the pool (the tolerant open gives the header,
// signals, annotations, segments and the check's problems in one pass; a file it cannot read
// is checked instead); the calling thread alone writes the database, every text bound as a
// parameter, in transactions of many files.
#include "catalogue.h"

#include "file_modes.h"
#include "file_pool.h"
#include "header_fields.h"
#include "open_recording.h"
#include "problem_report.h"
#include "progress_line.h"
#include "segment_report.h"
#include "utf8_text.h"

#include "recording/edf.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int exit_failure = 1;

// A value of a column: NULL, an integer, a real or a text.
struct value {
    enum class kind { null, integer, real, text } type = kind::null;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;

    static value of(int64_t v) {
        value x;
        x.type = kind::integer;
        x.integer = v;
        return x;
    }
    static value of(double v) {
        value x;
        x.type = kind::real;
        x.real = v;
        return x;
    }
    // A text from the file, as valid UTF-8; empty texts are NULL when `empty_is_null`.
    static value of(const std::string &v, bool empty_is_null = false) {
        value x;
        if (!(empty_is_null && v.empty())) {
            x.type = kind::text;
            x.text = repaired_utf8(v);
        }
        return x;
    }
};

using row = std::vector<value>;

// Everything the catalogue holds of one file.
struct catalogue_entry {
    std::string path; // absolute
    int64_t size = 0;
    int64_t mtime = 0;
    row recording; // the columns after id, path, size and mtime
    std::vector<row> signals, annotations, problems, segments;
};

double seconds(int64_t ticks) {
    return static_cast<double>(ticks) / static_cast<double>(EDF_TIME_DIMENSION);
}

row problem_row(const edf_problem &p) {
    return {value::of(p.offset),
            value::of(static_cast<int64_t>(p.signal)),
            value::of(p.record),
            value::of(static_cast<int64_t>(p.code)),
            value::of(static_cast<int64_t>(p.action)),
            value::of(std::string(p.field)),
            value::of(std::string(p.found)),
            value::of(std::string(p.message))};
}

// The start, or NULL when the header's start date is not a date (the tolerant open then
// reads it as 1985-01-01 and names the field).
value start_value(const edf_header_info &h, const std::vector<edf_problem> &problems) {
    for (const edf_problem &p : problems) {
        if (std::strcmp(p.field, "start date") == 0 && h.start_year == 1985 && h.start_month == 1 &&
            h.start_day == 1) {
            return {};
        }
    }
    return value::of(start_text(h, 'T'));
}

// Reads one file for the catalogue. Never throws for the file's sake.
void read_entry(catalogue_entry &entry) {
    // The header record (about 1 MB, which the open clears) is the thread's own, taken once:
    // a new one for each file would cost its pages' faults again.
    thread_local const std::unique_ptr<edf_header_info> header(new edf_header_info);
    std::vector<edf_problem> problems;
    const bool readable = edfopen_file_readonly_tolerant(entry.path.c_str(), header.get(),
                                                         EDF_READ_ALL_ANNOTATIONS) == 0;
    std::string error;
    if (readable) {
        const int count = edf_get_problem_count(header->handle);
        for (int n = 0; n < count; n++) {
            edf_problem p;
            if (edf_get_problem(header->handle, n, &p) == 0) {
                problems.push_back(p);
            }
        }
    } else {
        int code = 0;
        problems = checked_problems(entry.path, &code);
        if (code < 0) {
            error = edf_error_text(code);
        }
    }
    for (const edf_problem &p : problems) {
        entry.problems.push_back(problem_row(p));
    }
    const bool checked = error.empty();
    row &r = entry.recording;
    r.push_back(value::of(std::string(checked ? conformance(problems) : "unreadable")));
    r.push_back(checked ? value{} : value::of(error));
    r.push_back(value::of(static_cast<int64_t>(readable ? 1 : 0)));
    if (!readable) {
        r.resize(r.size() + 8);
        r.push_back(value::of(static_cast<int64_t>(problems.size())));
        r.resize(r.size() + 4);
        return;
    }
    const edf_header_info &h = *header;
    const int handle = h.handle;
    struct closer {
        int handle;
        ~closer() {
            edfclose_file(handle);
        }
    } close_at_end{handle};
    const bool plus = h.filetype == EDF_FILETYPE_EDFPLUS || h.filetype == EDF_FILETYPE_BDFPLUS;
    r.push_back(value::of(std::string(file_type_name(h.filetype))));
    r.push_back(value::of(static_cast<int64_t>(discontinuity_note(problems) != nullptr)));
    r.push_back(start_value(h, problems));
    r.push_back(value::of(seconds(h.file_duration)));
    r.push_back(value::of(h.datarecord_count));
    r.push_back(value::of(seconds(h.datarecord_duration)));
    r.push_back(value::of(static_cast<int64_t>(h.ordinary_signal_count)));
    r.push_back(value::of(h.annotation_count));
    r.push_back(value::of(static_cast<int64_t>(problems.size())));
    char birthdate[32] = "";
    if (plus && h.birth_year != 0) {
        std::snprintf(birthdate, sizeof birthdate, "%04d-%02d-%02d", h.birth_year, h.birth_month,
                      h.birth_day);
    }
    const std::string sex = !plus                               ? ""
                            : std::strcmp(h.sex, "Male") == 0   ? "M"
                            : std::strcmp(h.sex, "Female") == 0 ? "F"
                                                                : "";
    r.push_back(value::of(plus ? without_trailing_spaces(h.patient_code) : "", true));
    r.push_back(value::of(sex, true));
    r.push_back(value::of(std::string(birthdate), true));
    r.push_back(value::of(plus ? without_trailing_spaces(h.equipment) : "", true));

    for (int n = 0; n < h.ordinary_signal_count; n++) {
        const edf_signal_info &s = h.signals[n];
        const double rate = sample_rate(h, n);
        entry.signals.push_back(
            {value::of(static_cast<int64_t>(n)), value::of(without_trailing_spaces(s.label)),
             value::of(without_trailing_spaces(s.physical_dimension)),
             rate > 0.0 ? value::of(rate) : value{},
             value::of(static_cast<int64_t>(s.samples_per_record)), value::of(s.physical_min),
             value::of(s.physical_max), value::of(static_cast<int64_t>(s.digital_min)),
             value::of(static_cast<int64_t>(s.digital_max)),
             value::of(without_trailing_spaces(s.transducer)),
             value::of(without_trailing_spaces(s.prefilter))});
    }
    edf_annotation a;
    for (int64_t n = 0; n < h.annotation_count; n++) {
        if (edf_get_annotation(handle, static_cast<int>(n), &a) != 0) {
            break;
        }
        entry.annotations.push_back(
            {value::of(seconds(a.onset)),
             a.duration == -EDF_TIME_DIMENSION ? value{} : value::of(seconds(a.duration)),
             value::of(std::string(a.annotation))});
    }
    for (const edf_segment &s : segments_of(h)) {
        entry.segments.push_back(
            {value::of(seconds(s.start)), value::of(s.first_record), value::of(s.record_count)});
    }
}

// One prepared statement, reset after each use.
class statement {
  public:
    statement(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            statement_ = nullptr;
        }
    }
    ~statement() {
        sqlite3_finalize(statement_);
    }
    statement(const statement &) = delete;
    statement &operator=(const statement &) = delete;

    bool ok() const {
        return statement_ != nullptr;
    }
    // Binds the values from parameter `first` on, steps once and resets.
    bool run(const row &values, int first = 1) {
        int n = first;
        for (const value &v : values) {
            int bound = SQLITE_OK;
            switch (v.type) {
            case value::kind::null:
                bound = sqlite3_bind_null(statement_, n);
                break;
            case value::kind::integer:
                bound = sqlite3_bind_int64(statement_, n, v.integer);
                break;
            case value::kind::real:
                bound = sqlite3_bind_double(statement_, n, v.real);
                break;
            case value::kind::text:
                bound = sqlite3_bind_text(statement_, n, v.text.data(),
                                          static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
                break;
            }
            if (bound != SQLITE_OK) {
                sqlite3_reset(statement_);
                return false;
            }
            n++;
        }
        const int stepped = sqlite3_step(statement_);
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        return stepped == SQLITE_DONE || stepped == SQLITE_ROW;
    }
    sqlite3_stmt *get() const {
        return statement_;
    }

  private:
    sqlite3_stmt *statement_ = nullptr;
};

// The database, with the statements that write one file's rows.
class catalogue {
  public:
    explicit catalogue(const std::string &path) {
        if (sqlite3_open_v2(path.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            error_ = db_ != nullptr ? sqlite3_errmsg(db_) : "no memory";
            return;
        }
        sqlite3_busy_timeout(db_, 10000);
        if (!exec(catalogue_schema())) {
            return;
        }
        for (const char *sql : {
                 "DELETE FROM signals WHERE recording_id = ?1",
                 "DELETE FROM annotations WHERE recording_id = ?1",
                 "DELETE FROM problems WHERE recording_id = ?1",
                 "DELETE FROM segments WHERE recording_id = ?1",
                 "DELETE FROM recordings WHERE id = ?1",
                 "INSERT INTO recordings (path, size, mtime, status, error, readable, filetype, "
                 "discontinuous, start, duration, record_count, record_duration, signal_count, "
                 "annotation_count, problem_count, patient_code, sex, birthdate, equipment) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                 "?16, ?17, ?18, ?19)",
                 "INSERT INTO signals (recording_id, idx, label, unit, rate, samples_per_record, "
                 "physical_min, physical_max, digital_min, digital_max, transducer, prefilter) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
                 "INSERT INTO annotations (recording_id, onset, duration, text) "
                 "VALUES (?1, ?2, ?3, ?4)",
                 "INSERT INTO problems (recording_id, offset, signal, record, code, action, "
                 "field, found, message) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                 "INSERT INTO segments (recording_id, start, first_record, records) "
                 "VALUES (?1, ?2, ?3, ?4)",
             }) {
            statements_.push_back(std::make_unique<statement>(db_, sql));
            if (!statements_.back()->ok()) {
                error_ = sqlite3_errmsg(db_);
                return;
            }
        }
    }
    ~catalogue() {
        if (in_transaction_) {
            exec("ROLLBACK");
        }
        statements_.clear();
        sqlite3_close(db_);
    }
    catalogue(const catalogue &) = delete;
    catalogue &operator=(const catalogue &) = delete;

    const std::string &error() const {
        return error_;
    }

    struct known_file {
        int64_t id;
        int64_t size;
        int64_t mtime;
    };
    // path -> its row, for every file in the catalogue.
    std::unordered_map<std::string, known_file> known() {
        std::unordered_map<std::string, known_file> files;
        statement count(db_, "SELECT count(*) FROM recordings");
        if (count.ok() && sqlite3_step(count.get()) == SQLITE_ROW) {
            files.reserve(static_cast<std::size_t>(sqlite3_column_int64(count.get(), 0)));
        }
        statement select(db_, "SELECT id, path, size, mtime FROM recordings");
        while (select.ok() && sqlite3_step(select.get()) == SQLITE_ROW) {
            const unsigned char *path = sqlite3_column_text(select.get(), 1);
            files[path != nullptr ? reinterpret_cast<const char *>(path) : ""] = {
                sqlite3_column_int64(select.get(), 0), sqlite3_column_int64(select.get(), 2),
                sqlite3_column_int64(select.get(), 3)};
        }
        return files;
    }

    // Writes within the current transaction, beginning one when none is open.
    bool remove(int64_t id) {
        if (!begin()) {
            return false;
        }
        for (std::size_t n = 0; n < 5; n++) {
            if (!statements_[n]->run({value::of(id)})) {
                return fail();
            }
        }
        return true;
    }
    bool insert(const catalogue_entry &entry) {
        if (!begin()) {
            return false;
        }
        row recording = {value::of(entry.path), value::of(entry.size), value::of(entry.mtime)};
        recording.insert(recording.end(), entry.recording.begin(), entry.recording.end());
        if (!statements_[5]->run(recording)) {
            return fail();
        }
        const value id = value::of(static_cast<int64_t>(sqlite3_last_insert_rowid(db_)));
        const std::vector<row> *tables[] = {&entry.signals, &entry.annotations, &entry.problems,
                                            &entry.segments};
        for (std::size_t t = 0; t < 4; t++) {
            for (const row &r : *tables[t]) {
                row with_id = {id};
                with_id.insert(with_id.end(), r.begin(), r.end());
                if (!statements_[6 + t]->run(with_id)) {
                    return fail();
                }
            }
        }
        return true;
    }
    // Commits the open transaction, if any.
    bool commit() {
        if (!in_transaction_) {
            return true;
        }
        in_transaction_ = false;
        return exec("COMMIT");
    }

  private:
    bool exec(const char *sql) {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            error_ = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            return false;
        }
        return true;
    }
    bool begin() {
        if (!error_.empty()) {
            return false;
        }
        if (!in_transaction_) {
            in_transaction_ = exec("BEGIN IMMEDIATE");
        }
        return in_transaction_;
    }
    bool fail() {
        error_ = sqlite3_errmsg(db_);
        return false;
    }

    sqlite3 *db_ = nullptr;
    std::string error_;
    bool in_transaction_ = false;
    std::vector<std::unique_ptr<statement>> statements_;
};

// Whether an absolute path's text is already in normal form: no empty, "." or ".." component
// and no separator at its end.
bool normal_absolute(const std::string &path) {
    if (path.size() < 2 || path[0] != '/' || path.back() == '/') {
        return false;
    }
    for (std::size_t i = 0; i < path.size(); i++) {
        if (path[i] != '/') {
            continue;
        }
        const std::size_t end = path.find('/', i + 1);
        const std::size_t length = (end == std::string::npos ? path.size() : end) - i - 1;
        if (length == 0 || (length == 1 && path[i + 1] == '.') ||
            (length == 2 && path[i + 1] == '.' && path[i + 2] == '.')) {
            return false;
        }
    }
    return true;
}

// The path made absolute from the current directory (`here`), without resolving links.
std::string absolute_path(const std::string &path, const fs::path &here) {
    if (!path.empty()) {
        std::string joined = path[0] == '/' ? path : here.native() + '/' + path;
        if (normal_absolute(joined)) {
            return joined;
        }
    }
    const fs::path given(path);
    return (given.is_absolute() ? given : here / given).lexically_normal().string();
}

// Size and time of change, or nothing when the file cannot be found (errno tells why).
std::optional<std::pair<int64_t, int64_t>> size_and_mtime(const std::string &path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        if (S_ISDIR(status.st_mode)) {
            errno = EISDIR;
        }
        return std::nullopt;
    }
    return std::make_pair(static_cast<int64_t>(status.st_size),
                          static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                              status.st_mtim.tv_nsec);
}

} // namespace

int run_index(const inspector_options &options, const input_files &inputs) {
    for (const std::string &failure : inputs.failures) {
        std::fprintf(stderr, "edfinfo: %s\n", failure.c_str());
    }
    int failures = static_cast<int>(inputs.failures.size());
    catalogue db(options.index_path);
    if (!db.error().empty()) {
        std::fprintf(stderr, "edfinfo: cannot write the catalogue %s: %s\n",
                     quoted_name(options.index_path).c_str(), db.error().c_str());
        return exit_failure;
    }
    std::unordered_map<std::string, catalogue::known_file> known = db.known();

    // The files to read: those that are new or changed since their row was written.
    std::vector<catalogue_entry> to_read;
    std::vector<int64_t> replaced; // the row of each file to read, or -1
    std::size_t kept = 0;
    std::error_code no_directory;
    const fs::path here = fs::current_path(no_directory);
    for (const input_file &file : inputs.files) {
        catalogue_entry entry;
        entry.path = absolute_path(file.path, here);
        if (!file.exists) {
            std::fprintf(stderr, "edfinfo: cannot index %s: %s\n", quoted_name(file.path).c_str(),
                         "no such file");
            failures++;
            continue;
        }
        entry.size = file.size;
        entry.mtime = file.mtime;
        const auto found = known.find(entry.path);
        if (found != known.end() && found->second.size == entry.size &&
            found->second.mtime == entry.mtime) {
            kept++;
            known.erase(found); // seen: not to be dropped
            continue;
        }
        replaced.push_back(found != known.end() ? found->second.id : -1);
        if (found != known.end()) {
            known.erase(found);
        }
        to_read.push_back(std::move(entry));
    }
    // The rows of files that are gone (every other row stays: a catalogue may hold several
    // corpora, indexed one by one).
    std::size_t dropped = 0;
    bool written = true;
    for (const auto &[path, row] : known) {
        if (!size_and_mtime(path) && (errno == ENOENT || errno == ENOTDIR)) {
            written = written && db.remove(row.id);
            dropped++;
        }
    }

    // Read by the pool, written here in input order, a transaction per 256 files.
    progress_line progress(to_read.size(), true);
    std::size_t since_commit = 0;
    map_in_order<catalogue_entry>(
        to_read.size(), options.jobs,
        [&](std::size_t i) {
            catalogue_entry entry;
            entry.path = to_read[i].path;
            entry.size = to_read[i].size;
            entry.mtime = to_read[i].mtime;
            try {
                read_entry(entry);
            } catch (const std::exception &e) {
                entry.recording.clear(); // not written: no memory for its rows
            }
            return entry;
        },
        [&](std::size_t i, catalogue_entry &&entry) {
            if (entry.recording.empty()) {
                progress.clear();
                std::fprintf(stderr, "edfinfo: cannot index %s: no memory\n",
                             quoted_name(entry.path).c_str());
                failures++;
            } else if (written) {
                written = (replaced[i] < 0 || db.remove(replaced[i])) && db.insert(entry);
                if (written && ++since_commit >= 256) {
                    written = db.commit();
                    since_commit = 0;
                }
            }
            progress.step();
        });
    progress.finish();
    written = written && db.commit();
    if (!written) {
        std::fprintf(stderr, "edfinfo: cannot write the catalogue %s: %s\n",
                     quoted_name(options.index_path).c_str(), db.error().c_str());
        return exit_failure;
    }
    std::printf("%s: %zu file%s read, %zu kept, %zu dropped\n",
                display_text(options.index_path).c_str(), to_read.size(),
                to_read.size() == 1 ? "" : "s", kept, dropped);
    return failures == 0 ? 0 : exit_failure;
}
