// edfinfo --anonymize [--keep-sex] [--keep-age] [--keep-start-time] [--drop-annotation-texts]
//   (--in-place | --output OUT) [--show] [--map MAP.csv [--pseudonym PREFIX]] FILE...
//
// Each file is de-identified by edf_anonymize_file and then read back, and every field that
// changed is listed as "old → new". The old values identify the patient, so they are masked
// unless --show is given. With several files, --output names a directory (made when missing)
// that receives a copy of each file under its own name. The key file (--map) lists for every
// de-identified file its original start, the shift of its dates in days and, with
// --pseudonym, a pseudonym that numbers the patients in the order met: files of the same
// patient (the same code, or else the same name and birth date) get the same pseudonym. It is
// a new file, and each line is on disk before its file is changed.
#include "anonymize_mode.h"

#include "captured_output.h"
#include "command_line.h"
#include "file_list.h"
#include "file_pool.h"
#include "header_fields.h"
#include "native_path.h"
#include "number_text.h"
#include "progress_line.h"
#include "utf8_text.h"

#include "recording/edf.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

struct anonymize_options {
    int flags = 0;
    bool in_place = false;
    bool have_output = false;
    std::string output;
    bool show = false;
    std::string map_path;
    bool have_pseudonym = false;
    std::string pseudonym_prefix;
    std::vector<std::string> files; // as given: files, directories, @LIST files
    int jobs = 0;                   // files worked on at once; 0: one per core
};

const char *anonymize_usage() {
    return "usage: edfinfo --anonymize [--keep-sex] [--keep-age] [--keep-start-time]\n"
           "                [--drop-annotation-texts] (--in-place | --output OUT) [--show]\n"
           "                [--map MAP.csv [--pseudonym PREFIX]] [--jobs N] FILE...\n"
           "\n"
           "  FILE...                  files, directories (searched for .edf and .bdf files)\n"
           "                           and @LIST files of paths, one a line\n"
           "  --keep-sex               keep the patient's sex (EDF+/BDF+)\n"
           "  --keep-age               keep the age at recording: the birth date moves with\n"
           "                           the start date\n"
           "  --keep-start-time        keep the time of day (the date still becomes 1985-01-01)\n"
           "  --drop-annotation-texts  replace every annotation text by X (needs --output)\n"
           "  --in-place               rewrite each file's header in place\n"
           "  --output OUT             write a copy: OUT is the copy's name for one file, a\n"
           "                           directory for several (or when it is one)\n"
           "  --show                   print the replaced values instead of masking them\n"
           "  --map MAP.csv            write the key file: file, original start, shift in\n"
           "                           days, pseudonym; MAP.csv must not exist (a key is never\n"
           "                           replaced) and is made readable by its owner only\n"
           "  --pseudonym PREFIX       number the patients in the key file: PREFIX1, PREFIX2 ...\n"
           "  --jobs N                 work on N files at once (default: one per core)\n"
           "\n"
           "Every file is tried; the exit status is 0 only when all were de-identified.\n"
           "The key file is written first: each file's line is written and synced before the\n"
           "file is changed. When the key file cannot be made no file is changed, and when a\n"
           "line cannot be written that file and those after it are left as they are.\n";
}

int usage_error(const std::string &reason) {
    std::fprintf(stderr, "edfinfo: %s\n%s", reason.c_str(), anonymize_usage());
    return exit_usage;
}

