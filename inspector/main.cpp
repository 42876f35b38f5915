// edfinfo: looks inside an EDF, EDF+, BDF or BDF+ file. Prints a report of the header and the
// annotations (as text or JSON), one signal's samples as CSV, or draws a signal as SVG; or
// recovers a file whose writer died before closing it.
// Exit status: 0 on success, 1 when the file cannot be opened, read or written, 2 for bad
// usage.
#include "anonymize_mode.h"
#include "command_line.h"
#include "continuous_copy.h"
#include "csv_samples.h"
#include "json_report.h"
#include "open_recording.h"
#include "problem_report.h"
#include "svg_plot.h"
#include "text_report.h"
#include "utf8_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

int usage_error(const std::string &reason) {
    std::fprintf(stderr, "edfinfo: %s\n%s", reason.c_str(), inspector_usage());
    return exit_usage;
}

int failure(const std::string &message) {
    std::fprintf(stderr, "edfinfo: %s\n", message.c_str());
    return exit_failure;
}

std::string quoted(const std::string &path) {
    return "'" + display_text(path) + "'";
}

std::string plural(int64_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Recovery refused: the file's problems other than an unfinished recording's (a record count,
// a partial last record, EDF+D) and what the strict open accepts, and where to turn instead.
int refuse_recovery(const std::string &path, int code) {
    if (code == EDF_ERR_BEING_WRITTEN) {
        // A live recording: what the check finds is only what it has written so far.
        return failure("cannot recover " + quoted(path) + ": " + edf_error_text(code));
    }
    int checked = 0;
    std::vector<edf_problem> problems = checked_problems(path, &checked);
    std::erase_if(problems, [](const edf_problem &p) {
        return std::strcmp(p.field, "number of data records") == 0 ||
               std::strcmp(p.field, "incomplete data record") == 0 ||
               p.code == EDF_ERR_DISCONTINUOUS || p.code == 0;
    });
    if (problems.empty()) {
        return failure("cannot recover " + quoted(path) + ": " + edf_error_text(code));
    }
    // Nor can a copy be made past a fatal problem, or of a file without records (which the
    // tolerant open reads as an empty recording).
    const bool fatal = std::any_of(problems.begin(), problems.end(), [](const edf_problem &p) {
        return p.action == EDF_PROBLEM_FATAL || std::strcmp(p.field, "data records") == 0;
    });
    std::fprintf(stderr,
                 "edfinfo: cannot recover %s: recovery mends only the record count and a partial "
                 "last record, and the file has %s more:\n",
                 quoted(path).c_str(),
                 plural(static_cast<int64_t>(problems.size()), "problem").c_str());
    write_problem_lines(stderr, problems, "  ");
    std::fprintf(stderr, fatal ? "a repaired copy cannot be made either\n"
                               : "edfinfo --repair OUT FILE writes a repaired copy to OUT\n");
    return exit_failure;
}

// Says what recovery will do, then does it. Nothing is changed when the plan cannot be made.
int run_recovery(const std::string &path) {
    edf_recovery_plan plan{};
    const int code = edf_plan_recovery(path.c_str(), &plan);
    if (code != 0) {
        return refuse_recovery(path, code);
    }
    const bool count_right = plan.stored_count == plan.complete_records;
    if (count_right && plan.partial_bytes == 0) {
        std::printf("%s: nothing to recover: %s, as the header says\n", display_text(path).c_str(),
                    plural(plan.complete_records, "complete data record").c_str());
        return 0;
    }
    std::printf("%s: %s of %lld bytes after a header of %lld bytes\n", display_text(path).c_str(),
                plural(plan.complete_records, "complete data record").c_str(),
                static_cast<long long>(plan.record_size), static_cast<long long>(plan.header_size));
    if (!count_right) {
        std::printf("  record count: %lld -> %lld\n", static_cast<long long>(plan.stored_count),
                    static_cast<long long>(plan.complete_records));
    }
    if (plan.partial_bytes != 0) {
        std::printf("  cut %s of a partial record (file %lld -> %lld bytes)\n",
                    plural(plan.partial_bytes, "byte").c_str(),
                    static_cast<long long>(plan.file_size),
                    static_cast<long long>(plan.file_size - plan.partial_bytes));
    }
    std::fflush(stdout);
    const int result = edf_recover_file(path.c_str());
    if (result < 0) {
        return failure("recovery of " + quoted(path) + " failed: " + edf_error_text(result));
    }
    std::printf("  done\n");
    return 0;
}

// --check: every problem, exit status 0 when the file conforms (a discontinuous file too,
// which is said) and 1 otherwise.
int run_check(const inspector_options &options) {
    int code = 0;
    const std::vector<edf_problem> problems = checked_problems(options.path, &code);
    if (code < 0) {
        return failure("cannot check " + quoted(options.path) + ": " + edf_error_text(code));
    }
    const std::vector<edf_problem> breaks = format_breaks(problems);
    const edf_problem *discontinuous = discontinuity_note(problems);
    const std::string kind = discontinuous != nullptr ? display_text(discontinuous->found) : "";
    if (options.json) {
        std::printf("%s\n", problems_json(problems, "").c_str());
    } else if (breaks.empty()) {
        std::printf(
            "%s conforms to the format%s.\n", display_text(options.path).c_str(),
            discontinuous != nullptr
                ? ("; it is discontinuous (" + kind + "): its records may leave gaps").c_str()
                : "");
    } else {
        std::printf("%s: %zu problem%s\n", display_text(options.path).c_str(), breaks.size(),
                    breaks.size() == 1 ? "" : "s");
        write_problem_lines(stdout, breaks, "");
        if (discontinuous != nullptr) {
            std::printf("%s is discontinuous (%s), as the format allows: its records may leave "
                        "gaps\n",
                        display_text(options.path).c_str(), kind.c_str());
        }
    }
    return breaks.empty() ? 0 : exit_failure;
}

// --repair OUT: the repaired copy, and the list of what was repaired.
int run_repair(const inspector_options &options) {
    const int result = edf_repair_file(options.path.c_str(), options.repair_path.c_str(),
                                       options.force ? 1 : 0, nullptr, 0);
    if (result == EDF_ERR_ALREADY_OPEN) {
        return failure("will not write " + quoted(options.repair_path) +
                       ": it is the file to repair");
    }
    if (result == EDF_ERR_OUTPUT_EXISTS) {
        return failure("will not write " + quoted(options.repair_path) + ": " +
                       edf_error_text(result) + " (--force replaces it)");
    }
    if (result == EDF_ERR_BEING_WRITTEN) {
        return failure("will not write " + quoted(options.repair_path) + ": " +
                       edf_error_text(result));
    }
    int code = 0;
    const std::vector<edf_problem> problems = format_breaks(checked_problems(options.path, &code));
    if (result < 0) {
        write_problem_lines(stderr, problems, "  ");
        return failure("cannot repair " + quoted(options.path) + ": " + edf_error_text(result));
    }
    std::printf("%s: %zu repair%s, written to %s\n", display_text(options.path).c_str(),
                problems.size(), problems.size() == 1 ? "" : "s",
                display_text(options.repair_path).c_str());
    write_problem_lines(stdout, problems, "");
    return 0;
}

int run(const inspector_options &options) {
    if (options.action == inspector_action::recover) {
        return run_recovery(options.path);
    }
    if (options.action == inspector_action::check) {
        return run_check(options);
    }
    if (options.action == inspector_action::repair) {
        return run_repair(options);
    }
    const open_recording recording(options.path);
    if (!recording.is_open()) {
        return failure("cannot open " + quoted(options.path) + ": " +
                       edf_error_text(recording.error_code()));
    }
    const edf_header_info &header = recording.header();
    // A discontinuous file conforms: the report lists only what breaks the format.
    const std::vector<edf_problem> problems = format_breaks(recording.problems());
    if (!problems.empty() && (options.action == inspector_action::samples_csv ||
                              options.action == inspector_action::plot_svg)) {
        std::fprintf(stderr,
                     "edfinfo: note: %s breaks the format; read past %zu problem%s (edfinfo "
                     "--check lists them)\n",
                     quoted(options.path).c_str(), problems.size(),
                     problems.size() == 1 ? "" : "s");
    }

    if (options.action == inspector_action::samples_csv ||
        options.action == inspector_action::plot_svg) {
        if (options.signal >= header.ordinary_signal_count) {
            const int count = header.ordinary_signal_count;
            return usage_error(
                "signal " + std::to_string(options.signal) +
                " does not exist: " + quoted(options.path) + " has " + std::to_string(count) +
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
        if (!write_json_report(stdout, options.path, header, problems)) {
            return failure("cannot read the annotations of " + quoted(options.path));
        }
        break;
    case inspector_action::samples_csv:
        if (!write_samples_csv(stdout, header, options.signal, window)) {
            return failure("cannot read signal " + std::to_string(options.signal) + " of " +
                           quoted(options.path));
        }
        break;
    case inspector_action::plot_svg:
        switch (write_svg_plot(options.svg_path, options.path, header, options.signal, window)) {
        case plot_result::ok:
            break;
        case plot_result::read_failed:
            return failure("cannot read signal " + std::to_string(options.signal) + " of " +
                           quoted(options.path));
        case plot_result::write_failed:
            return failure("cannot write " + quoted(options.svg_path) + ": " +
                           std::strerror(errno));
        }
        break;
    case inspector_action::continuous_copy: {
        const std::string problem = write_continuous_copy(options.continuous_path, header);
        if (!problem.empty()) {
            return failure("cannot write " + quoted(options.continuous_path) + ": " + problem);
        }
        break;
    }
    default:
        if (!write_text_report(stdout, options.path, header, problems)) {
            return failure("cannot read the annotations of " + quoted(options.path));
        }
        break;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // Samples may run to millions of lines: a large output buffer keeps the writes few.
    static char output_buffer[1 << 16];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

    if (wants_anonymize_mode(argc - 1, argv + 1)) {
        const int status = run_anonymize_mode(argc - 1, argv + 1);
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? status : exit_failure;
    }
    const parsed_command_line command_line = parse_command_line(argc - 1, argv + 1);
    if (!command_line.ok) {
        return usage_error(command_line.error);
    }
    if (command_line.options.action == inspector_action::help) {
        std::fputs(inspector_usage(), stdout);
        return 0;
    }
    const int status = run(command_line.options);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "edfinfo: cannot write the output: %s\n", std::strerror(errno));
        return exit_failure;
    }
    return status;
}
