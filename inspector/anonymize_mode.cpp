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

#include "command_line.h"
#include "header_fields.h"
#include "utf8_text.h"

#include "recording/edf.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

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
    std::vector<std::string> files;
};

const char *anonymize_usage() {
    return "usage: edfinfo --anonymize [--keep-sex] [--keep-age] [--keep-start-time]\n"
           "                [--drop-annotation-texts] (--in-place | --output OUT) [--show]\n"
           "                [--map MAP.csv [--pseudonym PREFIX]] FILE...\n"
           "\n"
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
        const bool takes_value = name == "--output" || name == "--map" || name == "--pseudonym";
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
        previous_length_ = length_;
        length_ += static_cast<off_t>(line.size());
        lines_++;
        return true;
    }

    // Takes back the line added last, whose file was not changed after all.
    bool take_back() {
        if (!cut(previous_length_)) {
            return false;
        }
        length_ = previous_length_;
        lines_--;
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
    off_t previous_length_ = 0;
    int lines_ = 0;
};

// Numbers the patients of the key file in the order met: PREFIX1, PREFIX2, ...; files of the
// same patient share one. A number given to a file that then fails is taken back.
class pseudonyms {
  public:
    std::string give(const std::string &prefix, const std::string &patient) {
        given_new_ = false;
        int number = next_;
        if (!patient.empty()) {
            const auto found = numbers_.emplace(patient, next_);
            number = found.first->second;
            given_new_ = found.second;
            last_patient_ = patient;
        }
        last_was_new_number_ = number == next_;
        next_ += last_was_new_number_ ? 1 : 0;
        return prefix + std::to_string(number);
    }
    void take_back() {
        if (given_new_) {
            numbers_.erase(last_patient_);
        }
        next_ -= last_was_new_number_ ? 1 : 0;
        given_new_ = last_was_new_number_ = false;
    }

  private:
    std::map<std::string, int> numbers_;
    int next_ = 1;
    std::string last_patient_;
    bool given_new_ = false;
    bool last_was_new_number_ = false;
};

std::string key_line(const map_row &row, const std::string &pseudonym) {
    return csv_field(row.file) + "," + row.original_start + "," + std::to_string(row.shift_days) +
           "," + csv_field(pseudonym) + "\n";
}

std::string shown(const std::string &value) {
    return value.empty() ? "X" : value;
}

// Prints every field that differs between the source and the result.
void print_changes(const anonymize_options &o, const edf_header_info &before,
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
        std::printf("  %-21s %s → %s\n", (line.first + ":").c_str(), old_value.c_str(),
                    display_text(shown(line.second.second)).c_str());
    }
    if (changed_texts > 0) {
        std::printf("  %-21s %d replaced by X\n", "Annotation texts:", changed_texts);
    }
    if (lines.empty() && changed_texts == 0) {
        std::printf("  nothing to replace\n");
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

void report_failure(const std::string &file, const std::string &reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "edfinfo: %s not de-identified: %s\n", quoted_path(file).c_str(),
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
    const bool into_directory =
        o.have_output && (o.files.size() > 1 || std::filesystem::is_directory(o.output));
    if (into_directory) {
        std::error_code error;
        std::filesystem::create_directories(o.output, error);
        if (!std::filesystem::is_directory(o.output)) {
            std::fprintf(stderr, "edfinfo: cannot make the directory %s: %s\n",
                         quoted_path(o.output).c_str(), error.message().c_str());
            return exit_failure;
        }
    }
    // The key file comes first: when it cannot be made, nothing is changed.
    key_file key;
    if (!o.map_path.empty()) {
        const std::string reason = key.create(o.map_path);
        if (!reason.empty()) {
            std::fprintf(stderr, "edfinfo: cannot write the key file %s: %s; no file was changed\n",
                         quoted_path(o.map_path).c_str(), reason.c_str());
            return exit_failure;
        }
    }
    const auto key_failure = [&](const std::string &file) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "edfinfo: cannot write the key file %s: %s; %s and the files after it were "
                     "not changed\n",
                     quoted_path(o.map_path).c_str(), std::strerror(errno),
                     quoted_path(file).c_str());
    };
    const int annotation_mode = (o.flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0
                                    ? EDF_READ_ALL_ANNOTATIONS
                                    : EDF_READ_NO_ANNOTATIONS;
    pseudonyms numbering;
    std::map<std::string, std::string> written; // copy -> the file it came from
    int failures = 0;
    bool key_lost = false;
    for (const std::string &file : o.files) {
        std::string target = file;
        if (o.have_output) {
            target =
                into_directory
                    ? (std::filesystem::path(o.output) / std::filesystem::path(file).filename())
                          .string()
                    : o.output;
            const auto earlier = written.find(target);
            if (earlier != written.end()) {
                report_failure(file, "its copy " + quoted_path(target) + " would replace that of " +
                                         quoted_path(earlier->second));
                failures++;
                continue;
            }
        }
        // The values before, for the report and the key file.
        opened before(file, annotation_mode);
        if (!before.is_open()) {
            report_failure(file, edf_error_text(before.error_code()));
            failures++;
            continue;
        }
        const map_row row{target, start_text(before.header(), 'T'),
                          day_number(1985, 1, 1) - day_number(before.header().start_year,
                                                              before.header().start_month,
                                                              before.header().start_day),
                          patient_key(before.header())};
        // The source must be closed for the de-identification: keep its header values.
        const std::unique_ptr<edf_header_info> kept =
            std::make_unique<edf_header_info>(before.header());
        before.close();
        if (!o.map_path.empty()) {
            const std::string pseudonym =
                o.have_pseudonym ? numbering.give(o.pseudonym_prefix, row.patient_key) : "";
            if (!key.add(key_line(row, pseudonym))) {
                key_failure(file);
                key_lost = true;
                break;
            }
        }
        const int result =
            edf_anonymize_file(file.c_str(), o.in_place ? nullptr : target.c_str(), o.flags);
        if (result != 0) {
            report_failure(file, edf_error_text(result));
            failures++;
            if (!o.map_path.empty()) {
                numbering.take_back();
                if (!key.take_back()) {
                    key_failure(file);
                    key_lost = true;
                    break;
                }
            }
            continue;
        }
        written[target] = file;
        const opened after(target, annotation_mode);
        if (!after.is_open()) {
            report_failure(file, std::string("the result cannot be read back: ") +
                                     edf_error_text(after.error_code()));
            failures++;
            continue;
        }
        int changed_texts = 0;
        if (annotation_mode == EDF_READ_ALL_ANNOTATIONS && !o.in_place) {
            const opened source_again(file, annotation_mode);
            if (source_again.is_open()) {
                changed_texts = changed_annotation_texts(source_again.header(), after.header());
            }
        }
        std::printf("%s%s\n", display_text(file).c_str(),
                    o.in_place ? " (in place)" : (" → " + display_text(target)).c_str());
        print_changes(o, *kept, after.header(), changed_texts);
    }
    if (!o.map_path.empty() && !key.close() && !key_lost) {
        std::fflush(stdout);
        std::fprintf(stderr, "edfinfo: cannot write the key file %s: %s\n",
                     quoted_path(o.map_path).c_str(), std::strerror(errno));
        key_lost = true;
    }
    return failures == 0 && !key_lost ? 0 : exit_failure;
}