// Parses the arguments; returns an empty text or the reason for refusing them.
std::string parse(int argc, const char *const *argv, anonymize_options &o, bool &help) {
    bool options_ended = false;
    for (int i = 0; i < argc; i++) {
        const std::string argument = argv[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            o.files.push_back(argument);
            continue;
        }
        std::string name = argument;
        std::string value;
        const std::size_t equals = argument.find('=');
        const bool inline_value = equals != std::string::npos;
        if (inline_value) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        const bool takes_value =
            name == "--output" || name == "--map" || name == "--pseudonym" || name == "--jobs";
        if (inline_value && !takes_value) {
            return "option " + name + " takes no value";
        }
        if (takes_value && !inline_value) {
            if (i + 1 >= argc) {
                return "option " + name + " needs a value";
            }
            value = argv[++i];
        }
        if (name == "--") {
            options_ended = true;
        } else if (name == "--help" || name == "-h") {
            help = true;
        } else if (name == "--anonymize") {
        } else if (name == "--keep-sex") {
            o.flags |= EDF_ANON_KEEP_SEX;
        } else if (name == "--keep-age") {
            o.flags |= EDF_ANON_KEEP_AGE;
        } else if (name == "--keep-start-time") {
            o.flags |= EDF_ANON_KEEP_START_TIME;
        } else if (name == "--drop-annotation-texts") {
            o.flags |= EDF_ANON_DROP_ANNOTATION_TEXTS;
        } else if (name == "--in-place") {
            o.in_place = true;
        } else if (name == "--show") {
            o.show = true;
        } else if (name == "--output" || name == "--map") {
            if (value.empty()) {
                return "option " + name + " needs a file name";
            }
            (name == "--output" ? o.output : o.map_path) = value;
            o.have_output = o.have_output || name == "--output";
        } else if (name == "--jobs") {
            const std::optional<int> jobs = parse_index(value);
            if (!jobs || *jobs < 1 || *jobs > max_jobs) {
                return "option --jobs needs a number of files from 1 to " +
                       std::to_string(max_jobs) + ", not '" + value + "'";
            }
            o.jobs = *jobs;
        } else if (name == "--pseudonym") {
            o.pseudonym_prefix = value;
            o.have_pseudonym = true;
        } else {
            return "unknown option '" + argument + "' for --anonymize";
        }
    }
    if (help) {
        return "";
    }
    if (o.files.empty()) {
        return "no file given";
    }
    if (o.in_place == o.have_output) {
        return "--anonymize needs either --in-place or --output OUT";
    }
    if (o.have_pseudonym && o.map_path.empty()) {
        return "--pseudonym belongs to --map";
    }
    return "";
}

std::string quoted_path(const std::string &path) {
    std::string text = "'";
    text += display_text(path);
    text += '\'';
    return text;
}

int64_t day_number(int y, int m, int d) {
    using namespace std::chrono;
    // A day past the month's end (the header allows 31.02.) counts on into the next month.
    const sys_days first = year_month_day(year(y), month(static_cast<unsigned>(m)), day(1));
    return (first + days(d - 1)).time_since_epoch().count();
}

// What the key file records of one de-identified file.
struct map_row {
    std::string file;
    std::string original_start;
    int64_t shift_days;
    std::string patient_key; // empty: a patient of its own
};

