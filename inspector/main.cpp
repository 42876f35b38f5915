// edfinfo: looks inside an EDF, EDF+, BDF or BDF+ file. Prints a report of the header and the
// annotations (as text or JSON), one signal's samples as CSV, or draws a signal as SVG.
// Exit status: 0 on success, 1 when the file cannot be opened, read or written, 2 for bad
// usage.
#include "anonymize_mode.h"
#include "command_line.h"
#include "continuous_copy.h"
#include "csv_samples.h"
#include "json_report.h"
#include "open_recording.h"
#include "svg_plot.h"
#include "text_report.h"
#include "utf8_text.h"

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

int run(const inspector_options &options) {
    const open_recording recording(options.path);
    if (!recording.is_open()) {
        return failure("cannot open " + quoted(options.path) + ": " +
                       edf_error_text(recording.error_code()));
    }
    const edf_header_info &header = recording.header();

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
        if (!write_json_report(stdout, options.path, header)) {
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
        if (!write_text_report(stdout, options.path, header)) {
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
