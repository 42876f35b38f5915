// edfinfo: looks inside EDF, EDF+, BDF and BDF+ files. Prints a report of the header and the
// annotations (as text or JSON), one signal's samples as CSV, or draws a signal as SVG; checks,
// repairs, recovers and de-identifies files, one or many at once, and keeps a catalogue of
// them in SQLite.
// Exit status: 0 on success, 1 when a file cannot be opened, read or written (or does not
// conform, for --check), 2 for bad usage.
#include "anonymize_mode.h"
#include "catalogue.h"
#include "command_line.h"
#include "file_list.h"
#include "file_modes.h"
#include "http_source.h"
#include "many_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// (after windows.h)
#include <shellapi.h>
#endif

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

int usage_error(const std::string &reason) {
    std::fprintf(stderr, "edfinfo: %s\n%s", reason.c_str(), inspector_usage());
    return exit_usage;
}

// The modes that write: they work on local files only (a remote recording is read, never
// changed, and a copy of one is made by downloading it first).
const char *writing_mode(inspector_action action) {
    switch (action) {
    case inspector_action::continuous_copy:
        return "--continuous";
    case inspector_action::recover:
        return "--recover";
    case inspector_action::repair:
        return "--repair";
    case inspector_action::index:
        return "--index";
    default:
        return nullptr;
    }
}

int refuse_remote(const char *mode, const std::string &url) {
    std::fprintf(stderr,
                 "edfinfo: %s works on local files only, not on the URL %s (the report, --json, "
                 "--check, --samples and --plot read remote files)\n",
                 mode, quoted_name(url).c_str());
    return exit_usage;
}

int run(inspector_options options) {
    const output_streams terminal{stdout, stderr};
    const char *writes = writing_mode(options.action);
    if (writes != nullptr && is_remote_url(options.path)) {
        return refuse_remote(writes, options.path);
    }
    if (options.action == inspector_action::continuous_copy) {
        return continuous_copy_file(options.path, options.continuous_path, terminal);
    }
    const bool one_file_modes = options.action == inspector_action::samples_csv ||
                                options.action == inspector_action::plot_svg;
    if (one_file_modes) {
        return report_file(options, options.path, terminal);
    }
    const input_files inputs = expand_inputs(options.paths);
    for (const input_file &file : inputs.files) {
        if (writes != nullptr && is_remote_url(file.path)) {
            return refuse_remote(writes, file.path);
        }
    }
    if (options.jobs == 0) {
        options.jobs = default_jobs();
    }
    if (options.action == inspector_action::index) {
        return run_index(options, inputs);
    }
    if (inputs.many || inputs.files.size() != 1) {
        return run_many(options, inputs);
    }
    const input_file &file = inputs.files.front();
    switch (options.action) {
    case inspector_action::recover:
        return recover_file(file.path, terminal);
    case inspector_action::check:
        return check_file(file.path, options.json, terminal);
    case inspector_action::repair:
        return repair_file(file.path, repair_target(options.repair_path, file, false),
                           options.force, terminal);
    default:
        return report_file(options, file.path, terminal);
    }
}

#ifdef _WIN32
// The command line as UTF-8, the text of every path that edfinfo passes on (the C runtime's
// argv is in the ANSI code page, which cannot name every file).
std::vector<std::string> utf8_arguments() {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **words = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; words != nullptr && i < count; i++) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, words[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, words[i], -1, text.data(), n, nullptr, nullptr);
        arguments.push_back(std::move(text));
    }
    LocalFree(words);
    return arguments;
}
#endif

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // Reports, CSV and JSON are the same bytes as elsewhere: no line feed becomes CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    std::vector<std::string> arguments = utf8_arguments();
    std::vector<char *> argument_texts;
    for (std::string &a : arguments) {
        argument_texts.push_back(a.data());
    }
    argument_texts.push_back(nullptr);
    if (!arguments.empty()) {
        argc = static_cast<int>(arguments.size());
        argv = argument_texts.data();
    }
#endif
    // Samples may run to millions of lines: a large output buffer keeps the writes few.
    static char output_buffer[1 << 16];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
#ifdef EDFINFO_WITHOUT_HTTP
    for (int i = 1; i < argc; i++) {
        if (is_remote_url(argv[i])) {
            std::fprintf(stderr, "edfinfo: %s\n", http_unavailable_reason);
            return exit_usage;
        }
    }
#endif

    if (wants_anonymize_mode(argc - 1, argv + 1)) {
        for (int i = 1; i < argc; i++) {
            if (is_remote_url(argv[i])) {
                return refuse_remote("--anonymize", argv[i]);
            }
        }
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