std::string patient_key(const edf_header_info &h) {
    const bool plus = h.filetype == EDF_FILETYPE_EDFPLUS || h.filetype == EDF_FILETYPE_BDFPLUS;
    if (!plus) {
        const std::string patient = without_trailing_spaces(h.patient);
        return patient == "X" ? "" : "patient:" + patient;
    }
    if (h.patient_code[0] != '\0') {
        return std::string("code:") + h.patient_code;
    }
    if (std::strcmp(h.patient_name, "X") != 0 && h.patient_name[0] != '\0') {
        return std::string("name:") + h.patient_name + "|" + h.birthdate;
    }
    return "";
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

// The key file: it undoes the de-identification, so it is created new (an earlier key is
// never replaced: with pseudonyms numbered from 1 in every run, adding to one would give two
// patients the same pseudonym), readable by its owner only, and each file's line is written
// and synced before that file is changed. A run that is stopped at any moment, or a key that
// can no longer be written (a full disk), thus never leaves a changed file without its line;
// at worst a line names a file that was not changed (its start is not 1985-01-01).
#ifdef _WIN32
// The key file on Windows: a handle of its own, written at explicit offsets and flushed
// through to the disk (FlushFileBuffers) after each line. Windows replaces no open file, so
// the old key is closed before the new one is renamed over it (and opened again if that fails).
class key_file {
  public:
    key_file() = default;
    key_file(const key_file &) = delete;
    key_file &operator=(const key_file &) = delete;
    ~key_file() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }

    std::string create(const std::string &path) {
        path_ = path;
        handle_ = open_new(path);
        if (handle_ == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                       ? "it exists, and a key file is never replaced (give a new name)"
                       : reason(error);
        }
        if (!add("file,original_start,shift_days,pseudonym\n")) {
            const DWORD error = GetLastError();
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
            DeleteFileW(native_path(path).c_str());
            return reason(error);
        }
        lines_ = 0;
        return "";
    }

    bool add(const std::string &line) {
        if (!write_at(handle_, line, length_) || !FlushFileBuffers(handle_)) {
            const DWORD error = GetLastError();
            cut(length_);
            SetLastError(error);
            return false;
        }
        length_ += static_cast<int64_t>(line.size());
        lines_++;
        return true;
    }

    bool replace(const std::string &text, int lines) {
        std::string temporary;
        HANDLE fresh = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 100 && fresh == INVALID_HANDLE_VALUE; attempt++) {
            temporary =
                path_ + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
            fresh = open_new(temporary);
        }
        if (fresh == INVALID_HANDLE_VALUE) {
            return false;
        }
        if (!write_at(fresh, text, 0) || !FlushFileBuffers(fresh)) {
            CloseHandle(fresh);
            DeleteFileW(native_path(temporary).c_str());
            return false;
        }
        CloseHandle(fresh);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        const bool moved = MoveFileExW(native_path(temporary).c_str(), native_path(path_).c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (!moved) {
            DeleteFileW(native_path(temporary).c_str());
        }
        handle_ =
            CreateFileW(native_path(path_).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!moved || handle_ == INVALID_HANDLE_VALUE) {
            return false;
        }
        length_ = static_cast<int64_t>(text.size());
        lines_ = lines;
        return true;
    }

    bool close() {
        const bool closed = handle_ != INVALID_HANDLE_VALUE && CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        if (lines_ == 0) {
            DeleteFileW(native_path(path_).c_str());
        }
        return closed;
    }

  private:
    static HANDLE open_new(const std::string &path) {
        return CreateFileW(native_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static std::string reason(DWORD error) {
        return std::system_category().message(static_cast<int>(error));
    }
    static bool write_at(HANDLE handle, const std::string &text, int64_t position) {
        size_t done = 0;
        while (done < text.size()) {
            OVERLAPPED at{};
            const uint64_t offset = static_cast<uint64_t>(position) + done;
            at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD put = 0;
            const DWORD asked = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
            if (!WriteFile(handle, text.data() + done, asked, &put, &at) || put == 0) {
                return false;
            }
            done += put;
        }
        return true;
    }
    bool cut(int64_t length) {
        LARGE_INTEGER at;
        at.QuadPart = length;
        return SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) && SetEndOfFile(handle_) &&
               FlushFileBuffers(handle_);
    }

    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    int64_t length_ = 0;
    int lines_ = 0;
};
#else
class key_file {
  public:
    key_file() = default;
    key_file(const key_file &) = delete;
    key_file &operator=(const key_file &) = delete;
    ~key_file() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    // Creates the file with its heading. Returns "" or the reason it cannot be created (no
    // file is left then).
    std::string create(const std::string &path) {
        path_ = path;
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            return errno == EEXIST ? "it exists, and a key file is never replaced (give a new name)"
                                   : std::strerror(errno);
        }
        if (!add("file,original_start,shift_days,pseudonym\n")) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            unlink(path.c_str());
            return std::strerror(error);
        }
        sync_directory();
        lines_ = 0;
        return "";
    }

    // Appends one line and syncs it. False when it cannot be written: the file is cut back to
    // the lines before, so that it stays whole.
    bool add(const std::string &line) {
        if (!write_at(line, length_) || fsync(fd_) != 0) {
            const int error = errno;
            cut(length_);
            errno = error;
            return false;
        }
        length_ += static_cast<off_t>(line.size());
        lines_++;
        return true;
    }

    // Replaces the whole key by `text` (the heading and the lines of the files changed)
    // through a new file beside it, written, synced and renamed over it: at every moment the
    // key is the old one or the new one, each whole. False when that fails (the old key
    // stays).
    bool replace(const std::string &text, int lines) {
        std::string temporary = path_ + ".XXXXXX";
        const int fd = mkostemp(temporary.data(), O_CLOEXEC); // readable by its owner only
        if (fd < 0) {
            return false;
        }
        const int old_fd = fd_;
        fd_ = fd;
        if (!write_at(text, 0) || fsync(fd_) != 0 ||
            std::rename(temporary.c_str(), path_.c_str()) != 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = old_fd;
            unlink(temporary.c_str());
            errno = error;
            return false;
        }
        sync_directory();
        ::close(old_fd);
        length_ = static_cast<off_t>(text.size());
        lines_ = lines;
        return true;
    }

    // Closes the file; one that names no file is removed again. False when closing fails.
    bool close() {
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        if (lines_ == 0) {
            unlink(path_.c_str());
        }
        return closed;
    }

  private:
    bool write_at(const std::string &text, off_t position) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t put = pwrite(fd_, text.data() + done, text.size() - done,
                                       position + static_cast<off_t>(done));
            if (put > 0) {
                done += static_cast<size_t>(put);
            } else if (put == 0 || errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    bool cut(off_t length) {
        return ftruncate(fd_, length) == 0 && fsync(fd_) == 0;
    }
    // The new file's name must last as well as its lines.
    void sync_directory() const {
        std::filesystem::path folder = std::filesystem::path(path_).parent_path();
        const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            ::close(fd);
        }
    }

    std::string path_;
    int fd_ = -1;
    off_t length_ = 0;
    int lines_ = 0;
};
#endif

