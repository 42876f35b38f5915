// The modes that work on one file. They print only to the streams they are given, and keep
// no state between calls, so that several files can be worked on at once.
#include "file_modes.h"

#include "csv_samples.h"
#include "json_report.h"
#include "open_recording.h"
#include "problem_report.h"
#include "svg_plot.h"
#include "text_report.h"
#include "utf8_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

int file_usage_error(output_streams s, const std::string &reason) {
    std::fprintf(s.err, "edfinfo: %s\n%s", reason.c_str(), inspector_usage());
    return exit_usage;
}

std::string plural(int64_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Recovery refused: the file's problems other than an unfinished recording's (a record count,
// a partial last record, EDF+D) and what the strict open accepts, and where to turn instead.
int refuse_recovery(const std::string &path, int code, output_streams s) {
    if (code == EDF_ERR_BEING_WRITTEN) {
        // A live recording: what the check finds is only what it has written so far.
        return file_failure(s, "cannot recover " + quoted_name(path) + ": " + edf_error_text(code));
    }
    int checked = 0;
    std::vector<edf_problem> problems = checked_problems(path, &checked);
    std::erase_if(problems, [](const edf_problem &p) {
        return std::strcmp(p.field, "number of data records") == 0 ||
               std::strcmp(p.field, "incomplete data record") == 0 ||
               p.code == EDF_ERR_DISCONTINUOUS || p.code == 0;
    });
    if (problems.empty()) {
        return file_failure(s, "cannot recover " + quoted_name(path) + ": " + edf_error_text(code));
    }
    // Nor can a copy be made past a fatal problem, or of a file without records (which the
    // tolerant open reads as an empty recording).
    const bool fatal = std::any_of(problems.begin(), problems.end(), [](const edf_problem &p) {
        return p.action == EDF_PROBLEM_FATAL || std::strcmp(p.field, "data records") == 0;
    });
    std::fprintf(s.err,
                 "edfinfo: cannot recover %s: recovery mends only the record count and a partial "
                 "last record, and the file has %s more:\n",
                 quoted_name(path).c_str(),
                 plural(static_cast<int64_t>(problems.size()), "problem").c_str());
    write_problem_lines(s.err, problems, "  ");
    std::fprintf(s.err, fatal ? "a repaired copy cannot be made either\n"
                              : "edfinfo --repair OUT FILE writes a repaired copy to OUT\n");
    return exit_failure;
}

// Says what recovery will do, then does it. Nothing is changed when the plan cannot be made.
} // namespace

int recover_file(const std::string &path, output_streams s) {
    edf_recovery_plan plan{};
    const int code = edf_plan_recovery(path.c_str(), &plan);
    if (code != 0) {
        return refuse_recovery(path, code, s);
    }
    const bool count_right = plan.stored_count == plan.complete_records;
    if (count_right && plan.partial_bytes == 0) {
        std::fprintf(s.out, "%s: nothing to recover: %s, as the header says\n",
                     display_text(path).c_str(),
                     plural(plan.complete_records, "complete data record").c_str());
        return 0;
    }
    std::fprintf(
        s.out, "%s: %s of %lld bytes after a header of %lld bytes\n", display_text(path).c_str(),
        plural(plan.complete_records, "complete data record").c_str(),
        static_cast<long long>(plan.record_size), static_cast<long long>(plan.header_size));
    if (!count_right) {
        std::fprintf(s.out, "  record count: %lld -> %lld\n",
                     static_cast<long long>(plan.stored_count),
                     static_cast<long long>(plan.complete_records));
    }
    if (plan.partial_bytes != 0) {
        std::fprintf(s.out, "  cut %s of a partial record (file %lld -> %lld bytes)\n",
                     plural(plan.partial_bytes, "byte").c_str(),
                     static_cast<long long>(plan.file_size),
                     static_cast<long long>(plan.file_size - plan.partial_bytes));
    }
    std::fflush(s.out);
    const int result = edf_recover_file(path.c_str());
    if (result < 0) {
        return file_failure(s, "recovery of " + quoted_name(path) +
                                   " failed: " + edf_error_text(result));
    }
    std::fprintf(s.out, "  done\n");
    return 0;
}

// --check: every problem, exit status 0 when the file conforms (a discontinuous file too,
// which is said) and 1 otherwise.
int check_file(const std::string &path, bool json, output_streams s) {
    int code = 0;
    std::string failure;
    const std::vector<edf_problem> problems = checked_problems(path, &code, &failure);
    if (code < 0) {
        return file_failure(s, "cannot check " + quoted_name(path) + ": " + failure);
    }
    const std::vector<edf_problem> breaks = format_breaks(problems);
    const edf_problem *discontinuous = discontinuity_note(problems);
    const std::string kind = discontinuous != nullptr ? display_text(discontinuous->found) : "";
    if (json) {
        std::fprintf(s.out, "%s\n", problems_json(problems, "").c_str());
    } else if (breaks.empty()) {
        std::fprintf(
            s.out, "%s conforms to the format%s.\n", display_text(path).c_str(),
            discontinuous != nullptr
                ? ("; it is discontinuous (" + kind + "): its records may leave gaps").c_str()
                : "");
    } else {
        std::fprintf(s.out, "%s: %zu problem%s\n", display_text(path).c_str(), breaks.size(),
                     breaks.size() == 1 ? "" : "s");
        write_problem_lines(s.out, breaks, "");
        if (discontinuous != nullptr) {
            std::fprintf(s.out,
                         "%s is discontinuous (%s), as the format allows: its records may leave "
                         "gaps\n",
                         display_text(path).c_str(), kind.c_str());
        }
    }
    return breaks.empty() ? 0 : exit_failure;
}

// --repair OUT: the repaired copy, and the list of what was repaired.
int repair_file(const std::string &path, const std::string &out_path, bool force,
                output_streams s) {
    const int result = edf_repair_file(path.c_str(), out_path.c_str(), force ? 1 : 0, nullptr, 0);
    if (result == EDF_ERR_ALREADY_OPEN) {
        return file_failure(s, "will not write " + quoted_name(out_path) +
                                   ": it is the file to repair");
    }
    if (result == EDF_ERR_OUTPUT_EXISTS) {
        return file_failure(s, "will not write " + quoted_name(out_path) + ": " +
                                   edf_error_text(result) + " (--force replaces it)");
    }
    if (result == EDF_ERR_BEING_WRITTEN) {
        return file_failure(s, "will not write " + quoted_name(out_path) + ": " +
                                   edf_error_text(result));
    }
    int code = 0;
    const std::vector<edf_problem> problems = format_breaks(checked_problems(path, &code));
    if (result < 0) {
        write_problem_lines(s.err, problems, "  ");
        return file_failure(s,
                            "cannot repair " + quoted_name(path) + ": " + edf_error_text(result));
    }
    std::fprintf(s.out, "%s: %zu repair%s, written to %s\n", display_text(path).c_str(),
                 problems.size(), problems.size() == 1 ? "" : "s", display_text(out_path).c_str());
    write_problem_lines(s.out, problems, "");
    return 0;
}

// --continuous OUT: the continuous copy, which replaces an existing OUT.
int continuous_copy_file(const std::string &path, const std::string &out_path, output_streams s) {
    const int result = edf_continuous_copy(path.c_str(), out_path.c_str(), 1);
    if (result != 0) {
        return file_failure(s, "cannot write " + quoted_name(out_path) + ": " +
                                   edf_error_text(result));
    }
    return 0;
}

int report_file(const inspector_options &options, const std::string &path, output_streams s) {
    const bool reads_samples = options.action == inspector_action::samples_csv ||
                               options.action == inspector_action::plot_svg;
    const open_recording recording(path, reads_samples);
    if (!recording.is_open()) {
        return file_failure(s, "cannot open " + quoted_name(path) + ": " +
                                   recording.failure_text(recording.error_code()));
    }
    const edf_header_info &header = recording.header();
    // A discontinuous file conforms: the report lists only what breaks the format.
    const std::vector<edf_problem> problems = format_breaks(recording.problems());
    if (!problems.empty() && (options.action == inspector_action::samples_csv ||
                              options.action == inspector_action::plot_svg)) {
        std::fprintf(s.err,
                     "edfinfo: note: %s breaks the format; read past %zu problem%s (edfinfo "
                     "--check lists them)\n",
                     quoted_name(path).c_str(), problems.size(), problems.size() == 1 ? "" : "s");
    }

    if (options.action == inspector_action::samples_csv ||
        options.action == inspector_action::plot_svg) {
        if (options.signal >= header.ordinary_signal_count) {
            const int count = header.ordinary_signal_count;
            return file_usage_error(
                s,
                "signal " + std::to_string(options.signal) +
                    " does not exist: " + quoted_name(path) + " has " + std::to_string(count) +
                    (count == 1   ? " signal (number 0)"
                     : count == 0 ? " signals"
                                  : " signals (numbers 0 to " + std::to_string(count - 1) + ")"));
        }
    }
    const sample_window window =
        options.signal >= 0
            ? window_of_signal(header, options.signal, options.from_seconds, options.to_seconds)
            : sample_window{};

    switch (options.action) {
    case inspector_action::json_report:
        if (!write_json_report(s.out, path, header, problems)) {
            return file_failure(s, "cannot read the annotations of " + quoted_name(path) + ": " +
                                       recording.failure_text(EDF_ERR_READ));
        }
        break;
    case inspector_action::samples_csv:
        if (!write_samples_csv(s.out, header, options.signal, window)) {
            return file_failure(s, "cannot read signal " + std::to_string(options.signal) + " of " +
                                       quoted_name(path) + ": " +
                                       recording.failure_text(EDF_ERR_READ));
        }
        break;
    case inspector_action::plot_svg:
        switch (write_svg_plot(options.svg_path, path, header, options.signal, window)) {
        case plot_result::ok:
            break;
        case plot_result::read_failed:
            return file_failure(s, "cannot read signal " + std::to_string(options.signal) + " of " +
                                       quoted_name(path) + ": " +
                                       recording.failure_text(EDF_ERR_READ));
        case plot_result::write_failed:
            return file_failure(s, "cannot write " + quoted_name(options.svg_path) + ": " +
                                       std::error_code(errno, std::generic_category()).message());
        }
        break;
    default:
        if (!write_text_report(s.out, path, header, problems)) {
            return file_failure(s, "cannot read the annotations of " + quoted_name(path) + ": " +
                                       recording.failure_text(EDF_ERR_READ));
        }
        break;
    }
    return 0;
}

int file_failure(output_streams streams, const std::string &message) {
    std::fprintf(streams.err, "edfinfo: %s\n", message.c_str());
    return exit_failure;
}

std::string quoted_name(const std::string &path) {
    std::string text = "'";
    text += display_text(path);
    text += '\'';
    return text;
}