// Numbers the patients of the key file in the order met: PREFIX1, PREFIX2, ...; files of the
// same patient share one.
class pseudonyms {
  public:
    std::string give(const std::string &prefix, const std::string &patient) {
        int number = next_;
        if (!patient.empty()) {
            number = numbers_.emplace(patient, next_).first->second;
        }
        next_ += number == next_ ? 1 : 0;
        return prefix + std::to_string(number);
    }

  private:
    std::map<std::string, int> numbers_;
    int next_ = 1;
};

std::string key_line(const map_row &row, const std::string &pseudonym) {
    return csv_field(row.file) + "," + row.original_start + "," + std::to_string(row.shift_days) +
           "," + csv_field(pseudonym) + "\n";
}

std::string shown(const std::string &value) {
    return value.empty() ? "X" : value;
}

// Prints every field that differs between the source and the result.
void print_changes(std::FILE *out, const anonymize_options &o, const edf_header_info &before,
                   const edf_header_info &after, int changed_texts) {
    const std::vector<named_field> old_fields = identification_fields(before);
    const std::vector<named_field> new_fields = identification_fields(after);
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> lines;
    for (size_t i = 0; i < old_fields.size() && i < new_fields.size(); i++) {
        if (old_fields[i].value != new_fields[i].value) {
            lines.push_back({old_fields[i].title, {old_fields[i].value, new_fields[i].value}});
        }
    }
    const std::string old_start = start_text(before, ' ');
    const std::string new_start = start_text(after, ' ');
    if (old_start != new_start) {
        lines.push_back({"Start", {old_start, new_start}});
    }
    for (const auto &line : lines) {
        const std::string old_value = o.show ? display_text(shown(line.second.first)) : "***";
        std::fprintf(out, "  %-21s %s → %s\n", (line.first + ":").c_str(), old_value.c_str(),
                     display_text(shown(line.second.second)).c_str());
    }
    if (changed_texts > 0) {
        std::fprintf(out, "  %-21s %d replaced by X\n", "Annotation texts:", changed_texts);
    }
    if (lines.empty() && changed_texts == 0) {
        std::fprintf(out, "  nothing to replace\n");
    }
}

// Annotation texts that differ between the two open files.
int changed_annotation_texts(const edf_header_info &before, const edf_header_info &after) {
    int changed = 0;
    edf_annotation a;
    edf_annotation b;
    for (int64_t n = 0; n < before.annotation_count; n++) {
        if (edf_get_annotation(before.handle, static_cast<int>(n), &a) != 0 ||
            edf_get_annotation(after.handle, static_cast<int>(n), &b) != 0 ||
            std::strcmp(a.annotation, b.annotation) != 0) {
            changed++;
        }
    }
    return changed;
}

// A file open for reading, closed when it goes out of scope or on request. De-identification
// also takes files that only the tolerant open reads (repairing them into the copy) and
// discontinuous ones, so those are read tolerantly; the strict open's code stays the answer
// for a file that neither open reads.
class opened {
  public:
    opened(const std::string &path, int annotation_mode)
        : header_(std::make_unique<edf_header_info>()) {
        if (edfopen_file_readonly(path.c_str(), header_.get(), annotation_mode) != 0) {
            const int refused = header_->filetype;
            if (edfopen_file_readonly_tolerant(path.c_str(), header_.get(), annotation_mode) != 0) {
                header_->filetype = refused;
            }
        }
    }
    ~opened() {
        close();
    }
    opened(const opened &) = delete;
    opened &operator=(const opened &) = delete;
    void close() {
        if (header_->handle >= 0) {
            edfclose_file(header_->handle);
            header_->handle = -1;
        }
    }
    bool is_open() const {
        return header_->handle >= 0;
    }
    int error_code() const {
        return header_->filetype;
    }
    const edf_header_info &header() const {
        return *header_;
    }

  private:
    std::unique_ptr<edf_header_info> header_;
};

void report_failure(std::FILE *err, const std::string &file, const std::string &reason) {
    std::fprintf(err, "edfinfo: %s not de-identified: %s\n", quoted_path(file).c_str(),
                 reason.c_str());
}

} // namespace

bool wants_anonymize_mode(int argc, const char *const *argv) {
    for (int i = 0; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            return false;
        }
        if (std::strcmp(argv[i], "--anonymize") == 0) {
            return true;
        }
    }
    return false;
}

int run_anonymize_mode(int argc, const char *const *argv) {
    anonymize_options o;
    bool help = false;
    const std::string refusal = parse(argc, argv, o, help);
    if (help) {
        std::fputs(anonymize_usage(), stdout);
        return 0;
    }
    if (!refusal.empty()) {
        return usage_error(refusal);
    }
    const input_files inputs = expand_inputs(o.files);
    for (const std::string &failure : inputs.failures) {
        std::fprintf(stderr, "edfinfo: %s\n", failure.c_str());
    }
    const std::vector<input_file> &files = inputs.files;
    const bool into_directory =
        o.have_output && (inputs.many || std::filesystem::is_directory(native_path(o.output)));
    if (into_directory) {
        std::error_code error;
        std::filesystem::create_directories(native_path(o.output), error);
        if (!std::filesystem::is_directory(native_path(o.output))) {
            std::fprintf(stderr, "edfinfo: cannot make the directory %s: %s\n",
                         quoted_path(o.output).c_str(), error.message().c_str());
            return exit_failure;
        }
    }
    // The key file comes first: when it cannot be made, nothing is changed.
    key_file key;
    const bool keyed = !o.map_path.empty();
    if (keyed) {
        const std::string reason = key.create(o.map_path);
        if (!reason.empty()) {
            std::fprintf(stderr, "edfinfo: cannot write the key file %s: %s; no file was changed\n",
                         quoted_path(o.map_path).c_str(), reason.c_str());
            return exit_failure;
        }
    }
    // Each file's copy; the second of two files with the same copy fails.
    std::vector<std::string> targets;
    std::vector<std::string> clashes(files.size());
    std::map<std::string, std::size_t> first_with;
    for (std::size_t i = 0; i < files.size(); i++) {
        targets.push_back(!o.have_output   ? files[i].path
                          : into_directory ? joined_path(o.output, files[i].output_name)
                                           : o.output);
        const auto found = first_with.emplace(targets[i], i);
        if (o.have_output && !found.second) {
            clashes[i] = "its copy " + quoted_path(targets[i]) + " would replace that of " +
                         quoted_path(files[found.first->second].path);
        }
    }
    const int annotation_mode = (o.flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0
                                    ? EDF_READ_ALL_ANNOTATIONS
                                    : EDF_READ_NO_ANNOTATIONS;

    // The key's lines are written in the order of the files, whatever the number of threads:
    // a file's work waits for its turn (every file before it has had its line written, or
    // failed before that), writes its line, passes the turn on, and only then changes the
    // file. Pseudonyms are thus numbered in input order.
    std::mutex turn_mutex;
    std::condition_variable turn_passed;
    std::size_t turn = 0;
    pseudonyms numbering;
    bool key_lost = false;
    struct keyed_file {
        bool has_line = false;
        bool changed = false;
        map_row row;
    };
    std::vector<keyed_file> key_lines(files.size());

    // One file's work; its output is printed in input order. Never throws.
    const auto work = [&](std::size_t i) -> file_output {
        const std::string &file = files[i].path;
        const std::string &target = targets[i];
        captured_output captured;
        std::FILE *out = captured.out();
        std::FILE *err = captured.err();
        bool ok = false;
        bool turn_taken = false;
        bool turn_passed_on = !keyed;
        // Waits for this file's turn at the key; false when the key was lost before it (the
        // file is then left as it is, and nothing is said of it).
        const auto take_turn = [&]() {
            std::unique_lock<std::mutex> lock(turn_mutex);
            turn_passed.wait(lock, [&] { return turn == i; });
            turn_taken = true;
            return !key_lost;
        };
        const auto pass_turn = [&]() {
            turn_passed_on = true;
            {
                std::lock_guard<std::mutex> lock(turn_mutex);
                turn = i + 1;
            }
            turn_passed.notify_all();
        };
        try {
            std::optional<map_row> row;
            std::unique_ptr<edf_header_info> kept;
            std::string failure = clashes[i];
            if (failure.empty()) {
                // The values before, for the report and the key file.
                opened before(file, annotation_mode);
                if (!before.is_open()) {
                    failure = edf_error_text(before.error_code());
                } else {
                    const edf_header_info &h = before.header();
                    row = map_row{target, start_text(h, 'T'),
                                  day_number(1985, 1, 1) -
                                      day_number(h.start_year, h.start_month, h.start_day),
                                  patient_key(h)};
                    // The source is closed for the de-identification: keep its values.
                    kept = std::make_unique<edf_header_info>(h);
                }
            }
            if (keyed) {
                const bool go_on = take_turn();
                bool line_written = false;
                if (go_on && row) {
                    const std::string pseudonym =
                        o.have_pseudonym ? numbering.give(o.pseudonym_prefix, row->patient_key)
                                         : "";
                    line_written = key.add(key_line(*row, pseudonym));
                    if (!line_written) {
                        std::fprintf(
                            err,
                            "edfinfo: cannot write the key file %s: %s; %s and the files "
                            "after it were not changed\n",
                            quoted_path(o.map_path).c_str(),
                            std::error_code(errno, std::generic_category()).message().c_str(),
                            quoted_path(file).c_str());
                        key_lost = true;
                    } else {
                        key_lines[i] = {true, false, *row};
                    }
                }
                pass_turn();
                if (!go_on) {
                    return captured.take(false); // nothing said, nothing done
                }
                if (row && !line_written) {
                    return captured.take(false);
                }
            }
            if (!failure.empty()) {
                report_failure(err, file, failure);
                return captured.take(false);
            }
            if (into_directory) { // a file found below a directory: its folders below OUT
                std::filesystem::create_directories(native_path(target).parent_path());
            }
            const int result =
                edf_anonymize_file(file.c_str(), o.in_place ? nullptr : target.c_str(), o.flags);
            if (result != 0) {
                report_failure(err, file, edf_error_text(result));
                return captured.take(false);
            }
            key_lines[i].changed = true;
            const opened after(target, annotation_mode);
            if (!after.is_open()) {
                report_failure(err, file,
                               std::string("the result cannot be read back: ") +
                                   edf_error_text(after.error_code()));
                return captured.take(false);
            }
            int changed_texts = 0;
            if (annotation_mode == EDF_READ_ALL_ANNOTATIONS && !o.in_place) {
                const opened source_again(file, annotation_mode);
                if (source_again.is_open()) {
                    changed_texts = changed_annotation_texts(source_again.header(), after.header());
                }
            }
            std::fprintf(out, "%s%s\n", display_text(file).c_str(),
                         o.in_place ? " (in place)" : (" → " + display_text(target)).c_str());
            print_changes(out, o, *kept, after.header(), changed_texts);
            ok = true;
        } catch (const std::exception &e) {
            std::fprintf(err, "edfinfo: %s: %s\n", quoted_path(file).c_str(), e.what());
        }
        if (!turn_passed_on) { // the files after this one wait for its turn
            if (!turn_taken) {
                take_turn();
            }
            pass_turn();
        }
        return captured.take(ok);
    };

    int failures = static_cast<int>(inputs.failures.size());
    progress_line progress(files.size(), true);
    map_in_order<file_output>(files.size(), o.jobs == 0 ? default_jobs() : o.jobs, work,
                              [&](std::size_t, file_output &&output) {
                                  progress.clear();
                                  print_file_output(output);
                                  failures += output.ok ? 0 : 1;
                                  progress.step();
                              });
    progress.finish();

    // A file whose de-identification failed after its line was written has its line taken
    // back: the key is written anew with the lines of the files changed, their pseudonyms
    // numbered again in input order among those files (as if the failed ones had not been
    // met), so that the key is the same whatever the number of threads.
    bool key_failed = false;
    if (keyed) {
        int lines = 0;
        bool any_taken_back = false;
        pseudonyms renumbering;
        std::string text = "file,original_start,shift_days,pseudonym\n";
        for (const keyed_file &line : key_lines) {
            any_taken_back = any_taken_back || (line.has_line && !line.changed);
            if (line.has_line && line.changed) {
                text += key_line(line.row, o.have_pseudonym ? renumbering.give(o.pseudonym_prefix,
                                                                               line.row.patient_key)
                                                            : "");
                lines++;
            }
        }
        if (any_taken_back && !key.replace(text, lines)) {
            std::fflush(stdout);
            std::fprintf(stderr,
                         "edfinfo: cannot write the key file %s anew: %s; it names files that "
                         "failed and were not changed\n",
                         quoted_path(o.map_path).c_str(),
                         std::error_code(errno, std::generic_category()).message().c_str());
            key_failed = true;
        }
        if (!key.close() && !key_lost) {
            std::fflush(stdout);
            std::fprintf(stderr, "edfinfo: cannot write the key file %s: %s\n",
                         quoted_path(o.map_path).c_str(),
                         std::error_code(errno, std::generic_category()).message().c_str());
            key_failed = true;
        }
    }
    return failures == 0 && !key_lost && !key_failed ? 0 : exit_failure;
}
